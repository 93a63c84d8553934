// Cropping with arbitrary size cards, pixel buffers and areas: a crop either fails
// with the destination untouched or copies exactly the area asked for.
// Input: the NAXIS1 and NAXIS2 card values (text up to a line end), the buffer's row
// length and pixel count (up to 4096), x, y, w, h.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fits/crop.hpp"
#include "fits/fits_image.hpp"

using namespace newstars;

static void addValueCard(FitsImage* image, const char* keyword, const std::string& value)
{
    std::string card = keyword;
    card.resize(8, ' ');
    card += "= " + value;
    card.resize(80, ' ');
    addCard(image, card.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    FitsImage source;
    initFitsImage(&source);
    addValueCard(&source, "NAXIS", "2");
    addValueCard(&source, "NAXIS1", input.ConsumeRandomLengthString(30));
    addValueCard(&source, "NAXIS2", input.ConsumeRandomLengthString(30));
    if (input.ConsumeBool())
        addValueCard(&source, "CROPX", "7");
    source.width = input.ConsumeIntegralInRange(-2, 128);
    source.pixels.resize(input.ConsumeIntegralInRange<size_t>(0, 4096));
    for (size_t i = 0; i < source.pixels.size(); ++i)
        source.pixels[i] = static_cast<uint16_t>(i * 7919);
    const int32_t x = input.ConsumeIntegral<int32_t>();
    const int32_t y = input.ConsumeIntegral<int32_t>();
    const int32_t w = input.ConsumeIntegral<int32_t>();
    const int32_t h = input.ConsumeIntegral<int32_t>();

    FitsImage destination;
    initFitsImage(&destination);
    std::string message;
    if (cropFITS(&source, &destination, x, y, w, h, &message) == 0) {
        if (destination.width != w || destination.height != h ||
            destination.pixels.size() != static_cast<size_t>(w) * static_cast<size_t>(h))
            __builtin_trap();
        for (int32_t row = 0; row < h; ++row) {
            for (int32_t column = 0; column < w; ++column) {
                const size_t from = (static_cast<size_t>(y) + row) * source.width + x + column;
                if (destination.pixels[static_cast<size_t>(row) * w + column] !=
                    source.pixels[from])
                    __builtin_trap();
            }
        }
    } else if (message.empty() || destination.cardCount != 0 || !destination.pixels.empty()) {
        __builtin_trap();
    }
    return 0;
}
