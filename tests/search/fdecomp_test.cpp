// fdecomp run as a program on files compressed by fpack.

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>
#include <utility>

#include "compressed_files.hpp"

namespace {

// A primary header without data, as files that keep their images in extensions begin.
std::string emptyPrimary()
{
    return fitsHeader({logicalCard("SIMPLE", true), intCard("BITPIX", 16), intCard("NAXIS", 0),
                       logicalCard("EXTEND", true)});
}

// The single-record header of a file from makeFitsFile turned into that of an image
// extension: XTENSION for SIMPLE, PCOUNT and GCOUNT after the axes.
std::string asExtension(const std::string& file)
{
    std::vector<std::string> cards = {stringCard("XTENSION", "IMAGE")};
    for (size_t at = 80; file.compare(at, 4, "END ") != 0; at += 80) {
        cards.push_back(file.substr(at, 80));
        if (cards.back().compare(0, 8, "NAXIS2  ") == 0) {
            cards.push_back(intCard("PCOUNT", 0));
            cards.push_back(intCard("GCOUNT", 1));
        }
    }
    return fitsHeader(cards) + file.substr(2880);
}

} // namespace

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
    std::string hugePlain = fitsImageHeader(50000, 50000);
    // The compressed image claims 99999 x 99999 pixels in its 97 tiles of 99999 x 1031:
    // refused before any tile is read.
    std::string hugeCompressed = rice;
    for (auto [keyword, value] : {std::pair{"ZNAXIS1 =", "99999"},
                                  {"ZNAXIS2 =", "99999"},
                                  {"ZTILE1  =", "99999"},
                                  {"ZTILE2  =", "1031"}}) {
        size_t at = hugeCompressed.find(keyword);
        ASSERT_NE(at, std::string::npos) << keyword;
        hugeCompressed.replace(at + 10, 20, std::string(20 - std::strlen(value), ' ') + value);
    }
    const std::string noImage = "holds no 2-D 16-bit image";
    const std::string tooLarge = "pixels is too large (at most 2147483647 pixels)";

    struct Case {
        const char* what;
        std::string input;
        std::vector<std::string> arguments;
        std::string message = ""; // part of the message, when checked
    };
    const Case cases[] = {
        {"text file", text, {"-r", "in.fth"}},
        {"empty file", std::string(), {"-r", "in.fth"}},
        {"truncated compressed file", truncated, {"-r", "in.fth"}},
        {"damaged compressed tiles", damaged, {"-r", "in.fth"}},
        {"32-bit image", image32, {"-r", "in.fth"}, noImage},
        {"empty primary array only", emptyPrimary(), {"-r", "in.fth"}, noImage},
        {"plain image too large", hugePlain, {"-r", "in.fth"}, "50000 x 50000 " + tooLarge},
        {"compressed image too large",
         hugeCompressed,
         {"-r", "in.fth"},
         "99999 x 99999 " + tooLarge},
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
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
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

// Whatever holds the image, the output is the single-image file it came from.
TEST_F(Fdecomp, WritesTheFirstTwoDimensional16BitImageAsAPrimaryImage)
{
    std::string extension = emptyPrimary() + asExtension(original);
    std::string image32First =
        fitsHeader({logicalCard("SIMPLE", true), intCard("BITPIX", 32), intCard("NAXIS", 2),
                    intCard("NAXIS1", 4), intCard("NAXIS2", 2), logicalCard("EXTEND", true)}) +
        std::string(2880, '\0') + asExtension(original);
    auto fpacked = [&](const std::string& file) {
        writeFile(root + "/source.fits", file);
        EXPECT_TRUE(compressWithFpack("-r", root + "/source.fits", root + "/packed"));
        std::string packed = readFile(root + "/packed");
        unlink((root + "/source.fits").c_str());
        unlink((root + "/packed").c_str());
        return packed;
    };
    auto gzipped = [&](const std::string& file) {
        writeFile(root + "/source", file);
        std::string zipped = runProgram({"gzip", "-c", root + "/source"}).out;
        unlink((root + "/source").c_str());
        EXPECT_EQ(zipped.compare(0, 2, "\x1f\x8b"), 0);
        return zipped;
    };
    struct Case {
        const char* what;
        std::string input;
    };
    const Case cases[] = {
        {"image in an extension after an empty primary", extension},
        {"compressed image from an extension", fpacked(extension)},
        {"32-bit primary image before the 16-bit one", image32First},
        {"whole file compressed with gzip", gzipped(original)},
        {"gzip of a tile-compressed file", gzipped(fpacked(original))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(root + "/in.fth", c.input);
        EXPECT_EQ(runFdecomp({"-r", root + "/in.fth"}), 0);
        EXPECT_EQ(errors(), "");
        EXPECT_EQ(readFile(root + "/in.fts"), original);
        unlink((root + "/in.fts").c_str());
        EXPECT_EQ(listDirectory(root), std::vector<std::string>{"original.fits"});
    }
}

// What a file holds decides how it is expanded, never its name: gzip data whose path
// holds ".Z" or ".bz2" (the endings of other whole-file compressions) in a directory or
// in its own name comes back whole; plain and tile-compressed files there too.
TEST_F(Fdecomp, ExpandsByContentWhateverThePathHolds)
{
    writeFile(root + "/source", original);
    const std::string zipped = runProgram({"gzip", "-c", root + "/source"}).out;
    ASSERT_EQ(zipped.compare(0, 2, "\x1f\x8b"), 0);
    ASSERT_TRUE(compressWithFpack("-r", root + "/source", root + "/packed"));
    const std::string packed = readFile(root + "/packed");
    unlink((root + "/source").c_str());
    unlink((root + "/packed").c_str());
    struct Case {
        const char* directory;
        const char* name;
        const std::string* input;
    };
    const Case cases[] = {
        {"run.Zq4x", "image.fth", &zipped}, {"run.bz2", "image.fth", &zipped},
        {"plain", "a.Z.fth", &zipped},      {"plain", "a.bz2.FTH", &zipped},
        {"run.Zq4x", "image.fth", &packed}, {"run.Zq4x", "image.fth", &original},
        {"Z", "image.fth", &zipped},
    };
    for (const Case& c : cases) {
        const std::string directory = root + "/" + c.directory;
        const std::string input = directory + "/" + c.name;
        std::string output = input;
        output.back() = output.back() == 'h' ? 's' : 'S';
        SCOPED_TRACE(input);
        mkdir(directory.c_str(), 0755);
        writeFile(input, *c.input);
        EXPECT_EQ(runFdecomp({"-r", input}), 0);
        EXPECT_EQ(errors(), "");
        EXPECT_EQ(readFile(output), original);
        unlink(output.c_str());
        EXPECT_EQ(listDirectory(directory), std::vector<std::string>{});
    }
}

TEST_F(Fdecomp, RefusesSpecialFilesWithoutWaiting)
{
    ASSERT_EQ(mkfifo((root + "/fifo.fth").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (root + "/zero.fth").c_str()), 0);
    for (const char* name : {"fifo.fth", "zero.fth"}) {
        EXPECT_EQ(runFdecomp({"-r", root + "/" + name}), 1) << name;
        EXPECT_EQ(errors(), "fdecomp: " + root + "/" + name + ": not a regular file\n");
    }
    EXPECT_EQ(listDirectory(root),
              (std::vector<std::string>{"fifo.fth", "original.fits", "zero.fth"}));
}

// Stopped while it writes, fdecomp leaves no partial output and ends by the signal.
TEST_F(Fdecomp, RemovesItsPartialOutputWhenStopped)
{
    const int width = 4096, height = 4096; // 32 MB to write: time to catch it at work
    std::vector<uint16_t> flat(static_cast<size_t>(width) * height, 1000);
    writeFile(root + "/large.fits", makeFitsFile(width, height, flat));
    ASSERT_TRUE(compressWithFpack("-r", root + "/large.fits", root + "/large.fth"));
    unlink((root + "/large.fits").c_str());
    std::string compressed = readFile(root + "/large.fth");
    std::string program = binaryDirectory() + "/fdecomp";
    std::string input = root + "/large.fth";

    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        char* argv[] = {program.data(), input.data(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
        // Wait for the temporary output to appear, then freeze the program there.
        bool caught = false;
        auto start = std::chrono::steady_clock::now();
        while (!caught && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
            for (const std::string& name : listDirectory(root))
                caught = caught || name.rfind("large.fts.", 0) == 0;
            if (!caught)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        kill(pid, SIGSTOP);
        std::vector<std::string> frozen = listDirectory(root);
        kill(pid, signal);
        kill(pid, SIGCONT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(caught);
        ASSERT_EQ(frozen.size(), 3u) << "finished before the signal";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(listDirectory(root), (std::vector<std::string>{"large.fth", "original.fits"}));
        EXPECT_EQ(readFile(input), compressed);
    }
}
