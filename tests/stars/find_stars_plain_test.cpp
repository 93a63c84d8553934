// findStars against the plain detector of plain_detector.hpp on fields chosen to reach
// the corners: noise alone, crowding, hot pixels, saturation, steep gradients, bright
// borders, the smallest images, odd sizes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stars/find_stars.hpp"
#include "stars/plain_detector.hpp"
#include "stars/star_field.hpp"

using namespace newstars;
using plain_detector::Image;
using plain_detector::plainFindStars;
using plain_detector::PlainStar;

namespace {

uint64_t bitsOf(double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Gaussian noise of the given deviation around level (sum of 12 uniforms).
void fillNoise(Image* image, double level, double deviation, uint64_t seed)
{
    FieldRandom random{seed * 0x9E3779B97F4A7C15ull + 7};
    for (uint16_t& pixel : *image) {
        double u = -6;
        for (int i = 0; i < 12; ++i)
            u += nextUniform(&random);
        pixel = static_cast<uint16_t>(std::clamp(std::lround(level + deviation * u), 0L, 65535L));
    }
}

struct Field {
    const char* name;
    int width, height;
    void (*make)(Image* image, int width, int height);
};

// Stars of random position, amplitude (low to high) and width added to an image.
void addStars(Image* image, int width, int height, int count, double low, double high,
              uint64_t seed)
{
    FieldRandom random{seed};
    for (int i = 0; i < count; ++i) {
        const double x = nextUniform(&random) * width, y = nextUniform(&random) * height;
        const double amplitude = low + (high - low) * nextUniform(&random);
        addGaussianStar(image->data(), width, height, x, y, amplitude,
                        0.8 + 1.5 * nextUniform(&random));
    }
}

// Sets count random pixels to random values from low to high; every second one also
// sets its right-hand neighbour, so that pairs survive the spike test.
void addHotPixels(Image* image, int width, int height, int count, double low, double high,
                  uint64_t seed)
{
    FieldRandom random{seed};
    for (int i = 0; i < count; ++i) {
        const auto x = static_cast<size_t>(nextUniform(&random) * (width - 1));
        const auto y = static_cast<size_t>(nextUniform(&random) * height);
        const auto value = static_cast<uint16_t>(low + (high - low) * nextUniform(&random));
        (*image)[y * width + x] = value;
        if (i % 2 == 1)
            (*image)[y * width + x + 1] = value;
    }
}

const Field fields[] = {
    {"faint noise", 200, 150,
     [](Image* im, int w, int h) {
         fillNoise(im, 300, 2, 1);
         addStars(im, w, h, 60, 5, 80, 21);
     }},
    {"moderate noise", 180, 181,
     [](Image* im, int w, int h) {
         fillNoise(im, 1000, 30, 2);
         addStars(im, w, h, 80, 50, 1500, 22);
     }},
    {"heavy noise", 301, 97,
     [](Image* im, int w, int h) {
         fillNoise(im, 20000, 3000, 3);
         addStars(im, w, h, 80, 5000, 40000, 23);
     }},
    {"noise near zero", 150, 150,
     [](Image* im, int w, int h) {
         fillNoise(im, 3, 3, 4);
         addStars(im, w, h, 60, 3, 60, 24);
     }},
    {"sparse stars", 256, 256,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 40, 5); }},
    {"dense stars", 320, 240,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 1500, 6); }},
    {"crowded stars", 200, 200,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 2500, 7); }},
    {"hot pixels and pairs", 160, 140,
     [](Image* im, int w, int h) {
         fillNoise(im, 500, 5, 8);
         addHotPixels(im, w, h, 600, 520, 65535, 25);
     }},
    {"two-level pattern", 130, 120,
     [](Image* im, int w, int h) {
         std::fill(im->begin(), im->end(), 100);
         addHotPixels(im, w, h, 900, 1000, 1001, 26);
     }},
    {"saturated stars", 200, 200,
     [](Image* im, int w, int h) {
         fillNoise(im, 1000, 10, 9);
         addStars(im, w, h, 80, 20000, 300000, 27);
     }},
    {"steep gradient", 240, 200,
     [](Image* im, int w, int h) {
         fillNoise(im, 0, 8, 10);
         for (int y = 0; y < h; ++y) {
             for (int x = 0; x < w; ++x) {
                 uint16_t& p = (*im)[static_cast<size_t>(y) * w + x];
                 p = static_cast<uint16_t>(std::min(65535.0, p + 250.0 * x + 40.0 * y));
             }
         }
         makeStarField(im->data(), w, h, 200, 12);
     }},
    {"bright strip, fill clamped", 150, 120,
     [](Image* im, int w, int h) {
         fillNoise(im, 20000, 30, 13);
         for (int x = 32; x < w - 32; x += 7)
             (*im)[static_cast<size_t>(h / 2 + 3) * w + x] = 65535;
         addStars(im, w, h, 40, 2000, 30000, 28);
     }},
    {"bright edges", 180, 170,
     [](Image* im, int w, int h) {
         makeStarField(im->data(), w, h, 150, 15);
         for (int y = 0; y < h; ++y) {
             for (int x = 0; x < w; ++x) {
                 if (x < 40 || x >= w - 40 || y < 40 || y >= h - 40) {
                     uint16_t& p = (*im)[static_cast<size_t>(y) * w + x];
                     p = static_cast<uint16_t>(std::min(65535, p + 30000));
                 }
             }
         }
     }},
    {"smallest square", 65, 65,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 8, 16); }},
    {"one column wider", 66, 65,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 8, 17); }},
    {"small, star near the centre", 80, 76,
     [](Image* im, int w, int h) {
         fillNoise(im, 100, 3, 29);
         addGaussianStar(im->data(), w, h, 40.3, 34.6, 20000, 1.0);
         addGaussianStar(im->data(), w, h, 44.8, 36.2, 3000, 0.9);
     }},
    {"tall and narrow", 67, 400,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 300, 18); }},
    {"wide and low", 500, 70,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 300, 19); }},
    {"too narrow", 64, 200,
     [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 30, 20); }},
    {"too low", 200, 64, [](Image* im, int w, int h) { makeStarField(im->data(), w, h, 30, 21); }},
    {"flat", 100, 90, [](Image* im, int, int) { std::fill(im->begin(), im->end(), 1234); }},
};

} // namespace

