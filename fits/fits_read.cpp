#include "fits/fits_read.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "base/file_descriptor.hpp"
#include "base/text.hpp"
#include "fits/fits_read_any.hpp"

namespace newstars {

namespace {

// The largest pixel count accepted: every pixel index y * width + x must fit the
// 32-bit integers the image code indexes with.
constexpr int64_t MAX_PIXELS = INT32_MAX;

// Pixels are read in pieces of this many: each piece is read and converted while
// it is still in the cache, and a file shorter than its header claims makes the
// reader touch no more than one piece beyond the bytes that actually arrived.
constexpr size_t PIXELS_PER_PIECE = size_t{1} << 16;

int failRead(FitsImage* image, std::string* message, const char* text)
{
    *message = text;
    freeFitsImage(image);
    return -1;
}

// EXPTIME seconds to whole milliseconds, truncated toward zero; values beyond the
// 32-bit range give its nearer end.
int32_t secondsToMilliseconds(double seconds)
{
    double ms = seconds * 1000.0;
    if (std::isnan(ms))
        return 0;
    if (ms >= 2147483648.0)
        return INT32_MAX;
    if (ms <= -2147483649.0)
        return INT32_MIN;
    return static_cast<int32_t>(ms);
}

// Asks the system to back a large pixel buffer with huge pages where it can: a fresh
// 32 MB image otherwise costs thousands of page faults, more than reading it.
void adviseHugePages(void* buffer, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    const uintptr_t hugePage = uintptr_t{2} << 20;
    uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + hugePage - 1) & ~(hugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + bytes) & ~(hugePage - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)bytes;
#endif
}

} // namespace

void emptyFitsImageKeepingBuffers(FitsImage* image)
{
    std::vector<uint16_t> pixels = std::move(image->pixels);
    std::vector<float> values = std::move(image->values);
    std::vector<uint8_t> noData = std::move(image->noData);
    std::vector<char> cards = std::move(image->cards);
    initFitsImage(image);
    pixels.clear();
    values.clear();
    noData.clear();
    cards.clear();
    image->pixels = std::move(pixels);
    image->values = std::move(values);
    image->noData = std::move(noData);
    image->cards = std::move(cards);
}

// Converts count pixels from file form to memory form: the two bytes as stored
// (high byte first) make high * 256 + low; adding 32768 modulo 65536 flips the top bit.
void convertPixelsFromFits(uint16_t* pixels, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        uint16_t v = pixels[i];
        if constexpr (std::endian::native == std::endian::little)
            v = static_cast<uint16_t>((v << 8) | (v >> 8));
        pixels[i] = static_cast<uint16_t>(v ^ 0x8000u);
    }
}

void swapPixelsFromFits(FitsImage* image)
{
    if (image->width <= 0 || image->height <= 0)
        return;
    size_t count = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
    convertPixelsFromFits(image->pixels.data(), std::min(count, image->pixels.size()));
}

int getImageSize(const FitsImage* image, int32_t* width, int32_t* height, std::string* message)
{
    int32_t naxis = 0;
    if (getIntCard(image, "NAXIS", &naxis) != 0) {
        *message = "No NAXIS";
        return -1;
    }
    // Keywords are cut to 8 characters, so NAXIS1000 and beyond name the same cards
    // as NAXIS100 to NAXIS999, which have been checked by then.
    int32_t last = std::min(naxis, int32_t{999});
    for (int32_t i = 3; i <= last; ++i) {
        char keyword[16];
        std::snprintf(keyword, sizeof keyword, "NAXIS%d", static_cast<int>(i));
        int32_t size = 0;
        if (getIntCard(image, keyword, &size) != 0) {
            *message = formatText("NAXIS=%d but no %s", static_cast<int>(naxis), keyword);
            return -1;
        }
        if (size != 1) {
            *message = formatText("Require %s to be 1", keyword);
            return -1;
        }
    }
    if (getIntCard(image, "NAXIS1", width) != 0) {
        *message = "No NAXIS1";
        return -1;
    }
    if (getIntCard(image, "NAXIS2", height) != 0) {
        *message = "No NAXIS2";
        return -1;
    }
    if (*width < 0) {
        *message = formatText("NAXIS1 = %d must not be negative", static_cast<int>(*width));
        return -1;
    }
    if (*height < 0) {
        *message = formatText("NAXIS2 = %d must not be negative", static_cast<int>(*height));
        return -1;
    }
    return 0;
}

