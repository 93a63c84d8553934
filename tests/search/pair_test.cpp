// newstars pair (a reference and test images without a table) and --match position,
// through the built program: the same report as the table run with the box pair finds,
// only the sky both images cover searched, the object named, what cannot be searched
// refused.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fits/fits_read.hpp"
#include "night_support.hpp"
#include "search/pair.hpp"
#include "test_support.hpp"
#include "wcs/world_frame.hpp"

using namespace newstars;

namespace {

const double DEGREE = 3.14159265358979323846 / 180;

// The image file's header and pixels, or an empty image (with a failure) when it does not
// read.
FitsImage readImage(const std::string& path)
{
    FitsImage image;
    initFitsImage(&image);
    std::string message;
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
        EXPECT_EQ(readFitsImage(fd, &image, &message), 0) << path << ": " << message;
        close(fd);
    }
    return image;
}

// The table line that gives the box pair searches for test against reference.
std::string equivalentTableLine(const std::string& directory, const std::string& object,
                                const std::string& reference, const std::string& test,
                                WcsMode mode, double toleranceArcsec)
{
    const FitsImage r = readImage(directory + "/" + reference);
    const FitsImage t = readImage(directory + "/" + test);
    WorldFrame rf, tf;
    EXPECT_EQ(readWorldFrame(r, mode, &rf), WcsStatus::Ok);
    EXPECT_EQ(readWorldFrame(t, mode, &tf), WcsStatus::Ok);
    SearchBox box;
    EXPECT_EQ(commonSearchBox({&rf, r.width, r.height}, {&tf, t.width, t.height},
                              toleranceArcsec / 3600 * DEGREE, &box),
              PairBoxStatus::Ok);
    return object + " " + formatBoxFields(box) + " " + reference + "\n";
}

// Classic linear cards of 1 arcsecond pixels turned by rotation degrees: pixel (200, 200)
// at (ra, dec) degrees.
std::vector<std::string> turnedSkyCards(double ra, double dec, double rotation)
{
    return {realCard("CRVAL1", ra),         realCard("CRVAL2", dec),
            realCard("CRPIX1", 200),        realCard("CRPIX2", 200),
            realCard("CDELT1", -1.0 / 3600), realCard("CDELT2", 1.0 / 3600),
            realCard("CROTA2", rotation),   stringCard("CTYPE1", "RA--")};
}

// An image of 400 x 400 pixels under cards showing every sky position of stars (ra, dec
// degrees) that falls on it, each on its nearest pixel.
TestImage imageOfSky(const char* object, const std::vector<std::string>& cards,
                     const std::vector<std::pair<double, double>>& stars)
{
    TestImage image;
    image.width = image.height = 400;
    image.cards = {stringCard("OBJECT", object), stringCard("DATE-OBS", "2026-12-07"),
                   stringCard("TIME-OBS", "01:02:03")};
    image.cards.insert(image.cards.end(), cards.begin(), cards.end());
    FitsImage header;
    initFitsImage(&header);
    header.width = header.height = 400;
    for (const std::string& card : cards)
        EXPECT_EQ(addCard(&header, card.c_str()), 0);
    WorldFrame frame;
    EXPECT_EQ(readWorldFrame(header, WcsMode::Classic, &frame), WcsStatus::Ok);
    for (const auto& [ra, dec] : stars) {
        double x = 0, y = 0;
        if (skyToPixel(frame, ra * DEGREE, dec * DEGREE, &x, &y) != WcsStatus::Ok)
            continue;
        const int px = static_cast<int>(std::lround(x)), py = static_cast<int>(std::lround(y));
        if (px >= 2 && px < 398 && py >= 2 && py < 398)
            image.stars.push_back({px, py});
    }
    return image;
}

// The fields of a summary line.
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

} // namespace

