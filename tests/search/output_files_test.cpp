// End-to-end tests of the files a run writes besides its report: each is whole or absent,
// never written through a link or over an input or another output, and a report or file
// that cannot be written fails the run with one message. Every case checks that no other
// file changed and that no temporary file is left behind.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "night_support.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;

// Every entry below root: regular files by content, links by target, directories by "/",
// others (FIFOs) as "special".
std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        const std::string name = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            entries[name] = "-> " + fs::read_symlink(e.path()).string();
        else if (e.is_directory())
            entries[name] = "/";
        else if (e.is_regular_file())
            entries[name] = readFile(e.path().string());
        else
            entries[name] = "special";
    }
    return entries;
}

// Whether bytes are a whole PNG file: its signature first, its end chunk last.
bool wholePng(const std::string& bytes)
{
    static const std::string signature("\x89PNG\r\n\x1a\n", 8);
    static const std::string end("IEND\xae\x42\x60\x82", 8);
    return bytes.size() > 16 && bytes.compare(0, 8, signature) == 0 &&
           bytes.compare(bytes.size() - 8, 8, end) == 0;
}

// The scene of test_support.hpp, its table and a file of files naming test.fts; a
// target file outside the run, for links to point at.
void writeScene(const ScratchDirectory& d)
{
    writeStandardScene(d);
    writeFile(d.file("table.txt"), STANDARD_TABLE_LINE);
    writeFile(d.file("files.txt"), "test.fts\n");
    writeFile(d.file("target"), "not newstars' to write\n");
}

struct OutputCase {
    const char* name;
    std::function<void(const ScratchDirectory&)> plant; // more files before the run
    std::vector<std::string> arguments;
    int status;
    std::string message;              // in standard error, on one line; empty: no error
    std::vector<std::string> written; // entries the run makes or replaces (all others stay)
    std::string standardOutput = "";  // as ProgramOptions
    unsigned long fileSizeLimit = 0;
    bool readOnlyDirectory = false; // "ro" made, read-only, and the run made unprivileged
    int errorLines = 1;             // lines on standard error with a message
};

