// The finder's kernels: the vector pre-test flags every group of four pixels that holds
// a pixel not clearly below its windows, and every kernel, on a workspace reused across
// images of different sizes, finds the same stars bit for bit as the portable one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stars/find_stars.hpp"
#include "stars/star_field.hpp"
#include "stars/threshold_pretest.hpp"

using namespace newstars;

namespace {

using Image = std::vector<uint16_t>;

// Noise of the given deviation (sum of 12 uniforms) around level, clamped to 16 bits.
uint16_t noisy(FieldRandom* random, double level, double deviation)
{
    double u = -6;
    for (int i = 0; i < 12; ++i)
        u += nextUniform(random);
    return static_cast<uint16_t>(std::clamp(level + deviation * u, 0.0, 65535.0));
}

// Pixel makers for rows and images: each draws one pixel.
struct PixelKind {
    const char* name;
    uint16_t (*draw)(FieldRandom* random);
};

const PixelKind kinds[] = {
    {"sky", [](FieldRandom* r) { return noisy(r, 1000, 10); }},
    {"sky with hot pixels",
     [](FieldRandom* r) { return nextUniform(r) < 0.01 ? uint16_t{40000} : noisy(r, 1000, 10); }},
    {"faint sky near zero", [](FieldRandom* r) { return noisy(r, 2, 2); }},
    {"bright sky near 65535", [](FieldRandom* r) { return noisy(r, 65530, 4); }},
    {"heavy noise", [](FieldRandom* r) { return noisy(r, 30000, 8000); }},
    {"flat", [](FieldRandom*) { return uint16_t{777}; }},
    {"zeros and saturation",
     [](FieldRandom* r) { return nextUniform(r) < 0.5 ? uint16_t{0} : uint16_t{65535}; }},
    {"mostly zeros",
     [](FieldRandom* r) { return nextUniform(r) < 0.97 ? uint16_t{0} : uint16_t{65535}; }},
    {"uniform", [](FieldRandom* r) { return static_cast<uint16_t>(nextUniform(r) * 65536); }},
};

// Whether v lies clearly below the window of 20 pixels from first: a = 20 v - S <= 0 or
// 19 a^2 < 500 b - floor(500 b / 2^16) - 64, b = 20 Q - S^2.
bool clearlyBelow(int64_t v, const uint16_t* first)
{
    int64_t s = 0, q = 0;
    for (int i = 0; i < 20; ++i) {
        s += first[i];
        q += static_cast<int64_t>(first[i]) * first[i];
    }
    const int64_t b = 20 * q - s * s;
    const int64_t a = 20 * v - s;
    return a <= 0 || 19 * a * a < 500 * b - (500 * b) / 65536 - 64;
}

#if defined(__x86_64__)
TEST(ThresholdPretest, FlagsEveryGroupHoldingAPixelNotClearlyBelow)
{
    using Kernel = void (*)(const uint16_t*, int, int, double*, uint64_t*);
    std::vector<Kernel> kernels = {pretestRowSse2};
    if (pretestAvx2Supported())
        kernels.push_back(pretestRowAvx2);
    const int widths[] = {65, 66, 67, 68, 69, 100, 333, 1000};
    FieldRandom random{12345};
    for (const PixelKind& kind : kinds) {
        for (const int width : widths) {
            // The row, and the next one the kernels may read into.
            Image row(2 * static_cast<size_t>(width));
            for (uint16_t& pixel : row)
                pixel = kind.draw(&random);
            const int groups = (width - 33) / 4 - 7;
            // The first pixel of every sixth group (outside each other's windows) one
            // above the largest value clearly below the group's windows.
            for (int j = 0; j < groups; j += 6) {
                const int x = 32 + 4 * j;
                int low = 0, high = 65536; // clearly below at low (or none), not at high
                if (!clearlyBelow(0, &row[x - 20]) || !clearlyBelow(0, &row[x + 1]))
                    low = -1;
                while (low >= 0 && high - low > 1) {
                    const int mid = (low + high) / 2;
                    const bool below =
                        clearlyBelow(mid, &row[x - 20]) && clearlyBelow(mid, &row[x + 1]);
                    (below ? low : high) = mid;
                }
                row[x] = static_cast<uint16_t>(std::min(low + 1, 65535));
            }
            std::vector<uint64_t> first;
            for (const Kernel kernel : kernels) {
                std::vector<double> scratch(pretestScratchSize(groups));
                std::vector<uint64_t> flags((groups + 3 + 63) / 64 + 1, 0);
                kernel(row.data(), 8, groups, scratch.data(), flags.data());
                for (int j = 0; j < groups; ++j) {
                    const bool flagged = (flags[j / 64] >> (j % 64)) & 1;
                    for (int x = 32 + 4 * j; x < std::min(36 + 4 * j, width - 32); ++x) {
                        const bool below = clearlyBelow(row[x], &row[32 + 4 * j - 20]) &&
                                           clearlyBelow(row[x], &row[32 + 4 * j + 1]);
                        EXPECT_TRUE(below || flagged)
                            << kind.name << ", width " << width << ", column " << x;
                    }
                }
                // Every kernel computes the same exact sums, so flags the same groups.
                if (first.empty())
                    first = flags;
                EXPECT_EQ(flags, first) << kind.name << ", width " << width;
            }
        }
    }
}

TEST(ThresholdPretest, PassesOnMostOfAPlainSky)
{
    const int width = 4096, groups = (width - 33) / 4 - 7;
    FieldRandom random{99};
    Image row(2 * static_cast<size_t>(width));
    for (uint16_t& pixel : row)
        pixel = noisy(&random, 1000, 10);
    std::vector<double> scratch(pretestScratchSize(groups));
    std::vector<uint64_t> flags((groups + 3 + 63) / 64, 0);
    pretestRowSse2(row.data(), 8, groups, scratch.data(), flags.data());
    int flagged = 0;
    for (const uint64_t word : flags)
        flagged += __builtin_popcountll(word);
    EXPECT_LT(flagged, groups / 20);
}
#endif

uint64_t bitsOf(double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

TEST(FindStars, EveryKernelFindsTheSameStarsOnReusedWorkspaces)
{
    struct Case {
        const char* name;
        int width, height;
        int stars; // star field of that many stars, or -1 for pixels of kind
        const PixelKind* kind;
    };
    const Case cases[] = {
        {"dense field", 1024, 600, 8000, nullptr},
        {"sparse field, odd size", 333, 271, 40, nullptr},
        {"crowded small field", 130, 97, 600, nullptr},
        {"smallest", 65, 65, 6, nullptr},
        {"hot pixels", 400, 300, -1, &kinds[1]},
        {"near zero", 301, 203, -1, &kinds[2]},
        {"near saturation", 202, 150, -1, &kinds[3]},
        {"heavy noise", 517, 133, -1, &kinds[4]},
        {"zeros and saturation", 150, 150, -1, &kinds[6]},
        {"mostly zeros", 211, 180, -1, &kinds[7]},
        {"uniform", 180, 170, -1, &kinds[8]},
        {"dense field again", 1000, 700, 9000, nullptr},
    };
    std::vector<StarFinderWorkspace> workspaces;
    for (const FinderKernel kernel : {FinderKernel::Automatic, FinderKernel::Portable,
                                      FinderKernel::Sse2, FinderKernel::Avx2}) {
        if (finderKernelAvailable(kernel)) {
            workspaces.emplace_back();
            workspaces.back().kernel = kernel;
        }
    }
    FieldRandom random{2026};
    for (const Case& c : cases) {
        Image image(static_cast<size_t>(c.width) * c.height);
        if (c.kind == nullptr) {
            makeStarField(image.data(), c.width, c.height, c.stars, c.width + c.stars);
        } else {
            for (uint16_t& pixel : image)
                pixel = c.kind->draw(&random);
            for (int s = 0; s < 30; ++s) {
                addGaussianStar(image.data(), c.width, c.height, nextUniform(&random) * c.width,
                                nextUniform(&random) * c.height, 20000 * nextUniform(&random),
                                1.0 + nextUniform(&random));
            }
        }
        StarFinderWorkspace portable;
        portable.kernel = FinderKernel::Portable;
        StarList expected;
        const int n = findStars(image.data(), c.width, c.height, &expected, &portable);
        for (StarFinderWorkspace& workspace : workspaces) {
            const int kernel = static_cast<int>(workspace.kernel);
            StarList found;
            ASSERT_EQ(findStars(image.data(), c.width, c.height, &found, &workspace), n)
                << c.name << ", kernel " << kernel;
            for (int i = 0; i < n; ++i) {
                ASSERT_EQ(bitsOf(found.x[i]), bitsOf(expected.x[i])) << c.name << ", star " << i;
                ASSERT_EQ(bitsOf(found.y[i]), bitsOf(expected.y[i])) << c.name << ", star " << i;
                ASSERT_EQ(found.peak[i], expected.peak[i]) << c.name << ", star " << i;
            }
        }
    }
}

} // namespace