TEST(PairRun, GivesTheReportOfTheTableRunWithItsBox)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "3", "--size", "512", "--objects", "1", "--images",
                     "2", "--inject", "8", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string reference = "FLD01_r.fts";
    struct Case {
        std::string test;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"FLD01_1.fts", {}},
        {"FLD01_2.fts", {}},
        {"FLD01_1.fts", {"--vet"}},
        {"FLD01_2.fts", {"--tolerance", "3.5", "-j", "1"}},
        {"FLD01_1.fts", {"--method", "difference"}},
    };
    for (const Case& c : cases) {
        double tolerance = 2;
        std::vector<std::string> pair = {NEWSTARS_PATH, "pair", "--wcs", "auto"};
        std::vector<std::string> table = {NEWSTARS_PATH, "--wcs", "auto"};
        for (size_t i = 0; i < c.options.size(); ++i) {
            pair.push_back(c.options[i]);
            if (c.options[i] == "--tolerance")
                tolerance = std::stod(c.options[++i]), pair.push_back(c.options[i]);
            else
                table.push_back(c.options[i]);
        }
        writeFile(night.file("pair-table.txt"),
                  equivalentTableLine(night.path, "FLD01", reference, c.test, WcsMode::Auto,
                                      tolerance));
        pair.insert(pair.end(), {reference, c.test});
        table.insert(table.end(), {std::to_string(tolerance), "pair-table.txt", c.test});
        const ProgramResult byPair = runNightProgram(night.path, pair);
        const ProgramResult byTable = runNightProgram(night.path, table);
        ASSERT_EQ(byPair.status, 0) << c.test << byPair.err;
        EXPECT_EQ(byPair.out, byTable.out) << c.test << " " << c.options.size();
        EXPECT_EQ(byPair.err, byTable.err) << c.test;
        EXPECT_NE(byPair.out.find(" FLD01_r.fts  " + c.test.substr(0, 11)), std::string::npos)
            << byPair.out;
    }
}

TEST(PairRun, SearchesOnlyTheSkyBothImagesCover)
{
    // Stars every 20 arcseconds around (150, 20) degrees; the test image, shifted and
    // turned, shows the same stars and one more where both images overlap.
    std::vector<std::pair<double, double>> sky;
    const double cosDec = std::cos(20 * DEGREE);
    for (int i = -18; i <= 18; ++i) {
        for (int j = -18; j <= 18; ++j) {
            // Rows and columns staggered: stars in lines along the pixel rows hide from
            // the finder.
            const double east = i * 20.0 + (j + 18) % 7, north = j * 20.0 + (i + 18) % 5;
            sky.push_back({150 + east / 3600 / cosDec, 20 + north / 3600});
        }
    }
    struct Case {
        double rotation, shiftArcsec;
        const char* options;
    };
    const Case cases[] = {{0, 50, ""}, {30, 60, ""}, {90, 40, ""}, {180, 80, "--tolerance=1"},
                          {-47, 30, "--vet"}};
    for (const Case& c : cases) {
        ScratchDirectory dir;
        writeTestImage(dir.file("ref.fts"), imageOfSky("F", turnedSkyCards(150, 20, 0), sky));
        const double shift = c.shiftArcsec / 3600;
        std::vector<std::pair<double, double>> testSky = sky;
        // Between the stars of the grid, about halfway between both images' centres.
        const double cell = 20 * std::round(c.shiftArcsec / 40);
        testSky.push_back({150 + (cell + 13) / 3600 / cosDec, 20 + (cell + 12) / 3600});
        writeTestImage(dir.file("test.fts"),
                       imageOfSky("F", turnedSkyCards(150 + shift / cosDec, 20 + shift, c.rotation),
                                  testSky));
        std::vector<std::string> args = {"pair", "--wcs", "classic"};
        if (*c.options != '\0')
            args.push_back(c.options);
        args.insert(args.end(), {"ref.fts", "test.fts"});
        const ProgramResult run = runNewstars(dir.path, args);
        ASSERT_EQ(run.status, 0) << c.rotation << run.err;
        EXPECT_EQ(run.err, "") << c.rotation;
        const std::vector<std::string> summary = words(run.out.substr(0, run.out.find('\n')));
        ASSERT_EQ(summary.size(), 8u) << run.out;
        EXPECT_EQ(summary[7], "1") << c.rotation << "\n" << run.out;
        // The box is no sliver: about a third of the stars the reference can show
        // (15 x 15) or more.
        EXPECT_GE(std::stoi(summary[6]), 60) << c.rotation << "\n" << run.out;
    }
}

