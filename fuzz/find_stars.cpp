// The star finder on small arbitrary images, against the plain detector: the same
// stars (positions bit for bit, peaks), pixels untouched.
// Input: two bytes for the width and height (65 to 128, so that there is a scan area),
// then pixel values, two bytes each, repeated to fill the image.

#include <cstdint>
#include <cstring>
#include <vector>

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
    return 0;
}
