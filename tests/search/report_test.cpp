// The report through the built program: texts taken from the input (OBJECT, DATE-OBS,
// TIME-OBS, the names of the test and reference images) holding line ends and other
// control characters show escaped, so that they add no line to the report and move no
// column, whichever way the report is made: star lists, with vetting, by difference
// imaging, and merged from pieces.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"
#include "support/fits_file.hpp"

namespace {

// The file's bytes with the header card of the keyword replaced by a string card.
std::string withCard(std::string file, const char* keyword, const std::string& value)
{
    std::string start = keyword;
    start.resize(8, ' ');
    start += "= ";
    for (size_t at = 0; at + 80 <= file.size(); at += 80) {
        if (file.compare(at, 8, "END     ") == 0)
            break;
        if (file.compare(at, 10, start) == 0) {
            file.replace(at, 80, stringCard(keyword, value.c_str()));
            return file;
        }
    }
    ADD_FAILURE() << "no " << keyword << " card";
    return file;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    return all;
}

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> all;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        all.push_back(word);
    return all;
}

// The bytes of text that are control characters other than line ends.
std::string controlCharacters(const std::string& text)
{
    std::string found;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 32 || u == 127) && c != '\n')
            found += c;
    }
    return found;
}

// What one row changes in the second test image, and how the report must show it.
struct Hostile {
    const char* what;
    std::string object, date, time, name, reference; // as written in the files
    std::string shownObject, shownDate, shownTime, shownName, shownReference;
};

// The report a run over the plain images gives, with the second image's texts (and the
// reference name, everywhere) replaced by what the row shows, columns as wide as the
// texts need, and an empty line where the object changes between the images'
// candidates.
std::string expectedReport(const std::string& plain, const Hostile& row)
{
    std::string report;
    bool candidates = false, previous = false;
    std::string previousObject;
    for (const std::string& line : lines(plain)) {
        if (line == "\f") {
            candidates = true;
            report += "\f\n";
            continue;
        }
        if (line.empty())
            continue;
        std::vector<std::string> w = words(line);
        char text[512];
        if (!candidates) {
            EXPECT_EQ(w.size(), 8u) << line;
            const bool second = w[2] == "two.fts";
            std::snprintf(text, sizeof text, "%-12s %-12s %-12s %s %s %3d %3d %3d\n",
                          second ? row.shownObject.c_str() : w[0].c_str(),
                          row.shownReference.c_str(), second ? row.shownName.c_str() : w[2].c_str(),
                          second ? row.shownDate.c_str() : w[3].c_str(),
                          second ? row.shownTime.c_str() : w[4].c_str(), std::stoi(w[5]),
                          std::stoi(w[6]), std::stoi(w[7]));
            report += text;
            continue;
        }
        EXPECT_EQ(w.size(), 4u) << line;
        const bool second = w[1] == "two.fts";
        const std::string object = second ? row.shownObject : w[0];
        if (previous && object != previousObject)
            report += "\n";
        // The position: right ascension and declination, 10 and 9 characters wide.
        std::snprintf(text, sizeof text, "%-12s %-12s %s\n", object.c_str(),
                      second ? row.shownName.c_str() : w[1].c_str(),
                      line.substr(line.size() - 20).c_str());
        report += text;
        previous = true;
        previousObject = object;
    }
    return report;
}

} // namespace

