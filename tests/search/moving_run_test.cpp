// Runs of the built program with --link-moving on small scenes: a moving source seen on
// several test images of one field becomes a track line, what does not move on a line at
// a constant rate stays as candidate lines, and the option is refused where tracks could
// not span the night.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

// The report's sections: the lines before the first form feed line, between it and the
// second, and after the second (empty lines left out).
struct ReportSections {
    std::vector<std::string> summaries, candidates, tracks;
    int formFeeds = 0;
};

ReportSections splitSections(const std::string& report)
{
    ReportSections s;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "\f") {
            ++s.formFeeds;
            continue;
        }
        if (line.empty())
            continue;
        (s.formFeeds == 0 ? s.summaries : s.formFeeds == 1 ? s.candidates : s.tracks)
            .push_back(line);
    }
    return s;
}

// Reference stars, and a fixed new source that every test image shows.
const std::vector<TestStar> FIELD_STARS = {{150, 120}, {100, 100}, {200, 150}};
const TestStar FIXED_NEW = {60, 140};

// Writes the reference and one test image per mover position, taken at the given times
// of 2026-12-07 ("hh:mm:ss"), each with the field's stars, the fixed new source, a
// source of its own (junk, on no line) and the mover; returns the test image names.
std::vector<std::string> writeScene(const ScratchDirectory& dir,
                                    const std::vector<TestStar>& mover,
                                    const std::vector<const char*>& times)
{
    writeTestImage(dir.file("ref.fts"), skyImage("M31", 150, 0, FIELD_STARS));
    const TestStar junk[] = {{230, 70}, {245, 135}, {222, 100}, {255, 165}, {90, 170}};
    std::vector<std::string> names;
    for (size_t k = 0; k < mover.size(); ++k) {
        std::vector<TestStar> stars = FIELD_STARS;
        stars.push_back(FIXED_NEW);
        stars.push_back(junk[k % 5]);
        stars.push_back(mover[k]);
        TestImage image = skyImage("M31", 150, 0, stars);
        image.cards[2] = stringCard("TIME-OBS", times[k]);
        char name[32];
        std::snprintf(name, sizeof name, "t%zu.fts", k + 1);
        names.emplace_back(name);
        writeTestImage(dir.file(names.back()), image);
    }
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    return names;
}

TEST(MovingRun, LinksOnlyStraightConstantRateMotionIntoTracks)
{
    struct Case {
        const char* name;
        std::vector<TestStar> mover;
        std::vector<const char*> times;
        std::vector<std::string> tracks; // the track lines expected
    };
    const std::vector<const char*> tenMinutes = {"01:00:00", "01:10:00", "01:20:00", "01:30:00"};
    const Case cases[] = {
        // 5 pixels (arcseconds) west and 2 north per 10 minutes: sqrt(29) / 10 "/min at
        // atan2(-5, 2) = 291.8 degrees.
        {"four exposures",
         {{80, 90}, {85, 92}, {90, 94}, {95, 96}},
         tenMinutes,
         {"M31             1  4     0.539 291.8 t1.fts       "
          "10:00:04.7  -0:00:30 t4.fts       10:00:03.7  -0:00:24"}},
        {"three exposures, unevenly spaced",
         {{80, 90}, {85, 92}, {95, 96}},
         {"01:00:00", "01:10:00", "01:30:00"},
         {"M31             1  3     0.539 291.8 t1.fts       "
          "10:00:04.7  -0:00:30 t3.fts       10:00:03.7  -0:00:24"}},
        {"two exposures", {{80, 90}, {85, 92}}, {"01:00:00", "01:10:00"}, {}},
        {"rate changing along the line", {{80, 90}, {85, 92}, {100, 98}}, tenMinutes, {}},
        {"bending", {{80, 90}, {85, 92}, {90, 99}, {95, 96}}, {"01:00", "01:10", "01:20", "01:30"},
         {"M31             1  3     0.539 291.8 t1.fts       "
          "10:00:04.7  -0:00:30 t4.fts       10:00:03.7  -0:00:24"}},
    };
    for (const Case& c : cases) {
        ScratchDirectory dir;
        std::vector<std::string> arguments = {"--link-moving", "2", "table.txt"};
        const std::vector<std::string> names = writeScene(dir, c.mover, c.times);
        arguments.insert(arguments.end(), names.begin(), names.end());
        const ProgramResult linked = runNewstars(dir.path, arguments);
        ASSERT_EQ(linked.status, 0) << c.name << "\n" << linked.err;
        arguments.erase(arguments.begin());
        const ProgramResult plain = runNewstars(dir.path, arguments);
        ASSERT_EQ(plain.status, 0) << c.name << "\n" << plain.err;

        const ReportSections with = splitSections(linked.out);
        const ReportSections without = splitSections(plain.out);
        EXPECT_EQ(with.formFeeds, 2) << c.name;
        EXPECT_EQ(without.formFeeds, 1) << c.name;
        EXPECT_EQ(with.summaries, without.summaries) << c.name;
        EXPECT_EQ(with.tracks, c.tracks) << c.name << "\n" << linked.out;
        // Every candidate line of the run without linking is kept, but those of the
        // tracks' detections.
        const size_t linkedDetections = c.tracks.empty() ? 0 : static_cast<size_t>(c.tracks[0][19] - '0');
        EXPECT_EQ(with.candidates.size() + linkedDetections, without.candidates.size())
            << c.name << "\n" << linked.out;
        for (const std::string& line : with.candidates) {
            bool found = false;
            for (const std::string& other : without.candidates)
                found = found || other == line;
            EXPECT_TRUE(found) << c.name << ": " << line;
        }
    }
}

TEST(MovingRun, CatalogueGainsTrackColumns)
{
    ScratchDirectory dir;
    const std::vector<std::string> names =
        writeScene(dir, {{80, 90}, {85, 92}, {90, 94}},
                   {"01:00:00", "01:10:00", "01:20:00"});
    std::vector<std::string> arguments = {"--link-moving", "--catalog", "c.ecsv", "2", "table.txt"};
    arguments.insert(arguments.end(), names.begin(), names.end());
    const ProgramResult run = runNewstars(dir.path, arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream in(readFile(dir.file("c.ecsv")));
    std::string line, header;
    int inTrack = 0, rows = 0;
    while (std::getline(in, line)) {
        if (line.rfind("#", 0) == 0)
            continue;
        if (header.empty()) {
            header = line;
            continue;
        }
        ++rows;
        if (line.find(",1,0.5385,291.80") != std::string::npos &&
            line.find(",1,0.5385,291.80") + 16 == line.size())
            ++inTrack;
        else
            EXPECT_EQ(line.substr(line.size() - 10), ",0,nan,nan") << line;
    }
    EXPECT_EQ(header.substr(header.size() - 29), ",track,track_rate,track_angle");
    EXPECT_EQ(inTrack, 3);
    EXPECT_EQ(rows, 9); // three new sources on each of three images
}

TEST(MovingRun, RefusedWherePiecesWouldSplitTracks)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case cases[] = {
        {{"--link-moving", "--part", "1/2", "2", "table.txt", "test.fts"},
         "--link-moving cannot be used with --part"},
        {{"--part", "1/2", "--link-moving", "2", "table.txt", "test.fts"},
         "--link-moving cannot be used with --part"},
        {{"merge", "--link-moving", "a.txt"}, "run it without --part"},
    };
    for (const Case& c : cases) {
        const ProgramResult run = runNewstars(dir.path, c.arguments);
        EXPECT_EQ(run.status, 1) << c.arguments[0];
        EXPECT_EQ(run.out, "") << c.arguments[0];
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

} // namespace
