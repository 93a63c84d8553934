// findStars against a second, deliberately plain detector written here from the
// description of the algorithm alone: every threshold summed afresh from its 40 pixels,
// every duplicate test a scan of all stars accepted so far, no shortcut of any kind.
// Both must agree on every star (position bit for bit, peak) on fields chosen to reach
// the corners: noise alone, crowding, hot pixels, saturation, steep gradients, bright
// borders, the smallest images, odd sizes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stars/find_stars.hpp"
#include "stars/star_field.hpp"

using namespace newstars;

namespace {

struct PlainStar {
    double x, y;
    uint16_t peak;
};

using Image = std::vector<uint16_t>;

uint16_t at(const Image& image, int width, int x, int y)
{
    return image[static_cast<size_t>(y) * width + x];
}

// Background strip: median and sample deviation of rows h/2 .. h/2 + 9, columns 32 .. w - 33.
void stripMedianSigma(const Image& image, int width, int height, int* median, double* sigma)
{
    std::vector<uint32_t> histogram(65536, 0);
    double sum = 0, squares = 0;
    const int w = width - 64, h = 10;
    for (int y = height / 2; y < height / 2 + h; ++y) {
        for (int x = 32; x < 32 + w; ++x) {
            const double v = at(image, width, x, y);
            ++histogram[at(image, width, x, y)];
            sum += v;
            squares += v * v;
        }
    }
    const int n = w * h;
    const double variance = (squares - sum * sum / n) / (n - 1);
    *sigma = variance > 0 ? std::sqrt(variance) : 0;
    const int half = n / 2;
    long running = 0;
    *median = 0;
    for (int v = 0; v < 65536; ++v) {
        running += histogram[v];
        if (running >= half) {
            *median = v;
            break;
        }
    }
}

double windowLevel(const Image& image, int width, int y, int firstX)
{
    double s = 0, q = 0;
    for (int x = firstX; x < firstX + 20; ++x) {
        const double v = at(image, width, x, y);
        s += v;
        q += v * v;
    }
    const double deviation = std::sqrt(std::fabs(q - s * s / 20) / 19);
    return s / 20 + 5 * deviation;
}

bool isSpike(Image& image, int width, int x, int y, uint16_t t)
{
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if ((dx != 0 || dy != 0) && at(image, width, x + dx, y + dy) > t)
                return false;
        }
    }
    image[static_cast<size_t>(y) * width + x] = t;
    return true;
}

bool climb(const Image& image, int width, int x0, int y0, int* px, int* py)
{
    static const int order[8][2] = {{1, 1},  {0, 1},  {-1, 1}, {1, 0},
                                    {-1, 0}, {1, -1}, {0, -1}, {-1, -1}};
    int x = x0, y = y0;
    for (;;) {
        int best = at(image, width, x, y), bx = x, by = y;
        for (const auto& o : order) {
            const int v = at(image, width, x + o[0], y + o[1]);
            if (v > best) {
                best = v;
                bx = x + o[0];
                by = y + o[1];
            }
        }
        if (bx == x && by == y)
            break;
        x = bx;
        y = by;
        if (std::abs(x - x0) > 10 || std::abs(y - y0) > 10)
            return false;
    }
    *px = x;
    *py = y;
    return true;
}

bool standsClear(const Image& image, int width, int x, int y, uint16_t p)
{
    for (int r = 2; r <= 4; ++r) {
        double n = 0, s = 0, q = 0;
        for (int dy = -r - 1; dy <= r + 1; ++dy) {
            for (int dx = -r - 1; dx <= r + 1; ++dx) {
                const int d2 = dx * dx + dy * dy;
                if (d2 < r * r || d2 >= (r + 1) * (r + 1))
                    continue;
                const double v = at(image, width, x + dx, y + dy);
                n += 1;
                s += v;
                q += v * v;
            }
        }
        const double deviation = std::sqrt(std::fabs(q - s * s / n) / (n - 1));
        if (p > s / n + 5 * deviation)
            return true;
    }
    return false;
}

double vertex(double coordinate, double before, double centre, double after)
{
    const double d = after - 2 * centre + before;
    if (d == 0)
        return coordinate;
    return coordinate + 0.5 - (after - centre) / d;
}

std::vector<PlainStar> plainFindStars(const Image& pixels, int width, int height)
{
    std::vector<PlainStar> stars;
    if (width < 65 || height < 65)
        return stars;
    Image image = pixels;
    int median = 0;
    double sigma = 0;
    stripMedianSigma(pixels, width, height, &median, &sigma);
    const auto fill = static_cast<uint16_t>(std::min(65535.0, std::trunc(median + 5 * sigma)));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (y < 32 || y >= height - 32 || x < 32 || x >= width - 32) {
                image[static_cast<size_t>(y) * width + x] = fill;
            }
        }
    }
    for (int y = 32; y <= height - 33; ++y) {
        double threshold = 0;
        for (int x = 32; x <= width - 33; ++x) {
            if (x % 4 == 0) {
                threshold = std::min(windowLevel(image, width, y, x - 20),
                                     windowLevel(image, width, y, x + 1));
            }
            if (!(at(image, width, x, y) > threshold))
                continue;
            if (isSpike(image, width, x, y, static_cast<uint16_t>(threshold)))
                continue;
            int px = 0, py = 0;
            if (!climb(image, width, x, y, &px, &py))
                continue;
            const uint16_t p = at(image, width, px, py);
            if (p == 65535)
                continue;
            bool duplicate = false;
            for (const PlainStar& s : stars) {
                const int sx = static_cast<int>(s.x), sy = static_cast<int>(s.y);
                if (std::abs(sx - px) <= 4 && std::abs(sy - py) <= 4) {
                    duplicate = true;
                    break;
                }
            }
            if (duplicate || !standsClear(image, width, px, py, p))
                continue;
            stars.push_back(
                {vertex(px, at(image, width, px - 1, py), p, at(image, width, px + 1, py)),
                 vertex(py, at(image, width, px, py - 1), p, at(image, width, px, py + 1)), p});
        }
    }
    return stars;
}

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
