#include "history/history.hpp"

#include <fitsio.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "history/marks_file.hpp"
#include "support/files.hpp"

using namespace newstars;

namespace {

const double NaN = std::nan("");

// A detection at (ra, dec) degrees of an image taken at the given MJD.
HistoryDetection at(const char* image, int number, double ra, double dec, double mjd,
                    double flux = NaN, bool kept = true)
{
    HistoryDetection d;
    d.image = image;
    d.number = number;
    d.ra = ra;
    d.dec = dec;
    d.mjd = mjd;
    d.observed = "t" + std::to_string(mjd); // distinct per observation time
    d.flux = flux;
    d.kept = kept;
    return d;
}

int64_t countRows(const std::string& path, const char* table)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &s,
                       nullptr);
    int64_t n = -1;
    if (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return n;
}

// 1 arcsecond in degrees.
constexpr double AS = 1.0 / 3600;

} // namespace

TEST(ObservationNight, StartsAtNoonUtcOfTheDateItIsNamedBy)
{
    struct Case {
        double mjd;
        const char* iso;
        const char* night;
    };
    const Case cases[] = {
        {61107.0, "", "2026-03-07"},      // 2026-03-08 00:00 UTC: the evening before
        {61107.4999, "", "2026-03-07"},   // 11:59:51 UTC
        {61107.5, "", "2026-03-08"},      // noon starts the next night
        {61106.9375, "", "2026-03-07"},   // 22:30 UTC the same evening
        {51544.5, "", "2000-01-01"},      // J2000.0
        {40587.0, "", "1969-12-31"},      // 1970-01-01 00:00
        {59945.75, "", "2023-01-01"},     // a new year's evening
        {NaN, "2026-12-07", "2026-12-07"}, // a date alone is its night
        {NaN, "2026-12-07T01:02:03", ""},  // a time without its MJD: not known
        {NaN, "", ""},
        {NaN, "12/07/26", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(observationNight(c.mjd, c.iso), c.night) << c.mjd << " " << c.iso;
}

TEST(SkySeparation, MatchesKnownAngles)
{
    struct Case {
        double ra1, dec1, ra2, dec2, arcsec;
    };
    const Case cases[] = {
        {10, 0, 10, 1 * AS, 1},
        {10, 0, 10 + 1 * AS, 0, 1},
        {10, 60, 10 + 2 * AS, 60, 1},         // half as much at 60 degrees
        {359.9999 + 0.00005, 0, 0.00005, 0, 0.36}, // across 0h
        {0, 90, 180, 90 - AS, 1},             // over the pole
    };
    for (const Case& c : cases)
        EXPECT_NEAR(skySeparationArcsec(c.ra1, c.dec1, c.ra2, c.dec2), c.arcsec, 1e-6)
            << c.ra1 << " " << c.dec1 << " " << c.ra2 << " " << c.dec2;
}

TEST(RecordRun, MatchesCandidatesToSourcesWithinTheTolerance)
{
    // Night 1 makes a source at (150, 20); night 2's candidates lie at these offsets
    // (arcseconds north) with a tolerance of 2: strictly closer matches.
    struct Case {
        double northArcsec;
        double eastRa; // degrees of right ascension added
        bool sameSource;
    };
    const Case cases[] = {
        {0, 0, true}, {1.9, 0, true}, {2.1, 0, false}, {0, 1.5 * AS, true}, {0, 3 * AS, false},
    };
    for (const Case& c : cases) {
        ScratchDirectory dir;
        HistoryDatabase db;
        std::string message;
        ASSERT_EQ(openHistory(dir.path + "/h.db", &db, &message), 0) << message;
        std::vector<HistoryEntry> first, second;
        ASSERT_EQ(recordRun(&db, {at("a.fts", 1, 150, 20, 61107)}, 2, &first, &message), 0);
        ASSERT_EQ(recordRun(&db, {at("a.fts", 1, 150 + c.eastRa, 20 + c.northArcsec * AS, 61108)},
                            2, &second, &message),
                  0)
            << message;
        ASSERT_EQ(second.size(), 1u);
        EXPECT_EQ(second[0].source == first[0].source, c.sameSource) << c.northArcsec;
        EXPECT_EQ(second[0].timesSeen, c.sameSource ? 2 : 1) << c.northArcsec;
        EXPECT_EQ(second[0].nights, c.sameSource ? 2 : 1) << c.northArcsec;
    }
}

TEST(RecordRun, GathersOneSourceAcrossImagesNightsAndZeroHours)
{
    ScratchDirectory dir;
    HistoryDatabase db;
    std::string message;
    ASSERT_EQ(openHistory(dir.path + "/h.db", &db, &message), 0) << message;
    // Two images of one night see the supernova (and a source just east of 0h that the
    // second image has just west of it); later nights see it once each.
    const double fluxes[5] = {100, 300, 500, 250, 120};
    std::vector<HistoryEntry> entries;
    for (int night = 0; night < 5; ++night) {
        const double mjd = 61107 + night;
        std::vector<HistoryDetection> run = {at("a.fts", 1, 10, -5, mjd, fluxes[night]),
                                             at("a.fts", 2, 0.1 * AS, 30, mjd, 7)};
        if (night == 0) {
            run.push_back(at("b.fts", 1, 10 + 0.5 * AS, -5, mjd + 0.01, fluxes[0] + 20));
            run.push_back(at("b.fts", 2, 360 - 0.2 * AS, 30, mjd + 0.01, 9));
        }
        ASSERT_EQ(recordRun(&db, run, 1, &entries, &message), 0) << message;
    }
    ASSERT_EQ(entries.size(), 2u);
    const HistoryEntry& sn = entries[0];
    EXPECT_EQ(sn.timesSeen, 6);
    EXPECT_EQ(sn.nights, 5);
    EXPECT_EQ(sn.firstSeen, "t61107.000000");
    ASSERT_EQ(sn.lightCurve.size(), 5u);
    const char* nights[5] = {"2026-03-07", "2026-03-08", "2026-03-09", "2026-03-10",
                             "2026-03-11"};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(sn.lightCurve[static_cast<size_t>(k)].night, nights[k]);
        // The first night's point is the mean of its two images.
        EXPECT_EQ(sn.lightCurve[static_cast<size_t>(k)].flux, k == 0 ? 110 : fluxes[k]) << k;
    }
    EXPECT_EQ(entries[1].timesSeen, 6);
    EXPECT_NE(entries[1].source, sn.source);
    EXPECT_EQ(countRows(dir.path + "/h.db", "sources"), 2);
    EXPECT_EQ(countRows(dir.path + "/h.db", "runs"), 5);
}

TEST(RecordRun, RejectedCandidatesAreLookedUpNotRecorded)
{
    ScratchDirectory dir;
    HistoryDatabase db;
    std::string message;
    ASSERT_EQ(openHistory(dir.path + "/h.db", &db, &message), 0) << message;
    std::vector<HistoryEntry> entries;
    ASSERT_EQ(recordRun(&db, {at("a.fts", 1, 50, 5, 61107, 10)}, 2, &entries, &message), 0);
    ASSERT_EQ(recordRun(&db,
                        {at("a.fts", 1, 50, 5, 61108, 10, false),
                         at("a.fts", 2, 51, 5, 61108, 10, false)},
                        2, &entries, &message),
              0);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0].source, 0); // on a known source: its record shown
    EXPECT_EQ(entries[0].timesSeen, 1);
    EXPECT_EQ(entries[1].source, 0); // on none: no source made
    EXPECT_EQ(countRows(dir.path + "/h.db", "detections"), 1);
    EXPECT_EQ(countRows(dir.path + "/h.db", "sources"), 1);
}

