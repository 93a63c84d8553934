// End-to-end test on a simulated night: simnight generates reference and test images
// with injected new sources, newstars searches them through the file of files, and
// the report is held against simnight's truth file and reference table.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

const double PI_VALUE = 3.141592653589793;

struct NightCandidate {
    std::string object, image;
    double raHours = 0, decDegrees = 0;
};

// Splits a report into summary lines and candidate lines (those after the form feed).
void splitReport(const std::string& report, std::vector<std::string>* summaries,
                 std::vector<NightCandidate>* candidates)
{
    std::istringstream in(report);
    std::string line;
    bool afterFormFeed = false;
    while (std::getline(in, line)) {
        if (line == "\f") {
            afterFormFeed = true;
        } else if (!afterFormFeed) {
            summaries->push_back(line);
        } else if (!line.empty()) {
            std::istringstream fields(line);
            NightCandidate c;
            std::string ra, dec;
            fields >> c.object >> c.image >> ra >> dec;
            ASSERT_TRUE(readSexagesimal(ra, &c.raHours) && readSexagesimal(dec, &c.decDegrees))
                << line;
            candidates->push_back(c);
        }
    }
    ASSERT_TRUE(afterFormFeed) << report;
}

// The printed right ascension stands for an interval of 0.1 s of time, the printed
// declination for one of 1 arcsecond. The distance, arcseconds, from the truth to the
// nearest position that prints as the candidate does.
double distanceToPrinted(const NightCandidate& c, double raHours, double decDegrees)
{
    const double raSeconds = std::fmax(0, std::fabs(c.raHours - raHours) * 3600 - 0.05);
    const double decArcsec = std::fmax(0, std::fabs(c.decDegrees - decDegrees) * 3600 - 0.5);
    const double raArcsec = raSeconds * 15 * std::cos(decDegrees * PI_VALUE / 180);
    return std::hypot(raArcsec, decArcsec);
}

// Inside the box shrunk by marginArcsec on the sky (grown when negative).
bool insideTableBox(const NightBoxRecord& box, double raHours, double decDegrees,
                    double marginArcsec)
{
    const double m = marginArcsec / 3600;
    const double mRa = m / 15 / std::cos(decDegrees * PI_VALUE / 180);
    return raHours >= box.westHours + mRa && raHours <= box.eastHours - mRa &&
           decDegrees >= box.southDegrees + m && decDegrees <= box.northDegrees - m;
}

TEST(SimulatedNight, NewstarsRecoversInjectedSourcesInsideTheBox)
{
    const int size = 640;
    ScratchDirectory night;
    ASSERT_FALSE(night.path.empty());
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "7", "--size", std::to_string(size), "--objects", "2",
                     "--images", "3", "--inject", "14", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const ProgramResult run =
        runNightProgram(night.path, {NEWSTARS_PATH, "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> summaries;
    std::vector<NightCandidate> candidates;
    splitReport(run.out, &summaries, &candidates);
    EXPECT_EQ(summaries.size(), 6u)
        << run.out << run.err; // every test image compared, .fth ones too

    const std::map<std::string, NightBoxRecord> boxes = readNightTable(night.path + "/table.txt");
    ASSERT_EQ(boxes.size(), 2u);
    for (const NightCandidate& c : candidates) {
        ASSERT_EQ(boxes.count(c.object), 1u) << c.object;
        // Some position that prints as the candidate's text lies inside the box.
        EXPECT_TRUE(insideTableBox(boxes.at(c.object), c.raHours, c.decDegrees, -1.1))
            << c.object << " " << c.image << " " << c.raHours << " " << c.decDegrees;
    }

    const std::vector<NightTruth> truth = readNightTruth(night.path + "/truth.txt");
    int detectable = 0, recovered = 0, outside = 0;
    for (const NightTruth& s : truth) {
        // Clearly detectable: 20 noise units or more, unsaturated, inside the box by more
        // than the margin newstars takes off it (tolerance / cos(mean declination)) and
        // well away from the image edges.
        const NightBoxRecord& box = boxes.at(s.object);
        const double margin =
            2 / std::cos((box.northDegrees + box.southDegrees) / 2 * PI_VALUE / 180) + 0.5;
        if (!insideTableBox(box, s.raHours, s.decDegrees, -margin))
            ++outside;
        const bool clear = s.peak >= 20 * s.sigma && s.peak + s.sky + 5 * s.sigma < 65535 &&
                           insideTableBox(box, s.raHours, s.decDegrees, margin) && s.x >= 40 &&
                           s.y >= 40 && s.x <= size - 41 && s.y <= size - 41;
        if (!clear)
            continue;
        ++detectable;
        // The nearest candidate of the same image within 5 arcseconds is this source's
        // detection; its printed position must lie within 1 arcsecond of the truth.
        double best = 5;
        bool found = false;
        for (const NightCandidate& c : candidates) {
            if (c.object != s.object || c.image != s.image)
                continue;
            const double d = distanceToPrinted(c, s.raHours, s.decDegrees);
            if (d < best) {
                best = d;
                found = true;
            }
        }
        if (!found)
            continue;
        ++recovered;
        EXPECT_LE(best, 1.0) << s.object << " " << s.image << " truth " << s.raHours << " "
                             << s.decDegrees;
    }
    EXPECT_GE(outside, 4) << "the night should also hold new sources outside the box";
    EXPECT_GE(detectable, 20) << "too few clearly detectable sources for a meaningful rate";
    EXPECT_GE(recovered * 10, detectable * 9) << recovered << " of " << detectable << "\n"
                                              << run.out;
}

} // namespace
