// End-to-end: newstars --method difference on a small simulated night with galaxies, new
// sources on galaxies and beside stars, and seeing better and worse than the reference's.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "night_support.hpp"

namespace {

struct Recovery {
    int recovered = 0, injected = 0, detectableRecovered = 0, detectable = 0, others = 0;
};

Recovery recoverReport(const std::string& directory, const std::string& report)
{
    writeFile(directory + "/report.txt", report);
    const ProgramResult r =
        runNightProgram(directory, {SIMNIGHT_PATH, "recover", "report.txt", "truth.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    Recovery c;
    EXPECT_EQ(std::sscanf(r.out.c_str(),
                          "recovered %d of %d injected sources (%d of %d clearly detectable "
                          "ones: peak >= 20 sigma, unsaturated, inside the box); %d other",
                          &c.recovered, &c.injected, &c.detectableRecovered, &c.detectable,
                          &c.others),
              5)
        << r.out;
    return c;
}

TEST(DifferenceRun, FindsSourcesOnGalaxiesAndStarsWithFewFalseCandidates)
{
    ScratchDirectory night;
    ASSERT_FALSE(night.path.empty());
    const ProgramResult made =
        runNightProgram(night.path, {SIMNIGHT_PATH, "--seed",        "5",     "--size",
                                     "512",         "--objects",     "1",     "--images",
                                     "2",           "--inject",      "6",     "--galaxies",
                                     "12",          "--on-galaxies", "4",     "--on-stars",
                                     "3",           "--seeing-mix",  "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;

    const ProgramResult plain =
        runNightProgram(night.path, {NEWSTARS_PATH, "-f", "files.txt", "2", "table.txt"});
    const ProgramResult catalog = runNightProgram(
        night.path, {NEWSTARS_PATH, "--method", "catalog", "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(catalog.out, plain.out);
    EXPECT_EQ(catalog.err, plain.err);

    const ProgramResult difference = runNightProgram(
        night.path, {NEWSTARS_PATH, "--method=difference", "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(difference.status, 0) << difference.err;
    const Recovery d = recoverReport(night.path, difference.out);
    const Recovery c = recoverReport(night.path, plain.out);
    ASSERT_GT(d.detectable, 0);
    EXPECT_EQ(d.detectableRecovered, d.detectable) << difference.out;
    EXPECT_GT(d.recovered, c.recovered);
    EXPECT_LE(d.others, 2) << difference.out;

    // A higher threshold finds no more than the default.
    const ProgramResult strict =
        runNightProgram(night.path, {NEWSTARS_PATH, "--method", "difference", "--threshold", "20",
                                     "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(strict.status, 0) << strict.err;
    EXPECT_LE(recoverReport(night.path, strict.out).recovered, d.recovered);
}

TEST(DifferenceRun, RefusesAnUnknownMethodOrThreshold)
{
    const char* bad[][2] = {{"--method", "pixels"}, {"--threshold", "0"}, {"--threshold", "x"}};
    for (const auto& option : bad) {
        const ProgramResult r = runProgram({NEWSTARS_PATH, option[0], option[1], "2", "t", "a"});
        EXPECT_EQ(r.status, 1) << option[0] << " " << option[1];
        EXPECT_NE(r.err.find(option[0]), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

} // namespace
