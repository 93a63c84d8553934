// Merging the reports of night pieces: hand-made reports, then every split of a
// simulated night against one run over the whole list.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
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

// The content of every regular file in the directory, by name.
std::map<std::string, std::string> regularFiles(const std::string& directory)
{
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        struct stat status {};
        if (lstat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode))
            files[entry.path().filename().string()] = readFile(entry.path().string());
    }
    return files;
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
    // The same without a meta, as the catalogue method writes it when no image has a note.
    const std::string plain =
        "# %ECSV 1.0\n# ---\n# datatype:\n# - {name: image}\n# schema: astropy-2.0\nimage,ra\n";
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
        {"catalogue-method lists, some pieces without one",
         TableKind::Catalog,
         {plain + r1, listed(e1) + r2, plain, listed(e2)},
         0,
         listed(e1 + e2) + r1 + r2},
        {"catalogue-method lists, all empty",
         TableKind::Catalog,
         {listed(""), listed("")},
         0,
         listed("")},
        {"no lists anywhere", TableKind::Catalog, {plain + r1, plain}, 0, plain + r1},
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
        std::vector<std::string> texts;
        std::string name;
        for (size_t k = 0; k + 1 < split.size(); ++k) {
            texts.push_back(readFile(night.file(pieceReport(split[k], split[k + 1]))));
            name += ' ';
            name += std::to_string(split[k + 1]);
        }
        std::string merged, message;
        EXPECT_EQ(mergeTexts(texts, &merged, &message), 0) << "split at" << name << ": " << message;
        EXPECT_EQ(merged, whole.out) << "split at" << name;
    }

    // --part K/N runs the same ranges (sizes 3, 3, 3 and 3, 2, 2, 2) after its piece line,
    // and the merge command takes the pieces in any order.
    for (int count : {3, 4}) {
        size_t begin = 0;
        std::vector<std::string> arguments = {NEWSTARS_PATH, "merge"};
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
            const std::string pieceStart = "# newstars piece " + part + " of night ";
            ASSERT_EQ(r.out.compare(0, pieceStart.size(), pieceStart), 0) << r.out;
            EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
                      readFile(night.file(pieceReport(begin, end))))
                << part;
            const std::string piece = "part" + std::to_string(k) + ".txt";
            writeFile(night.file(piece), r.out);
            arguments.insert(arguments.begin() + 2, piece); // last piece first
            begin = end;
        }
        const ProgramResult merged = runNightProgram(night.path, arguments);
        EXPECT_EQ(merged.status, 0) << merged.err;
        EXPECT_EQ(merged.err, "");
        EXPECT_EQ(merged.out, whole.out) << count << " pieces";
    }
}

