// The cosmic-ray finder against astroscrappy, an independent implementation of the same
// published method, on images made here: each mask must find nearly every pixel the other
// finds. astroscrappy (python3-astroscrappy) is installed by scripts/setup; the test is
// skipped, saying so, only where the module cannot be imported.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "cosmic_scene.hpp"
#include "diff/cosmic_rays.hpp"
#include "support/files.hpp"
#include "support/program.hpp"

using namespace newstars;

namespace {

const char* const PYTHON = "/usr/bin/python3";
const std::string SCRIPT = std::string(NEWSTARS_SOURCE_DIR) + "/tests/diff/astroscrappy_mask.py";

TEST(FindCosmicRaysAgainstAstroscrappy, MasksAgreeOnGeneratedImages)
{
    if (std::endian::native != std::endian::little)
        GTEST_SKIP() << "the image is handed over as little-endian floats";
    // Undersampled to well-sampled stars, hits from single pixels to worms of 10; the
    // object limit the pipeline would choose for that width.
    struct Case {
        double psfSigma;
        int minLength, maxLength, stars;
    };
    const Case cases[] = {
        {2.5, 1, 1, 60}, {2.0, 2, 5, 80}, {1.5, 1, 10, 60}, {1.0, 1, 4, 40}, {0.6, 1, 10, 40},
    };
    ScratchDirectory scratch;
    for (const Case& c : cases) {
        const int32_t side = 256;
        const CosmicScene scene = makeCosmicScene(side, side, c.psfSigma, c.stars, 40, c.minLength,
                                                  c.maxLength, 101 + c.maxLength);
        CosmicRayOptions options = sceneOptions(scene);
        options.objectLimit = std::max(5.0, 1.5 * pointSourceFineRatio(c.psfSigma));
        std::vector<uint8_t> ours;
        ASSERT_EQ(findCosmicRays(scene.values.data(), nullptr, side, side, options, &ours, nullptr),
                  DiffStatus::Ok);

        const std::string image = scratch.file("image.raw"), mask = scratch.file("mask.raw");
        writeFile(image, std::string_view(reinterpret_cast<const char*>(scene.values.data()),
                                          scene.values.size() * sizeof(float)));
        const ProgramResult run =
            runProgram({PYTHON, SCRIPT, image, std::to_string(side), std::to_string(side),
                        std::to_string(scene.gain), std::to_string(scene.readNoise),
                        std::to_string(options.objectLimit), mask});
        if (run.status == 77)
            GTEST_SKIP() << "astroscrappy is not installed: " << run.err;
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string theirs = readFile(mask);
        ASSERT_EQ(theirs.size(), ours.size());

        // Pixels within 4 of the edge are left out: there each treats the missing
        // neighbours of its medians its own way.
        int64_t both = 0, oursOnly = 0, theirsOnly = 0;
        for (int32_t y = 4; y < side - 4; ++y) {
            for (int32_t x = 4; x < side - 4; ++x) {
                const size_t at = static_cast<size_t>(y) * side + x;
                const bool a = ours[at] != 0, b = theirs[at] != 0;
                both += a && b;
                oursOnly += a && !b;
                theirsOnly += b && !a;
            }
        }
        ASSERT_GT(both, 0) << c.psfSigma;
        const double recall = static_cast<double>(both) / static_cast<double>(both + theirsOnly);
        const double precision = static_cast<double>(both) / static_cast<double>(both + oursOnly);
        EXPECT_GE(recall, 0.97) << "sigma " << c.psfSigma << " lengths " << c.maxLength;
        EXPECT_GE(precision, 0.97) << "sigma " << c.psfSigma << " lengths " << c.maxLength;
        std::printf("sigma %.1f hits of %d-%d pixels: %lld pixels in both masks, %lld ours only, "
                    "%lld astroscrappy's only\n",
                    c.psfSigma, c.minLength, c.maxLength, static_cast<long long>(both),
                    static_cast<long long>(oursOnly), static_cast<long long>(theirsOnly));
    }
}

} // namespace
