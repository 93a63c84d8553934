// The command line and the run loop, through the built program.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search/run.hpp"
#include "test_support.hpp"

using namespace newstars;

static const std::string FORM_FEED = "\f\n";

static std::string usageText()
{
    std::string p = newstarsPath();
    return p + ": arcsec_sep config_file test1.fts ...\n   or\n" + p +
           ": -f file_of_files arcsec_sep config_file\n"
           "   either form may start with --wcs auto|classic|fits\n"
           "   and with -j N: compare N test images at a time (default: one per processor)\n"
           "   and with --part K/N: only the K-th of N consecutive pieces of the list\n" +
           p + ": merge report1 ...   joins the reports of consecutive pieces\n" + p +
           ": pair [options] reference test1.fts ...   compares without a table\n   or\n" + p +
           ": pair [options] -f file_of_files reference\n";
}

TEST(CommandLine, TooFewArgumentsPrintUsage)
{
    ScratchDirectory dir;
    const std::vector<std::vector<std::string>> cases = {
        {}, {"2"}, {"2", "table.txt"}, {"-f", "x"}};
    for (const auto& args : cases) {
        ProgramResult r = runNewstars(dir.path, args);
        EXPECT_EQ(r.status, 1) << args.size() << " arguments";
        EXPECT_EQ(r.out, "") << args.size() << " arguments";
        EXPECT_EQ(r.err, usageText()) << args.size() << " arguments";
    }
}

TEST(CommandLine, ToleranceConvertsArcsecondsToRadians)
{
    EXPECT_EQ(toleranceFromText("2"), 9.69627362219072e-06);
    EXPECT_EQ(toleranceFromText("  3600"), 3600 / 3600.0 * 3.141592653589793 / 180);
    EXPECT_EQ(toleranceFromText("abc"), 0.0);
    EXPECT_EQ(toleranceFromText("-f"), 0.0);
    EXPECT_LT(toleranceFromText("-1"), 0.0);

    for (const char* text : {"2", " 2 ", "0", "-0", "1e3", "0x10", "2.5\t"}) {
        double tolerance = -1;
        EXPECT_EQ(parseTolerance(text, &tolerance), 0) << text;
        EXPECT_EQ(tolerance, toleranceFromText(text)) << text;
    }
    for (const char* text :
         {"", " ", "abc", "2abc", "2 3", "-1", "-1e-300", "nan", "inf", "-inf", "1e999", "-f"}) {
        double tolerance = 7;
        EXPECT_EQ(parseTolerance(text, &tolerance), -1) << text;
        EXPECT_EQ(tolerance, 7) << text;
    }
}

