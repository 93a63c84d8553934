// The candidate history on the command line: what --history refuses before a run, the
// report unchanged by it, and the history command's imports and refusals.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

struct Scene {
    ScratchDirectory dir;
    Scene()
    {
        writeStandardScene(dir);
        writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    }
};

} // namespace

TEST(HistoryOption, RecordsTheCandidateAndLeavesTheReportAsItWas)
{
    Scene scene;
    const ProgramResult plain = runNewstars(scene.dir.path, {"2", "table.txt", "test.fts"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (int run = 1; run <= 2; ++run) {
        const ProgramResult r = runNewstars(
            scene.dir.path, {"--history", "h.db", "--catalog", "c.ecsv", "2", "table.txt",
                             "test.fts"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(r.err, plain.err);
        // The same image searched again is the same detection, not a second one.
        const std::string catalogue = readFile(scene.dir.file("c.ecsv"));
        EXPECT_NE(catalogue.find(",1,2026-12-07T01:02:03.000,1,1,2026-12-06:17500,\"\",\"\","
                                 "False\n"),
                  std::string::npos)
            << catalogue;
    }
    const ProgramResult summary = runNewstars(scene.dir.path, {"history", "h.db"});
    EXPECT_EQ(summary.status, 0) << summary.err;
    EXPECT_EQ(summary.out, "h.db: 2 runs, 1 sources, 1 detections, 0 known objects, 0 labels\n");
}

TEST(HistoryOption, RefusesWhatCannotBeAHistoryBeforeAnyImageIsRead)
{
    Scene scene;
    mkdir(scene.dir.file("adir").c_str(), 0755);
    writeFile(scene.dir.file("notes.txt"), "my notes\n");
    struct Case {
        std::vector<std::string> options;
        const char* message;
    };
    const Case cases[] = {
        {{"--history", "adir"}, "newstars: adir: not a regular file\n"},
        {{"--history", "notes.txt"}, "newstars: notes.txt: file is not a database\n"},
        {{"--history", "table.txt"}, "names an input of the run"},
        {{"--history", "test.fts"}, "names an input of the run"},
        {{"--history", "same", "--catalog", "same"}, "name the same file"},
        {{"--history="}, "--history needs a name"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = c.options;
        for (const char* a : {"2", "table.txt", "test.fts"})
            arguments.emplace_back(a);
        const ProgramResult r = runNewstars(scene.dir.path, arguments);
        EXPECT_EQ(r.status, 1) << c.options[0];
        EXPECT_EQ(r.out, "") << c.options[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(readFile(scene.dir.file("notes.txt")), "my notes\n");
    EXPECT_EQ(readFile(scene.dir.file("table.txt")), STANDARD_TABLE_LINE);
}

TEST(HistoryCommand, ImportsMarksAllOrNothing)
{
    Scene scene;
    writeFile(scene.dir.file("labels.csv"),
              "image,number,ra,dec,label\ntest.fts,1,149.9916666667,0.0000000000,bogus\n");
    writeFile(scene.dir.file("known.csv"), "ra,dec,name\n09:59:58,+00:00:00,V* one\n");
    writeFile(scene.dir.file("bad.csv"), "image,number,ra,dec,label\na,1,2,3,odd\n");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"history", "--labels", "labels.csv", "--known=known.csv", "h.db"}, 0,
         "labels.csv: 1 label imported\nknown.csv: 1 known object marked\n", ""},
        // One bad file: nothing of the others is added.
        {{"history", "--labels", "labels.csv", "--labels", "bad.csv", "h.db"}, 1, "",
         "bad.csv: line 2: label `odd' is none of real, bogus, skip\n"},
        {{"history", "--known", "missing.csv", "h.db"}, 1, "", "missing.csv: No such file"},
        {{"history", "--known", ".", "h.db"}, 1, "", ".: not a regular file"},
        {{"history", "--labels"}, 1, "", "--labels needs a value"},
        {{"history", "--color", "x", "h.db"}, 1, "", "unknown option --color"},
        {{"history"}, 1, "", "usage:"},
        {{"history", "h.db", "extra"}, 1, "", "usage:"},
        {{"history", "h.db"}, 0, "h.db: 0 runs, 0 sources, 0 detections, 1 known objects, 1 labels\n",
         ""},
    };
    for (const Case& c : cases) {
        const ProgramResult r = runNewstars(scene.dir.path, c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments.back();
        EXPECT_EQ(r.out, c.out) << c.arguments.back();
        if (*c.err == '\0') {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
    }
    // The candidate on the known object, labelled bogus too, is flagged.
    const ProgramResult r = runNewstars(
        scene.dir.path, {"--history", "h.db", "--catalog", "c.ecsv", "2", "table.txt", "test.fts"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string catalogue = readFile(scene.dir.file("c.ecsv"));
    EXPECT_NE(catalogue.find(",bogus,\"V* one\",True\n"), std::string::npos) << catalogue;
}