TEST(FindStars, AgreesWithPlainDetectorOnVariedFields)
{
    for (const Field& field : fields) {
        Image image(static_cast<size_t>(field.width) * field.height, 0);
        field.make(&image, field.width, field.height);
        const Image original = image;

        const std::vector<PlainStar> expected = plainFindStars(image, field.width, field.height);
        StarList found;
        const int count = findStars(image.data(), field.width, field.height, &found);

        EXPECT_EQ(image, original) << field.name;
        ASSERT_EQ(count, static_cast<int>(expected.size())) << field.name;
        ASSERT_GE(found.x.size(), static_cast<size_t>(count)) << field.name;
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(bitsOf(found.x[i]), bitsOf(expected[i].x)) << field.name << " star " << i;
            EXPECT_EQ(bitsOf(found.y[i]), bitsOf(expected[i].y)) << field.name << " star " << i;
            EXPECT_EQ(found.peak[i], expected[i].peak) << field.name << " star " << i;
        }
    }
}

TEST(FindStars, AgreesWithPlainDetectorOnADenseField)
{
    const int width = 1024, height = 1024;
    Image image(static_cast<size_t>(width) * height);
    // Dense enough that many stars fall within 4 pixels of each other, with hot pixels
    // clipped inside the sliding threshold windows.
    makeStarField(image.data(), width, height, 12000, 20260001u);
    StarList fast;
    const int n = findStars(image.data(), width, height, &fast);
    ASSERT_GT(n, 3000);
    const std::vector<PlainStar> plain = plainFindStars(image, width, height);
    ASSERT_EQ(static_cast<int>(plain.size()), n);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(bitsOf(fast.x[i]), bitsOf(plain[i].x)) << "star " << i;
        ASSERT_EQ(bitsOf(fast.y[i]), bitsOf(plain[i].y)) << "star " << i;
        ASSERT_EQ(fast.peak[i], plain[i].peak) << "star " << i;
    }
}
