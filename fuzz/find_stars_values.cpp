// The star finder on arbitrary float values and masks: whatever the values (NaN,
// infinities, huge, tiny, negative), every star found has its brightest pixel and the
// eight around it holding data (unless it lies in the band along the edges, which is
// filled), a finite value below the saturation level there, a position inside the image, and the call leaves the values and mask untouched.
// Input: two bytes for the width and height (65 to 128), one for the saturation level
// (below 128: none; otherwise the middle pixel's value, NaN meaning none), then pixel values, four
// bytes each (a float), and the mask bits (a pixel without data where the low bit of
// its value's first byte is set and the second byte is 0), repeated to fill the image.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/find_stars.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 7)
        return 0;
    const int width = 65 + data[0] % 64;
    const int height = 65 + data[1] % 64;
    const bool saturates = data[2] >= 128;
    data += 3;
    size -= 3;
    const size_t count = size / 4;
    const size_t n = static_cast<size_t>(width) * height;
    std::vector<float> values(n);
    std::vector<uint8_t> noData(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* bytes = data + 4 * (i % count);
        std::memcpy(&values[i], bytes, sizeof(float));
        noData[i] = (bytes[0] & 1) != 0 && bytes[1] == 0 ? PIXEL_NO_DATA : PIXEL_HAS_DATA;
    }
    const double saturation = saturates ? values[n / 2] : std::numeric_limits<double>::infinity();
    const std::vector<float> originalValues = values;
    const std::vector<uint8_t> originalMask = noData;

    StarFinderWorkspace workspace;
    StarList stars;
    const int found = findStarsInValues(values.data(), noData.data(), width, height, saturation,
                                        &stars, &workspace);
    if (found < 0 || std::memcmp(values.data(), originalValues.data(), n * sizeof(float)) != 0 ||
        noData != originalMask || stars.x.size() != static_cast<size_t>(found) ||
        stars.flags.size() != stars.x.size() || stars.peakValue.size() != stars.x.size())
        __builtin_trap();
    for (int i = 0; i < found; ++i) {
        if (!(stars.x[i] >= 20 && stars.x[i] <= width - 21 && stars.y[i] >= 20 &&
              stars.y[i] <= height - 21) ||
            !std::isfinite(stars.peakValue[i]) ||
            (!std::isnan(saturation) && !(stars.peakValue[i] < saturation)))
            __builtin_trap();
        // The refined position lies within half a pixel of the brightest pixel; exactly
        // half a pixel off (a plateau), which pixel it was stays open.
        if (stars.x[i] - std::floor(stars.x[i]) == 0.5 ||
            stars.y[i] - std::floor(stars.y[i]) == 0.5)
            continue;
        // The band of 32 pixels along the edges is filled with a level that holds data.
        const long px = std::lround(stars.x[i]), py = std::lround(stars.y[i]);
        if (px < 33 || px > width - 34 || py < 33 || py > height - 34)
            continue;
        for (long dy = -1; dy <= 1; ++dy) {
            for (long dx = -1; dx <= 1; ++dx) {
                const size_t k = static_cast<size_t>((py + dy) * width + px + dx);
                if (noData[k] != PIXEL_HAS_DATA || !std::isfinite(values[k]))
                    __builtin_trap();
            }
        }
    }
    return 0;
}
