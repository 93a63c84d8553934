// newstars on hostile inputs: special files, unreadable files, bad tolerances, tiny
// reference images, long table lines, control characters in names, and stop signals
// while fdecomp runs. Every run must end with its status and message (a run still going
// after 30 s has hung), leave nothing in its temporary directory and change no input.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "compressed_files.hpp"
#include "test_support.hpp"

namespace {

// The content of every regular file in the directory, by name.
std::map<std::string, std::string> regularFiles(const std::string& directory)
{
    std::map<std::string, std::string> files;
    for (const std::string& name : listDirectory(directory)) {
        struct stat status {};
        if (lstat((directory + "/" + name).c_str(), &status) == 0 && S_ISREG(status.st_mode))
            files[name] = readFile(directory + "/" + name);
    }
    return files;
}

// The table line of the standard scene naming another reference image.
std::string tableLine(const std::string& referenceName)
{
    return "M31 10:00:30 0:01:00 9:59:30 -0:01:00 " + referenceName + "\n";
}

} // namespace

TEST(HostileInput, EachRunEndsWithItsStatusAndMessage)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    const std::string temporary = dir.file("tmp");
    ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.fth").c_str(), 0600), 0);
    TestImage small = skyImage("M31", 150, 0, {});
    small.width = small.height = 64;
    writeTestImage(dir.file("small.fts"), small);
    TestImage empty = skyImage("M31", 150, 0, {});
    empty.width = empty.height = 0;
    writeTestImage(dir.file("empty.fts"), empty);
    for (const char* name : {"fifo", "small.fts", "empty.fts"})
        writeFile(dir.file(std::string(name) + ".txt"), tableLine(name) + STANDARD_TABLE_LINE);
    // A reference name that makes its line 272 characters long; a reader that cut the
    // line at 255 would take the name's first 216 characters, also a reference image.
    const std::string longName = std::string(230, 'r') + ".fts";
    writeFile(dir.file(longName), readFile(dir.file("ref2.fts")));
    writeFile(dir.file(longName.substr(0, 216)), readFile(dir.file("ref.fts")));
    writeFile(dir.file("long.txt"), tableLine(longName));
    writeFile(dir.file("te\nst.fts"), readFile(dir.file("test.fts")));

    const std::string notANumber = " is not a finite number of arcseconds >= 0\n";
    const std::string notRegular = ": not a regular file\n";
    const std::string tooSmall = " pixels is too small to hold stars\n";
    struct Row {
        const char* what;
        std::vector<std::string> arguments;
        int status;
        std::string err;      // part of standard error ("" none at all)
        std::string out = ""; // part of standard output ("" not checked)
    };
    const Row rows[] = {
        {"tolerance not a number", {"abc", "table.txt", "test.fts"}, 1, "`abc'" + notANumber},
        {"tolerance with a tail", {"2x", "table.txt", "test.fts"}, 1, "`2x'" + notANumber},
        {"negative tolerance", {"-1", "table.txt", "test.fts"}, 1, "`-1'" + notANumber},
        {"NaN tolerance", {"nan", "table.txt", "test.fts"}, 1, "`nan'" + notANumber},
        {"infinite tolerance", {"1e999", "table.txt", "test.fts"}, 1, "`1e999'" + notANumber},
        {"empty tolerance", {"", "table.txt", "test.fts"}, 1, "`'" + notANumber},
        {"FIFO as test image", {"2", "table.txt", "fifo"}, 0, "fifo" + notRegular, "\f\n"},
        {"FIFO as compressed test image",
         {"2", "table.txt", "fifo.fth"},
         0,
         "fifo.fth" + notRegular},
        {"device as test image", {"2", "table.txt", "/dev/zero"}, 0, "/dev/zero" + notRegular},
        {"FIFO as reference image, next line used",
         {"2", "fifo.txt", "test.fts"},
         0,
         "fifo" + notRegular,
         STANDARD_SUMMARY},
        {"FIFO as table", {"2", "fifo", "test.fts"}, 1, "fifo" + notRegular},
        {"device as table", {"2", "/dev/zero", "test.fts"}, 1, "/dev/zero" + notRegular},
        {"directory as table", {"2", ".", "test.fts"}, 1, "." + notRegular},
        {"table that cannot be read",
         {"2", "/proc/self/mem", "test.fts"},
         1,
         "Can not read the reference table /proc/self/mem: Input/output error\n"},
        {"FIFO as file of files", {"-f", "fifo", "2", "table.txt"}, 1, "fifo" + notRegular},
        {"device as file of files",
         {"-f", "/dev/zero", "2", "table.txt"},
         1,
         "/dev/zero" + notRegular},
        {"file of files that cannot be read",
         {"-f", "/proc/self/mem", "2", "table.txt"},
         1,
         "/proc/self/mem: Input/output error\n"},
        {"reference under 65 pixels a side, next line used",
         {"2", "small.fts.txt", "test.fts"},
         0,
         "small.fts: image of 64 x 64" + tooSmall,
         STANDARD_SUMMARY},
        {"reference of 0 x 0 pixels, next line used",
         {"2", "empty.fts.txt", "test.fts"},
         0,
         "empty.fts: image of 0 x 0" + tooSmall,
         STANDARD_SUMMARY},
        {"table line longer than 255 characters",
         {"2", "long.txt", "test.fts"},
         0,
         "",
         "M31          " + longName + " test.fts "},
        {"line end in a test image name",
         {"2", "table.txt", "te\nst.fts"},
         0,
         "",
         "M31          ref.fts      te\\nst.fts   2026-12-07 01:02:03   1   2   1\n\f\n"
         "M31          te\\nst.fts    9:59:58.0   0:00:00\n"},
        {"tab in a missing image name",
         {"2", "table.txt", "a\tb.fts"},
         0,
         "a\\tb.fts: No such file or directory\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto before = regularFiles(dir.path);
        std::vector<std::string> arguments = {newstarsPath()};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        ProgramOptions options;
        options.directory = dir.path;
        options.environment = {{"TMPDIR", temporary}};
        options.timeLimit = 30;
        const ProgramResult r = runProgram(arguments, options);
        EXPECT_FALSE(r.timedOut) << "hung";
        EXPECT_EQ(r.status, row.status);
        if (row.err.empty()) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{});
        EXPECT_EQ(regularFiles(dir.path), before);
    }
}

