// End-to-end tests of vetting in the search, on a simulated night with cosmic-ray tracks,
// hot pixels and stars saturated in the reference only: the report is unchanged by the
// output options, --vet leaves out exactly the rejected candidates, the catalogue, region
// file and stamps hold one entry per candidate, and the false candidates fall.

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// Summary lines and candidate lines of a report.
struct Report {
    std::vector<std::string> summaries, candidates;
};

Report splitReport(const std::string& text)
{
    Report r;
    std::istringstream in(text);
    std::string line;
    bool after = false;
    while (std::getline(in, line)) {
        if (line == "\f")
            after = true;
        else if (!after)
            r.summaries.push_back(line);
        else if (!line.empty())
            r.candidates.push_back(line);
    }
    return r;
}

// The last count of a summary line.
int candidateCount(const std::string& summary)
{
    return std::stoi(summary.substr(summary.find_last_of(' ') + 1));
}

// Catalogue rows (lines after the "#" lines and the column names) and their verdicts.
std::vector<std::string> catalogueRows(const std::string& text, int* kept)
{
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> rows;
    bool names = false;
    *kept = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (!names) {
            names = true;
            continue;
        }
        rows.push_back(line);
        *kept += line.find(",kept,") != std::string::npos ? 1 : 0;
    }
    return rows;
}

class VetRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        night = new ScratchDirectory;
        const ProgramResult made = runNightProgram(
            night->path, {SIMNIGHT_PATH, "--seed",          "9", "--size",   "768", "--objects",
                          "2",           "--images",        "2", "--cosmic", "80",  "--tracks",
                          "6",           "--saturated-ref", "4", "--pairs",  "3",   "--causes",
                          "--no-fpack",  "--out",           "."});
        ASSERT_EQ(made.status, 0) << made.err;
        plain = new ProgramResult(
            runNightProgram(night->path, {NEWSTARS_PATH, "-f", "files.txt", "2", "table.txt"}));
        ASSERT_EQ(plain->status, 0) << plain->err;
    }
    static void TearDownTestSuite()
    {
        delete plain;
        delete night;
    }
    static ScratchDirectory* night;
    static ProgramResult* plain;
};
ScratchDirectory* VetRun::night = nullptr;
ProgramResult* VetRun::plain = nullptr;

