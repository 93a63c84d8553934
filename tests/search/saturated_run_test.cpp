// End-to-end: new sources whose cores saturate, found and flagged by difference imaging and
// by the catalogue comparison with --vet; and difference imaging under elongated seeing.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// The counts of simnight recover: recovered, injected, clearly detectable recovered and
// clearly detectable, and candidates that match no injected source.
struct Recovered {
    int recovered = 0, injected = 0, detectableRecovered = 0, detectable = 0, others = 0;
};

Recovered recover(const std::string& directory, const std::string& report,
                  const std::string& truth)
{
    writeFile(directory + "/report.txt", report);
    const ProgramResult r =
        runNightProgram(directory, {SIMNIGHT_PATH, "recover", "report.txt", truth});
    EXPECT_EQ(r.status, 0) << r.err;
    Recovered c;
    EXPECT_EQ(std::sscanf(r.out.c_str(),
                          "recovered %d of %d injected sources (%d of %d clearly detectable "
                          "ones: peak >= 20 sigma, unsaturated, inside the box); %d other",
                          &c.recovered, &c.injected, &c.detectableRecovered, &c.detectable,
                          &c.others),
              5)
        << r.out;
    return c;
}

// The catalogue's kept rows flagged saturated, and the rows flagged at all.
void countFlagged(const std::string& catalogue, int* keptSaturated, int* flagged)
{
    *keptSaturated = *flagged = 0;
    std::istringstream in(catalogue);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');)
            cells.push_back(cell);
        if (names.empty()) {
            names = cells;
            continue;
        }
        std::string verdict, flags;
        for (size_t i = 0; i < cells.size() && i < names.size(); ++i) {
            if (names[i] == "verdict")
                verdict = cells[i];
            if (names[i] == "flags")
                flags = cells[i];
        }
        EXPECT_FALSE(flags.empty()) << line;
        if (flags != "none")
            ++*flagged;
        if (flags == "saturated" && verdict == "kept")
            ++*keptSaturated;
    }
}

TEST(SaturatedRun, NewSourcesWithSaturatedCoresAreFoundAndFlaggedByBothMethods)
{
    ScratchDirectory night;
    ASSERT_FALSE(night.path.empty());
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "11", "--size", "512", "--objects", "1",
                     "--images", "2", "--inject", "4", "--saturated-new", "3", "--no-fpack",
                     "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    // The saturated sources alone, as a truth file of their own.
    std::istringstream truth(readFile(night.path + "/truth.txt"));
    std::string saturated;
    int count = 0;
    for (std::string line; std::getline(truth, line);) {
        if (line.size() > 10 && line.compare(line.size() - 10, 10, " saturated") == 0) {
            saturated += line + "\n";
            ++count;
        }
    }
    ASSERT_EQ(count, 6);
    writeFile(night.path + "/saturated.txt", saturated);

    struct Case {
        const char* name;
        std::vector<std::string> options;
        int found; // saturated sources in the report, and flagged kept in the catalogue
        int falseCandidates;
    };
    const Case cases[] = {
        {"difference", {"--method", "difference"}, 6, 0},
        {"catalog --vet", {"--vet"}, 6, 1},
        {"catalog", {}, 0, 1}, // without --vet the report is as it always was
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {NEWSTARS_PATH};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        for (const char* a : {"--catalog", "cat.ecsv", "-f", "files.txt", "2", "table.txt"})
            arguments.push_back(a);
        const ProgramResult run = runNightProgram(night.path, arguments);
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
        const Recovered onlySaturated = recover(night.path, run.out, "saturated.txt");
        EXPECT_EQ(onlySaturated.recovered, c.found) << c.name << "\n" << run.out;
        const Recovered all = recover(night.path, run.out, "truth.txt");
        // The saturated cores of stars (in both images, or only now) and of hot pixels add
        // no false candidate (this night's catalogue comparison has one of its own).
        EXPECT_LE(all.others, c.falseCandidates) << c.name << "\n" << run.out;
        int keptSaturated = 0, flagged = 0;
        countFlagged(readFile(night.path + "/cat.ecsv"), &keptSaturated, &flagged);
        EXPECT_EQ(keptSaturated, c.found) << c.name;
        if (c.found == 0) {
            EXPECT_EQ(flagged, 0) << c.name;
        }
    }
}

TEST(SaturatedRun, ElongatedSeeingKeepsItsSources)
{
    // Point spreads stretched to an axis ratio of 2.2 in every image: sources shaped as the
    // stars are not elongated against them.
    ScratchDirectory night;
    ASSERT_FALSE(night.path.empty());
    const ProgramResult made =
        runNightProgram(night.path, {SIMNIGHT_PATH, "--seed", "23", "--size", "512",
                                     "--objects", "1", "--images", "2", "--inject", "10",
                                     "--elongation", "2.2", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const ProgramResult run = runNightProgram(
        night.path, {NEWSTARS_PATH, "--method", "difference", "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Recovered c = recover(night.path, run.out, "truth.txt");
    ASSERT_GE(c.detectable, 5);
    EXPECT_EQ(c.detectableRecovered, c.detectable) << run.out;
    EXPECT_LE(c.others, 1) << run.out;
}

} // namespace
