#include "fits/fits_write.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/file_descriptor.hpp"
#include "base/text.hpp"
#include "fits/fits_read.hpp"
#include "sky/calendar.hpp"

namespace newstars {

// Julian Date of day number 0 (1899 December 31, 12:00).
static constexpr double JD_OF_DAY_NUMBER_ZERO = 2415020.0;
static constexpr int64_t SECONDS_PER_DAY = 86400;
// The instants setObservationTime accepts: 0001 January 1 (Julian) 00:00:00 to
// 9999 December 31 23:59:59.
static constexpr int64_t EARLIEST_OBSERVATION_TIME = -62135769600;
static constexpr int64_t LATEST_OBSERVATION_TIME = 253402300799;
// Day number of 1970 January 1, 12:00 (Julian Date 2440588).
static constexpr double NOON_OF_1970_JANUARY_1 = 25568;

// Number of pixels of the image, or -1 when the size is negative.
static int64_t pixelCountOf(int32_t width, int32_t height)
{
    if (width < 0 || height < 0) {
        return -1;
    }
    return static_cast<int64_t>(width) * height;
}

// Memory form to file form: subtract 32768 (flip the top bit), store high byte first.
static void pixelsToFitsOrder(uint16_t* pixels, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        unsigned value = static_cast<unsigned>(pixels[i]) ^ 0x8000u;
        unsigned char* bytes = reinterpret_cast<unsigned char*>(pixels + i);
        bytes[0] = static_cast<unsigned char>(value >> 8);
        bytes[1] = static_cast<unsigned char>(value & 0xFFu);
    }
}

// Writes all count bytes. 0, or -1 with the system's error text, or shortMessage when
// a request writes nothing.
static int writeBytes(int fd, const void* bytes, std::size_t count, const char* shortMessage,
                      std::string* message)
{
    if (writeAll(fd, bytes, count) == 0)
        return 0;
    message->assign(errno != 0 ? std::strerror(errno) : shortMessage);
    return -1;
}

// Converts count pixels to file form, writes them and the zero fill that completes
// their last record, and converts them back when restorePixels is set, on every path.
static int writePixelData(int fd, uint16_t* pixels, std::size_t count, int restorePixels,
                          std::string* message)
{
    static const unsigned char zeros[FITS_RECORD_LENGTH] = {};
    pixelsToFitsOrder(pixels, count);
    std::size_t bytes = count * 2;
    std::size_t fill = (FITS_RECORD_LENGTH - bytes % FITS_RECORD_LENGTH) % FITS_RECORD_LENGTH;
    int result = writeBytes(fd, reinterpret_cast<const unsigned char*>(pixels), bytes,
                            "Short write of FITS pixels", message);
    if (result == 0) {
        result = writeBytes(fd, zeros, fill, "Short write of FITS pixels", message);
    }
    if (restorePixels) {
        convertPixelsFromFits(pixels, count);
    }
    return result;
}

int writeFitsImage(int fd, FitsImage* image, std::string* message, int restorePixels)
{
    if (image->pixels.empty()) {
        message->assign("No pixels :-(");
        return -1;
    }
    int64_t count = pixelCountOf(image->width, image->height);
    if (count < 0 || static_cast<uint64_t>(count) > image->pixels.size()) {
        *message = formatText("Image of %d x %d pixels does not match its %zu-pixel buffer",
                              image->width, image->height, image->pixels.size());
        return -1;
    }
    if (writeFitsHeader(image, fd, message) == -1) {
        return -1;
    }
    return writePixelData(fd, image->pixels.data(), static_cast<std::size_t>(count), restorePixels,
                          message);
}

int writeFitsHeader(const FitsImage* image, int fd, std::string* message)
{
    const int64_t cards = image->cardCount;
    if (cards < 0 || static_cast<uint64_t>(cards) * FITS_CARD_LENGTH != image->cards.size()) {
        *message = formatText("Header of %lld cards does not match its %zu-byte card store",
                              static_cast<long long>(cards), image->cards.size());
        return -1;
    }
    const int64_t blanks =
        (FITS_CARDS_PER_RECORD - (cards + 1) % FITS_CARDS_PER_RECORD) % FITS_CARDS_PER_RECORD;
    const std::size_t total = static_cast<std::size_t>((cards + 1 + blanks) * FITS_CARD_LENGTH);
    std::vector<char> block;
    try {
        block.assign(total, ' ');
    } catch (const std::bad_alloc&) {
        *message = formatText("Can not malloc %zu for padded FITS header", total);
        return -1;
    }
    if (!image->cards.empty()) {
        std::memcpy(block.data(), image->cards.data(), image->cards.size());
    }
    formatEndCard(block.data() + image->cards.size());
    ssize_t written;
    do {
        written = write(fd, block.data(), total);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        message->assign(std::strerror(errno));
        return -1;
    }
    if (static_cast<std::size_t>(written) != total) {
        message->assign("Short write of FITS header");
        return -1;
    }
    return 0;
}

