// How many test images a run has under way: the memory each takes, what the system and an
// address-space limit leave, the number that fits, and the run lowering -j aloud.

#include "search/memory_budget.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace newstars;

TEST(MemoryBudget, ImageWorkScalesWithPixelsAndMethod)
{
    constexpr uint64_t MAX = std::numeric_limits<uint64_t>::max();
    struct Case {
        SearchMethod method;
        bool floatPixels;
        int64_t width, height;
        uint64_t expected;
    };
    const Case cases[] = {
        {SearchMethod::Catalog, false, 2048, 2048, 5ull * 2048 * 2048},
        {SearchMethod::Catalog, true, 2048, 2048, 21ull * 2048 * 2048},
        {SearchMethod::Difference, false, 8192, 8192, 26ull * 8192 * 8192}, // 1.74 GB
        {SearchMethod::Difference, true, 300, 240, 34ull * 300 * 240},
        {SearchMethod::Difference, false, 0, 240, 0},
        {SearchMethod::Catalog, false, -5, 240, 0},
        {SearchMethod::Difference, true, int64_t{1} << 40, int64_t{1} << 30, MAX},
        {SearchMethod::Catalog, false, int64_t{1} << 62, 4, MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(imageWorkBytes(c.method, c.floatPixels, c.width, c.height), c.expected)
            << c.width << " x " << c.height;
    }
}

TEST(MemoryBudget, WorkersFitTheMemoryNeverBelowOne)
{
    constexpr uint64_t MAX = std::numeric_limits<uint64_t>::max();
    struct Case {
        int workers;
        uint64_t perImage, available, perThread;
        int expected;
    };
    const Case cases[] = {
        {4, 100, 1000, 0, 4},   // room for ten
        {4, 300, 1000, 0, 3},   // three whole ones
        {4, 300, 1000, 100, 2}, // each thread's own address space counts too
        {8, 3000, 1000, 0, 1},  // not even one: one all the same
        {1, 3000, 1000, 0, 1},  // nothing to lower
        {4, 0, 0, 0, 4},        // no estimate
        {4, MAX, MAX, 72, 1},   // sizes beyond any memory
        {256, 1, MAX, 0, 256},  // memory unknown
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fittingWorkers(c.workers, c.perImage, c.available, c.perThread), c.expected)
            << c.workers << " workers, " << c.perImage << " each, " << c.available;
    }
    bool limited = true;
    const uint64_t available = availableMemoryBytes(&limited);
    EXPECT_GT(available, 0u);
}

TEST(MemoryBudget, MemoryTexts)
{
    const std::pair<uint64_t, const char*> cases[] = {
        {3'355'443'200ull, "3.4 GB"},
        {224'686'080ull, "225 MB"},
        {999'000'000ull, "999 MB"},
        {1'000'000'000ull, "1.0 GB"},
        {0, "0 MB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(memoryText(bytes), text) << bytes;
}

TEST(MemoryBudget, ImageSizesFromHeadersAlone)
{
    ScratchDirectory d;
    writeFile(d.file("16.fits"), fitsImageFile(300, 240, std::vector<uint16_t>(300 * 240, 1000)));
    std::string floating =
        fitsHeader({logicalCard("SIMPLE", true), intCard("BITPIX", -32), intCard("NAXIS", 2),
                    intCard("NAXIS1", 120), intCard("NAXIS2", 90)});
    floating.resize(floating.size() + (120 * 90 * 4 + 2879) / 2880 * 2880, '\0');
    writeFile(d.file("float.fits"), floating);
    writeFile(d.file("zipped.gz"), std::string("\x1f\x8b\x08\x00", 4) + std::string(3000, 'x'));
    writeFile(d.file("short.fits"), std::string(100, ' '));
    struct Case {
        std::string name;
        bool readable;
        int32_t width, height;
        bool floatPixels;
    };
    const Case cases[] = {
        {d.file("16.fits"), true, 300, 240, false},
        {d.file("float.fits"), true, 120, 90, true},
        {d.file("16.fits") + "[0]", true, 300, 240, true}, // an HDU: its type not read
        {d.file("16.fits") + "[3]", false, 0, 0, false},
        {d.file("zipped.gz"), false, 0, 0, false},
        {d.file("short.fits"), false, 0, 0, false},
        {d.file("missing.fits"), false, 0, 0, false},
        {d.path, false, 0, 0, false}, // a directory
    };
    for (const Case& c : cases) {
        int32_t width = 0, height = 0;
        bool floatPixels = false;
        EXPECT_EQ(peekImageSize(c.name, &width, &height, &floatPixels), c.readable) << c.name;
        if (c.readable) {
            EXPECT_EQ(width, c.width) << c.name;
            EXPECT_EQ(height, c.height) << c.name;
            EXPECT_EQ(floatPixels, c.floatPixels) << c.name;
        }
    }
}

// Under an address-space limit a -j given is lowered with one message; the report is the
// same as with -j 1, and the default number of images under way is lowered without a word.
TEST(MemoryBudget, RunLowersJobsUnderAnAddressLimit)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the cap leaves";
#endif
    ScratchDirectory d;
    writeStandardScene(d);
    writeFile(d.file("table.txt"), STANDARD_TABLE_LINE);
    std::string names;
    for (int i = 0; i < 6; ++i)
        names += "test.fts\n";
    writeFile(d.file("files.txt"), names);
    const std::vector<std::string> night = {"-f", "files.txt", "2", "table.txt"};
    const auto with = [&](std::vector<std::string> options) {
        options.insert(options.end(), night.begin(), night.end());
        return options;
    };
    const ProgramResult one = runNewstars(d.path, with({"-j", "1"}));
    ASSERT_EQ(one.status, 0) << one.err;
    // 600 MB of address space leaves room for a few images under way (144 MB each for their
    // threads), not 64.
    const unsigned long limit = 600ul << 20;
    const ProgramResult many = runNewstars(d.path, with({"-j", "64"}), limit);
    EXPECT_EQ(many.status, 0) << many.err;
    EXPECT_EQ(many.out, one.out);
    const std::string start = newstarsPath() + ": -j 64 lowered to ";
    EXPECT_EQ(many.err.compare(0, start.size(), start), 0) << many.err;
    EXPECT_NE(many.err.find(": a test image of 300 x 240 pixels takes about 0 MB with the "
                            "catalogue method, "),
              std::string::npos)
        << many.err;
    EXPECT_NE(many.err.find(" available under the address-space limit\n"), std::string::npos)
        << many.err;
    EXPECT_EQ(std::count(many.err.begin(), many.err.end(), '\n'), 1) << many.err;
    const ProgramResult quiet = runNewstars(d.path, night, limit);
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, one.out);
    EXPECT_EQ(quiet.err, "");
}