TEST(PairRun, NamesTheObjectByObjectCardOrFileName)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    TestImage blank = skyImage("M31", 150, 0, {{150, 120}, {180, 120}});
    blank.cards[0] = stringCard("OBJECT", "");
    writeTestImage(dir.file("blank object.fts"), blank);
    TestImage noObject = skyImage("M31", 150, 0, {{150, 120}, {180, 120}});
    noObject.cards.erase(noObject.cards.begin());
    writeTestImage(dir.file("night-0302.fts"), noObject);
    struct Case {
        const char* test;
        const char* object;
    };
    const Case cases[] = {
        {"test.fts", "M31"}, {"lower.fts", "m31"}, {"night-0302.fts", "night-0302.fts"},
        {"blank object.fts", "blank object.fts"}};
    for (const Case& c : cases) {
        const ProgramResult run =
            runNewstars(dir.path, {"pair", "--wcs", "classic", "ref.fts", c.test});
        ASSERT_EQ(run.status, 0) << c.test << run.err;
        char expected[300];
        std::snprintf(expected, sizeof expected,
                      "%-12s ref.fts      %-12s 2026-12-07 01:02:03   1   2   1\n\f\n"
                      "%-12s %-12s  9:59:58.0   0:00:00\n",
                      c.object, c.test, c.object, c.test);
        EXPECT_EQ(run.out, expected);
    }
}

