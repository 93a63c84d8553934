// Whole runs of the built program over small synthetic images, checking the summary
// lines and the candidate report. Pixels are 1 arcsecond in declination and 1
// arcsecond of right ascension (1/15 second of time); see skyImage.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "search/compare.hpp"
#include "search/image_file.hpp"
#include "search/run.hpp"
#include "wcs/world_coords.hpp"
#include "stars/find_stars.hpp"
#include "test_support.hpp"

using namespace newstars;

static const std::string FORM_FEED = "\f\n";

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
};

static void expectRuns(const ScratchDirectory& dir, const std::vector<RunCase>& cases)
{
    for (const RunCase& c : cases) {
        ProgramResult r = runNewstars(dir.path, c.args);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

static TestImage withoutCard(TestImage image, const char* keyword)
{
    std::string key = keyword;
    key.resize(8, ' ');
    std::erase_if(image.cards,
                  [&](const std::string& card) { return card.compare(0, 8, key) == 0; });
    return image;
}

TEST(CompareRun, MatchesStarsWithinTheToleranceInsideTheBox)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    // Reference stars at declinations -20, +20, +40 and -61 arcseconds, the last south
    // of the box (-60 to +60). Test stars: one on a reference star, one 2 arcseconds
    // and one sqrt(5) = 2.24 arcseconds from one, and one at -57 arcseconds, inside the
    // box shrunk by the tolerance of 2.2 arcseconds.
    writeTestImage(dir.file("ref3.fts"),
                   skyImage("M31", 150, 0, {{150, 100}, {100, 140}, {200, 160}, {150, 59}}));
    writeTestImage(dir.file("test3.fts"),
                   skyImage("M31", 150, 0, {{150, 100}, {100, 142}, {201, 162}, {120, 63}}));
    writeTestImage(dir.file("blank.fts"), skyImage("M31", 150, 0, {}));
    writeFile(dir.file("table3.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref3.fts\n");
    writeFile(dir.file("blank-table.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 blank.fts\n");
    const std::vector<RunCase> cases = {
        {"same position matched",
         {"2", "table.txt", "test.fts"},
         std::string(STANDARD_SUMMARY) + FORM_FEED + STANDARD_CANDIDATE + "\n",
         ""},
        {"tolerance 0 matches nothing",
         {"0", "table.txt", "test.fts"},
         "M31          ref.fts      test.fts     2026-12-07 01:02:03   1   2   2\n" + FORM_FEED +
             "M31          test.fts     10:00:00.0   0:00:00\n" + STANDARD_CANDIDATE + "\n",
         ""},
        {"within and beyond the tolerance",
         {"2.2", "table3.txt", "test3.fts"},
         "M31          ref3.fts     test3.fts    2026-12-07 01:02:03   3   4   2\n" + FORM_FEED +
             "M31          test3.fts    10:00:02.0  -0:00:57\n"
             "M31          test3.fts     9:59:56.6   0:00:42\n",
         ""},
        {"a test image without stars",
         {"2", "table.txt", "blank.fts"},
         "M31          ref.fts      blank.fts    2026-12-07 01:02:03   1   0   0\n" + FORM_FEED,
         ""},
        {"a reference image without stars",
         {"2", "blank-table.txt", "test.fts"},
         "M31          blank.fts    test.fts     2026-12-07 01:02:03   0   2   2\n" + FORM_FEED +
             "M31          test.fts     10:00:00.0   0:00:00\n" + STANDARD_CANDIDATE + "\n",
         ""},
    };
    expectRuns(dir, cases);
}

TEST(CompareRun, BoxShrinksByTheToleranceOverCosMidDec)
{
    // Box from 9:59:56 to 10:00:04 (pixel columns 210 and 90) and from 59:59:00 to 60:01:00
    // (rows 60 and 180). At a mean declination of 60 degrees a tolerance of 2 arcseconds
    // shrinks it by 4 arcseconds on every side: stars 3 arcseconds inside an edge are
    // neither counted nor candidates, stars 5 arcseconds inside are both.
    ScratchDirectory dir;
    writeTestImage(dir.file("ref60.fts"), skyImage("M82", 150, 60, {}));
    writeTestImage(dir.file("test60.fts"), skyImage("M82", 150, 60,
                                                    {{93, 100},
                                                     {95, 140},
                                                     {207, 100},
                                                     {205, 140},
                                                     {120, 63},
                                                     {150, 65},
                                                     {120, 177},
                                                     {150, 175}}));
    writeFile(dir.file("table.txt"), "M82 10:00:04 60:01:00 9:59:56 59:59:00 ref60.fts\n");
    expectRuns(dir, {{"margin at declination 60",
                      {"2", "table.txt", "test60.fts"},
                      "M82          ref60.fts    test60.fts   2026-12-07 01:02:03   0   4   4\n" +
                          FORM_FEED +
                          "M82          test60.fts   10:00:00.0  59:59:05\n"
                          "M82          test60.fts   10:00:03.7  60:00:20\n"
                          "M82          test60.fts    9:59:56.3  60:00:20\n"
                          "M82          test60.fts   10:00:00.0  60:00:55\n",
                      ""}});
}

TEST(CompareRun, ReferenceStarsOutsideTheBoxAreIgnored)
{
    // Near declination 69.9 degrees one arcsecond of right ascension spans 0.344 arcseconds
    // of sky. The west edge 9:59:59 lies at pixel column 165. Each test star at column 158
    // has a reference star within 3 arcseconds: at column 164 (inside the box) and at
    // column 166 (just outside), so only the first is matched.
    ScratchDirectory dir;
    writeTestImage(dir.file("refhigh.fts"), skyImage("M82", 150, 69.9, {{166, 80}, {164, 120}}));
    writeTestImage(dir.file("testhigh.fts"), skyImage("M82", 150, 69.9, {{158, 80}, {158, 120}}));
    writeFile(dir.file("table.txt"), "M82 10:00:30 70:00:00 9:59:59 50:00:00 refhigh.fts\n");
    expectRuns(dir, {{"reference star outside the box",
                      {"3", "table.txt", "testhigh.fts"},
                      "M82          refhigh.fts  testhigh.fts 2026-12-07 01:02:03   1   2   1\n" +
                          FORM_FEED + "M82          testhigh.fts  9:59:59.5  69:53:20\n",
                      ""}});
}

TEST(CompareRun, BoxAcrossZeroHoursIsSearched)
{
    // The table's west edge 23:59:30 lies east of its east edge 0:00:30: the box crosses
    // 0h. The reference star lies at 0h, the test stars 30 arcseconds west (23:59:58.0)
    // and east (0:00:02.0) of it.
    ScratchDirectory dir;
    writeTestImage(dir.file("ref0.fts"), skyImage("M31", 0, 0, {{150, 120}}));
    writeTestImage(dir.file("test0.fts"), skyImage("M31", 0, 0, {{150, 120}, {180, 120}, {120, 120}}));
    writeFile(dir.file("table.txt"), "M31 0:00:30 0:01:00 23:59:30 -0:01:00 ref0.fts\n");
    writeFile(dir.file("narrow.txt"), "M31 0:00:30 0:01:00 23:59:59 -0:01:00 ref0.fts\n");
    expectRuns(dir, {{"box across 0h",
                      {"2", "table.txt", "test0.fts"},
                      "M31          ref0.fts     test0.fts    2026-12-07 01:02:03   1   3   2\n" +
                          FORM_FEED + "M31          test0.fts     0:00:02.0   0:00:00\n" +
                          "M31          test0.fts    23:59:58.0   0:00:00\n",
                      ""},
                     {"west edge within the tolerance of the test star",
                      {"2", "narrow.txt", "test0.fts"},
                      "M31          ref0.fts     test0.fts    2026-12-07 01:02:03   1   2   1\n" +
                          FORM_FEED + "M31          test0.fts     0:00:02.0   0:00:00\n",
                      ""}});
}

TEST(CompareRun, HeaderGapsAndLongNames)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    std::filesystem::create_directories(dir.file("sub/deeper"));
    TestImage test = skyImage("M31", 150, 0, {{150, 120}, {180, 120}});
    writeTestImage(dir.file("nodate.fts"), withoutCard(withoutCard(test, "DATE-OBS"), "TIME-OBS"));
    writeTestImage(dir.file("nowcs.fts"), withoutCard(test, "CTYPE1"));
    TestImage iso = withoutCard(withoutCard(test, "DATE-OBS"), "TIME-OBS");
    iso.cards.push_back(stringCard("DATE-OBS", "2026-03-02T01:30:00.5"));
    writeTestImage(dir.file("isodate.fts"), iso);
    iso.cards.push_back(stringCard("TIME-OBS", "01:30:01"));
    writeTestImage(dir.file("isoboth.fts"), iso);
    iso = withoutCard(iso, "TIME-OBS");
    iso = withoutCard(iso, "DATE-OBS");
    iso.cards.push_back(stringCard("DATE-OBS", "2026-03-02T01:30"));
    writeTestImage(dir.file("isoshort.fts"), iso);
    // Observers' files: the time in MJD-OBS or DATE-BEG, no DATE-OBS.
    TestImage undated = withoutCard(withoutCard(test, "DATE-OBS"), "TIME-OBS");
    TestImage mjd = undated;
    mjd.cards.push_back(realCard("MJD-OBS", 59885.5765909287));
    mjd.cards.push_back(stringCard("DATE-BEG", "2022-11-11T02:54:39.739"));
    writeTestImage(dir.file("mjd.fts"), mjd);
    TestImage begin = undated;
    begin.cards.push_back(stringCard("DATE-BEG", "2022-11-11T02:54:39.739"));
    writeTestImage(dir.file("datebeg.fts"), begin);
    // DATE-OBS, even without its time, is shown as it always was.
    TestImage dayOnly = withoutCard(mjd, "DATE-BEG");
    dayOnly.cards.push_back(stringCard("DATE-OBS", "2022-11-01"));
    writeTestImage(dir.file("dayonly.fts"), dayOnly);
    writeTestImage(dir.file("refnowcs.fts"),
                   withoutCard(skyImage("M31", 150, 0, {{150, 120}}), "CROTA2"));
    writeTestImage(dir.file("sub/a-long-reference-name.fts"),
                   skyImage("M31", 150, 0, {{150, 120}}));
    writeTestImage(dir.file("sub/deeper/a-long-test-image.fts"),
                   skyImage("AnObjectNameLongerThanTwelve", 150, 0, {{150, 120}, {180, 120}}));
    writeFile(dir.file("table.txt"),
              std::string(STANDARD_TABLE_LINE) +
                  "AnObjectNameLongerThanTwelve 10:00:30 0:01:00 9:59:30 -0:01:00 "
                  "sub/a-long-reference-name.fts\n");
    writeFile(dir.file("nowcs-table.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 refnowcs.fts\n");
    const std::vector<RunCase> cases = {
        {"no DATE-OBS and TIME-OBS",
         {"2", "table.txt", "nodate.fts"},
         "M31          ref.fts      nodate.fts   ???????? ????????   1   2   1\n" + FORM_FEED +
             "M31          nodate.fts    9:59:58.0   0:00:00\n",
         "nodate.fts: No DATE-OBS field in test image\n"
         "nodate.fts: No TIME-OBS field in test image\n"},
        // An ISO DATE-OBS with its time stands for both when there is no TIME-OBS.
        {"ISO date and time, no TIME-OBS",
         {"2", "table.txt", "isodate.fts"},
         "M31          ref.fts      isodate.fts  2026-03-02 01:30:00.5   1   2   1\n" + FORM_FEED +
             "M31          isodate.fts   9:59:58.0   0:00:00\n",
         ""},
        {"ISO date and time beside TIME-OBS",
         {"2", "table.txt", "isoboth.fts"},
         "M31          ref.fts      isoboth.fts  2026-03-02T01:30:00.5 01:30:01   1   2   1\n" +
             FORM_FEED + "M31          isoboth.fts   9:59:58.0   0:00:00\n",
         ""},
        {"ISO date without seconds",
         {"2", "table.txt", "isoshort.fts"},
         "M31          ref.fts      isoshort.fts 2026-03-02T01:30 ????????   1   2   1\n" +
             FORM_FEED + "M31          isoshort.fts  9:59:58.0   0:00:00\n",
         "isoshort.fts: No TIME-OBS field in test image\n"},
        {"MJD-OBS before DATE-BEG, without DATE-OBS",
         {"2", "table.txt", "mjd.fts"},
         "M31          ref.fts      mjd.fts      2022-11-02 13:50:17.456   1   2   1\n" +
             FORM_FEED + "M31          mjd.fts       9:59:58.0   0:00:00\n",
         ""},
        {"DATE-BEG alone",
         {"2", "table.txt", "datebeg.fts"},
         "M31          ref.fts      datebeg.fts  2022-11-11 02:54:39.739   1   2   1\n" +
             FORM_FEED + "M31          datebeg.fts   9:59:58.0   0:00:00\n",
         ""},
        {"DATE-OBS without its time beside MJD-OBS",
         {"2", "table.txt", "dayonly.fts"},
         "M31          ref.fts      dayonly.fts  2022-11-01 ????????   1   2   1\n" + FORM_FEED +
             "M31          dayonly.fts   9:59:58.0   0:00:00\n",
         "dayonly.fts: No TIME-OBS field in test image\n"},
        // Stars whose position cannot be worked out are left out altogether, with one
        // message per image saying why and how many.
        {"test image without sky cards",
         {"2", "table.txt", "nowcs.fts"},
         "M31          ref.fts      nowcs.fts    2026-12-07 01:02:03   1   0   0\n" + FORM_FEED,
         "nowcs.fts: no celestial world coordinates: 2 stars left out\n"},
        {"reference image without sky cards",
         {"2", "nowcs-table.txt", "test.fts"},
         "M31          refnowcs.fts test.fts     2026-12-07 01:02:03   0   2   2\n" + FORM_FEED +
             "M31          test.fts     10:00:00.0   0:00:00\n" + STANDARD_CANDIDATE + "\n",
         "refnowcs.fts: no celestial world coordinates: 1 star left out\n"},
        {"long names shift the columns",
         {"2", "table.txt", "./sub/deeper/a-long-test-image.fts"},
         "AnObjectNameLongerThanTwelve a-long-reference-name.fts a-long-test-image.fts 2026-12-07 "
         "01:02:03   1   2   1\n" +
             FORM_FEED +
             "AnObjectNameLongerThanTwelve a-long-test-image.fts  9:59:58.0   0:00:00\n",
         ""},
    };
    expectRuns(dir, cases);
}

TEST(CompareRun, CandidatesOfDifferentObjectsAreSeparated)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    const std::vector<std::pair<const char*, const char*>> images = {{"a1.fts", "A"},
                                                                     {"a2.fts", "A"},
                                                                     {"b1.fts", "b"},
                                                                     {"a3.fts", "A"},
                                                                     {"l1.fts", "LongObjectName1"},
                                                                     {"l2.fts", "longobjectnaME2"}};
    for (const auto& [file, object] : images)
        writeTestImage(dir.file(file), skyImage(object, 150, 0, {{150, 120}, {180, 120}}));
    std::string table;
    for (const char* object : {"A", "B", "LONGOBJECTNAME1", "LONGOBJECTNAME2"})
        table += std::string(object) + " 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n";
    writeFile(dir.file("table.txt"), table);
    ProgramResult r = runNewstars(
        dir.path, {"2", "table.txt", "a1.fts", "a2.fts", "b1.fts", "a3.fts", "l1.fts", "l2.fts"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string report = r.out.substr(r.out.find('\f'));
    EXPECT_EQ(report, FORM_FEED + "A            a1.fts        9:59:58.0   0:00:00\n"
                                  "A            a2.fts        9:59:58.0   0:00:00\n"
                                  "\n"
                                  "b            b1.fts        9:59:58.0   0:00:00\n"
                                  "\n"
                                  "A            a3.fts        9:59:58.0   0:00:00\n"
                                  "\n"
                                  "LongObjectName1 l1.fts        9:59:58.0   0:00:00\n"
                                  "longobjectnaME2 l2.fts        9:59:58.0   0:00:00\n");
}

// The distance between the first stars of two images as the comparison works it out.
static double firstStarDistance(const std::string& referencePath, const std::string& testPath)
{
    SkyPosition positions[2];
    const std::string* paths[2] = {&referencePath, &testPath};
    for (int i = 0; i < 2; ++i) {
        std::string message;
        FitsImage image;
        int fd = openImageFile(paths[i]->c_str(), &message);
        if (fd < 0 || readOpenImage(fd, &image, &message) != 0)
            return NAN;
        StarList stars;
        if (findStars(image.pixels.data(), image.width, image.height, &stars) < 1 ||
            pixelToSky(&image, stars.x[0], stars.y[0], &positions[i].ra, &positions[i].dec) != 0)
            return NAN;
        freeFitsImage(&image);
    }
    const SkyPosition& r = positions[0];
    const SkyPosition& t = positions[1];
    return std::acos(separationCosine(t.ra - r.ra, 3.141592653589793 / 2 - r.dec, std::sin(t.dec),
                                      std::cos(t.dec)));
}

// An arcsecond text that the program turns into exactly the given tolerance, if any.
static std::string exactToleranceText(double tolerance)
{
    double arcsec = tolerance * 180 / 3.141592653589793 * 3600;
    double low = arcsec, high = arcsec;
    for (int step = 0; step < 1000; ++step) {
        for (double candidate : {low, high}) {
            char text[40];
            std::snprintf(text, sizeof text, "%.17g", candidate);
            if (toleranceFromText(text) == tolerance)
                return text;
        }
        low = std::nextafter(low, 0.0);
        high = std::nextafter(high, 1e9);
    }
    return "";
}

TEST(CompareRun, StarExactlyOneToleranceAwayIsNotMatched)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    bool tried = false;
    for (int dy : {2, 3, 1, 4}) {
        writeTestImage(dir.file("near.fts"), skyImage("M31", 150, 0, {{150, 120 + dy}}));
        double d = firstStarDistance(dir.file("ref.fts"), dir.file("near.fts"));
        ASSERT_FALSE(std::isnan(d));
        std::string exact = exactToleranceText(d);
        if (exact.empty())
            continue;
        tried = true;
        char wider[40];
        std::snprintf(wider, sizeof wider, "%.17g", std::nextafter(std::atof(exact.c_str()), 1e9));
        char candidate[80];
        std::snprintf(candidate, sizeof candidate,
                      "M31          near.fts     10:00:00.0   0:00:%02d\n", dy);
        expectRuns(dir,
                   {{"exactly the tolerance",
                     {exact, "table.txt", "near.fts"},
                     "M31          ref.fts      near.fts     2026-12-07 01:02:03   1   1   1\n" +
                         FORM_FEED + candidate,
                     ""},
                    {"just over the tolerance",
                     {wider, "table.txt", "near.fts"},
                     "M31          ref.fts      near.fts     2026-12-07 01:02:03   1   1   0\n" +
                         FORM_FEED,
                     ""}});
        break;
    }
    EXPECT_TRUE(tried) << "no arcsecond text gives exactly the separation";
}

TEST(CompareRun, StarSearchOutOfMemorySkipsTheImage)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the cap leaves";
#endif
    // A test image of 1048576 x 65 pixels (128 MiB) can be read under a cap of 200 MiB,
    // but the star search's 64 working rows of it (another 128 MiB) cannot be had as well.
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    // The header alone, the file then extended, sparsely, to hold all pixels.
    writeFile(dir.file("huge.fts"),
              fitsImageHeader(1048576, 65, skyImage("M31", 150, 0, {}).cards));
    std::filesystem::resize_file(dir.file("huge.fts"), 2880 + 1048576ull * 65 * 2);
    // One worker: each thread more would take address space from the cap.
    ProgramResult r =
        runNewstars(dir.path, {"-j", "1", "2", "table.txt", "huge.fts", "test.fts"}, 200ul << 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "findStars(): Can not malloc 134217728\nhuge.fts: Can not find stars\n");
    EXPECT_EQ(r.out, std::string(STANDARD_SUMMARY) + FORM_FEED + STANDARD_CANDIDATE + "\n");
}
