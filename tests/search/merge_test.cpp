// Merging the reports of night pieces: hand-made reports, then every split of a
// simulated night against one run over the whole list.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "night_support.hpp"
#include "search/merge.hpp"

using namespace newstars;

namespace {

// mergeReports, or mergeTables of the given kind, over pieces held in temporary files:
// 0 with *merged, or -1 with *message.
int mergeTexts(const std::vector<std::string>& texts, std::string* merged, std::string* message,
               const TableKind* kind = nullptr)
{
    std::vector<ReportPiece> pieces;
    for (size_t i = 0; i < texts.size(); ++i) {
        FILE* file = std::tmpfile();
        std::fwrite(texts[i].data(), 1, texts[i].size(), file);
        pieces.push_back({"piece" + std::to_string(i + 1), file});
    }
    FILE* out = std::tmpfile();
    const int status = kind != nullptr ? mergeTables(pieces, *kind, out, message)
                                       : mergeReports(pieces, out, message);
    std::rewind(out);
    merged->clear();
    for (int c; (c = std::fgetc(out)) != EOF;)
        *merged += static_cast<char>(c);
    std::fclose(out);
    for (const ReportPiece& piece : pieces)
        std::fclose(piece.file);
    return status;
}

const std::string S1 = "M31          ref.fts      a.fts        2026-12-07 01:02:03   1   2   2\n";
const std::string S2 = "m31          ref.fts      b.fts        2026-12-07 01:02:03   1   2   0\n";
const std::string S3 = "M33          r33.fts      c.fts        2026-12-07 01:02:03   1   2   1\n";
const std::string FF = "\f\n";
const std::string A1 = "M31          a.fts        0:42:44.3  41:16:09\n";
const std::string A2 = "M31          a.fts        0:42:45.3  41:16:10\n";
const std::string B1 = "m31          b.fts        0:42:46.3  41:16:11\n";
const std::string C1 = "M33          c.fts        1:33:50.9  30:39:37\n";
const std::string L1 = "NGC1234567890A b.fts      3:00:00.0  10:00:00\n";
const std::string L2 = "NGC1234567890B c.fts      3:00:01.0  10:00:00\n";

TEST(MergeReports, JoinsPiecesIntoTheReportOfOneRun)
{
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::string merged;
    };
    const Case cases[] = {
        {"one piece is itself",
         {S1 + S3 + FF + A1 + A2 + "\n" + C1},
         S1 + S3 + FF + A1 + A2 + "\n" + C1},
        {"same object across the boundary", {S1 + FF + A1, S1 + FF + A2}, S1 + S1 + FF + A1 + A2},
        {"object letter case ignored", {S1 + FF + A1, S2 + FF + B1}, S1 + S2 + FF + A1 + B1},
        {"object changes at the boundary",
         {S1 + FF + A1, S3 + FF + C1},
         S1 + S3 + FF + A1 + "\n" + C1},
        {"only the first 12 characters count",
         {S2 + FF + L1, S3 + FF + L2},
         S2 + S3 + FF + L1 + L2},
        {"pieces without candidates in between",
         {S1 + FF + A1, S2 + FF, FF, S1 + FF + A2},
         S1 + S2 + S1 + FF + A1 + A2},
        {"all images of the first and last piece failed",
         {FF, S1 + S3 + FF + A1 + "\n" + C1, FF},
         S1 + S3 + FF + A1 + "\n" + C1},
        {"no candidates anywhere", {S2 + FF, FF, S2 + FF}, S2 + S2 + FF},
        {"every image failed", {FF, FF}, FF},
    };
    for (const Case& c : cases) {
        std::string merged, message;
        EXPECT_EQ(mergeTexts(c.pieces, &merged, &message), 0) << c.name << ": " << message;
        EXPECT_EQ(merged, c.merged) << c.name;
    }
}