// The merge command on the pieces of a night in twelve pieces, given in shell order (10,
// 11 and 12 before 2), reversed, or with pieces doubled, missing, of another night or of
// no night, or with a line past the limit: either the report of one run over the night,
// or status 1, one message and nothing on standard output; the pieces unchanged.
TEST(MergeCommand, TakesEveryPieceOfOneNightInAnyOrderAndRefusesAnythingElse)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "5", "--size", "256", "--objects", "2", "--images",
                     "3", "--inject", "3", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    std::vector<std::string> list = NIGHT_LIST;
    for (const char* name : {"FLD02_3.fts", "FLD01_2.fts", "FLD02_1.fts", "FLD01_3.fts",
                             "FLD02_2.fts"})
        list.push_back(name);
    std::string text, shorter;
    for (size_t i = 0; i < list.size(); ++i) {
        text += list[i] + "\n";
        if (i + 1 < list.size())
            shorter += list[i] + "\n";
    }
    writeFile(night.file("all.txt"), text);
    writeFile(night.file("shorter.txt"), shorter);
    const ProgramResult whole =
        runNightProgram(night.path, {NEWSTARS_PATH, "-f", "all.txt", "2", "table.txt"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    writeFile(night.file("whole.txt"), whole.out);

    // Writes the report of one piece; false when the run fails.
    const auto runPiece = [&](const std::string& part, const char* tolerance, const char* files,
                              const std::string& name) {
        const ProgramResult r = runNightProgram(
            night.path, {NEWSTARS_PATH, "--part", part, "-f", files, tolerance, "table.txt"});
        writeFile(night.file(name), r.out);
        return r.status == 0;
    };
    std::vector<std::string> inOrder;
    for (int k = 1; k <= 12; ++k) {
        inOrder.push_back("piece-" + std::to_string(k) + ".txt");
        ASSERT_TRUE(runPiece(std::to_string(k) + "/12", "2", "all.txt", inOrder.back()));
    }
    ASSERT_TRUE(runPiece("7/12", "2", "shorter.txt", "shorter-7.txt"));
    ASSERT_TRUE(runPiece("2/12", "3", "all.txt", "tolerance-2.txt"));
    ASSERT_TRUE(runPiece("1/6", "2", "all.txt", "six-1.txt"));
    writeFile(night.file("copy-3.txt"), readFile(night.file("piece-3.txt")));
    std::string piece5 = readFile(night.file("piece-5.txt"));
    piece5.insert(piece5.find('\n') + 1, std::string(MAX_MERGE_LINE + 1, 'x') + "\n");
    writeFile(night.file("long-5.txt"), piece5);
    const std::map<std::string, std::string> before = regularFiles(night.path);

    std::vector<std::string> shellOrder = inOrder;
    std::sort(shellOrder.begin(), shellOrder.end());
    ASSERT_EQ(shellOrder[1], "piece-10.txt");
    const std::vector<std::string> reversed(inOrder.rbegin(), inOrder.rend());
    // inOrder with the piece at index replaced by name (or left out when name is empty),
    // and more appended.
    const auto replaced = [&](std::vector<std::pair<size_t, std::string>> changes,
                              std::vector<std::string> more = {}) {
        std::vector<std::string> names;
        for (size_t i = 0; i < inOrder.size(); ++i) {
            std::string name = inOrder[i];
            for (const auto& [at, other] : changes)
                name = at == i ? other : name;
            if (!name.empty())
                names.push_back(name);
        }
        names.insert(names.end(), more.begin(), more.end());
        return names;
    };
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::string message; // empty: merged into the whole night's report
    };
    const Case cases[] = {
        {"shell order", shellOrder, ""},
        {"reversed", reversed, ""},
        {"a piece twice", replaced({}, {"copy-3.txt"}),
         "copy-3.txt: piece 3/12 given twice (also piece-3.txt)"},
        {"two pieces missing", replaced({{3, ""}, {8, ""}}), "pieces missing: 4/12, 9/12"},
        {"the last missing", replaced({{11, ""}}), "pieces missing: 12/12"},
        {"one piece only", {"piece-2.txt"},
         "pieces missing: 1/12, 3/12, 4/12, 5/12, 6/12, ..."},
        {"a piece of a shorter list", replaced({{6, "shorter-7.txt"}}),
         "shorter-7.txt: a piece of another night than piece-1.txt"},
        {"a piece run with another tolerance", replaced({{1, "tolerance-2.txt"}}),
         "tolerance-2.txt: a piece of another night than piece-1.txt"},
        {"a piece of six", replaced({}, {"six-1.txt"}),
         "six-1.txt: one of 6 pieces, piece-1.txt one of 12"},
        {"the report of a whole run", replaced({}, {"whole.txt"}),
         "whole.txt: no piece line: not the report of a run with --part"},
        {"a line past the limit", replaced({{4, "long-5.txt"}}),
         "long-5.txt: line 2 is longer than " + std::to_string(MAX_MERGE_LINE) +
             " bytes: not a newstars output"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {NEWSTARS_PATH, "merge"};
        arguments.insert(arguments.end(), c.pieces.begin(), c.pieces.end());
        const ProgramResult merged = runNightProgram(night.path, arguments);
        if (c.message.empty()) {
            EXPECT_EQ(merged.status, 0) << c.what << ": " << merged.err;
            EXPECT_EQ(merged.err, "") << c.what;
            EXPECT_EQ(merged.out, whole.out) << c.what;
        } else {
            EXPECT_EQ(merged.status, 1) << c.what;
            EXPECT_EQ(merged.err, c.message + "\n") << c.what;
            EXPECT_EQ(merged.out, "") << c.what;
        }
        EXPECT_EQ(regularFiles(night.path), before) << c.what;
    }
}

// A line far past the limit, in a report's summaries or candidates, in a catalogue's
// header or rows, in a region file: refused with its number, while the merge runs in an
// address space smaller than the line (it holds at most the limit).
TEST(MergeCommand, RefusesLinesPastTheLimitInLittleMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the cap leaves";
#endif
    ScratchDirectory dir;
    const std::string huge(64u << 20, 'x');
    const std::string piece = "# newstars piece 1/1 of night 0123456789abcdef\n";
    const std::string ecsv = "# %ECSV 1.0\n# ---\nimage,ra\n";
    const std::string regions = "# Region file format: DS9 version 4.1\nfk5\n";
    struct Case {
        const char* what;
        const char* option; // empty for reports
        std::string text;
        int line;
    };
    const Case cases[] = {
        {"summary", "", piece + S1 + huge + "\n" + FF, 3},
        {"candidate", "", piece + S1 + FF + A1 + huge + "\n", 5},
        {"piece line", "", "# newstars piece 1/1" + huge + "\n", 1},
        {"catalogue header", "--catalog", "# %ECSV 1.0\n#" + huge + "\nimage,ra\n", 2},
        {"catalogue row", "--catalog", ecsv + huge + "\n", 4},
        {"region", "--regions", regions + huge + "\n", 3},
    };
    for (const Case& c : cases) {
        writeFile(dir.file("piece"), c.text);
        std::vector<std::string> arguments = {NEWSTARS_PATH, "merge"};
        if (c.option[0] != '\0')
            arguments.push_back(c.option);
        arguments.push_back(dir.file("piece"));
        ProgramOptions options;
        options.addressSpaceLimit = 48u << 20;
        const ProgramResult merged = runProgram(arguments, options);
        EXPECT_EQ(merged.status, 1) << c.what;
        EXPECT_EQ(merged.err, dir.file("piece") + ": line " + std::to_string(c.line) +
                                  " is longer than " + std::to_string(MAX_MERGE_LINE) +
                                  " bytes: not a newstars output\n")
            << c.what;
        EXPECT_EQ(merged.out, "") << c.what;
    }
}

} // namespace
