// Tests of diffeval, the tool that holds the difference search's detections against a
// simulated night's truth: the search it runs in the process must score as the product's
// own catalogue does, and files it cannot read must not score as empty.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

const std::string DIFFEVAL_PATH = NEWSTARS_BIN_DIR "/diffeval";

// The recovery table and the summary's counts of diffeval's output, without the
// position errors and timing (printed with the precision of the catalogue in one path and
// of the search in the other) and without the lines about single sources.
std::string tallies(const std::string& output)
{
    std::istringstream in(output);
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string where, peak, injected, recovered, fraction, masked;
        if (!(fields >> where >> peak >> injected >> recovered >> fraction >> masked) ||
            where == "missed" || where == "false")
            continue;
        if (where == "images") {
            kept += line.substr(0, line.find("; median position error")) + "\n";
            continue;
        }
        kept += where + " " + peak + " " + injected + " " + recovered + " " + masked + "\n";
    }
    return kept;
}

TEST(DiffEval, SearchInTheProcessScoresAsTheProductsCatalogue)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "22", "--size", "512", "--objects", "1",
                     "--images", "3", "--inject", "10", "--galaxies", "4", "--on-galaxies",
                     "2", "--on-stars", "2", "--compact-cosmic", "15", "--moffat", "2.5",
                     "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const ProgramResult product =
        runNightProgram(night.path, {NEWSTARS_PATH, "--method", "difference", "--catalog",
                                     "night.ecsv", "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(product.status, 0) << product.err;

    const ProgramResult inProcess =
        runNightProgram(night.path, {DIFFEVAL_PATH, "files.txt", "table.txt", "truth.txt"});
    const ProgramResult fromCatalogue = runNightProgram(
        night.path, {DIFFEVAL_PATH, "--catalog", "night.ecsv", "files.txt", "truth.txt"});
    ASSERT_EQ(inProcess.status, 0) << inProcess.err;
    ASSERT_EQ(fromCatalogue.status, 0) << fromCatalogue.err;
    const std::string table = tallies(inProcess.out);
    EXPECT_NE(table.find("images 3; "), std::string::npos) << inProcess.out;
    EXPECT_NE(table.find("galaxy"), std::string::npos) << inProcess.out;
    EXPECT_EQ(table, tallies(fromCatalogue.out));
}

TEST(DiffEval, FilesThatCannotBeReadEndItWithTheirName)
{
    ScratchDirectory night;
    const ProgramResult made =
        runNightProgram(night.path, {SIMNIGHT_PATH, "--seed", "3", "--size", "256", "--objects",
                                     "1", "--images", "1", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    writeFile(night.file("empty.ecsv"), "# %ECSV 1.0\n");
    writeFile(night.file("columns.ecsv"), "image,x,y\nFLD01_1.fts,1,2\n");
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"files.txt", "table.txt", "missing.txt"}, "missing.txt: can not open the truth file"},
        {{"--catalog", "missing.ecsv", "files.txt", "truth.txt"},
         "missing.ecsv: can not open the catalogue"},
        {{"--catalog", "empty.ecsv", "files.txt", "truth.txt"}, "empty.ecsv: no column names"},
        {{"--catalog", "columns.ecsv", "files.txt", "truth.txt"}, "columns.ecsv: no column ra"},
        {{"--catalog", "empty.ecsv", "files.txt", "missing.txt"},
         "missing.txt: can not open the truth file"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {DIFFEVAL_PATH};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ProgramResult result = runNightProgram(night.path, arguments);
        EXPECT_EQ(result.status, 1) << c.message;
        EXPECT_EQ(result.err, c.message + "\n");
        EXPECT_EQ(result.out, "") << c.message;
    }
}

} // namespace