TEST_F(VetRun, OutputOptionsLeaveTheReportAsItIs)
{
    const ProgramResult r =
        runNightProgram(night->path, {NEWSTARS_PATH, "--catalog", "c.ecsv", "--regions", "r.reg",
                                      "--stamps", "stamps", "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, plain->out);
    EXPECT_EQ(r.err, plain->err);

    const Report report = splitReport(plain->out);
    int kept = 0;
    const std::vector<std::string> rows = catalogueRows(readFile(night->file("c.ecsv")), &kept);
    ASSERT_EQ(rows.size(), report.candidates.size());
    EXPECT_LT(kept, static_cast<int>(rows.size()));

    std::istringstream regions(readFile(night->file("r.reg")));
    std::string line;
    int circles = 0;
    while (std::getline(regions, line))
        circles += line.rfind("circle(", 0) == 0 ? 1 : 0;
    EXPECT_EQ(circles, static_cast<int>(rows.size()));

    // One stamp per candidate, named by test image and number within it.
    int stamps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(night->file("stamps"))) {
        EXPECT_EQ(entry.path().extension(), ".png") << entry.path();
        ++stamps;
    }
    EXPECT_EQ(stamps, static_cast<int>(rows.size()));
    EXPECT_TRUE(std::filesystem::exists(night->file("stamps/FLD01_1.fts_1.png")));
}

TEST_F(VetRun, VetLeavesOutExactlyTheRejectedCandidates)
{
    const ProgramResult r =
        runNightProgram(night->path, {NEWSTARS_PATH, "--vet", "--catalog", "c2.ecsv", "-f",
                                      "files.txt", "2", "table.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Report all = splitReport(plain->out), vetted = splitReport(r.out);
    int kept = 0;
    const std::vector<std::string> rows = catalogueRows(readFile(night->file("c2.ecsv")), &kept);
    ASSERT_EQ(rows.size(), all.candidates.size());
    EXPECT_EQ(static_cast<int>(vetted.candidates.size()), kept);
    // Kept lines keep their order; summaries differ in the last count only (" %3d").
    size_t at = 0;
    for (const std::string& line : vetted.candidates) {
        while (at < all.candidates.size() && all.candidates[at] != line)
            ++at;
        EXPECT_LT(at, all.candidates.size()) << line;
    }
    ASSERT_EQ(vetted.summaries.size(), all.summaries.size());
    int total = 0;
    for (size_t i = 0; i < all.summaries.size(); ++i) {
        const std::string& s = vetted.summaries[i];
        ASSERT_GT(s.size(), 4u);
        EXPECT_EQ(s.substr(0, s.size() - 4),
                  all.summaries[i].substr(0, all.summaries[i].size() - 4));
        total += candidateCount(s);
    }
    EXPECT_EQ(total, kept);

    // The night's truth: false candidates fall at least fivefold and no injected source of
    // 10 sigma or more that the plain report finds is rejected.
    const ProgramResult score = runNightProgram(
        night->path, {SIMNIGHT_PATH, "recover", "--catalog", "c2.ecsv", "truth.txt", "causes.txt"});
    ASSERT_EQ(score.status, 0) << score.err;
    std::istringstream table(score.out);
    std::string line;
    int falseKept = -1, falseRejected = -1, brightRejected = -1;
    while (std::getline(table, line)) {
        std::sscanf(line.c_str(), "false (all) %d %d", &falseKept, &falseRejected);
        std::sscanf(line.c_str(), "injected sources >= 10 sigma found: %*d, of them rejected: %d",
                    &brightRejected);
    }
    EXPECT_GE(falseKept + falseRejected, 20) << score.out;
    EXPECT_LE(5 * falseKept, falseKept + falseRejected) << score.out;
    EXPECT_EQ(brightRejected, 0) << score.out;
}

TEST_F(VetRun, HelpListsEveryOptionAndBadOptionsAreRefused)
{
    const ProgramResult help = runNightProgram(night->path, {NEWSTARS_PATH, "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--vet", "--catalog", "--regions", "--stamps", "--sharp", "--elongation",
          "--reference-snr", "--brightening", "--saturation-fwhm", "--help", "--version", "-f",
          "--tolerance", "--match", " pair "})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const ProgramResult version = runNightProgram(night->path, {NEWSTARS_PATH, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("newstars ", 0), 0u) << version.out;

    const std::vector<std::vector<std::string>> bad = {
        {"--sharp", "x"}, {"--sharp", "-1"}, {"--brightening", "inf"},
        {"--catalog="},   {"--bogus"},       {"--vet=1"}};
    for (const auto& options : bad) {
        std::vector<std::string> argv = {NEWSTARS_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        for (const char* a : {"-f", "files.txt", "2", "table.txt"})
            argv.emplace_back(a);
        const ProgramResult r = runNightProgram(night->path, argv);
        EXPECT_EQ(r.status, 1) << options[0];
        EXPECT_EQ(r.out, "") << options[0];
        EXPECT_NE(r.err.find("--help"), std::string::npos) << options[0] << r.err;
    }
}

// Runs newstars in directory with standard output and standard error on a terminal and
// returns what the terminal received.
std::string terminalError(const std::string& directory, const std::vector<std::string>& arguments)
{
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(directory.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string text;
    if (pid < 0)
        return text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(terminal, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        text.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    return text;
}

TEST_F(VetRun, ProgressShowsOnATerminalOnly)
{
    const std::string shown =
        terminalError(night->path, {NEWSTARS_PATH, "-f", "files.txt", "2", "table.txt"});
    for (const char* step : {"\rnewstars: 0/4 FLD01_1.fts", "\rnewstars: 3/4 FLD02_2.fts"})
        EXPECT_NE(shown.find(step), std::string::npos) << step << "\n" << shown;
    // Each summary line comes whole, after the progress line has been blanked (the
    // terminal turns line ends into carriage return and line feed).
    const Report report = splitReport(plain->out);
    for (const std::string& summary : report.summaries)
        EXPECT_NE(shown.find(" \r" + summary + "\r\n"), std::string::npos) << summary << shown;
    // Through a pipe, as in every other test, nothing of it.
    EXPECT_EQ(plain->err, "");
}

} // namespace