TEST(MergeReports, RefusesWhatIsNotAWholeReportAndWritesNothing)
{
    struct Case {
        const char* name;
        std::string second;
        std::string message;
    };
    const Case cases[] = {
        {"empty", "", "piece2: no form-feed line: not a whole newstars report"},
        {"summaries only", S1, "piece2: no form-feed line: not a whole newstars report"},
        {"cut in a line", S1 + FF + A1.substr(0, 20),
         "piece2: last line has no line end: the report is cut short"},
        {"two reports end to end", S1 + FF + A1 + S3 + FF + C1,
         "piece2: line 4: candidate lines are not grouped by object as newstars writes them"},
        {"no empty line at an object change", S1 + FF + A1 + C1,
         "piece2: line 4: candidate lines are not grouped by object as newstars writes them"},
        {"empty line within an object", S1 + FF + A1 + "\n" + A2,
         "piece2: line 5: candidate lines are not grouped by object as newstars writes them"},
        {"empty line first", S1 + FF + "\n" + A1,
         "piece2: line 3: candidate lines are not grouped by object as newstars writes them"},
        {"empty line last", S1 + FF + A1 + "\n",
         "piece2: ends in an empty line: not a whole newstars report"},
    };
    for (const Case& c : cases) {
        std::string merged, message;
        EXPECT_EQ(mergeTexts({S1 + FF + A1, c.second}, &merged, &message), -1) << c.name;
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_EQ(merged, "") << c.name;
    }
}

TEST(MergeTables, HeaderOnceThenEveryPiecesRows)
{
    const std::string ecsv = "# %ECSV 1.0\n# ---\n# datatype:\n# - {name: image}\nimage,ra\n";
    const std::string regions = "# Region file format: DS9 version 4.1\nglobal color=green\nfk5\n";
    const std::string r1 = "a.fts,1.5\n", r2 = "\"b c.fts\",2.5\n";
    const std::string c1 = "circle(1.5,+2.0,2.000\") # text={a.fts 1 kept}\n";
    // A catalogue listing its images in the header: one entry line per image.
    const auto listed = [](const std::string& entries) {
        return "# %ECSV 1.0\n# ---\n# datatype:\n# - {name: image}\n# meta:\n#   images:\n" +
               entries + "# schema: astropy-2.0\nimage,ra\n";
    };
    const std::string e1 = "#   - {image: 'a.fts'}\n", e2 = "#   - {image: 'b.fts'}\n",
                      e3 = "#   - {image: 'c.fts'}\n";
    struct Case {
        const char* name;
        TableKind kind;
        std::vector<std::string> pieces;
        int status;
        std::string result; // the merged table or the message
    };
    const Case cases[] = {
        {"catalogue",
         TableKind::Catalog,
         {ecsv + r1, ecsv, ecsv + r2 + r1},
         0,
         ecsv + r1 + r2 + r1},
        {"no rows anywhere", TableKind::Catalog, {ecsv, ecsv}, 0, ecsv},
        {"image lists joined, the first piece's empty",
         TableKind::Catalog,
         {listed(""), listed(e1) + r1, listed(e2 + e3) + r2},
         0,
         listed(e1 + e2 + e3) + r1 + r2},
        {"image lists around other lines",
         TableKind::Catalog,
         {listed(e1), "# other\n" + listed(e2)},
         -1,
         "piece2: header differs from piece1's"},
        {"regions",
         TableKind::Regions,
         {regions, regions + c1, regions + c1},
         0,
         regions + c1 + c1},
        {"headers differ",
         TableKind::Catalog,
         {ecsv + r1, "# other\nimage,ra\n" + r2},
         -1,
         "piece2: header differs from piece1's"},
        {"no column names",
         TableKind::Catalog,
         {ecsv, "# %ECSV 1.0\n"},
         -1,
         "piece2: no column-name line: not a whole catalogue"},
        {"empty region file",
         TableKind::Regions,
         {regions, ""},
         -1,
         "piece2: no coordinate system line: not a whole region file"},
        {"cut short",
         TableKind::Regions,
         {regions + c1.substr(0, 12)},
         -1,
         "piece1: last line has no line end: the file is cut short"},
    };
    for (const Case& c : cases) {
        std::string merged, message;
        EXPECT_EQ(mergeTexts(c.pieces, &merged, &message, &c.kind), c.status) << c.name;
        EXPECT_EQ(c.status == 0 ? merged : message, c.result) << c.name;
        EXPECT_TRUE(c.status == 0 || merged.empty()) << c.name;
    }
}