TEST(CommandLine, FormIsDecidedByCountAndDashF)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };
    const std::string oneCandidate =
        std::string(STANDARD_SUMMARY) + FORM_FEED + STANDARD_CANDIDATE + "\n";
    const Case cases[] = {
        {"image list", {"2", "table.txt", "test.fts"}, oneCandidate, "", 0},
        {"dash-f form", {"-f", "files.txt", "2", "table.txt"}, oneCandidate, "", 0},
        {"-f before three arguments is a tolerance, and not a number",
         {"-f", "table.txt", "test.fts"},
         "",
         "arcsec_sep `-f' is not a finite number of arcseconds >= 0\n",
         1},
        {"-f before five arguments is a tolerance, and not a number",
         {"-f", "files.txt", "test.fts", "2", "table.txt"},
         "",
         "arcsec_sep `-f' is not a finite number of arcseconds >= 0\n",
         1},
        {"-F is not -f: the first form, with -F as a tolerance that is not a number",
         {"-F", "files.txt", "2", "table.txt"},
         "",
         "arcsec_sep `-F' is not a finite number of arcseconds >= 0\n",
         1},
    };
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    writeFile(dir.file("files.txt"), "test.fts\n");
    for (const Case& c : cases) {
        ProgramResult r = runNewstars(dir.path, c.args);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(CommandLine, WorkerCountIsAWholeNumberFromOneTo256)
{
    const std::string oneCandidate =
        std::string(STANDARD_SUMMARY) + FORM_FEED + STANDARD_CANDIDATE + "\n";
    const std::string refused =
        newstarsPath() + ": -j takes a number of test images to compare at once, 1 to 256\n" +
        usageText();
    struct Case {
        std::vector<std::string> args;
        bool accepted;
    };
    const Case cases[] = {
        {{"-j", "1", "2", "table.txt", "test.fts"}, true},
        {{"-j256", "-f", "files.txt", "2", "table.txt"}, true},
        {{"-j", "3", "-f", "files.txt", "2", "table.txt"}, true},
        {{"--wcs", "auto", "-j", "2", "2", "table.txt", "test.fts"}, true},
        {{"-j2", "--wcs=classic", "2", "table.txt", "test.fts"}, true},
        {{"-j"}, false},
        {{"-j", "0", "2", "table.txt", "test.fts"}, false},
        {{"-j", "257", "2", "table.txt", "test.fts"}, false},
        {{"-j", "2x", "2", "table.txt", "test.fts"}, false},
        {{"-jx", "2", "table.txt", "test.fts"}, false},
        {{"-j", "-1", "2", "table.txt", "test.fts"}, false},
    };
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    writeFile(dir.file("files.txt"), "test.fts\n");
    for (const Case& c : cases) {
        ProgramResult r = runNewstars(dir.path, c.args);
        EXPECT_EQ(r.status, c.accepted ? 0 : 1) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(r.out, c.accepted ? oneCandidate : "") << c.args[0] << " " << c.args.size();
        EXPECT_EQ(r.err, c.accepted ? "" : refused) << c.args[0] << " " << c.args.size();
    }
}

TEST(CommandLine, FileOfFilesSkipsCommentsAndShortLines)
{
    struct Case {
        const char* name;
        std::string files;
        int summaries;
        std::string err;
    };
    const std::string longName(1500, 'a');
    const Case cases[] = {
        {"comments and empty lines", "# test.fts\n!test.fts\n\ntest.fts\n", 1, ""},
        {"last line without line end", "test.fts\ntest.fts", 2, ""},
        {"one character and a line end is a name", "x\ntest.fts\n", 1,
         "x: No such file or directory\n"},
        {"blanks belong to the name", " test.fts\ntest.fts \n", 0,
         " test.fts: No such file or directory\ntest.fts : No such file or directory\n"},
        {"a comment mark after the start does not count", "t#\n", 0,
         "t#: No such file or directory\n"},
        {"long lines are read in pieces of 1023 characters", longName + "\n", 0,
         std::string(1023, 'a') + ": File name too long\n" + std::string(477, 'a') +
             ": File name too long\n"},
    };
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    for (const Case& c : cases) {
        writeFile(dir.file("files.txt"), c.files);
        ProgramResult r = runNewstars(dir.path, {"-f", "files.txt", "2", "table.txt"});
        std::string out;
        for (int i = 0; i < c.summaries; ++i)
            out += STANDARD_SUMMARY;
        out += FORM_FEED;
        for (int i = 0; i < c.summaries; ++i)
            out += std::string(STANDARD_CANDIDATE) + "\n";
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(CommandLine, FatalStartErrorsEndWithStatusOne)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        // The table is not opened when the file of files names nothing.
        {"file of files lists nothing",
         {"-f", "comments.txt", "2", "missing-table.txt"},
         "comments.txt contains no files\n"},
        {"empty file of files",
         {"-f", "empty.txt", "2", "table.txt"},
         "empty.txt contains no files\n"},
        {"file of files missing",
         {"-f", "missing.txt", "2", "table.txt"},
         "missing.txt: No such file or directory\n"},
        {"table missing",
         {"2", "missing-table.txt", "test.fts"},
         "missing-table.txt: No such file or directory\n"},
    };
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    writeFile(dir.file("comments.txt"), "# test.fts\n!test.fts\n\n\n");
    writeFile(dir.file("empty.txt"), "");
    for (const Case& c : cases) {
        ProgramResult r = runNewstars(dir.path, c.args);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(CommandLine, UnusableTestImagesAreSkipped)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    writeTestImage(dir.file("empty-object.fts"), skyImage("", 150, 0, {{150, 120}}));
    ProgramResult r =
        runNewstars(dir.path, {"2", "table.txt", "missing.fts", "test.fts", "short.fts",
                               "noobject.fts", "empty-object.fts", "test.fts"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(STANDARD_SUMMARY) + STANDARD_SUMMARY + FORM_FEED +
                         STANDARD_CANDIDATE + "\n" + STANDARD_CANDIDATE + "\n");
    EXPECT_EQ(r.err, "missing.fts: No such file or directory\n"
                     "short.fts: FITS file is short\n"
                     "noobject.fts: no OBJECT field\n"
                     "No reference file listed for object \n");
}

TEST(CommandLine, RunWithoutCandidatesEndsWithFormFeedLine)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    ProgramResult r = runNewstars(dir.path, {"2", "table.txt", "ref2.fts", "missing.fts"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "M31          ref.fts      ref2.fts     2026-12-07 01:02:03   1   1   0\n" +
                         FORM_FEED);
    EXPECT_EQ(r.err, "missing.fts: No such file or directory\n");
}

TEST(RunSearch, FatalErrorsReturnStatusOneInProcess)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("short-table.txt"), "M31 1 2 3 4\n");
    const std::string missing = dir.file("missing.txt");
    const std::string shortTable = dir.file("short-table.txt");
    const std::string test = dir.file("test.fts");
    struct Case {
        std::vector<std::string> args; // after the program name
        std::string err;
    };
    const Case cases[] = {
        {{"2"},
         "prog: arcsec_sep config_file test1.fts ...\n   or\n"
         "prog: -f file_of_files arcsec_sep config_file\n"
         "   either form may start with --wcs auto|classic|fits\n"
         "   and with -j N: compare N test images at a time (default: one per processor)\n"
         "   and with --part K/N: only the K-th of N consecutive pieces of the list\n"
         "prog: merge report1 ...   joins the reports of consecutive pieces\n"
         "prog: pair [options] reference test1.fts ...   compares without a table\n"
         "   or\n"
         "prog: pair [options] -f file_of_files reference\n"},
        {{"-f", missing, "2", shortTable}, missing + ": No such file or directory\n"},
        {{"2", missing, test}, missing + ": No such file or directory\n"},
        {{"2", shortTable, test}, "Ref file line must contain 6 fields: M31"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"prog"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = runSearch(static_cast<int>(words.size()), argv.data());
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, 1) << c.err;
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(out, "") << c.err;
    }
}

// --wcs chooses how world coordinates are read; without it, or with auto or classic, the
// classic cards of the standard scene give the same report. Its linear "RA--" type is
// not a celestial axis to the standard reader.
TEST(CommandLine, WcsOptionChoosesTheCoordinateReader)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    writeFile(dir.file("files.txt"), "test.fts\n");
    const std::string report =
        std::string(STANDARD_SUMMARY) + FORM_FEED + STANDARD_CANDIDATE + "\n";
    const std::string usage =
        newstarsPath() + ": --wcs takes auto, classic or fits\n" + usageText();
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    };
    const Case cases[] = {
        {{"--wcs", "auto", "2", "table.txt", "test.fts"}, report, "", 0},
        {{"--wcs=classic", "2", "table.txt", "test.fts"}, report, "", 0},
        {{"--wcs", "classic", "-f", "files.txt", "2", "table.txt"}, report, "", 0},
        {{"--wcs", "fits", "2", "table.txt", "test.fts"},
         "M31          ref.fts      test.fts     2026-12-07 01:02:03   0   0   0\n" + FORM_FEED,
         "ref.fts: no celestial world coordinates: 1 star left out\n"
         "test.fts: no celestial world coordinates: 2 stars left out\n",
         0},
        {{"--wcs", "FITS", "2", "table.txt", "test.fts"}, "", usage, 1},
        {{"--wcs=", "2", "table.txt", "test.fts"}, "", usage, 1},
        {{"--wcs"}, "", usage, 1},
        {{"--wcs", "fits", "2", "table.txt"}, "", usageText(), 1},
    };
    for (const Case& c : cases) {
        ProgramResult r = runNewstars(dir.path, c.args);
        std::string shown;
        for (const std::string& word : c.args)
            shown += word + " ";
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
    }
}

