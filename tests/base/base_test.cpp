#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/angles.hpp"
#include "base/file_descriptor.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "support/files.hpp"

using namespace newstars;

TEST(FormatText, FormatsTextOfAnyLength)
{
    EXPECT_EQ(formatText("%-5s|%3d|%.2f", "ab", 7, 1.005), "ab   |  7|1.00");
    EXPECT_EQ(formatText("%s", ""), "");
    const std::string longText(5000, 'x');
    EXPECT_EQ(formatText("<%s>", longText.c_str()), "<" + longText + ">");
}

TEST(PrintableText, EscapesControlCharactersOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"ngc 1234.fts", "ngc 1234.fts"},
        {"a\\b\x80\xff", "a\\b\x80\xff"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {"\x01\x1b[2J\x7f", "\\001\\033[2J\\177"},
    };
    for (const auto& [text, printable] : cases)
        EXPECT_EQ(printableText(text.c_str()), printable) << text;
}

TEST(BaseName, TakesThePartAfterTheLastSlash)
{
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"a/b/c.fts", "c.fts"},
        {"/dir/", "dir/"},
        {"c.fts", "c.fts"},
        {"a\\b\\c.fts", "a\\b\\c.fts"},
        {"/", "/"},
        {"", ""},
        {"dir//", "/"},
        {"//x", "x"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(baseName(c.path), c.expected) << c.path;
}

TEST(Angles, ConvertInTheWrittenOrder)
{
    for (double x : {1.0, 0.1, 123.456, -33.3, 1e-300}) {
        EXPECT_EQ(degreesToRadians(x), x * 3.141592653589793 / 180) << x;
        EXPECT_EQ(radiansToDegrees(x), x * 180 / 3.141592653589793) << x;
    }
}

TEST(FileDescriptor, ClosesWhatItOwns)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        FileDescriptor reader(fds[0]);
        FileDescriptor moved = std::move(reader);
        EXPECT_EQ(reader.get(), -1);
        EXPECT_EQ(moved.get(), fds[0]);
    }
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1); // closed once, by the moved-to owner
    FileDescriptor writer(fds[1]);
    const int released = writer.release();
    EXPECT_FALSE(writer.isOpen());
    EXPECT_NE(fcntl(released, F_GETFD), -1);
    close(released);
}

TEST(ReadAllWriteAll, MoveWholeBuffersThroughAPipe)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FileDescriptor reader(fds[0]), writer(fds[1]);
    const std::string text(40000, 'q'); // more than one pipe buffer's worth at a time
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        reader.reset();
        _exit(writeAll(writer.get(), text.data(), text.size()) == 0 ? 0 : 1);
    }
    writer.reset();
    std::string got(text.size() + 10, '\0');
    EXPECT_EQ(readAll(reader.get(), got.data(), got.size()), static_cast<ssize_t>(text.size()));
    got.resize(text.size());
    EXPECT_EQ(got, text);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(writeAll(-1, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(RunProgram, ReportsHowTheProgramEnded)
{
    int status = -1;
    ASSERT_EQ(runProgram({"true"}, &status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(runProgram({"false", "ignored argument; not a shell"}, &status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    status = -1;
    const int started = runProgram({"newstars-no-such-program"}, &status);
    EXPECT_TRUE(started == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127));
    EXPECT_EQ(runProgram({}, &status), -1);
}

TEST(RunProgram, CapturingKeepsWhatTheProgramWritesApart)
{
    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string output, errors;
    };
    const Case cases[] = {
        {{"printf", "%s\\n", "one", "two"}, 0, "one\ntwo\n", ""},
        {{"sh", "-c", "echo out; echo err >&2; echo more; exit 2"}, 2, "out\nmore\n", "err\n"},
        {{"true"}, 0, "", ""},
    };
    for (const Case& c : cases) {
        int status = -1;
        std::string output = "old", errors = "old";
        ASSERT_EQ(runProgramCapturing(c.arguments, &status, &output, &errors), 0) << c.arguments[0];
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitStatus) << c.arguments[0];
        EXPECT_EQ(output, c.output) << c.arguments[0];
        EXPECT_EQ(errors, c.errors) << c.arguments[0];
    }
    std::string output = "old", errors = "old";
    int status = -1;
    EXPECT_EQ(runProgramCapturing({}, &status, &output, &errors), -1);
    EXPECT_EQ(output, "old");
}

TEST(OpenRegularFile, RefusesWhatIsNotARegularFileWithoutWaiting)
{
    ScratchDirectory dir;
    writeFile(dir.file("plain"), "text");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string message; // "" for success
    };
    const Case cases[] = {
        {dir.file("plain"), ""},
        {dir.file("fifo"), "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {dir.path, "not a regular file"},
        {dir.file("missing"), std::strerror(ENOENT)},
    };
    for (const Case& c : cases) {
        std::string message = "untouched";
        FileDescriptor file(openRegularFile(c.path.c_str(), &message));
        EXPECT_EQ(file.isOpen(), c.message.empty()) << c.path;
        EXPECT_EQ(message, c.message.empty() ? "untouched" : c.message) << c.path;
        if (file.isOpen()) {
            EXPECT_EQ(fcntl(file.get(), F_GETFL) & O_NONBLOCK, 0) << c.path;
            EXPECT_NE(fcntl(file.get(), F_GETFD) & FD_CLOEXEC, 0) << c.path;
        }
    }
}