// Stopped while fdecomp runs, newstars stops it, removes its private directory and
// ends by the signal. The stand-in fdecomp, beside the program, leaves a partial file
// and waits.
TEST(HostileInput, StopSignalsWhileDecompressingLeaveNothingBehind)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
    writeFile(dir.file("test.fth"), readFile(dir.file("test.fts")));
    const std::string temporary = dir.file("tmp");
    const std::string fakes = dir.file("fakes");
    ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(fakes.c_str(), 0700), 0);
    const std::string pidFile = dir.file("fdecomp.pid");
    writeFile(fakes + "/fdecomp", "#!/bin/sh\ntouch \"$2.partial\"\necho $$ > " + pidFile +
                                      ".new\nmv " + pidFile + ".new " + pidFile +
                                      "\nexec sleep 60\n");
    chmod((fakes + "/fdecomp").c_str(), 0755);
    // newstars runs the fdecomp beside it before any on PATH: a copy of it beside the
    // stand-in.
    const std::string copy = fakes + "/newstars";
    writeFile(copy, readFile(newstarsPath()));
    chmod(copy.c_str(), 0755);
    const std::string path = "PATH=" + fakes + ":" + std::getenv("PATH");
    const std::string tmpdir = "TMPDIR=" + temporary;

    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        unlink(pidFile.c_str());
        std::string program = copy, tolerance = "2", table = dir.file("table.txt"),
                    image = dir.file("test.fth");
        char* argv[] = {program.data(), tolerance.data(), table.data(), image.data(), nullptr};
        std::vector<std::string> environment = {path, tmpdir};
        char* envp[] = {environment[0].data(), environment[1].data(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp), 0);
        const auto start = std::chrono::steady_clock::now();
        while (!fileExists(pidFile) &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const pid_t child = static_cast<pid_t>(std::atol(readFile(pidFile).c_str()));
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_GT(child, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_NE(kill(child, 0), 0) << "fdecomp still running";
        EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{});
        EXPECT_EQ(readFile(image), readFile(dir.file("test.fts")));
    }
}

