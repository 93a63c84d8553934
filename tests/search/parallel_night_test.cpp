// A night compared by one worker and by several: the report, the messages and the exit
// status must be the same bytes whatever the number of workers, with compressed images,
// table lines whose image does not open, test images that do not open, test images
// listed twice (reference stars reused), and a malformed table line that ends the run.
// The tests run the program; named *Thread* so that the ThreadSanitizer tree runs them.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "compressed_files.hpp"
#include "night_support.hpp"

namespace {

// The temporary directory of a decompression is named at random: masked.
std::string masked(const std::string& text)
{
    static const std::regex directory("/newstars\\.[A-Za-z0-9]{6}/");
    return std::regex_replace(text, directory, "/newstars.XXXXXX/");
}

// The lines of text holding piece.
int linesHolding(const std::string& text, const std::string& piece)
{
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// A copy of line with its last field (the reference image) replaced by name.
std::string withReference(const std::string& line, const std::string& name)
{
    return line.substr(0, line.find_last_of(' ') + 1) + name + "\n";
}

TEST(ParallelNightThreads, EveryWorkerCountWritesTheSameBytes)
{
    ScratchDirectory night;
    const ProgramResult made =
        runNightProgram(night.path, {SIMNIGHT_PATH, "--seed", "5", "--size", "300", "--objects",
                                     "3", "--images", "2", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;

    // Table: before each object's own line, one naming a missing image and one naming a
    // compressed image that does not decompress.
    const std::string table = readFile(night.file("table.txt"));
    std::string tried;
    size_t start = 0;
    for (size_t end = table.find('\n'); end != std::string::npos; end = table.find('\n', start)) {
        const std::string line = table.substr(start, end - start);
        start = end + 1;
        if (line[0] != '#') {
            tried += withReference(line, "missing_r.fts");
            tried += withReference(line, "broken_r.fth");
        }
        tried += line + "\n";
    }
    writeFile(night.file("tried.txt"), tried);
    writeFile(night.file("broken_r.fth"), std::string(5760, 'x'));
    // A malformed line ahead of the second object's lines ends the run there.
    const size_t second = tried.find("FLD02");
    writeFile(night.file("malformed.txt"),
              tried.substr(0, second) + "FLD02 only three\n" + tried.substr(second));
    // Every test image twice, with one that does not exist between.
    const std::string files = readFile(night.file("files.txt"));
    writeFile(night.file("twice.txt"), files + "absent.fts\n" + files);

    struct Case {
        const char* table;
        int status;
    };
    for (const Case& c : {Case{"tried.txt", 0}, Case{"malformed.txt", 1}}) {
        ProgramResult first;
        for (const char* workers : {"1", "2", "4"}) {
            const ProgramResult run = runNightProgram(
                night.path, {NEWSTARS_PATH, "-j", workers, "-f", "twice.txt", "2", c.table});
            EXPECT_EQ(run.status, c.status) << c.table << " -j " << workers << "\n" << run.err;
            if (workers[0] == '1') {
                first = run;
                continue;
            }
            EXPECT_EQ(run.out, first.out) << c.table << " -j " << workers;
            EXPECT_EQ(masked(run.err), masked(first.err)) << c.table << " -j " << workers;
        }
        if (c.status == 0) {
            // Each failing line tried, and reported, for each of the 12 test images.
            EXPECT_EQ(linesHolding(first.err, "missing_r.fts: "), 12) << first.err;
            EXPECT_EQ(linesHolding(first.err, "fdecomp -r "), 12) << first.err;
            EXPECT_EQ(linesHolding(first.err, "absent.fts: "), 1) << first.err;
            EXPECT_EQ(linesHolding(first.out, "_r.ft"), 12) << first.out; // summary lines
        }
    }
}

// Every image of a night, plain or compressed (tile-compressed and gzip, read in this
// process), gives the same report, messages and catalogue whatever the number of
// workers, with either method.
TEST(ParallelNightThreads, CompressedOrPlainEveryWorkerCountGivesTheSameCatalogue)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "7", "--size", "300", "--objects", "2", "--images",
                     "2", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    // The same night with every image compressed, by turns tile-compressed and gzip.
    std::string table = readFile(night.file("table.txt"));
    std::string files = readFile(night.file("files.txt"));
    int turn = 0;
    for (const std::string& name : listDirectory(night.path)) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".fts") != 0)
            continue;
        const bool tiles = turn++ % 2 == 0;
        const std::string packed = name + (tiles ? ".fz" : ".gz");
        const ProgramResult r =
            tiles ? runProgram({"fpack", "-O", night.file(packed), night.file(name)})
                  : runProgram({"gzip", "-k", night.file(name)});
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        for (std::string* text : {&table, &files}) {
            for (size_t at = text->find(name); at != std::string::npos;
                 at = text->find(name, at + packed.size()))
                text->replace(at, name.size(), packed);
        }
    }
    writeFile(night.file("packed-table.txt"), table);
    writeFile(night.file("packed-files.txt"), files);

    struct Case {
        const char* method;
        const char* files;
        const char* table;
    };
    const Case cases[] = {{"catalog", "files.txt", "table.txt"},
                          {"catalog", "packed-files.txt", "packed-table.txt"},
                          {"difference", "files.txt", "table.txt"},
                          {"difference", "packed-files.txt", "packed-table.txt"}};
    for (const Case& c : cases) {
        ProgramResult first;
        std::string firstCatalogue;
        for (const char* workers : {"1", "2", "4"}) {
            const std::string catalogue = std::string("catalogue-") + workers + ".ecsv";
            const ProgramResult run = runNightProgram(
                night.path, {NEWSTARS_PATH, "-j", workers, "--method", c.method, "--catalog",
                             catalogue, "-f", c.files, "2", c.table});
            const std::string what = std::string(c.method) + " " + c.files + " -j " + workers;
            ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
            const std::string written = readFile(night.file(catalogue));
            if (workers[0] == '1') {
                first = run;
                firstCatalogue = written;
                EXPECT_GT(linesHolding(run.out, "\n"), 4) << what << ": candidates found\n"
                                                          << run.out;
                continue;
            }
            EXPECT_EQ(run.out, first.out) << what;
            EXPECT_EQ(run.err, first.err) << what;
            EXPECT_EQ(written, firstCatalogue) << what;
        }
    }
}

} // namespace