TEST(RecordRun, SameImageSearchedAgainReplacesItsDetections)
{
    ScratchDirectory dir;
    HistoryDatabase db;
    std::string message;
    ASSERT_EQ(openHistory(dir.path + "/h.db", &db, &message), 0) << message;
    std::vector<HistoryEntry> entries;
    for (int run = 0; run < 3; ++run)
        ASSERT_EQ(recordRun(&db, {at("a.fts", 1, 50, 5, 61107, 10 + run)}, 2, &entries, &message),
                  0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].timesSeen, 1);
    ASSERT_EQ(entries[0].lightCurve.size(), 1u);
    EXPECT_EQ(entries[0].lightCurve[0].flux, 12);
    EXPECT_EQ(countRows(dir.path + "/h.db", "detections"), 1);
}

TEST(RecordRun, LabelsAndKnownObjectsFlagLaterCandidates)
{
    struct Case {
        std::vector<HistoryMark> marks;
        std::string label, known;
        bool flagged;
    };
    const Case cases[] = {
        {{}, "", "", false},
        {{{20, 10, "bogus", "a.fts:3"}}, "bogus", "", true},
        {{{20, 10 + 0.5 * AS, "real", "a.fts:3"}}, "real", "", false},
        {{{20, 10, "bogus", "a.fts:3"}, {20, 10, "real", "b.fts:1"}}, "real", "", false},
        {{{20, 10, "real", "a.fts:3"}, {20, 10, "bogus", "b.fts:1"}}, "bogus", "", true},
        {{{20, 10, "skip", "a.fts:3"}}, "skip", "", false},
        {{{20, 10 + 1.2 * AS, "known", "V* far"}, {20, 10 + 0.3 * AS, "known", "V* near"}},
         "", "V* near", true},
        {{{20, 10 + 3 * AS, "known", "V* outside"}, {20, 10 - 3 * AS, "bogus", "x"}}, "", "",
         false},
    };
    for (const Case& c : cases) {
        ScratchDirectory dir;
        HistoryDatabase db;
        std::string message;
        ASSERT_EQ(openHistory(dir.path + "/h.db", &db, &message), 0) << message;
        ASSERT_EQ(addMarks(&db, c.marks, &message), 0) << message;
        std::vector<HistoryEntry> entries;
        ASSERT_EQ(recordRun(&db, {at("c.fts", 1, 20, 10, 61110)}, 2, &entries, &message), 0);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].label, c.label) << c.marks.size();
        EXPECT_EQ(entries[0].known, c.known) << c.marks.size();
        EXPECT_EQ(entries[0].flagged, c.flagged) << c.marks.size();
    }
}

