#include "fits/fits_read_any.hpp"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "base/text.hpp"
#include "fits/fits_read.hpp"

namespace newstars {

namespace {

// The largest pixel count accepted: every pixel index y * width + x must fit the
// 32-bit integers the image code indexes with.
constexpr LONGLONG MAX_PIXELS = INT32_MAX;

// The most cards a header may hold before END, as readFitsHeader accepts them.
constexpr int MAX_CARDS = FITS_MAX_HEADER_RECORDS * FITS_CARDS_PER_RECORD - 1;

// Pixels read at once, roughly (whole rows, whole rows of tiles).
constexpr LONGLONG PIXELS_PER_PIECE = LONGLONG{1} << 20;

// Primary-header cards an extension never inherits: they describe the primary data
// or the file, not the observation.
constexpr const char* NOT_INHERITED[] = {
    "SIMPLE",  "BITPIX",  "NAXIS",   "EXTEND",  "BSCALE", "BZERO",  "BLANK",    "CHECKSUM",
    "DATASUM", "INHERIT", "COMMENT", "HISTORY", "PCOUNT", "GCOUNT", "XTENSION", "END"};

// Cards an extension takes from the primary header whenever it lacks them.
constexpr const char* ALWAYS_INHERITED[] = {"OBJECT", "DATE-OBS", "TIME-OBS"};

// Closes the CFITSIO file it holds.
class FitsFile {
public:
    ~FitsFile()
    {
        if (file != nullptr) {
            int status = 0;
            fits_close_file(file, &status);
        }
    }
    fitsfile* file = nullptr;
};

std::string fitsErrorText(int status)
{
    char text[FLEN_STATUS] = {0};
    fits_get_errstatus(status, text);
    return formatText("%s (status %d)", text, status);
}

int fail(FitsImage* image, std::string* message, const std::string& text)
{
    *message = text;
    freeFitsImage(image);
    return -1;
}

// Opens the file behind fd through its /proc name, which takes the file the descriptor
// refers to, never a name that might have changed since.
int openDescriptor(int fd, FitsFile* fits, std::string* message)
{
    const std::string path = formatText("/proc/self/fd/%d", fd);
    int status = 0;
    if (fits_open_diskfile(&fits->file, path.c_str(), READONLY, &status) != 0) {
        fits->file = nullptr;
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    return 0;
}

// The keyword of a card, trailing blanks removed.
std::string keywordOf(const std::string& card)
{
    std::string keyword = card.substr(0, 8);
    keyword.erase(keyword.find_last_not_of(' ') + 1);
    return keyword;
}

// Whether the current HDU is an image with at least one axis.
bool isImageHdu(fitsfile* file, int* status)
{
    int type = 0;
    int naxis = 0;
    return fits_get_hdu_type(file, &type, status) == 0 && type == IMAGE_HDU &&
           fits_get_img_dim(file, &naxis, status) == 0 && naxis > 0;
}

// Moves to the HDU the text names (see readAnyFitsImage). 0, or -1 with *message set.
int moveToHdu(fitsfile* file, const std::string& hdu, std::string* message)
{
    int status = 0;
    if (hdu.empty()) {
        for (int number = 1;; ++number) {
            if (fits_movabs_hdu(file, number, nullptr, &status) != 0) {
                *message = status == END_OF_FILE && number > 1
                               ? std::string("holds no image")
                               : "can not read: " + fitsErrorText(status);
                return -1;
            }
            if (isImageHdu(file, &status))
                return 0;
            if (status != 0) {
                *message = "can not read: " + fitsErrorText(status);
                return -1;
            }
        }
    }
    const bool number = hdu.find_first_not_of("0123456789") == std::string::npos;
    if (number) {
        errno = 0;
        const long n = std::strtol(hdu.c_str(), nullptr, 10);
        if (errno != 0 || n >= INT32_MAX ||
            fits_movabs_hdu(file, static_cast<int>(n) + 1, nullptr, &status) != 0) {
            *message = status == END_OF_FILE || status == 0
                           ? "no HDU " + hdu
                           : "can not read: " + fitsErrorText(status);
            return -1;
        }
    } else {
        std::string name = hdu;
        int version = 0;
        const size_t comma = hdu.find(',');
        if (comma != std::string::npos) {
            name = hdu.substr(0, comma);
            const std::string text = hdu.substr(comma + 1);
            char* end = nullptr;
            errno = 0;
            const long v = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > INT32_MAX) {
                *message = "no HDU " + hdu;
                return -1;
            }
            version = static_cast<int>(v);
        }
        if (fits_movnam_hdu(file, ANY_HDU, name.data(), version, &status) != 0) {
            *message =
                status == BAD_HDU_NUM ? "no HDU " + hdu : "can not read: " + fitsErrorText(status);
            return -1;
        }
    }
    int type = 0;
    if (fits_get_hdu_type(file, &type, &status) != 0) {
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    if (type != IMAGE_HDU) {
        *message = "HDU " + hdu + " is not an image";
        return -1;
    }
    return 0;
}

// The image's type and shape, checked: 2 axes (further ones of length 1), not too many
// pixels, a type that is read. 0, or -1 with *message set.
int readShape(fitsfile* file, int* bitpix, LONGLONG* width, LONGLONG* height, std::string* message)
{
    int status = 0;
    int naxis = 0;
    if (fits_get_img_type(file, bitpix, &status) != 0 ||
        fits_get_img_dim(file, &naxis, &status) != 0) {
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    std::vector<LONGLONG> axes(static_cast<size_t>(std::max(naxis, 2)), 1);
    if (naxis > 0 && fits_get_img_sizell(file, naxis, axes.data(), &status) != 0) {
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    bool flat = naxis >= 2;
    for (int i = 2; i < naxis; ++i)
        flat = flat && axes[static_cast<size_t>(i)] == 1;
    if (!flat) {
        *message = formatText("image has NAXIS = %d, not 2 axes", naxis);
        return -1;
    }
    if (*bitpix != 8 && *bitpix != 16 && *bitpix != 32 && *bitpix != -32 && *bitpix != -64) {
        *message = formatText("BITPIX %d is not read", *bitpix);
        return -1;
    }
    *width = axes[0];
    *height = axes[1];
    if (*width < 0 || *height < 0 || (*width > 0 && *height > MAX_PIXELS / *width) ||
        *width > MAX_PIXELS || *height > MAX_PIXELS) {
        *message = formatText("Image of %lld x %lld pixels is too large",
                              static_cast<long long>(*width), static_cast<long long>(*height));
        return -1;
    }
    return 0;
}

// Appends every card of the current HDU of file to *cards, 80 characters each.
int readCards(fitsfile* file, std::vector<std::string>* cards, int* status)
{
    int count = 0;
    if (fits_get_hdrspace(file, &count, nullptr, status) != 0)
        return -1;
    char card[FLEN_CARD];
    for (int i = 1; i <= count; ++i) {
        if (fits_read_record(file, i, card, status) != 0)
            return -1;
        std::string text(card);
        text.resize(FITS_CARD_LENGTH, ' ');
        cards->push_back(std::move(text));
    }
    return 0;
}

// The header of the image in the current HDU: as written, or for a compressed image
// the original image header that CFITSIO restores from the table's Z keywords.
int readImageCards(fitsfile* file, std::vector<std::string>* cards, std::string* message)
{
    int status = 0;
    if (fits_is_compressed_image(file, &status) == 0) {
        if (readCards(file, cards, &status) == 0)
            return 0;
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    fitsfile* header = nullptr;
    if (fits_create_file(&header, "mem://", &status) == 0) {
        if (fits_img_decompress_header(file, header, &status) == 0)
            readCards(header, cards, &status);
        int closeStatus = 0;
        fits_close_file(header, &closeStatus);
    }
    if (status != 0) {
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    return 0;
}

// Stores the cards in the image as a primary header (SIMPLE = T for XTENSION, no
// PCOUNT or GCOUNT).
int storeCards(const std::vector<std::string>& cards, FitsImage* image, std::string* message)
{
    for (const std::string& card : cards) {
        if (addCard(image, card.c_str()) != 0) {
            *message = CARD_MEMORY_MESSAGE;
            return -1;
        }
    }
    char* first = nullptr;
    if (findCard(image, "XTENSION", &first) == 0 && first == image->cards.data()) {
        formatLogicalCard(first, "SIMPLE", 1);
        deleteCard(image, "PCOUNT");
        deleteCard(image, "GCOUNT");
    }
    if (image->cardCount > MAX_CARDS) {
        *message = "FITS header longer than 10000 records";
        return -1;
    }
    return 0;
}

// Reads the header of the chosen HDU and, for an extension, the primary header's cards
// into the image, with its type and size. 0, or -1 with *message set.
int readHeader(fitsfile* file, FitsImage* image, LONGLONG* width, LONGLONG* height,
               std::string* message)
{
    int bitpix = 0;
    if (readShape(file, &bitpix, width, height, message) != 0)
        return -1;
    std::vector<std::string> cards, primary;
    if (readImageCards(file, &cards, message) != 0)
        return -1;
    if (cards.size() > static_cast<size_t>(MAX_CARDS)) {
        *message = "FITS header longer than 10000 records";
        return -1;
    }
    int number = 0;
    fits_get_hdu_num(file, &number);
    // INHERIT as CFITSIO reads it, in any column.
    int inherit = 0, status = 0;
    if (fits_read_key(file, TLOGICAL, "INHERIT", &inherit, nullptr, &status) != 0)
        inherit = 0;
    if (number > 1) {
        status = 0;
        if (fits_movabs_hdu(file, 1, nullptr, &status) != 0 ||
            readCards(file, &primary, &status) != 0 ||
            fits_movabs_hdu(file, number, nullptr, &status) != 0) {
            *message = "can not read: " + fitsErrorText(status);
            return -1;
        }
    }
    if (number > 1) {
        const std::vector<std::string> inherited = inheritedCards(cards, primary, inherit != 0);
        cards.insert(cards.end(), inherited.begin(), inherited.end());
    }
    if (storeCards(cards, image, message) != 0)
        return -1;
    image->bitpix = bitpix;
    image->width = static_cast<int32_t>(*width);
    image->height = static_cast<int32_t>(*height);
    readImageFactors(image);
    return 0;
}

// Rows read at once: about PIXELS_PER_PIECE pixels, in whole rows of tiles for a
// compressed image, so that each tile is decompressed once.
LONGLONG rowsPerPiece(fitsfile* file, LONGLONG width, LONGLONG height)
{
    LONGLONG rows = std::max<LONGLONG>(1, PIXELS_PER_PIECE / std::max<LONGLONG>(width, 1));
    int status = 0;
    long tileRows = 1;
    if (fits_is_compressed_image(file, &status) != 0 &&
        fits_read_key(file, TLONG, "ZTILE2", &tileRows, nullptr, &status) == 0 && tileRows > 1)
        rows = tileRows >= height ? height : (rows + tileRows - 1) / tileRows * tileRows;
    return std::max<LONGLONG>(1, std::min(rows, height));
}

// Whether the HDU's stored values are its physical ones (BSCALE 1, BZERO 0).
bool unscaled(fitsfile* file)
{
    double scale = 1.0, zero = 0.0;
    int status = 0;
    fits_read_key(file, TDOUBLE, "BSCALE", &scale, nullptr, &status);
    status = 0;
    fits_read_key(file, TDOUBLE, "BZERO", &zero, nullptr, &status);
    return scale == 1.0 && zero == 0.0;
}

// Reads the 16-bit stored values into image->pixels, + 32768 modulo 65536.
int readSixteenBit(fitsfile* file, LONGLONG width, LONGLONG height, FitsImage* image, int* status)
{
    const LONGLONG rows = rowsPerPiece(file, width, height);
    fits_set_bscale(file, 1.0, 0.0, status);
    // int16_t and uint16_t may alias: the stored value lands in place, then is offset.
    auto* target = reinterpret_cast<short*>(image->pixels.data());
    for (LONGLONG row = 0; row < height && *status == 0; row += rows) {
        const LONGLONG first = row * width;
        const LONGLONG count = std::min(rows, height - row) * width;
        int anyNull = 0;
        if (fits_read_img(file, TSHORT, first + 1, count, nullptr, target + first, &anyNull,
                          status) != 0)
            return -1;
        for (LONGLONG i = first; i < first + count; ++i)
            image->pixels[static_cast<size_t>(i)] ^= 0x8000u;
    }
    return *status == 0 ? 0 : -1;
}

// Marks the pixels of one piece whose value is not finite or equals the chosen no-data
// value, and sets every pixel without data to 0.
void maskPiece(const FitsReadOptions& options, float* values, uint8_t* noData, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (noData[i] == PIXEL_HAS_DATA &&
            (!std::isfinite(values[i]) ||
             (options.noDataValueSet && values[i] == options.noDataValue)))
            noData[i] = PIXEL_NO_DATA;
        if (noData[i] != PIXEL_HAS_DATA) {
            noData[i] = PIXEL_NO_DATA;
            values[i] = 0.0f;
        }
    }
}

// Reads the physical values into image->values and image->noData.
int readValues(fitsfile* file, LONGLONG width, LONGLONG height, const FitsReadOptions& options,
               FitsImage* image, int* status)
{
    const LONGLONG rows = rowsPerPiece(file, width, height);
    // Single-precision values without scaling arrive as they are; every other type is
    // scaled in double precision and rounded once, values beyond the float range taken
    // as missing rather than clipped.
    const bool direct = image->bitpix == -32 && unscaled(file);
    std::vector<double> scaled;
    if (!direct)
        scaled.resize(static_cast<size_t>(std::min(rows, height) * width));
    for (LONGLONG row = 0; row < height && *status == 0; row += rows) {
        const size_t first = static_cast<size_t>(row * width);
        const LONGLONG count = std::min(rows, height - row) * width;
        float* values = image->values.data() + first;
        uint8_t* noData = image->noData.data() + first;
        char* nulls = reinterpret_cast<char*>(noData);
        int anyNull = 0;
        if (direct) {
            if (fits_read_imgnull(file, TFLOAT, row * width + 1, count, values, nulls, &anyNull,
                                  status) != 0)
                return -1;
        } else {
            if (fits_read_imgnull(file, TDOUBLE, row * width + 1, count, scaled.data(), nulls,
                                  &anyNull, status) != 0)
                return -1;
            for (LONGLONG i = 0; i < count; ++i) {
                const double v = scaled[static_cast<size_t>(i)];
                if (std::fabs(v) <= FLT_MAX)
                    values[i] = static_cast<float>(v);
                else
                    noData[i] = PIXEL_NO_DATA;
            }
        }
        maskPiece(options, values, noData, static_cast<size_t>(count));
    }
    return *status == 0 ? 0 : -1;
}

// Refuses a compressed image whose DATASUM does not match. 0, or -1 with *message set.
int checkDataSum(fitsfile* file, std::string* message)
{
    int status = 0;
    if (fits_is_compressed_image(file, &status) == 0)
        return 0;
    int dataOk = 0, headerOk = 0;
    if (fits_verify_chksum(file, &dataOk, &headerOk, &status) != 0) {
        *message = "can not read: " + fitsErrorText(status);
        return -1;
    }
    if (dataOk < 0) {
        *message = "data do not match their DATASUM card: file damaged";
        return -1;
    }
    return 0;
}

} // namespace

std::vector<std::string> inheritedCards(const std::vector<std::string>& own,
                                        const std::vector<std::string>& primary, bool inheritAll)
{
    std::vector<std::string> ownKeywords;
    for (const std::string& card : own)
        ownKeywords.push_back(keywordOf(card));
    std::vector<std::string> taken;
    for (const std::string& card : primary) {
        const std::string keyword = keywordOf(card);
        auto named = [&](const char* k) { return keyword == k; };
        const bool always =
            std::any_of(std::begin(ALWAYS_INHERITED), std::end(ALWAYS_INHERITED), named);
        const bool structural =
            keyword.empty() || keyword.compare(0, 5, "NAXIS") == 0 ||
            std::any_of(std::begin(NOT_INHERITED), std::end(NOT_INHERITED), named);
        if (!always && (!inheritAll || structural))
            continue;
        if (std::find(ownKeywords.begin(), ownKeywords.end(), keyword) != ownKeywords.end())
            continue;
        ownKeywords.push_back(keyword);
        taken.push_back(card);
    }
    return taken;
}

int holdsSixteenBitImage(int fd)
{
    int hdu = 0;
    return findSixteenBitImage(fd, &hdu);
}

int findSixteenBitImage(int fd, int* hdu)
{
    FitsFile fits;
    std::string ignored;
    if (openDescriptor(fd, &fits, &ignored) != 0)
        return -1;
    for (int number = 1;; ++number) {
        int status = 0;
        if (fits_movabs_hdu(fits.file, number, nullptr, &status) != 0)
            return status == END_OF_FILE && number > 1 ? 0 : -1;
        int bitpix = 0, naxis = 0;
        if (!isImageHdu(fits.file, &status) || fits_get_img_type(fits.file, &bitpix, &status) ||
            fits_get_img_dim(fits.file, &naxis, &status) || bitpix != SHORT_IMG || naxis < 2) {
            if (status != 0)
                return -1;
            continue;
        }
        std::vector<LONGLONG> axes(static_cast<size_t>(naxis));
        if (fits_get_img_sizell(fits.file, naxis, axes.data(), &status) != 0)
            return -1;
        bool flat = axes[0] > 0 && axes[1] > 0;
        for (int i = 2; i < naxis; ++i)
            flat = flat && axes[static_cast<size_t>(i)] == 1;
        if (flat) {
            *hdu = number - 1;
            return 1;
        }
    }
}

int readAnyFitsSize(int fd, const std::string& hdu, int32_t* width, int32_t* height,
                    std::string* message)
{
    FitsFile fits;
    int bitpix = 0;
    LONGLONG w = 0, h = 0;
    if (openDescriptor(fd, &fits, message) != 0 || moveToHdu(fits.file, hdu, message) != 0 ||
        readShape(fits.file, &bitpix, &w, &h, message) != 0)
        return -1;
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return 0;
}

int readAnyFitsImage(int fd, const std::string& hdu, const FitsReadOptions& options,
                     FitsImage* image, std::string* message)
{
    emptyFitsImageKeepingBuffers(image);
    FitsFile fits;
    LONGLONG width = 0, height = 0;
    if (openDescriptor(fd, &fits, message) != 0 || moveToHdu(fits.file, hdu, message) != 0 ||
        readHeader(fits.file, image, &width, &height, message) != 0 ||
        checkDataSum(fits.file, message) != 0) {
        freeFitsImage(image);
        return -1;
    }
    const size_t total = static_cast<size_t>(width * height);
    const bool sixteen = image->bitpix == 16;
    try {
        if (sixteen) {
            image->pixels.resize(total);
        } else {
            image->values.resize(total);
            image->noData.assign(total, PIXEL_HAS_DATA);
        }
    } catch (const std::bad_alloc&) {
        return fail(image, message,
                    formatText("Could not malloc %lld for pixels",
                               static_cast<long long>(total * (sixteen ? 2 : 5))));
    }
    int status = 0;
    if (total > 0 && (sixteen ? readSixteenBit(fits.file, width, height, image, &status)
                              : readValues(fits.file, width, height, options, image, &status)) != 0)
        return fail(image, message, "can not read: " + fitsErrorText(status));
    return 0;
}

} // namespace newstars