TEST(PairRun, RefusesWhatItCannotSearch)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeTestImage(dir.file("far.fts"), skyImage("M31", 151, 0, {{150, 120}}));
    writeFile(dir.file("list.txt"), "far.fts\ntest.fts\n");
    TestImage pole = skyImage("P", 150, 89.99, {{150, 120}});
    for (std::string& card : pole.cards) {
        if (card.rfind("CTYPE1", 0) == 0)
            card = stringCard("CTYPE1", "RA---TAN");
    }
    writeTestImage(dir.file("pole.fts"), pole);
    writeTestImage(dir.file("zero.fts"), skyImage("Z", 0, 0, {{150, 120}}));
    writeTestImage(dir.file("zero2.fts"), skyImage("Z", 359.99, 0, {{150, 120}}));
    writeTestImage(dir.file("zerotest.fts"), skyImage("Z", 0, 0, {{150, 120}, {180, 120}}));
    writeTestImage(dir.file("east.fts"), skyImage("Z", 0.03, 0, {{150, 120}}));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const std::string usage = "usage";
    const Case cases[] = {
        {{"ref.fts", "far.fts"}, 0, "\f\n", "far.fts: no sky in common with the reference image\n"},
        {{"ref.fts", "far.fts", "test.fts"},
         0,
         std::string(STANDARD_SUMMARY) + "\f\n" + STANDARD_CANDIDATE + "\n",
         "far.fts: no sky in common with the reference image\n"},
        {{"-f", "list.txt", "ref.fts"},
         0,
         std::string(STANDARD_SUMMARY) + "\f\n" + STANDARD_CANDIDATE + "\n",
         "far.fts: no sky in common with the reference image\n"},
        {{"pole.fts", "test.fts"},
         1,
         "",
         "pole.fts: field holds a celestial pole, which no box of right ascension fits\n"},
        // Fields across 0h: the box crosses it.
        {{"zero.fts", "zerotest.fts"},
         0,
         "Z            zero.fts     zerotest.fts 2026-12-07 01:02:03   1   2   1\n\f\n"
         "Z            zerotest.fts 23:59:58.0   0:00:00\n",
         ""},
        {{"zero2.fts", "zerotest.fts", "test.fts"},
         0,
         "Z            zero2.fts    zerotest.fts 2026-12-07 01:02:03   1   2   2\n\f\n"
         "Z            zerotest.fts  0:00:00.0   0:00:00\n"
         "Z            zerotest.fts 23:59:58.0   0:00:00\n",
         "test.fts: no sky in common with the reference image\n"},
        // The sky in common lies east of 0h, where the reference's coordinates (centred
        // west of it) give right ascensions above 24h.
        {{"zero2.fts", "east.fts"},
         0,
         "\f\n",
         "east.fts: the images' coordinates give the sky in common right ascensions a turn apart\n"},
        {{"missing.fts", "test.fts"}, 1, "", "missing.fts: No such file or directory\n"},
        {{"short.fts", "test.fts"}, 1, "", "short.fts: FITS file is short\n"},
        {{"--tolerance", "x", "ref.fts", "test.fts"},
         1,
         "",
         "--tolerance `x' is not a finite number of arcseconds >= 0\n"},
        {{"--tolerance", "200", "ref.fts", "test.fts"},
         1,
         "",
         "ref.fts: field too small to search at this tolerance\n"},
        {{"--match", "position", "ref.fts", "test.fts"}, 1, "", "unknown option --match"},
        {{"ref.fts"}, 1, "", "pair [options] reference test1.fts"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"pair", "--wcs", "classic"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramResult run = runNewstars(dir.path, args);
        EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args.back() << run.err;
        EXPECT_EQ(run.out, c.out) << c.args[0] << " " << c.args.back();
        if (c.status == 0 || c.err.back() == '\n')
            EXPECT_EQ(run.err, c.err) << c.args[0] << " " << c.args.back();
        else
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
}

TEST(MatchPosition, UsesTheFirstLineWhoseBoxHoldsTheCentre)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeTestImage(dir.file("ngc.fts"), skyImage("NGC 7", 150, 0, {{150, 120}, {180, 120}}));
    TestImage anonymous = skyImage("", 150, 0, {{150, 120}, {180, 120}});
    anonymous.cards.erase(anonymous.cards.begin());
    writeTestImage(dir.file("anon.fts"), anonymous);
    writeTestImage(dir.file("blank.fts"), skyImage("  ", 150, 0, {{150, 120}, {180, 120}}));
    // Boxes around (10h, 0): ELSEWHERE's does not hold the centre, GONE's reference is
    // missing, FIELD's and M31's hold it.
    writeFile(dir.file("table.txt"), "ELSEWHERE 11:00:30 0:01:00 10:59:30 -0:01:00 ref2.fts\n"
                                     "GONE 10:00:30 0:01:00 9:59:30 -0:01:00 gone.fts\n"
                                     "FIELD 10:00:30 0:01:00 9:59:30 -0:01:00 ref2.fts\n"
                                     "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n");
    const std::string gone = "gone.fts: No such file or directory\n";
    auto summary = [](const char* object, const char* reference, const char* test) {
        char line[200];
        std::snprintf(line, sizeof line, "%-12s %-12s %-12s 2026-12-07 01:02:03   1   2   1\n",
                      object, reference, test);
        return std::string(line);
    };
    struct Case {
        const char* match;
        const char* test;
        int status;
        std::string summary, err;
    };
    const Case cases[] = {
        // OBJECT names a line: that line, whatever boxes come before it.
        {"position", "test.fts", 0, summary("M31", "ref.fts", "test.fts"), ""},
        // No line names NGC 7: the first box holding the centre whose image opens.
        {"position", "ngc.fts", 0, summary("NGC 7", "ref2.fts", "ngc.fts"), gone},
        {"object", "ngc.fts", 0, "", "No reference file listed for object NGC 7\n"},
        // No OBJECT, or a blank one: the object is the line's.
        {"position", "anon.fts", 0, summary("FIELD", "ref2.fts", "anon.fts"), gone},
        {"object", "anon.fts", 0, "", "anon.fts: no OBJECT field\n"},
        {"position", "blank.fts", 0, summary("FIELD", "ref2.fts", "blank.fts"), gone},
        {"sideways", "test.fts", 1, "", ": --match takes object or position, not `sideways'\n"},
    };
    for (const Case& c : cases) {
        const ProgramResult run =
            runNewstars(dir.path, {"--match", c.match, "2", "table.txt", c.test});
        EXPECT_EQ(run.status, c.status) << c.match << " " << c.test << run.err;
        if (c.status != 0) {
            EXPECT_EQ(run.err, newstarsPath() + c.err);
            continue;
        }
        EXPECT_EQ(run.err, c.err) << c.match << " " << c.test;
        EXPECT_EQ(run.out.substr(0, run.out.find('\f')), c.summary) << c.match << " " << c.test;
    }
}