TEST(OutputFiles, AreWholeOrAbsentAndNeverReplaceOtherFiles)
{
    const auto link = [](const char* target, const char* name) {
        return [=](const ScratchDirectory& d) {
            ASSERT_EQ(symlink(target, d.file(name).c_str()), 0) << name;
        };
    };
    const auto file = [](const char* name, const char* text) {
        return [=](const ScratchDirectory& d) { writeFile(d.file(name), text); };
    };
    const std::vector<std::string> run = {"-f", "files.txt", "2", "table.txt"};
    const auto with = [&](std::vector<std::string> options) {
        options.insert(options.end(), run.begin(), run.end());
        return options;
    };
    const OutputCase cases[] = {
        // Sound runs: every output written, an old catalogue replaced.
        {"all outputs", nullptr, with({"--catalog", "c.ecsv", "--regions", "r.reg", "--stamps", "st"}),
         0, "", {"c.ecsv", "r.reg", "st", "st/test.fts_1.png"}},
        {"old catalogue replaced", file("c.ecsv", "old\n"), with({"--catalog", "c.ecsv"}), 0, "",
         {"c.ecsv"}},
        // A link at an output's name is replaced itself; its target stays.
        {"link at the catalogue", link("target", "c.ecsv"), with({"--catalog", "c.ecsv"}), 0, "",
         {"c.ecsv"}},
        {"link at a stamp",
         [](const ScratchDirectory& d) {
             fs::create_directory(d.file("st"));
             ASSERT_EQ(symlink("../target", d.file("st/test.fts_1.png").c_str()), 0);
         },
         with({"--stamps", "st"}), 0, "", {"st/test.fts_1.png"}},
        {"dangling link at the regions", link("nowhere/r.reg", "r.reg"),
         with({"--regions", "r.reg"}), 0, "", {"r.reg"}},
        // The report cannot be written: in both methods, nor the help.
        {"report to a full device", nullptr, run, 1, "standard output: No space left on device",
         {}, "/dev/full"},
        {"difference report to a full device", nullptr, with({"--method", "difference"}), 1,
         "standard output: No space left on device", {}, "/dev/full", 0, false, 2},
        {"help to a full device", nullptr, {"--help"}, 1, "standard output: ", {}, "/dev/full"},
        {"catalogue not written before a failed report", nullptr, with({"--catalog", "c.ecsv"}),
         1, "standard output: No space left on device", {}, "/dev/full"},
        // Files that cannot be written whole: no file, no temporary, status 1.
        {"catalogue past the size limit", nullptr, with({"--catalog", "c.ecsv"}), 1,
         "c.ecsv: File too large", {}, "", 1000},
        {"stamp past the size limit", nullptr, with({"--stamps", "st"}), 1,
         "st/test.fts_1.png: File too large", {"st"}, "", 200},
        {"stamps in a read-only directory", nullptr, with({"--stamps", "ro"}), 1,
         "ro: Permission denied", {}, "", 0, true},
        {"catalogue in a read-only directory", nullptr, with({"--catalog", "ro/c.ecsv"}), 1,
         "ro/c.ecsv: Permission denied", {}, "", 0, true},
        {"catalogue in a missing directory", nullptr, with({"--catalog", "none/c.ecsv"}), 1,
         "none/c.ecsv: No such file or directory", {}},
        {"catalogue is a directory", [](const ScratchDirectory& d) { fs::create_directory(d.file("c")); },
         with({"--catalog", "c"}), 1, "c: Is a directory", {}},
        {"regions is a FIFO",
         [](const ScratchDirectory& d) { ASSERT_EQ(mkfifo(d.file("r.reg").c_str(), 0644), 0); },
         with({"--regions", "r.reg"}), 1, "r.reg: not a regular file", {}},
        // Outputs that name an input or each other are refused before any image is read.
        {"catalogue and regions one file", file("c.ecsv", "old\n"),
         with({"--catalog", "c.ecsv", "--regions", "c.ecsv"}), 1,
         "--catalog c.ecsv and --regions c.ecsv name the same file", {}},
        {"catalogue and regions one new file", nullptr,
         with({"--catalog", "c.ecsv", "--regions", "./c.ecsv"}), 1,
         "--catalog c.ecsv and --regions ./c.ecsv name the same file", {}},
        {"regions a link to the catalogue", link("c.ecsv", "r.reg"),
         with({"--catalog", "c.ecsv", "--regions", "r.reg"}), 0, "", {"c.ecsv", "r.reg"}},
        {"catalogue is the test image", nullptr, with({"--catalog", "test.fts"}), 1,
         "--catalog test.fts names an input of the run, test.fts", {}},
        {"regions is the reference image", nullptr, with({"--regions", "./ref.fts"}), 1,
         "--regions ./ref.fts names an input of the run, ref.fts", {}},
        {"catalogue is the table", nullptr, with({"--catalog", "table.txt"}), 1,
         "--catalog table.txt names an input of the run, table.txt", {}},
        {"regions is the file of files", nullptr, with({"--regions", "files.txt"}), 1,
         "--regions files.txt names an input of the run, files.txt", {}},
        {"catalogue a hard link to the test image",
         [](const ScratchDirectory& d) {
             ASSERT_EQ(::link(d.file("test.fts").c_str(), d.file("c.ecsv").c_str()), 0);
         },
         with({"--catalog", "c.ecsv"}), 1, "--catalog c.ecsv names an input of the run, test.fts",
         {}},
        {"catalogue a link to the reference image", link("ref.fts", "c.ecsv"),
         with({"--catalog", "c.ecsv"}), 1, "--catalog c.ecsv names an input of the run, ref.fts",
         {}},
        {"stamp named like an input image",
         [](const ScratchDirectory& d) {
             fs::create_directory(d.file("st"));
             writeFile(d.file("st/test.fts_1.png"), readFile(d.file("ref.fts")));
             writeFile(d.file("table.txt"), std::string(STANDARD_TABLE_LINE) +
                                                "M32 1 1 1 1 st/test.fts_1.png\n");
         },
         with({"--stamps", "st"}), 1, "st/test.fts_1.png: names an input of the run", {}},
    };
    // The unprivileged user runs a copy of the program kept in the open scratch area (the
    // build tree may lie where only root can enter).
    ScratchDirectory programs;
    chmod(programs.path.c_str(), 0755);
    const std::string program = programs.file("newstars");
    writeFile(program, readFile(newstarsPath()));
    chmod(program.c_str(), 0755);

    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory d;
        writeScene(d);
        if (c.plant)
            c.plant(d);
        ProgramOptions options;
        options.directory = d.path;
        options.standardOutput = c.standardOutput;
        options.fileSizeLimit = c.fileSizeLimit;
        if (c.readOnlyDirectory) {
            chmod(d.path.c_str(), 0755);
            fs::create_directory(d.file("ro"));
            chmod(d.file("ro").c_str(), 0555);
            options.unprivileged = true;
        }
        const std::map<std::string, std::string> before = snapshot(d.path);
        std::vector<std::string> arguments = {program};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ProgramResult r = runProgram(arguments, options);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.message.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find(c.message), r.err.rfind(c.message)) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.errorLines) << r.err;
        }
        std::map<std::string, std::string> after = snapshot(d.path);
        for (const auto& [name, content] : after) {
            EXPECT_EQ(name.find(".part"), std::string::npos) << name << " left behind";
            const bool written =
                std::find(c.written.begin(), c.written.end(), name) != c.written.end();
            if (written) {
                EXPECT_EQ(content.rfind("-> ", 0), std::string::npos) << name << " still a link";
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
                    EXPECT_TRUE(wholePng(content)) << name;
                }
            } else {
                EXPECT_TRUE(before.count(name) == 1 && before.at(name) == content)
                    << name << " made or changed";
            }
        }
        for (const auto& [name, content] : before) {
            EXPECT_TRUE(after.count(name) == 1) << name << " removed";
        }
        for (const std::string& name : c.written) {
            if (c.status == 0) {
                EXPECT_EQ(after.count(name), 1u) << name << " not written";
            }
        }
        chmod(d.file("ro").c_str(), 0755);
    }
}