// The list the split test runs: test images of a simulated night, an image that does
// not exist and one whose object has no table line (both reported and skipped), images
// without candidates (FLD01_3, and a reference image searched against itself) between
// two of one object, and an object that comes back.
const std::vector<std::string> NIGHT_LIST = {"FLD01_1.fts", "missing.fts", "FLD01_2.fts",
                                             "FLD02_1.fts", "FLD01_3.fts", "FLD01_r.fts",
                                             "nothing.fts", "FLD02_2.fts", "FLD01_1.fts"};

// The report of the run over NIGHT_LIST[begin, end).
std::string pieceReport(size_t begin, size_t end)
{
    return "out" + std::to_string(begin) + "-" + std::to_string(end) + ".txt";
}

std::string fileOfFiles(size_t begin, size_t end)
{
    std::string text = "# part of the night\n";
    for (size_t i = begin; i < end; ++i)
        text += NIGHT_LIST[i] + "\n";
    return text;
}

TEST(MergeReports, EverySplitOfANightMergesToTheSingleRun)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "5", "--size", "256", "--objects", "2", "--images",
                     "3", "--inject", "3", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string other = readFile(night.file("FLD01_1.fts"));
    const size_t object = other.find("OBJECT  = 'FLD01");
    ASSERT_NE(object, std::string::npos);
    writeFile(night.file("nothing.fts"), other.replace(object + 11, 5, "NOOBJ"));

    const size_t n = NIGHT_LIST.size();
    writeFile(night.file("all.txt"), fileOfFiles(0, n));
    const ProgramResult whole =
        runNightProgram(night.path, {NEWSTARS_PATH, "-f", "all.txt", "2", "table.txt"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_NE(whole.err.find("missing.fts"), std::string::npos) << whole.err;
    ASSERT_NE(whole.err.find("object NOOBJ"), std::string::npos) << whole.err;

    // The report of every contiguous range of the list, each run once.
    for (size_t b = 0; b < n; ++b) {
        for (size_t e = b + 1; e <= n; ++e) {
            const std::string list = "list" + std::to_string(b) + "-" + std::to_string(e) + ".txt";
            writeFile(night.file(list), fileOfFiles(b, e));
            const ProgramResult r =
                runNightProgram(night.path, {NEWSTARS_PATH, "-f", list, "2", "table.txt"});
            ASSERT_EQ(r.status, 0) << list << r.err;
            writeFile(night.file(pieceReport(b, e)), r.out);
        }
    }
    std::vector<std::vector<size_t>> splits;
    for (size_t i = 1; i < n; ++i) {
        splits.push_back({0, i, n});
        for (size_t j = i + 1; j < n; ++j)
            splits.push_back({0, i, j, n});
    }
    for (const std::vector<size_t>& split : splits) {
        std::vector<std::string> arguments = {NEWSTARS_PATH, "merge"};
        std::string name;
        for (size_t k = 0; k + 1 < split.size(); ++k) {
            arguments.push_back(pieceReport(split[k], split[k + 1]));
            name += ' ';
            name += std::to_string(split[k + 1]);
        }
        const ProgramResult merged = runNightProgram(night.path, arguments);
        EXPECT_EQ(merged.status, 0) << "split at" << name << ": " << merged.err;
        EXPECT_EQ(merged.out, whole.out) << "split at" << name;
    }

    // --part K/N runs the same ranges: sizes 3, 3, 3 and 3, 2, 2, 2.
    for (int count : {3, 4}) {
        size_t begin = 0;
        for (int k = 1; k <= count; ++k) {
            const size_t end = begin + n / count + (static_cast<size_t>(k) <= n % count ? 1 : 0);
            const std::string part = std::to_string(k) + "/" + std::to_string(count);
            // The options in either order, with -j too.
            const ProgramResult r = runNightProgram(
                night.path,
                count == 3 ? std::vector<std::string>{NEWSTARS_PATH, "--part", part, "-j2", "-f",
                                                      "all.txt", "2", "table.txt"}
                           : std::vector<std::string>{NEWSTARS_PATH, "-j", "1", "--part=" + part,
                                                      "-f", "all.txt", "2", "table.txt"});
            EXPECT_EQ(r.status, 0) << part;
            EXPECT_EQ(r.out, readFile(night.file(pieceReport(begin, end)))) << part;
            begin = end;
        }
    }
}

} // namespace
