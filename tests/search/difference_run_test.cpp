// End-to-end: newstars --method difference on a small simulated night with galaxies, new
// sources on galaxies and beside stars, and seeing better and worse than the reference's.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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

// Candidate lines and summary lines of a report.
void splitReport(const std::string& text, std::vector<std::string>* summaries,
                 std::vector<std::string>* candidates)
{
    std::istringstream in(text);
    std::string line;
    bool after = false;
    while (std::getline(in, line)) {
        if (line == "\f")
            after = true;
        else if (!line.empty())
            (after ? candidates : summaries)->push_back(line);
    }
}

TEST(DifferenceRun, CatalogueRegionsAndStampsHoldEveryDetectionAndMerge)
{
    ScratchDirectory night;
    ASSERT_FALSE(night.path.empty());
    const ProgramResult made =
        runNightProgram(night.path, {SIMNIGHT_PATH, "--seed",        "7",     "--size",
                                     "384",         "--objects",     "2",     "--images",
                                     "2",           "--inject",      "4",     "--galaxies",
                                     "8",           "--on-galaxies", "2",     "--cosmic",
                                     "40",          "--seeing-mix",  "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<std::string> search = {"--method",  "difference", "-f",
                                             "files.txt", "2",          "table.txt"};
    const auto run = [&](std::vector<std::string> options) {
        options.insert(options.begin(), NEWSTARS_PATH);
        options.insert(options.end(), search.begin(), search.end());
        return runNightProgram(night.path, options);
    };
    const ProgramResult plain = run({});
    const ProgramResult vetted =
        run({"--vet", "--catalog", "c.ecsv", "--regions", "r.reg", "--stamps", "stamps"});
    ASSERT_EQ(vetted.status, 0) << vetted.err;
    EXPECT_EQ(vetted.out, plain.out);
    EXPECT_EQ(vetted.err, plain.err);
    std::vector<std::string> summaries, candidates;
    splitReport(plain.out, &summaries, &candidates);

    // astropy reads the catalogue: per image its registration entry, its detections
    // numbered from 1, the kept ones as many as its summary counts.
    const char* script = R"(
import sys
from astropy.table import Table
t = Table.read(sys.argv[1], format='ascii.ecsv')
print(len(t), sum(t['verdict'] == 'kept'), ' '.join(sorted(set(t['reasons']))))
for g in t.meta['images']:
    rows = t[t['image'] == g['image']]
    numbered = list(rows['number']) == list(range(1, len(rows) + 1))
    print(g['image'], g['detections'] == len(rows), g['kept'], g['refined'], numbered,
          g['stars'] >= 6, 0 < g['rms_arcsec'] < 0.5)
)";
    const ProgramResult read = runProgram({"/usr/bin/python3", "-c", script, night.file("c.ecsv")});
    ASSERT_EQ(read.status, 0) << read.err;
    std::istringstream lines(read.out);
    int rows = 0, kept = 0;
    std::string reasons, line;
    lines >> rows >> kept;
    std::getline(lines, reasons);
    EXPECT_EQ(kept, static_cast<int>(candidates.size()));
    EXPECT_GT(rows, kept) << reasons; // the night's cosmic rays give rejected ones
    ASSERT_EQ(summaries.size(), 4u);
    for (const std::string& summary : summaries) {
        ASSERT_TRUE(std::getline(lines, line)) << read.out;
        std::string object, reference, image;
        std::istringstream(summary) >> object >> reference >> image;
        const std::string count = summary.substr(summary.find_last_of(' ') + 1);
        EXPECT_EQ(line, image + " True " + count + " True True True True") << summary;
    }
    int circles = 0;
    std::istringstream regions(readFile(night.file("r.reg")));
    while (std::getline(regions, line))
        circles += line.rfind("circle(", 0) == 0 ? 1 : 0;
    EXPECT_EQ(circles, rows);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(night.file("stamps")),
                            std::filesystem::directory_iterator{}),
              rows);

    // Pieces of the night merge to the single run's report, catalogue and regions.
    std::vector<std::string> reports, catalogues, regionFiles;
    for (const char* part : {"1/3", "2/3", "3/3"}) {
        const std::string k(1, part[0]);
        const ProgramResult piece =
            run({"--part", part, "--catalog", "c" + k + ".ecsv", "--regions", "r" + k + ".reg"});
        ASSERT_EQ(piece.status, 0) << piece.err;
        writeFile(night.file("p" + k + ".txt"), piece.out);
        reports.push_back("p" + k + ".txt");
        catalogues.push_back("c" + k + ".ecsv");
        regionFiles.push_back("r" + k + ".reg");
    }
    const std::pair<const char*, std::vector<std::string>*> merges[] = {
        {nullptr, &reports}, {"--catalog", &catalogues}, {"--regions", &regionFiles}};
    const std::string whole[] = {plain.out, readFile(night.file("c.ecsv")),
                                 readFile(night.file("r.reg"))};
    for (size_t i = 0; i < std::size(merges); ++i) {
        std::vector<std::string> argv = {NEWSTARS_PATH, "merge"};
        if (merges[i].first != nullptr)
            argv.emplace_back(merges[i].first);
        argv.insert(argv.end(), merges[i].second->begin(), merges[i].second->end());
        const ProgramResult merged = runNightProgram(night.path, argv);
        ASSERT_EQ(merged.status, 0) << merged.err;
        EXPECT_EQ(merged.out, whole[i]) << argv[2];
    }
}

TEST(DifferenceRun, RefusesAnUnknownMethodOrThreshold)
{
    const char* bad[][2] = {{"--method", "pixels"},      {"--threshold", "0"},
                            {"--threshold", "x"},        {"--background-cell", "8"},
                            {"--background-cell", "-1"}, {"--background-cell", "64x"},
                            {"--background-cell", "5000"}};
    for (const auto& option : bad) {
        const ProgramResult r = runProgram({NEWSTARS_PATH, option[0], option[1], "2", "t", "a"});
        EXPECT_EQ(r.status, 1) << option[0] << " " << option[1];
        EXPECT_NE(r.err.find(option[0]), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

} // namespace