TEST(Report, InputTextsAddNoLineAndMoveNoColumnInAnyMode)
{
    ScratchDirectory night;
    const ProgramResult made =
        runNightProgram(night.path, {SIMNIGHT_PATH, "--seed", "7", "--size", "256", "--objects",
                                     "1", "--images", "2", "--inject", "3", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string image = readFile(night.file("FLD01_1.fts"));
    const std::string reference = readFile(night.file("FLD01_r.fts"));
    // The box of the table simnight wrote, for the objects of every row.
    std::string box;
    for (const std::string& line : lines(readFile(night.file("table.txt")))) {
        std::vector<std::string> w = words(line);
        if (w.size() == 6 && w[0] == "FLD01")
            box = w[1] + " " + w[2] + " " + w[3] + " " + w[4];
    }
    ASSERT_FALSE(box.empty());

    const Hostile plain = {"plain", "FLD01",      "2026-03-08", "01:30:00", "two.fts", "ref.fts",
                           "FLD01", "2026-03-08", "01:30:00",   "two.fts",  "ref.fts"};
    const std::string fake = "FLD01        one.fts      18:33:30.8   1:36:27";
    const Hostile rows[] = {
        plain,
        {"escape, backspace and delete in OBJECT", "FLD\x1b\b01\x7f", "2026-03-08", "01:30:00",
         "two.fts", "ref.fts", "FLD\\033\\01001\\177", "2026-03-08", "01:30:00", "two.fts",
         "ref.fts"},
        {"line end and a candidate line in DATE-OBS", "FLD01", "2026-03-08\n" + fake, "01:30:00",
         "two.fts", "ref.fts", "FLD01", "2026-03-08\\n" + fake, "01:30:00", "two.fts", "ref.fts"},
        {"carriage return and form-feed line in TIME-OBS", "FLD01", "2026-03-08",
         "01:30:00\r\f\n\f", "two.fts", "ref.fts", "FLD01", "2026-03-08",
         "01:30:00\\r\\014\\n\\014", "two.fts", "ref.fts"},
        {"line end and a candidate line in the test image's name", "FLD01", "2026-03-08",
         "01:30:00", "two\n" + fake + "\n", "ref.fts", "FLD01", "2026-03-08", "01:30:00",
         "two\\n" + fake + "\\n", "ref.fts"},
        {"start-of-heading and bell in the reference image's name", "FLD01", "2026-03-08",
         "01:30:00", "two.fts",
         "r\x01"
         "e\af.fts",
         "FLD01", "2026-03-08", "01:30:00", "two.fts", "r\\001e\\007f.fts"},
    };

    const std::vector<std::vector<std::string>> modes = {{}, {"--vet"}, {"--method", "difference"}};
    // The plain run of each mode, which the others must equal but for the texts.
    std::vector<ProgramResult> plainRuns;
    for (const Hostile& row : rows) {
        SCOPED_TRACE(row.what);
        // one.fts: the plain image; the second: the row's texts, the same pixels.
        writeFile(night.file("one.fts"), image);
        std::string second = withCard(image, "OBJECT", row.object);
        second = withCard(second, "DATE-OBS", row.date);
        second = withCard(second, "TIME-OBS", row.time);
        writeFile(night.file(row.name), second);
        writeFile(night.file(row.reference), reference);
        std::string table = "FLD01 " + box + " " + row.reference + "\n";
        if (row.object != "FLD01")
            table += row.object + " " + box + " " + row.reference + "\n";
        writeFile(night.file("table.txt"), table);
        const std::vector<std::string> search = {"2", "table.txt", "one.fts", row.name};

        for (size_t m = 0; m < modes.size(); ++m) {
            SCOPED_TRACE(m == 0 ? "catalog" : modes[m][0]);
            std::vector<std::string> arguments = {NEWSTARS_PATH};
            arguments.insert(arguments.end(), modes[m].begin(), modes[m].end());
            arguments.insert(arguments.end(), search.begin(), search.end());
            const ProgramResult r = runNightProgram(night.path, arguments);
            ASSERT_EQ(r.status, 0) << r.err;
            if (plainRuns.size() < modes.size()) {
                // The plain row: two summary lines, and candidates from both images.
                ASSERT_EQ(lines(r.out).size(), 2u + 1 + 2 * 3) << r.out;
                plainRuns.push_back(r);
            }
            const std::string expected = expectedReport(plainRuns[m].out, row);
            EXPECT_EQ(r.out, expected);
            EXPECT_EQ(controlCharacters(r.err), "") << r.err;
            EXPECT_EQ(lines(r.err).size(), lines(plainRuns[m].err).size()) << r.err;
            if (m == 1)
                continue;
            // Pieces of one image each merge to the same report.
            std::vector<std::string> merge = {NEWSTARS_PATH, "merge"};
            for (const char* part : {"1/2", "2/2"}) {
                std::vector<std::string> piece = {NEWSTARS_PATH, "--part", part};
                piece.insert(piece.end(), modes[m].begin(), modes[m].end());
                piece.insert(piece.end(), search.begin(), search.end());
                const ProgramResult p = runNightProgram(night.path, piece);
                ASSERT_EQ(p.status, 0) << p.err;
                const std::string file = std::string("piece") + part[0];
                writeFile(night.file(file), p.out);
                merge.push_back(file);
            }
            const ProgramResult merged = runNightProgram(night.path, merge);
            EXPECT_EQ(merged.status, 0) << merged.err;
            EXPECT_EQ(merged.out, expected);
        }
        unlink(night.file(row.name).c_str());
        unlink(night.file(row.reference).c_str());
    }
}

// merge refuses what is not a regular file at once, with the message the search gives
// for it; nothing may wait on a FIFO without a writer.
TEST(Report, MergeRefusesFifosDirectoriesAndDevicesAtOnce)
{
    ScratchDirectory dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    writeFile(dir.file("whole"), "\f\n");
    const std::string notRegular = ": not a regular file\n";
    struct Row {
        const char* what;
        std::vector<std::string> arguments;
        std::string err;
    };
    const Row rows[] = {
        {"FIFO", {"fifo"}, "fifo" + notRegular},
        {"FIFO after a report", {"whole", "fifo"}, "fifo" + notRegular},
        {"FIFO as a catalogue", {"--catalog", "fifo"}, "fifo" + notRegular},
        {"FIFO as a region file", {"--regions", "whole", "fifo"}, "fifo" + notRegular},
        {"directory", {"."}, "." + notRegular},
        {"device", {"/dev/null"}, "/dev/null" + notRegular},
        {"missing file", {"missing\n"}, "missing\\n: No such file or directory\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> arguments = {NEWSTARS_PATH, "merge"};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        ProgramOptions options;
        options.directory = dir.path;
        options.timeLimit = 30;
        const ProgramResult r = runProgram(arguments, options);
        ASSERT_FALSE(r.timedOut) << "hung";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
    }
}
