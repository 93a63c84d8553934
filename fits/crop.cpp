#include "fits/crop.hpp"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/text.hpp"
#include "fits/fits_read.hpp"

namespace newstars {

// True when the span of size pixels from start lies within 0..limit (sums in 64 bits).
static bool spanFits(int32_t start, int32_t size, int32_t limit)
{
    return start >= 0 && size > 0 && static_cast<int64_t>(start) + size <= limit;
}

// Empties the destination after a card could not be added: -1 with the reason.
static int failCropCards(FitsImage* destination, std::string* message)
{
    freeFitsImage(destination);
    message->assign(CARD_MEMORY_MESSAGE);
    return -1;
}

// True when rows of rowLength pixels in a buffer of count pixels hold the area.
static bool bufferHoldsArea(std::size_t count, int32_t rowLength, int32_t x, int32_t y, int32_t w,
                            int32_t h)
{
    if (static_cast<int64_t>(x) + w > rowLength) {
        return false;
    }
    int64_t end =
        (static_cast<int64_t>(y) + h - 1) * rowLength + x + w; // one past the last pixel read
    return static_cast<uint64_t>(end) <= count;
}

int cropFITS(const FitsImage* source, FitsImage* destination, int32_t x, int32_t y, int32_t w,
             int32_t h, std::string* message)
{
    int32_t sw = 0;
    int32_t sh = 0;
    if (getImageSize(source, &sw, &sh, message) == -1) {
        return -1;
    }
    if (!spanFits(x, w, sw)) {
        *message = formatText("cropFITS: Bad AOI: x=%d w=%d sw=%d", x, w, sw);
        return -1;
    }
    if (!spanFits(y, h, sh)) {
        *message = formatText("cropFITS: Bad AOI: y=%d h=%d sh=%d", y, h, sh);
        return -1;
    }
    if (!bufferHoldsArea(source->pixels.size(), source->width, x, y, w, h)) {
        *message = formatText("cropFITS: AOI lies outside the %zu-pixel buffer of rows of %d",
                              source->pixels.size(), source->width);
        return -1;
    }
    if (destination ==
        source) { // emptying the destination would discard the area before it is copied
        message->assign("cropFITS: destination must be another image than the source");
        return -1;
    }

    initFitsImage(destination);
    const int64_t count = static_cast<int64_t>(w) * h;
    try {
        destination->pixels.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        *message = formatText("cropFITS: Could not malloc %lld bytes for pixels",
                              static_cast<long long>(count * 2));
        freeFitsImage(destination);
        return -1;
    }

    const std::size_t cardsHeld = source->cards.size() / FITS_CARD_LENGTH;
    for (std::size_t i = 0; i < cardsHeld && i < static_cast<std::size_t>(source->cardCount); ++i) {
        const char* card = source->cards.data() + i * FITS_CARD_LENGTH;
        int status = 0;
        if (std::memcmp(card, "NAXIS1  ", 8) == 0) {
            status = setIntCard(destination, "NAXIS1", w);
        } else if (std::memcmp(card, "NAXIS2  ", 8) == 0) {
            status = setIntCard(destination, "NAXIS2", h);
        } else {
            status = addCard(destination, card);
        }
        if (status != 0)
            return failCropCards(destination, message);
    }
    if (setIntCard(destination, "CROPX", x) != 0 || setIntCard(destination, "CROPY", y) != 0)
        return failCropCards(destination, message);

    const std::size_t rowLength = static_cast<std::size_t>(source->width);
    std::size_t from = static_cast<std::size_t>(y) * rowLength + static_cast<std::size_t>(x);
    for (int32_t row = 0; row < h; ++row) {
        std::memcpy(destination->pixels.data() +
                        static_cast<std::size_t>(row) * static_cast<std::size_t>(w),
                    source->pixels.data() + from, static_cast<std::size_t>(w) * sizeof(uint16_t));
        from += rowLength;
    }
    destination->width = w;
    destination->height = h;
    return 0;
}

} // namespace newstars