// A test image that cannot be searched fails a --strict run with status 3 (and only such a
// run); an implausible GAIN card refuses the image in the difference method.
TEST(OutputFiles, StrictRunsAndImplausibleGainsFailImagesAloud)
{
    const auto withGain = [](double value) {
        return [=](const ScratchDirectory& d) {
            TestImage test = skyImage("M31", 150, 0, {{150, 120}, {180, 120}});
            test.cards.push_back(realCard("GAIN", value));
            writeTestImage(d.file("test.fts"), test);
        };
    };
    const auto list = [](const char* names) {
        return [=](const ScratchDirectory& d) { writeFile(d.file("files.txt"), names); };
    };
    struct Case {
        const char* name;
        std::function<void(const ScratchDirectory&)> plant;
        std::vector<std::string> options;
        int status;
        std::string error; // standard error, whole
    };
    const std::string pipeline =
        "test.fts: difference imaging: too few bright isolated stars common to both images\n";
    const Case cases[] = {
        {"every image searched", nullptr, {"--strict"}, 0, ""},
        {"unreadable image", list("test.fts\nshort.fts\n"), {}, 0,
         "short.fts: FITS file is short\n"},
        {"unreadable image, strict", list("test.fts\nshort.fts\n"), {"--strict"}, 3,
         "short.fts: FITS file is short\nNEWSTARS: 1 of 2 test images could not be searched\n"},
        {"no reference, strict", list("noobject.fts\n"), {"--strict"}, 3,
         "noobject.fts: no OBJECT field\nNEWSTARS: 1 of 1 test images could not be searched\n"},
        {"difference failure, strict", nullptr, {"--strict", "--method", "difference"}, 3,
         pipeline + "NEWSTARS: 1 of 1 test images could not be searched\n"},
        {"tiny gain", withGain(1e-30), {"--method", "difference"}, 0,
         "test.fts: GAIN 1e-30 is not a plausible gain (0.001 to 1000 electrons per ADU)\n"},
        {"negative gain", withGain(-2.0), {"--method", "difference"}, 0,
         "test.fts: GAIN -2 is not a plausible gain (0.001 to 1000 electrons per ADU)\n"},
        {"huge gain", withGain(1e4), {"--method", "difference"}, 0,
         "test.fts: GAIN 10000 is not a plausible gain (0.001 to 1000 electrons per ADU)\n"},
        {"plausible gain", withGain(2.5), {"--method", "difference"}, 0, pipeline},
        {"gain not used by the catalogue method", withGain(1e-30), {}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory d;
        writeScene(d);
        if (c.plant)
            c.plant(d);
        std::vector<std::string> arguments = c.options;
        for (const char* word : {"-f", "files.txt", "2", "table.txt"})
            arguments.emplace_back(word);
        const ProgramResult r = runNewstars(d.path, arguments);
        EXPECT_EQ(r.status, c.status) << r.err;
        std::string error = c.error;
        for (size_t at = 0; (at = error.find("NEWSTARS")) != std::string::npos;)
            error.replace(at, 8, newstarsPath());
        EXPECT_EQ(r.err, error);
    }
}

TEST(OutputFiles, StopSignalWhileStampsAreWrittenLeavesWholeStampsOnly)
{
    // A night of four test images with some 110 candidates, searched one image at a time:
    // the signal comes while the first image's stamps are written (when a temporary file
    // is seen), or once some are there, and certainly before the last image.
    ScratchDirectory d;
    const ProgramResult made = runNightProgram(
        d.path, {SIMNIGHT_PATH, "--seed", "9", "--size", "768", "--objects", "2", "--images", "2",
                 "--cosmic", "80", "--tracks", "6", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(d.path.c_str()) != 0 || freopen("report.txt", "w", stdout) == nullptr ||
            freopen("errors.txt", "w", stderr) == nullptr)
            _exit(126);
        execl(NEWSTARS_PATH.c_str(), NEWSTARS_PATH.c_str(), "-j", "1", "--stamps", "st", "-f",
              "files.txt", "2", "table.txt", static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    for (bool stop = false; !stop;) {
        std::error_code ignored;
        size_t count = 0;
        for (fs::directory_iterator i(d.file("st"), ignored), end; !ignored && i != end;
             i.increment(ignored)) {
            ++count;
            stop = stop || i->path().extension() == ".part";
        }
        stop = stop || count >= 10 ||
               std::chrono::steady_clock::now() - start > std::chrono::seconds(60);
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
        << "the run ended before the signal, status " << status << "\n"
        << readFile(d.file("errors.txt"));
    // (The signal may come while the directory is tried, before any stamp.)
    for (const fs::directory_entry& e : fs::directory_iterator(d.file("st"))) {
        const std::string name = e.path().filename().string();
        EXPECT_EQ(name.find(".part"), std::string::npos) << name << " left behind";
        EXPECT_TRUE(wholePng(readFile(e.path().string()))) << name << " cut short";
    }
}

} // namespace