// Reads header cards up to the end of the record holding END into an empty image.
// 0; 1 when the file ends before the first card and atEndIsFine; -1 with the image
// emptied and the reason in *message.
static int readHeaderCards(int fd, FitsImage* image, std::string* message, bool atEndIsFine)
{
    emptyFitsImageKeepingBuffers(image);
    int64_t cardsRead = 0;
    bool ended = false;
    char card[FITS_CARD_LENGTH];
    do {
        if (!ended && cardsRead == int64_t{FITS_MAX_HEADER_RECORDS} * FITS_CARDS_PER_RECORD)
            return failRead(image, message, "FITS header longer than 10000 records");
        ssize_t got = readAll(fd, card, FITS_CARD_LENGTH);
        if (got < 0)
            return failRead(image, message, std::strerror(errno));
        if (got == 0 && cardsRead == 0 && atEndIsFine)
            return 1;
        if (got != FITS_CARD_LENGTH)
            return failRead(image, message, "FITS file is short");
        ++cardsRead;
        if (!ended) {
            if (std::memcmp(card, "END", 3) == 0)
                ended = true;
            else if (addCard(image, card) != 0)
                return failRead(image, message, CARD_MEMORY_MESSAGE);
        }
    } while (!ended || cardsRead % FITS_CARDS_PER_RECORD != 0);
    return 0;
}

// Makes the header of an image extension the header of a primary image: SIMPLE = T in
// place of XTENSION, without PCOUNT and GCOUNT. False when it is not an image extension.
static bool takeImageExtension(FitsImage* extension)
{
    std::string type;
    char* first = nullptr;
    if (extension->cardCount == 0 || getStringCard(extension, "XTENSION", &type) != 0 ||
        type != "IMAGE" || findCard(extension, "XTENSION", &first) != 0 ||
        first != extension->cards.data())
        return false;
    formatLogicalCard(first, "SIMPLE", 1);
    deleteCard(extension, "PCOUNT");
    deleteCard(extension, "GCOUNT");
    return true;
}

void readImageFactors(FitsImage* image)
{
    getIntCard(image, "XFACTOR", &image->xfactor);
    getIntCard(image, "YFACTOR", &image->yfactor);
    getIntCard(image, "OFFSET1", &image->offset1);
    getIntCard(image, "OFFSET2", &image->offset2);
    double exposure = 0.0;
    if (getRealCard(image, "EXPTIME", &exposure) == 0)
        image->exposureMs = secondsToMilliseconds(exposure);
}

// The cards of a header, 80 characters each.
static std::vector<std::string> cardList(const FitsImage* header)
{
    std::vector<std::string> cards;
    for (int32_t i = 0; i < header->cardCount; ++i)
        cards.emplace_back(header->cards.data() + static_cast<size_t>(i) * FITS_CARD_LENGTH,
                           FITS_CARD_LENGTH);
    return cards;
}

// Appends to the extension's cards those it inherits from the primary header
// (inheritedCards). 0, or -1 when memory runs out.
static int inheritPrimaryCards(const FitsImage* primary, FitsImage* extension)
{
    int inherit = 0;
    const bool all = getLogicalCard(extension, "INHERIT", &inherit) == 0 && inherit == 1;
    for (const std::string& card : inheritedCards(cardList(extension), cardList(primary), all)) {
        if (addCard(extension, card.c_str()) != 0)
            return -1;
    }
    return 0;
}

int readFitsHeader(int fd, FitsImage* image, std::string* message)
{
    if (readHeaderCards(fd, image, message, false) != 0)
        return -1;

    int simple = 0;
    if (getLogicalCard(image, "SIMPLE", &simple) != 0 || simple == 0)
        return failRead(image, message, "File must claim to be a SIMPLE image.");
    // An empty primary header (NAXIS = 0 and no NAXIS1, so no data follows) with the
    // image in the first extension: that extension's header becomes the image's.
    // Anything else after it leaves the primary header to be judged as it is.
    int32_t naxis = -1;
    const char* naxis1 = nullptr;
    const FitsImage* primary = image;
    if (getIntCard(image, "NAXIS", &naxis) == 0 && naxis == 0 &&
        findCard(primary, "NAXIS1", &naxis1) != 0) {
        FitsImage extension;
        int got = readHeaderCards(fd, &extension, message, true);
        if (got < 0) {
            freeFitsImage(image);
            return -1;
        }
        if (got == 0 && takeImageExtension(&extension)) {
            if (inheritPrimaryCards(image, &extension) != 0)
                return failRead(image, message, CARD_MEMORY_MESSAGE);
            // The extension's header, in the record that keeps the pixel buffers.
            image->cards.swap(extension.cards);
            image->cardCount = extension.cardCount;
        }
    }
    int32_t bitpix = 0;
    if (getIntCard(image, "BITPIX", &bitpix) != 0 || bitpix != 16)
        return failRead(image, message, "BITPIX must be 16.");
    image->bitpix = 16;
    int32_t width = 0;
    int32_t height = 0;
    if (getImageSize(image, &width, &height, message) != 0) {
        freeFitsImage(image);
        return -1;
    }
    image->width = width;
    image->height = height;

    readImageFactors(image);
    return 0;
}