// Stopped at random points of a night of compressed images at -j 2, with fdecomp slowed
// down so that the two workers start it often: once the signal has come no fdecomp
// starts, every one started is stopped and reaped, no private directory is left, and
// the run ends by the signal. The stand-in records its process id, waits, then becomes
// the real fdecomp.
TEST(HostileInput, StopSignalsAtRandomPointsOfAParallelNightLeaveNothingBehind)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeFile(dir.file("table.txt"), tableLine(dir.file("ref.fth")));
    writeFile(dir.file("ref.fth"), readFile(dir.file("ref.fts")));
    std::string list;
    for (int i = 0; i < 8; ++i) {
        const std::string name = dir.file("test" + std::to_string(i) + ".fth");
        writeFile(name, readFile(dir.file("test.fts")));
        list += name + "\n";
    }
    writeFile(dir.file("files.txt"), list);
    const std::string temporary = dir.file("tmp");
    const std::string slowed = dir.file("slowed");
    const std::string started = dir.file("started");
    ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(slowed.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(started.c_str(), 0700), 0);
    writeFile(slowed + "/fdecomp", "#!/bin/sh\necho > " + started + "/$$\nsleep 0.05\nexec " +
                                       binaryDirectory() + "/fdecomp \"$@\"\n");
    chmod((slowed + "/fdecomp").c_str(), 0755);
    // newstars runs the fdecomp beside it before any on PATH: a copy of it beside the
    // slowed one.
    const std::string copy = slowed + "/newstars";
    writeFile(copy, readFile(newstarsPath()));
    chmod(copy.c_str(), 0755);
    const std::string path = "PATH=" + slowed + ":" + std::getenv("PATH");
    const std::string tmpdir = "TMPDIR=" + temporary;

    std::mt19937 random(20261207);
    // Milliseconds after the first fdecomp started: nine slowed decompressions on two
    // workers take longer, however fast or loaded the machine.
    std::uniform_int_distribution<int> delay(0, 100);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    int stoppedWhileDecompressing = 0;
    for (int run = 0; run < 20; ++run) {
        const int signal = signals[run % 3];
        const int after = delay(random);
        SCOPED_TRACE("run " + std::to_string(run) + ": signal " + std::to_string(signal) +
                     " after " + std::to_string(after) + " ms");
        for (const std::string& name : listDirectory(started))
            unlink((started + "/" + name).c_str());
        std::string program = copy, workers = "-j2", files = "-f", listName = dir.file("files.txt"),
                    tolerance = "2", table = dir.file("table.txt");
        char* argv[] = {program.data(),   workers.data(), files.data(), listName.data(),
                        tolerance.data(), table.data(),   nullptr};
        std::vector<std::string> environment = {path, tmpdir};
        char* envp[] = {environment[0].data(), environment[1].data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp), 0);
        posix_spawn_file_actions_destroy(&actions);
        // The random point is counted from the first decompression, so that the test's
        // coverage does not depend on how long the run takes to get there.
        const auto start = std::chrono::steady_clock::now();
        while (listDirectory(started).empty() &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(after));
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        const std::vector<std::string> children = listDirectory(started);
        stoppedWhileDecompressing += !children.empty() && children.size() < 9;
        for (const std::string& child : children)
            EXPECT_NE(kill(std::atoi(child.c_str()), 0), 0) << "fdecomp " << child << " left";
        EXPECT_EQ(listDirectory(temporary), std::vector<std::string>{});
        EXPECT_EQ(readFile(dir.file("ref.fth")), readFile(dir.file("ref.fts")));
    }
    // Most stops came while images were being decompressed.
    EXPECT_GE(stoppedWhileDecompressing, 10) << stoppedWhileDecompressing;
}
