// fdecomp run as a program on files compressed by fpack.

#include <gtest/gtest.h>

#include "compressed_files.hpp"

class Fdecomp : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = makeScratchDirectory();
        ASSERT_FALSE(root.empty());
        chmod(root.c_str(), 0755);
        original = makeFitsFile(131, 97, makeStarField(131, 97, false),
                                {"OBJECT  = 'M31     '", "DATE-OBS= '1996-01-01'",
                                 "COMMENT   kept as it was"});
        writeFileBytes(root + "/original.fits", original);
    }
    void TearDown() override
    {
        chmod((root + "/locked").c_str(), 0755);
        std::error_code error;
        std::filesystem::remove_all(root, error);
    }

    // Runs fdecomp with the arguments; standard error lands in root/errors.
    int runFdecomp(const std::vector<std::string>& arguments, bool asUnprivileged = false)
    {
        std::vector<std::string> all = {binaryDirectory() + "/fdecomp"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runProgram(all, root + "/errors", asUnprivileged);
    }
    std::string errors()
    {
        Bytes bytes = readFileBytes(root + "/errors");
        unlink((root + "/errors").c_str());
        return std::string(bytes.begin(), bytes.end());
    }

    std::string root;
    Bytes original;
};

TEST_F(Fdecomp, RestoresTheOriginalFileForEveryCompression)
{
    struct Case { const char* flag; bool positiveOnly; bool remove; const char* name; const char* output; };
    const Case cases[] = {
        {"-r", false, true, "rice.fth", "rice.fts"},
        {"-h", false, true, "hcompress.fth", "hcompress.fts"},
        {"-g", false, true, "gzip.fth", "gzip.fts"},
        {"-p", true, true, "plio.fth", "plio.fts"},  // PLIO takes non-negative stored values only
        {"-r", false, false, "kept.fth", "kept.fts"},
        {"-h", false, true, "UPPER.FTH", "UPPER.FTS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.flag) + " " + c.name);
        Bytes expected = original;
        std::string source = root + "/original.fits";
        if (c.positiveOnly) {
            expected = makeFitsFile(131, 97, makeStarField(131, 97, true), {"OBJECT  = 'PLIO    '"});
            source = root + "/positive.fits";
            writeFileBytes(source, expected);
        }
        std::string input = root + "/" + c.name;
        ASSERT_TRUE(compressWithFpack(c.flag, source, input));
        Bytes compressed = readFileBytes(input);
        ASSERT_NE(compressed, expected);

        std::vector<std::string> arguments = {input};
        if (c.remove)
            arguments.insert(arguments.begin(), "-r");
        EXPECT_EQ(runFdecomp(arguments), 0);
        EXPECT_EQ(errors(), "");
        EXPECT_EQ(readFileBytes(root + "/" + c.output), expected);
        if (c.remove)
            EXPECT_FALSE(fileExists(input));
        else
            EXPECT_EQ(readFileBytes(input), compressed);
        unlink(input.c_str());
        unlink((root + "/" + c.output).c_str());
        unlink((root + "/positive.fits").c_str());
        EXPECT_EQ(listDirectory(root), std::vector<std::string>{"original.fits"});
    }
}

TEST_F(Fdecomp, CopiesAPlainImage)
{
    writeFileBytes(root + "/plain.fth", original);
    EXPECT_EQ(runFdecomp({"-r", root + "/plain.fth"}), 0);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(readFileBytes(root + "/plain.fts"), original);
    EXPECT_FALSE(fileExists(root + "/plain.fth"));
}

// Every failure: status 1, one line on standard error, the input as it was and
// nothing else in the directory.
TEST_F(Fdecomp, RefusesBadInputLeavingNothingBehind)
{
    ASSERT_TRUE(compressWithFpack("-r", root + "/original.fits", root + "/good.fth"));
    Bytes rice = readFileBytes(root + "/good.fth");
    unlink((root + "/good.fth").c_str());
    ASSERT_GT(rice.size(), 3u * 2880u);
    Bytes truncated(rice.begin(), rice.begin() + static_cast<long>(rice.size() / 2));
    Bytes damaged = rice;
    // Past the primary header, the table header and the 97 tile descriptors: compressed tiles.
    for (size_t i = 2 * 2880 + 97 * 8 + 200; i < 2 * 2880 + 97 * 8 + 260; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    std::string text = "not a FITS file at all\n";
    std::string header32 = fitsCard("SIMPLE  =                    T") + fitsCard("BITPIX  =                   32")
                           + fitsCard("NAXIS   =                    2") + fitsCard("NAXIS1  =                    4")
                           + fitsCard("NAXIS2  =                    2") + fitsCard("END");
    header32.resize(2880, ' ');
    Bytes image32(2 * 2880, 0);
    std::copy(header32.begin(), header32.end(), image32.begin());

    struct Case { const char* what; Bytes input; std::vector<std::string> arguments; };
    const Case cases[] = {
        {"text file", Bytes(text.begin(), text.end()), {"-r", "in.fth"}},
        {"empty file", Bytes(), {"-r", "in.fth"}},
        {"truncated compressed file", truncated, {"-r", "in.fth"}},
        {"damaged compressed tiles", damaged, {"-r", "in.fth"}},
        {"32-bit image", image32, {"-r", "in.fth"}},
        {"missing file", Bytes(), {"-r", "missing.fth"}},
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
        writeFileBytes(input, c.input);
        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments)
            arguments.push_back(argument[0] == '-' ? argument : root + "/" + argument);
        EXPECT_EQ(runFdecomp(arguments), 1);
        std::string message = errors();
        EXPECT_EQ(message.rfind("fdecomp: ", 0), 0u) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_EQ(message.back(), '\n');
        EXPECT_EQ(readFileBytes(input), c.input);
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
    Bytes compressed = readFileBytes(input);
    ASSERT_EQ(chmod(directory.c_str(), 0555), 0);
    // Root may write anywhere, so the program then runs as an unprivileged user.
    EXPECT_EQ(runFdecomp({"-r", input}, true), 1);
    std::string message = errors();
    EXPECT_EQ(message.rfind("fdecomp: ", 0), 0u) << message;
    EXPECT_NE(message.find("can not create a file beside " + directory + "/in.fts"), std::string::npos)
        << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(listDirectory(directory), std::vector<std::string>{"in.fth"});
    EXPECT_EQ(readFileBytes(input), compressed);
}
