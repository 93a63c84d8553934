// The file of files: which lines are names, and the files that are refused.

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "base/text_file.hpp"
#include "support/files.hpp"

using namespace newstars;

TEST(ReadFileOfFiles, KeepsEveryLineThatNamesAnImage)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> names;
    };
    const std::string longName(1500, 'a');
    const Case cases[] = {
        {"one name per line", "a.fts\nb.fts\n", {"a.fts", "b.fts"}},
        {"last line without a line end", "a.fts\nb.fts", {"a.fts", "b.fts"}},
        {"comments and empty lines skipped", "#a.fts\n!b.fts\n\nx\nc.fts\n", {"x", "c.fts"}},
        {"one character without a line end is too short", "ab\nc", {"ab"}},
        {"blanks belong to the name", " a.fts \n", {" a.fts "}},
        {"a long line is read in pieces of 1023 characters",
         longName + "\n",
         {longName.substr(0, 1023), longName.substr(1023)}},
        {"empty file", "", {}},
    };
    ScratchDirectory directory;
    for (const Case& c : cases) {
        const std::string path = directory.path + "/files.txt";
        writeFile(path, c.text);
        std::vector<std::string> names = {"earlier"};
        std::string message;
        EXPECT_EQ(readFileOfFiles(path.c_str(), &names, &message), static_cast<int>(c.names.size()))
            << c.name;
        std::vector<std::string> expected = {"earlier"};
        expected.insert(expected.end(), c.names.begin(), c.names.end());
        EXPECT_EQ(names, expected) << c.name;
        EXPECT_EQ(message, "") << c.name;
    }
}

TEST(ReadFileOfFiles, RefusesWhatIsNotARegularFileWithoutWaiting)
{
    ScratchDirectory directory;
    const std::string fifo = directory.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = directory.path + "/missing";
    struct Case {
        std::string path, message;
    };
    const Case cases[] = {
        {fifo, fifo + ": not a regular file"},
        {directory.path, directory.path + ": not a regular file"},
        {missing, missing + ": No such file or directory"},
        {"", "No such file or directory"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        std::string message;
        EXPECT_EQ(readFileOfFiles(c.path.c_str(), &names, &message), -1) << c.path;
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(names.empty());
        EXPECT_EQ(openTextFile(c.path.c_str(), &message), nullptr);
        EXPECT_EQ(message, c.message);
    }
}