int readFitsImage(int fd, FitsImage* image, std::string* message)
{
    if (readFitsHeader(fd, image, message) != 0)
        return -1;

    const int64_t pixelCount = static_cast<int64_t>(image->width) * image->height;
    if (pixelCount > MAX_PIXELS) {
        *message = formatText("Image of %d x %d pixels is too large",
                              static_cast<int>(image->width), static_cast<int>(image->height));
        freeFitsImage(image);
        return -1;
    }
    const size_t total = static_cast<size_t>(pixelCount);
    try {
        image->pixels.reserve(total);
        adviseHugePages(image->pixels.data(), total * sizeof(uint16_t));
    } catch (const std::bad_alloc&) {
        *message =
            formatText("Could not malloc %lld for pixels", static_cast<long long>(pixelCount * 2));
        freeFitsImage(image);
        return -1;
    }

    // Read straight into the pixel buffer, which has its full size reserved; it
    // grows piece by piece as the bytes arrive, each piece converted while fresh.
    size_t done = 0;
    while (done < total) {
        size_t piece = std::min(total - done, PIXELS_PER_PIECE);
        image->pixels.resize(done + piece);
        uint16_t* target = image->pixels.data() + done;
        ssize_t got = readAll(fd, target, piece * sizeof(uint16_t));
        if (got < 0)
            return failRead(image, message, std::strerror(errno));
        if (static_cast<size_t>(got) != piece * sizeof(uint16_t))
            return failRead(image, message, "data is short");
        convertPixelsFromFits(target, piece);
        done += piece;
    }
    return 0;
}

// The form told from one header as readFitsHeader would take it: OtherType for the
// BITPIX values read through CFITSIO, SixteenBit for anything else.
static FitsFileForm imageForm(const FitsImage* header)
{
    int32_t bitpix = 0;
    if (getIntCard(header, "BITPIX", &bitpix) != 0)
        return FitsFileForm::SixteenBit;
    const bool other = bitpix == 8 || bitpix == 32 || bitpix == -32 || bitpix == -64;
    return other ? FitsFileForm::OtherType : FitsFileForm::SixteenBit;
}

static FitsFileForm readFitsFileForm(int fd)
{
    unsigned char magic[2] = {0, 0};
    if (readAll(fd, magic, 2) == 2 && magic[0] == 0x1f && magic[1] == 0x8b)
        return FitsFileForm::Compressed;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return FitsFileForm::SixteenBit;
    FitsImage primary;
    std::string ignored;
    int simple = 0;
    if (readHeaderCards(fd, &primary, &ignored, false) != 0 ||
        getLogicalCard(&primary, "SIMPLE", &simple) != 0 || simple == 0)
        return FitsFileForm::SixteenBit;
    int32_t naxis = -1;
    const char* naxis1 = nullptr;
    if (getIntCard(&primary, "NAXIS", &naxis) != 0 || naxis != 0 ||
        findCard(&primary, "NAXIS1", &naxis1) == 0)
        return imageForm(&primary);
    FitsImage extension;
    if (readHeaderCards(fd, &extension, &ignored, true) != 0)
        return imageForm(&primary);
    std::string type;
    int zimage = 0;
    if (getStringCard(&extension, "XTENSION", &type) == 0 && type == "BINTABLE" &&
        getLogicalCard(&extension, "ZIMAGE", &zimage) == 0 && zimage == 1)
        return FitsFileForm::Compressed;
    return takeImageExtension(&extension) ? imageForm(&extension) : imageForm(&primary);
}

FitsFileForm fitsFileForm(int fd)
{
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0 || lseek(fd, 0, SEEK_SET) != 0)
        return FitsFileForm::SixteenBit;
    const FitsFileForm form = readFitsFileForm(fd);
    lseek(fd, at, SEEK_SET);
    return form;
}

} // namespace newstars
