// End-to-end test of moving objects on a simulated night: simnight draws movers across
// a field's test images taken 15 minutes apart, newstars links them with --link-moving
// by either method, and simnight scores the report's track lines against movers.txt.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// The lines of a report before its first form-feed line.
std::vector<std::string> summaryLines(const std::string& report)
{
    std::vector<std::string> lines;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line) && line != "\f")
        lines.push_back(line);
    return lines;
}

TEST(MovingNight, MoversSeenOnThreeImagesBecomeOneTrackEachAtTheirRate)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "3", "--size", "512", "--objects", "1", "--images",
                     "4", "--cadence", "15", "--movers", "8", "--inject", "4", "--no-fpack",
                     "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    struct Case {
        const char* method;
        int minimumTracks; // this night's bright, slow movers
    };
    const Case cases[] = {{"catalog", 2}, {"difference", 2}};
    for (const Case& c : cases) {
        const ProgramResult linked =
            runNightProgram(night.path, {NEWSTARS_PATH, "--method", c.method, "--link-moving",
                                         "-f", "files.txt", "2", "table.txt"});
        ASSERT_EQ(linked.status, 0) << c.method << linked.err;
        const ProgramResult plain = runNightProgram(
            night.path, {NEWSTARS_PATH, "--method", c.method, "-f", "files.txt", "2", "table.txt"});
        ASSERT_EQ(plain.status, 0) << c.method << plain.err;
        EXPECT_EQ(summaryLines(linked.out), summaryLines(plain.out)) << c.method;
        writeFile(night.path + "/report.txt", linked.out);
        const ProgramResult scored =
            runNightProgram(night.path, {SIMNIGHT_PATH, "tracks", "report.txt", "movers.txt"});
        ASSERT_EQ(scored.status, 0) << scored.err;
        int movers = 0, seen = 0, linkedSeen = 0, rateGood = 0, others = 0, tracks = 0,
            falseTracks = 0, fields = 0;
        double percent = 0;
        ASSERT_EQ(std::sscanf(scored.out.c_str(),
                              "movers %d; seen on 3 or more images at 10 sigma %d; linked into "
                              "one track %d (%lf %%), rate within 5 %% %d\n"
                              "other movers linked %d; tracks %d, false %d over %d fields",
                              &movers, &seen, &linkedSeen, &percent, &rateGood, &others, &tracks,
                              &falseTracks, &fields),
                  9)
            << scored.out;
        EXPECT_EQ(linkedSeen, seen) << c.method << "\n" << scored.out << linked.out;
        EXPECT_EQ(rateGood, linkedSeen) << c.method << "\n" << scored.out;
        EXPECT_GE(tracks, c.minimumTracks) << c.method << "\n" << scored.out;
        EXPECT_EQ(falseTracks, 0) << c.method << "\n" << scored.out << linked.out;
    }
}

} // namespace