void swapPixelsToFits(FitsImage* image)
{
    int64_t count = pixelCountOf(image->width, image->height);
    if (count <= 0) {
        return;
    }
    std::size_t n = image->pixels.size();
    if (static_cast<uint64_t>(count) < n) {
        n = static_cast<std::size_t>(count);
    }
    pixelsToFitsOrder(image->pixels.data(), n);
}

int writeFitsBuffer(int fd, uint16_t* pixels, int32_t width, int32_t height, int restorePixels)
{
    int64_t count = pixelCountOf(width, height);
    if (pixels == nullptr || count < 0) {
        return -1;
    }
    FitsImage header;
    initFitsImage(&header);
    header.width = width;
    header.height = height;
    header.bitpix = 16;
    if (setDefaultCards(&header) != 0)
        return -1;
    std::string message;
    if (writeFitsHeader(&header, fd, &message) == -1) {
        return -1;
    }
    return writePixelData(fd, pixels, static_cast<std::size_t>(count), restorePixels, &message);
}

int setDefaultCards(FitsImage* image)
{
    // One statement per card: the appends keep this order.
    int failed = setLogicalCard(image, "SIMPLE", 1);
    failed |= setIntCard(image, "BITPIX", image->bitpix);
    failed |= setIntCard(image, "NAXIS", 2);
    failed |= setIntCard(image, "NAXIS1", image->width);
    failed |= setIntCard(image, "NAXIS2", image->height);
    failed |= setIntCard(image, "BZERO", PIXEL_ZERO);
    failed |= setIntCard(image, "OFFSET1", image->offset1);
    failed |= setIntCard(image, "OFFSET2", image->offset2);
    failed |= setIntCard(image, "XFACTOR", image->xfactor);
    failed |= setIntCard(image, "YFACTOR", image->yfactor);
    failed |= setRealCard(image, "EXPTIME", image->exposureMs / 1000.0, 6);
    failed |= setCommentCard(image, "COMMENT", "Rows are flipped from FITS standard");
    failed |=
        setStringCard(image, "ORIGIN", "Dept of Physics and Astronomy, University of Corvale, USA");
    failed |= setStringCard(image, "TELESCOP", "Astrophysics 7\" Refractor");
    return failed != 0 ? -1 : 0;
}

static int64_t floorDivide(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int setObservationTime(FitsImage* image, int64_t seconds)
{
    if (seconds < EARLIEST_OBSERVATION_TIME || seconds > LATEST_OBSERVATION_TIME) {
        return -1;
    }
    int64_t days = floorDivide(seconds, SECONDS_PER_DAY);
    int64_t secondOfDay = seconds - days * SECONDS_PER_DAY;
    int hour = static_cast<int>(secondOfDay / 3600);
    int minute = static_cast<int>(secondOfDay % 3600 / 60);
    int second = static_cast<int>(secondOfDay % 60);
    // The calendar date of the day's noon (whole day numbers fall at noon).
    int month = 0, year = 0;
    double dayOfMonth = 0;
    dayNumberToCalendar(static_cast<double>(days) + NOON_OF_1970_JANUARY_1, &month, &dayOfMonth,
                        &year);
    const int day = static_cast<int>(dayOfMonth);

    char text[64];
    if (year >= 1900 && year <= 1999) {
        std::snprintf(text, sizeof text, "%02d/%02d/%02d", day, month, year - 1900);
    } else {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    }
    int failed = setStringCard(image, "DATE-OBS", text);
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", hour, minute, second);
    failed |= setStringCard(image, "TIME-OBS", text);

    double dayWithTime = ((second / 60.0 + minute) / 60.0 + hour) / 24.0 + day;
    double dayNumber = 0;
    calendarToDayNumber(month, dayWithTime, year, &dayNumber);
    failed |= setRealCard(image, "JD", dayNumber + JD_OF_DAY_NUMBER_ZERO, 12);
    return failed != 0 ? -1 : 0;
}

void splitPath(const char* path, std::string* directory, std::string* baseName,
               std::string* extension)
{
    const std::string text(path);
    std::size_t separator = text.find_last_of("/\\");
    std::size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    directory->assign(text, 0, nameStart);
    std::size_t dot = text.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) {
        baseName->assign(text, nameStart, std::string::npos);
        extension->clear();
    } else {
        baseName->assign(text, nameStart, dot - nameStart);
        extension->assign(text, dot + 1, std::string::npos);
    }
}

} // namespace newstars
