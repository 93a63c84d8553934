// Whole runs of newstars over fpack-compressed test and reference images: the output
// must be that of the same run over the uncompressed files.

#include <gtest/gtest.h>

#include "compressed_files.hpp"
#include "test_support.hpp"

// The run over the plain files, with every compressed name's ".fts" turned into ".fth"
// (same length, so the columns stay put).
static std::string withCompressedNames(std::string text, const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        std::string plain = name.substr(0, name.size() - 1) + "s";
        for (size_t at = text.find(plain); at != std::string::npos; at = text.find(plain, at + 1))
            text.replace(at, plain.size(), name);
    }
    return text;
}

TEST(CompressedRun, GivesTheSameOutputAsTheUncompressedImages)
{
    ScratchDirectory dir;
    std::string temporary = dir.file("tmp");
    ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
    // Reference stars in the box and one test star on each of them; new stars at
    // (180, 120) in the first test image and at (120, 90) and (60, 150) in the second.
    writeTestImage(dir.file("ref.fts"),
                   skyImage("M31", 150, 0, {{150, 120}, {100, 100}, {200, 140}}));
    writeTestImage(dir.file("rice.fts"),
                   skyImage("M31", 150, 0, {{150, 120}, {100, 100}, {200, 140}, {180, 120}}));
    writeTestImage(dir.file("hcomp.fts"),
                   skyImage("M31", 150, 0, {{150, 120}, {120, 90}, {60, 150}}));
    writeFile(dir.file("plain.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n");
    writeFile(dir.file("packed.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fth\n");
    struct Packing {
        const char* flag;
        const char* name;
    };
    const Packing packings[] = {{"-r", "rice.fth"}, {"-h", "hcomp.fth"}, {"-h", "ref.fth"}};
    std::vector<std::string> names;
    std::vector<std::string> compressed;
    for (const Packing& p : packings) {
        std::string name = p.name;
        ASSERT_TRUE(compressWithFpack(p.flag, dir.file(name.substr(0, name.size() - 1) + "s"),
                                      dir.file(name)));
        names.push_back(name);
        compressed.push_back(readFile(dir.file(name)));
    }

    const char* oldPath = std::getenv("PATH");
    const ProgramOptions options = {
        .directory = dir.path,
        .environment = {{"PATH", binaryDirectory() + ":" + (oldPath != nullptr ? oldPath : "")},
                        {"TMPDIR", temporary}}};
    ProgramResult plain =
        runProgram({newstarsPath(), "2", "plain.txt", "rice.fts", "hcomp.fts"}, options);
    ProgramResult packed =
        runProgram({newstarsPath(), "2", "packed.txt", "rice.fth", "hcomp.fth"}, options);

    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "");
    // The plain run found something: two summary lines, three candidates.
    EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 2 + 1 + 3) << plain.out;
    EXPECT_EQ(packed.status, 0);
    EXPECT_EQ(packed.err, "");
    EXPECT_EQ(packed.out, withCompressedNames(plain.out, names));
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(readFile(dir.file(names[i])), compressed[i]) << names[i];
    EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{});
}

// A night of gzip-compressed images run many times at -j 2: every run must give the
// whole report of the plain images. The private directories lie below roots whose
// names hold ".Z" or ".bz2" (which once steered the FITS library to another decoder
// and lost the image) or neither; below the plain root a directory of its own whose
// random part starts with "Z" did the same, about once in 62 images.
TEST(CompressedRun, EveryRunOfAGzipNightGivesTheWholeReport)
{
    ScratchDirectory dir;
    const std::vector<TestStar> stars = {{150, 120}, {100, 100}, {200, 140}};
    writeTestImage(dir.file("ref.fts"), skyImage("M31", 150, 0, stars));
    const std::vector<std::string> tests = {"t0.fts", "t1.fts", "t2.fts", "t3.fts"};
    for (size_t i = 0; i < tests.size(); ++i) {
        std::vector<TestStar> seen = stars;
        const int step = static_cast<int>(i);
        seen.push_back({60 + 40 * step, 80}); // one new star each
        writeTestImage(dir.file(tests[i]), skyImage("M31", 150, 0, seen));
    }
    for (const std::string name : {"ref.fts", "t0.fts", "t1.fts", "t2.fts", "t3.fts"}) {
        ProgramResult zipped = runProgram({"gzip", "-c", dir.file(name)});
        ASSERT_EQ(zipped.status, 0) << zipped.err;
        writeFile(dir.file(name + ".gz"), zipped.out);
    }
    writeFile(dir.file("plain.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n");
    writeFile(dir.file("zipped.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts.gz\n");
    std::string plainList, zippedList;
    for (const std::string& name : tests) {
        plainList += name + "\n";
        zippedList += name + ".gz\n";
    }
    writeFile(dir.file("plain-files.txt"), plainList);
    writeFile(dir.file("zipped-files.txt"), zippedList);

    const char* oldPath = std::getenv("PATH");
    const std::string path = binaryDirectory() + ":" + (oldPath != nullptr ? oldPath : "");
    const ProgramResult plain = runProgram(
        {newstarsPath(), "-j", "2", "-f", "plain-files.txt", "2", "plain.txt"},
        {.directory = dir.path, .environment = {{"PATH", path}}});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(plain.err, "");
    ASSERT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 4 + 1 + 4) << plain.out;
    // The names padded to 12 columns: ".gz" takes three of the blanks after ".fts".
    std::string expected;
    for (size_t at = 0, next = 0; at < plain.out.size(); at = next) {
        next = plain.out.find(".fts   ", at);
        if (next == std::string::npos) {
            expected.append(plain.out, at);
            break;
        }
        expected.append(plain.out, at, next - at).append(".fts.gz");
        next += 7;
    }

    struct Root {
        const char* name;
        int runs;
    };
    const Root roots[] = {{"tmp", 40}, {"run.Zq", 5}, {"run.bz2", 5}};
    for (const Root& root : roots) {
        const std::string temporary = dir.file(root.name);
        ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
        for (int run = 0; run < root.runs; ++run) {
            const ProgramResult zipped =
                runProgram({newstarsPath(), "-j", "2", "-f", "zipped-files.txt", "2", "zipped.txt"},
                           {.directory = dir.path,
                            .environment = {{"PATH", path}, {"TMPDIR", temporary}}});
            ASSERT_EQ(zipped.status, 0) << root.name << " run " << run;
            ASSERT_EQ(zipped.err, "") << root.name << " run " << run;
            ASSERT_EQ(zipped.out, expected) << root.name << " run " << run;
            ASSERT_EQ(listDirectory(temporary), std::vector<std::string>{}) << root.name;
        }
    }
}
