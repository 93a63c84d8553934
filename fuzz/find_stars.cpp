// The star finder on small arbitrary images, against the plain detector: the same
// stars (positions bit for bit, peaks), pixels untouched; the finder on the same values
// as floats finds them too, and with the pixels of value 0 marked as holding no data, no
// star has its brightest pixel or a neighbour of it among them and exactly those whose
// aperture holds one are flagged.
// Input: two bytes for the width and height (65 to 128, so that there is a scan area),
// then pixel values, two bytes each, repeated to fill the image.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/find_stars.hpp"
#include "stars/plain_detector.hpp"

using namespace newstars;

static bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int width = 65 + data[0] % 64;
    const int height = 65 + data[1] % 64;
    data += 2;
    size -= 2;
    const size_t values = size / 2;
    std::vector<uint16_t> image(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < image.size(); ++i) {
        const size_t k = i % values;
        image[i] = static_cast<uint16_t>(data[2 * k] << 8 | data[2 * k + 1]);
    }
    const std::vector<uint16_t> original = image;

    StarList fast;
    const int count = findStars(image.data(), width, height, &fast);
    const std::vector<plain_detector::PlainStar> plain =
        plain_detector::plainFindStars(image, width, height);
    if (image != original || count != static_cast<int>(plain.size()))
        __builtin_trap();
    for (int i = 0; i < count; ++i) {
        if (!sameBits(fast.x[i], plain[i].x) || !sameBits(fast.y[i], plain[i].y) ||
            fast.peak[i] != plain[i].peak)
            __builtin_trap();
    }

    const std::vector<float> asFloats(image.begin(), image.end());
    StarFinderWorkspace workspace;
    StarList fromValues;
    if (findStarsInValues(asFloats.data(), nullptr, width, height, 65535, &fromValues,
                          &workspace) != count)
        __builtin_trap();
    for (int i = 0; i < count; ++i) {
        if (!sameBits(fromValues.x[i], fast.x[i]) || !sameBits(fromValues.y[i], fast.y[i]) ||
            fromValues.peak[i] != fast.peak[i] || fromValues.flags[i] != 0)
            __builtin_trap();
    }

    std::vector<uint8_t> noData(image.size());
    for (size_t i = 0; i < image.size(); ++i)
        noData[i] = image[i] == 0 ? PIXEL_NO_DATA : PIXEL_HAS_DATA;
    StarList masked;
    const int maskedCount = findStarsInValues(asFloats.data(), noData.data(), width, height, 65535,
                                              &masked, &workspace);
    for (int i = 0; i < maskedCount; ++i) {
        // The refined position lies within half a pixel of the brightest pixel along each
        // axis; exactly half a pixel off (a plateau), which pixel it was stays open.
        if (masked.x[i] - std::floor(masked.x[i]) == 0.5 ||
            masked.y[i] - std::floor(masked.y[i]) == 0.5)
            continue;
        const int px = static_cast<int>(std::lround(masked.x[i]));
        const int py = static_cast<int>(std::lround(masked.y[i]));
        bool besideNoData = false, inAperture = false;
        for (int dy = -4; dy <= 4; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                const bool none = noData[static_cast<size_t>(py + dy) * width + px + dx] != 0;
                besideNoData |= none && dx * dx <= 1 && dy * dy <= 1;
                inAperture |= none && dx * dx + dy * dy < 25;
            }
        }
        if (besideNoData || inAperture != ((masked.flags[i] & STAR_NEAR_NO_DATA) != 0) ||
            masked.peakValue[i] <= 0)
            __builtin_trap();
    }
    return 0;
}