// A run given its own streams (as the Python module runs one) writes there exactly what the
// command line writes on standard output and standard error, nothing on those, and hands
// over the catalogue text without any file.
TEST(RunSearch, HostStreamsReceiveWhatTheStandardStreamsWould)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    // The reference named by its whole path: the run is in this process, whose working
    // directory is not the scene's.
    std::string line = STANDARD_TABLE_LINE;
    line.replace(line.find("ref.fts"), 7, dir.file("ref.fts"));
    writeFile(dir.file("host-table.txt"), line);
    const std::string table = dir.file("host-table.txt");
    const std::string test = dir.file("test.fts");
    const std::string missing = dir.file("missing.txt");
    struct Case {
        std::vector<std::string> args; // after the program name
        int status;
    };
    const Case cases[] = {
        {{"2"}, 1},
        {{"--wcs", "bogus", "2", table, test}, 1},
        {{"2", missing, test}, 1},
        {{"2", table, test}, 0},
        {{"2", table, test, missing}, 0},
        {{"--strict", "2", table, missing}, STRICT_NOT_SEARCHED_STATUS},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"prog"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const std::string name = words.size() > 1 ? words[1] + " ..." : "";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(runSearch(static_cast<int>(words.size()), argv.data()), c.status) << name;
        const std::string expectedErr = testing::internal::GetCapturedStderr();
        const std::string expectedOut = testing::internal::GetCapturedStdout();

        char* outText = nullptr;
        char* errText = nullptr;
        size_t outSize = 0, errSize = 0;
        SearchHost host;
        host.out = open_memstream(&outText, &outSize);
        host.err = open_memstream(&errText, &errSize);
        host.ownsProcess = false;
        std::string catalog;
        host.catalogText = &catalog;
        ASSERT_TRUE(host.out != nullptr && host.err != nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(runSearch(static_cast<int>(words.size()), argv.data(), host), c.status) << name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << name;
        std::fclose(host.out);
        std::fclose(host.err);
        EXPECT_EQ(std::string(outText, outSize), expectedOut) << name;
        EXPECT_EQ(std::string(errText, errSize), expectedErr) << name;
        std::free(outText);
        std::free(errText);
        if (c.status == 0) {
            EXPECT_NE(catalog.find("# %ECSV"), std::string::npos) << name;
            EXPECT_NE(catalog.find("test.fts"), std::string::npos) << name;
        } else if (c.status == 1) {
            EXPECT_EQ(catalog, "") << name;
        }
    }
}