TEST(OpenHistory, RefusesWhatIsNotItsOwnDatabaseAndLeavesItAlone)
{
    ScratchDirectory dir;
    const std::string text = dir.path + "/image.fts";
    writeFile(text, "SIMPLE  =                    T / not a database");
    const std::string other = dir.path + "/other.db";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('mine')",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const std::string otherBefore = readFile(other);
    struct Case {
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {dir.path, "not a regular file"},
        {"/dev/null", "not a regular file"},
        {text, "file is not a database"},
        {other, "not a candidate history"},
        {dir.path + "/missing/h.db", "unable to open"},
    };
    for (const Case& c : cases) {
        HistoryDatabase db;
        std::string message;
        EXPECT_EQ(openHistory(c.path, &db, &message), -1) << c.path;
        EXPECT_NE(message.find(c.reason), std::string::npos) << c.path << ": " << message;
        EXPECT_EQ(message.rfind(c.path + ": ", 0), 0u) << message;
    }
    EXPECT_EQ(readFile(text), "SIMPLE  =                    T / not a database");
    EXPECT_EQ(readFile(other), otherBefore);
    // Its own database opens again, as often as wanted.
    for (int k = 0; k < 2; ++k) {
        HistoryDatabase db;
        std::string message;
        EXPECT_EQ(openHistory(dir.path + "/h.db", &db, &message), 0) << message;
    }
}

