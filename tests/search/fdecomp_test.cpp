// fdecomp run as a program on files compressed by fpack.

#include <gtest/gtest.h>

#include <utility>

#include "compressed_files.hpp"

class Fdecomp : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = scratch.path;
        ASSERT_FALSE(root.empty());
        chmod(root.c_str(), 0755);
        original = makeFitsFile(
            131, 97, makeStarField(131, 97, false),
            {"OBJECT  = 'M31     '", "DATE-OBS= '1996-01-01'", "COMMENT   kept as it was"});
        writeFile(root + "/original.fits", original);
    }
    void TearDown() override
    {
        chmod((root + "/locked").c_str(), 0755);
    }

    // Runs fdecomp with the arguments and returns its exit status; errors() then gives
    // what it wrote on standard error.
    int runFdecomp(const std::vector<std::string>& arguments, bool asUnprivileged = false)
    {
        std::string program = binaryDirectory() + "/fdecomp";
        if (asUnprivileged) {
            // The build tree may lie below a directory only root can enter (a checkout in
            // /root, say), so the unprivileged user runs a copy kept in the open scratch area.
            std::string copy = root + "/fdecomp";
            writeFile(copy, readFile(program));
            chmod(copy.c_str(), 0755);
            program = copy;
        }
        std::vector<std::string> all = {program};
        all.insert(all.end(), arguments.begin(), arguments.end());
        ProgramOptions options;
        options.unprivileged = asUnprivileged;
        ProgramResult result = runProgram(all, options);
        lastErrors = result.err;
        return result.status;
    }
    std::string errors()
    {
        return std::exchange(lastErrors, "");
    }

    ScratchDirectory scratch;
    std::string root;
    std::string original;
    std::string lastErrors;
};

TEST_F(Fdecomp, RestoresTheOriginalFileForEveryCompression)
{
    struct Case {
        const char* flag;
        bool positiveOnly;
        bool remove;
        const char* name;
        const char* output;
    };
    const Case cases[] = {
        {"-r", false, true, "rice.fth", "rice.fts"},
        {"-h", false, true, "hcompress.fth", "hcompress.fts"},
        {"-g", false, true, "gzip.fth", "gzip.fts"},
        {"-p", true, true, "plio.fth", "plio.fts"}, // PLIO takes non-negative stored values only
        {"-r", false, false, "kept.fth", "kept.fts"},
        {"-h", false, true, "UPPER.FTH", "UPPER.FTS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.flag) + " " + c.name);
        std::string expected = original;
        std::string source = root + "/original.fits";
        if (c.positiveOnly) {
            expected =
                makeFitsFile(131, 97, makeStarField(131, 97, true), {"OBJECT  = 'PLIO    '"});
            source = root + "/positive.fits";
            writeFile(source, expected);
        }
        std::string input = root + "/" + c.name;
        ASSERT_TRUE(compressWithFpack(c.flag, source, input));
        std::string compressed = readFile(input);
        ASSERT_NE(compressed, expected);

        std::vector<std::string> arguments = {input};
        if (c.remove)
            arguments.insert(arguments.begin(), "-r");
        EXPECT_EQ(runFdecomp(arguments), 0);
        EXPECT_EQ(errors(), "");
        EXPECT_EQ(readFile(root + "/" + c.output), expected);
        if (c.remove)
            EXPECT_FALSE(fileExists(input));
        else
            EXPECT_EQ(readFile(input), compressed);
        unlink(input.c_str());
        unlink((root + "/" + c.output).c_str());
        unlink((root + "/positive.fits").c_str());
        EXPECT_EQ(listDirectory(root), std::vector<std::string>{"original.fits"});
    }
}

TEST_F(Fdecomp, CopiesAPlainImage)
{
    writeFile(root + "/plain.fth", original);
    EXPECT_EQ(runFdecomp({"-r", root + "/plain.fth"}), 0);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(readFile(root + "/plain.fts"), original);
    EXPECT_FALSE(fileExists(root + "/plain.fth"));
}

// Every failure: status 1, one line on standard error, the input as it was and
// nothing else in the directory.
TEST_F(Fdecomp, RefusesBadInputLeavingNothingBehind)
{
    ASSERT_TRUE(compressWithFpack("-r", root + "/original.fits", root + "/good.fth"));
    std::string rice = readFile(root + "/good.fth");
    unlink((root + "/good.fth").c_str());
    ASSERT_GT(rice.size(), 3u * 2880u);
    std::string truncated(rice.begin(), rice.begin() + static_cast<long>(rice.size() / 2));
    std::string damaged = rice;
    // Past the primary header, the table header and the 97 tile descriptors: compressed tiles.
    for (size_t i = 2 * 2880 + 97 * 8 + 200; i < 2 * 2880 + 97 * 8 + 260; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    std::string text = "not a FITS file at all\n";
    std::string image32 =
        fitsHeader({logicalCard("SIMPLE", true), intCard("BITPIX", 32), intCard("NAXIS", 2),
                    intCard("NAXIS1", 4), intCard("NAXIS2", 2)}) +
        std::string(2880, '\0');

    struct Case {
        const char* what;
        std::string input;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"text file", text, {"-r", "in.fth"}},
        {"empty file", std::string(), {"-r", "in.fth"}},
        {"truncated compressed file", truncated, {"-r", "in.fth"}},
        {"damaged compressed tiles", damaged, {"-r", "in.fth"}},
        {"32-bit image", image32, {"-r", "in.fth"}},
        {"missing file", std::string(), {"-r", "missing.fth"}},
        {"no arguments", rice, {}},
        {"no file name", rice, {"-r"}},
        {"other name ending", rice, {"-r", "in.fits"}},
        {"mixed-case ending", rice, {"-r", "in.Fth"}},
        {"two file names", rice, {"-r", "in.fth", "in.fth"}},
        {"unknown option", rice, {"-x", "in.fth"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string input = root + "/in.fth";
        writeFile(input, c.input);
        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments)
            arguments.push_back(argument[0] == '-' ? argument : root + "/" + argument);
        EXPECT_EQ(runFdecomp(arguments), 1);
        std::string message = errors();
        EXPECT_EQ(message.rfind("fdecomp: ", 0), 0u) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_EQ(message.back(), '\n');
        EXPECT_EQ(readFile(input), c.input);
        EXPECT_EQ(listDirectory(root), (std::vector<std::string>{"in.fth", "original.fits"}));
        unlink(input.c_str());
    }
}

TEST_F(Fdecomp, FailsCleanlyInAnUnwritableDirectory)
{
    std::string directory = root + "/locked";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    std::string input = directory + "/in.fth";
    ASSERT_TRUE(compressWithFpack("-h", root + "/original.fits", input));
    chmod(input.c_str(), 0644);
    std::string compressed = readFile(input);
    ASSERT_EQ(chmod(directory.c_str(), 0555), 0);
    // Root may write anywhere, so the program then runs as an unprivileged user.
    EXPECT_EQ(runFdecomp({"-r", input}, true), 1);
    std::string message = errors();
    EXPECT_EQ(message.rfind("fdecomp: ", 0), 0u) << message;
    EXPECT_NE(message.find("can not create a file beside " + directory + "/in.fts"),
              std::string::npos)
        << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(listDirectory(directory), std::vector<std::string>{"in.fth"});
    EXPECT_EQ(readFile(input), compressed);
}
