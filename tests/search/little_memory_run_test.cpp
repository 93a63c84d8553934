// End-to-end: a night in too little memory for difference imaging. Each image that cannot
// be searched says so; --strict makes the night end with its own status; a -j given is
// lowered aloud to what the memory holds; the catalogue method, which needs far less,
// gives the report it gives without the cap, and so does difference imaging in the
// address space its stated bound allows for.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "night_support.hpp"
#include "test_support.hpp"

TEST(LittleMemoryRun, ImagesNotSearchedAreSaidAndStrictRunsFail)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the cap leaves";
#endif
    ScratchDirectory d;
    const ProgramResult made =
        runNightProgram(d.path, {SIMNIGHT_PATH, "--seed", "3", "--size", "2048", "--objects", "1",
                                 "--images", "1", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<std::string> night = {"-f", "files.txt", "2", "table.txt"};
    const auto with = [&](std::vector<std::string> options) {
        options.insert(options.end(), night.begin(), night.end());
        return options;
    };
    const ProgramResult uncapped = runNewstars(d.path, night);
    ASSERT_EQ(uncapped.status, 0) << uncapped.err;
    const ProgramResult uncappedDifference =
        runNewstars(d.path, with({"-j", "1", "--method", "difference"}));
    ASSERT_EQ(uncappedDifference.status, 0) << uncappedDifference.err;

    // 100 MiB holds the program and both images (8 MB each), not the 120 MB of difference
    // imaging's work on them; 250 MiB holds that work (which took 240 MB before it was done
    // in bands and its planes released after their last use).
    const unsigned long little = 100ul << 20, enough = 250ul << 20;
    const std::string noMemory = "FLD01_1.fts: difference imaging: out of memory\n";
    const std::string notSearched = "NEWSTARS: 1 of 1 test images could not be searched\n";
    struct Case {
        const char* name;
        std::vector<std::string> options;
        unsigned long cap; // bytes of address space
        int status;
        std::string err; // "N MB available" standing for any figure
        const ProgramResult* report; // the uncapped run whose report it gives (null: none)
    };
    const Case cases[] = {
        {"difference imaging", {"-j", "1", "--method", "difference"}, little, 0, noMemory, nullptr},
        {"difference imaging, strict",
         {"-j", "1", "--strict", "--method", "difference"},
         little,
         3,
         noMemory + notSearched,
         nullptr},
        {"-j lowered",
         {"-j", "2", "--strict", "--method", "difference"},
         little,
         3,
         "NEWSTARS: -j 2 lowered to 1: a test image of 2048 x 2048 pixels takes about 109 MB with "
         "difference imaging, N MB available under the address-space limit\n" +
             noMemory + notSearched,
         nullptr},
        {"catalogue method", {"-j", "1", "--strict"}, little, 0, "", &uncapped},
        {"difference imaging in its bound",
         {"-j", "1", "--strict", "--method", "difference"},
         enough,
         0,
         "",
         &uncappedDifference},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramResult r = runNewstars(d.path, with(c.options), c.cap);
        EXPECT_EQ(r.status, c.status) << r.err;
        std::string expected = c.err;
        for (size_t at = 0; (at = expected.find("NEWSTARS")) != std::string::npos;)
            expected.replace(at, 8, newstarsPath());
        EXPECT_EQ(std::regex_replace(r.err, std::regex("[0-9]+ MB available"), "N MB available"),
                  expected);
        if (c.report != nullptr) {
            EXPECT_EQ(r.out, c.report->out);
        }
    }
}