TEST(RecordRun, TwoWritersAtOnceLoseNothing)
{
    ScratchDirectory dir;
    const std::string path = dir.path + "/h.db";
    {
        HistoryDatabase db;
        std::string message;
        ASSERT_EQ(openHistory(path, &db, &message), 0) << message;
    }
    // Two processes record 40 runs each, every run 25 candidates, on one sky: each of
    // the second writer's candidates lies 0.5 arcseconds from one of the first's.
    constexpr int RUNS = 40, PER_RUN = 25;
    pid_t children[2];
    for (int w = 0; w < 2; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            HistoryDatabase db;
            std::string message;
            if (openHistory(path, &db, &message) != 0)
                _exit(2);
            for (int r = 0; r < RUNS; ++r) {
                std::vector<HistoryDetection> run;
                for (int k = 0; k < PER_RUN; ++k)
                    run.push_back(at(w == 0 ? "a.fts" : "b.fts", k + 1, 100 + k * 0.01,
                                     w * 0.5 * AS, 61107 + r, r));
                std::vector<HistoryEntry> entries;
                if (recordRun(&db, run, 1, &entries, &message) != 0)
                    _exit(3);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(countRows(path, "runs"), 2 * RUNS);
    EXPECT_EQ(countRows(path, "detections"), 2 * RUNS * PER_RUN);
    EXPECT_EQ(countRows(path, "sources"), PER_RUN); // whichever wrote first made them
    HistoryDatabase db;
    std::string message;
    ASSERT_EQ(openHistory(path, &db, &message), 0);
    std::vector<HistoryEntry> entries;
    ASSERT_EQ(recordRun(&db, {at("c.fts", 1, 100, 0.2 * AS, 61200)}, 1, &entries, &message), 0);
    EXPECT_EQ(entries[0].timesSeen, 2 * RUNS + 1);
    EXPECT_EQ(entries[0].nights, RUNS + 1);
}

TEST(SplitTableLine, SplitsCommasBlanksAndQuotes)
{
    struct Case {
        const char* line;
        char delimiter;
        bool ok;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"a,b,c", ',', true, {"a", "b", "c"}},
        {"a,,c,", ',', true, {"a", "", "c", ""}},
        {"\"x, y\",\"say \"\"hi\"\"\",3", ',', true, {"x, y", "say \"hi\"", "3"}},
        {"\"open,1", ',', false, {}},
        {"  a   b\t\"c d\"  ", ' ', true, {"a", "b", "c d"}},
        {"", ' ', true, {}},
        {"", ',', true, {""}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> fields;
        EXPECT_EQ(splitTableLine(c.line, c.delimiter, &fields), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(fields, c.fields) << c.line;
        }
    }
}

TEST(ParseSkyCoordinate, ReadsDegreesAndSexagesimal)
{
    struct Case {
        const char* text;
        bool hours;
        bool ok;
        double degrees;
    };
    const Case cases[] = {
        {"150.25", true, true, 150.25},
        {"-12.5", false, true, -12.5},
        {"10:00:00", true, true, 150},
        {"10 30 00", true, true, 157.5},
        {"-00:30:00", false, true, -0.5},
        {"+45:30", false, true, 45.5},
        {"360", true, false, 0},
        {"-1", true, false, 0},
        {"91", false, false, 0},
        {"10:61:00", true, false, 0},
        {"10:-1:00", true, false, 0},
        {"ten", true, false, 0},
        {"", false, false, 0},
        {"nan", false, false, 0},
    };
    for (const Case& c : cases) {
        double degrees = -999;
        EXPECT_EQ(parseSkyCoordinate(c.text, c.hours, &degrees), c.ok) << c.text;
        if (c.ok) {
            EXPECT_NEAR(degrees, c.degrees, 1e-12) << c.text;
        } else {
            EXPECT_EQ(degrees, -999) << c.text;
        }
    }
}

TEST(ReadKnownObjects, ReadsEcsvCsvAndFitsTables)
{
    ScratchDirectory dir;
    struct Case {
        const char* name;
        const char* text;
        std::vector<HistoryMark> marks;
    };
    const Case cases[] = {
        {"stars.ecsv",
         "# %ECSV 1.0\n# ---\n# datatype:\n# - {name: name, datatype: string}\n"
         "# - {name: ra, datatype: float64}\n# - {name: dec, datatype: float64}\n"
         "name ra dec\n\"V* RR Lyr\" 291.3658 42.7844\nSN2026a 10.5 -5.25\n",
         {{291.3658, 42.7844, "known", "V* RR Lyr"}, {10.5, -5.25, "known", "SN2026a"}}},
        {"stars.csv", "RAJ2000,DEJ2000,Main_ID\r\n19:25:27.8,+42:47:04,RR Lyr\r\n10.5,-5.25,\r\n",
         {{291.36583333333334, 42.784444444444446, "known", "RR Lyr"},
          {10.5, -5.25, "known", "3"}}},
        {"comma.ecsv",
         "# %ECSV 1.0\n# ---\n# delimiter: ','\n# datatype: []\nra,dec\n1,2\n",
         {{1, 2, "known", "6"}}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.path + "/" + c.name;
        writeFile(path, c.text);
        std::vector<HistoryMark> marks;
        std::string message;
        ASSERT_EQ(readKnownObjects(path, &marks, &message), 0) << c.name << ": " << message;
        ASSERT_EQ(marks.size(), c.marks.size()) << c.name;
        for (size_t k = 0; k < marks.size(); ++k) {
            EXPECT_NEAR(marks[k].ra, c.marks[k].ra, 1e-9) << c.name << " " << k;
            EXPECT_NEAR(marks[k].dec, c.marks[k].dec, 1e-9) << c.name << " " << k;
            EXPECT_EQ(marks[k].kind, "known");
            EXPECT_EQ(marks[k].name, c.marks[k].name) << c.name << " " << k;
        }
    }

    // A FITS binary table written by CFITSIO.
    const std::string fitsPath = dir.path + "/stars.fits";
    {
        fitsfile* f = nullptr;
        int status = 0;
        fits_create_file(&f, fitsPath.c_str(), &status);
        char t1[] = "NAME", t2[] = "RA", t3[] = "DEC";
        char f1[] = "12A", f2[] = "1D", f3[] = "1D";
        char* types[] = {t1, t2, t3};
        char* forms[] = {f1, f2, f3};
        fits_create_tbl(f, BINARY_TBL, 0, 3, types, forms, nullptr, "KNOWN", &status);
        char n1[] = "V* one", n2[] = "V* two";
        char* names[] = {n1, n2};
        double ra[] = {12.5, 359.75}, dec[] = {-30, 89.5};
        fits_write_col(f, TSTRING, 1, 1, 1, 2, names, &status);
        fits_write_col(f, TDOUBLE, 2, 1, 1, 2, ra, &status);
        fits_write_col(f, TDOUBLE, 3, 1, 1, 2, dec, &status);
        fits_close_file(f, &status);
        ASSERT_EQ(status, 0);
    }
    std::vector<HistoryMark> marks;
    std::string message;
    ASSERT_EQ(readKnownObjects(fitsPath, &marks, &message), 0) << message;
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].name, "V* one");
    EXPECT_EQ(marks[1].ra, 359.75);
    EXPECT_EQ(marks[1].dec, 89.5);
}

TEST(ReadKnownObjects, RefusesFilesWithoutPositions)
{
    ScratchDirectory dir;
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"name,x,y\na,1,2\n", "no column of right ascension and declination"},
        {"ra,dec\n1,2\n3\n", "line 3: no position"},
        {"ra,dec\n400,2\n", "line 2: no position"},
        {"ra,dec\n\"1,2\n", "line 2: a quote is not closed"},
        {"# only a comment\n", "no column names"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.path + "/list.csv";
        writeFile(path, c.text);
        std::vector<HistoryMark> marks = {{1, 1, "known", "kept"}};
        std::string message;
        EXPECT_EQ(readKnownObjects(path, &marks, &message), -1) << c.text;
        EXPECT_EQ(message, path + ": " + c.reason) << c.text;
        EXPECT_EQ(marks.size(), 1u);
    }
    std::vector<HistoryMark> marks;
    std::string message;
    EXPECT_EQ(readKnownObjects(dir.path, &marks, &message), -1);
    EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
}