namespace {

// The image file with its header cards changed as today's software writes them: OBJECT
// made a comment, CRPIX1/2 counted from 1 (simnight writes them for pixels counted from 0).
std::string asTodaysSoftwareWrites(std::string file)
{
    const size_t end = file.find("END" + std::string(77, ' '));
    for (size_t at = 0; at < end; at += 80) {
        const std::string keyword = file.substr(at, 8);
        if (keyword == "OBJECT  ") {
            file.replace(at, 8, "COMMENT ");
        } else if (keyword == "CRPIX1  " || keyword == "CRPIX2  ") {
            const double value = std::stod(file.substr(at + 10, 70));
            file.replace(at, 80, realCard(keyword.substr(0, 6).c_str(), value + 1));
        }
    }
    return file;
}

} // namespace

TEST(YourOwnImages, TheReadmeCommandsRunAsWritten)
{
    const std::string readme = readFile(NEWSTARS_SOURCE_DIR "/README.md");
    const size_t section = readme.find("\n## Your own images\n");
    ASSERT_NE(section, std::string::npos);
    const size_t start = readme.find("```sh\n", section) + 6;
    const size_t end = readme.find("```", start);
    std::vector<std::string> commands;
    std::istringstream lines(readme.substr(start, end - start));
    for (std::string line; std::getline(lines, line);)
        commands.push_back(line);
    ASSERT_EQ(commands.size(), 3u);
    // The tests run in a built tree: the build is checked, not run again.
    EXPECT_EQ(commands[0], "scripts/setup && scripts/build build/release -DCMAKE_BUILD_TYPE=Release");

    ScratchDirectory dir;
    const ProgramResult made = runNightProgram(
        dir.path, {SIMNIGHT_PATH, "--seed", "11", "--size", "512", "--objects", "1", "--images",
                   "1", "--inject", "8", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    writeFile(dir.file("before.fits"), asTodaysSoftwareWrites(readFile(dir.file("FLD01_r.fts"))));
    writeFile(dir.file("after.fits"), asTodaysSoftwareWrites(readFile(dir.file("FLD01_1.fts"))));
    std::filesystem::create_directories(dir.file("build/release"));
    std::filesystem::create_directory_symlink(NEWSTARS_BIN_DIR, dir.file("build/release/bin"));

    const ProgramResult search = runNightProgram(dir.path, {"/bin/sh", "-c", commands[1]});
    ASSERT_EQ(search.status, 0) << search.err;
    EXPECT_EQ(search.err, "");
    const ProgramResult look = runNightProgram(dir.path, {"/bin/sh", "-c", commands[2]});
    ASSERT_EQ(look.status, 0) << look.err;
    const std::string report = readFile(dir.file("report.txt"));
    EXPECT_EQ(report.rfind("after.fits   before.fits  after.fits   2026-", 0), 0u) << report;
    EXPECT_EQ(look.out.rfind(report, 0), 0u) << look.out;
    // Every injected source the night made is clearly detectable; most are kept.
    const std::vector<std::string> summary = words(report.substr(0, report.find('\n')));
    ASSERT_EQ(summary.size(), 8u) << report;
    EXPECT_GE(std::stoi(summary[7]), 4) << report;
    const std::string catalog = readFile(dir.file("candidates.ecsv"));
    EXPECT_EQ(catalog.rfind("# %ECSV", 0), 0u);
    size_t stamps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("stamps"))) {
        EXPECT_NE(look.out.find(entry.path().filename().string()), std::string::npos);
        ++stamps;
    }
    // A stamp per catalogue row (the lines after the comments and the column names).
    size_t rows = 0;
    std::istringstream table(catalog);
    for (std::string line; std::getline(table, line);)
        rows += line.empty() || line[0] == '#' ? 0 : 1;
    EXPECT_EQ(stamps + 1, rows) << catalog;
}