TEST(ReadPageLabels, ReadsTheSavedLabelsAndRefusesOthers)
{
    ScratchDirectory dir;
    const std::string path = dir.path + "/labels.csv";
    writeFile(path, "image,number,ra,dec,label\n\"night 1, a.fts\",3,150.1234567890,"
                    "-2.5000000000,bogus\nb.fts,1,0.0000000001,89.9,real\n");
    std::vector<HistoryMark> marks;
    std::string message;
    ASSERT_EQ(readPageLabels(path, &marks, &message), 0) << message;
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].kind, "bogus");
    EXPECT_EQ(marks[0].name, "night 1, a.fts:3");
    EXPECT_EQ(marks[0].ra, 150.123456789);
    EXPECT_EQ(marks[0].dec, -2.5);
    EXPECT_EQ(marks[1].kind, "real");

    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"image,number,ra,dec\na,1,2,3\n", "not a labels file (columns image, number, ra, dec, label)"},
        {"image,number,ra,dec,label\na,1,2,3,maybe\n", "line 2: label `maybe' is none of real, bogus, skip"},
        {"image,number,ra,dec,label\na,1,10:00:00,3,real\n", "line 2: no position"},
        {"image,number,ra,dec,label\na,1,2\n", "line 2: no position"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.text);
        std::vector<HistoryMark> none;
        EXPECT_EQ(readPageLabels(path, &none, &message), -1) << c.text;
        EXPECT_EQ(message, path + ": " + c.reason);
        EXPECT_TRUE(none.empty());
    }
}

TEST(OpenHistory, RunsStartingOnOneNewFileAtOnceAllOpenIt)
{
    // Four processes released at one moment open a history that does not exist yet, twenty
    // times over: whichever creates it and turns it to write-ahead logging, every one opens.
    ScratchDirectory dir;
    constexpr int ROUNDS = 20, OPENERS = 4;
    for (int round = 0; round < ROUNDS; ++round) {
        const std::string path = dir.path + "/h" + std::to_string(round) + ".db";
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        pid_t children[OPENERS];
        for (pid_t& child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(gate[1]);
                char byte = 0;
                if (read(gate[0], &byte, 1) != 0) // returns 0 once the gate is closed
                    _exit(4);
                HistoryDatabase db;
                std::string message;
                _exit(openHistory(path, &db, &message) == 0 ? 0 : 2);
            }
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "round " << round << ": status " << status;
        }
    }
}
