// End-to-end: difference imaging on simulated nights whose reference headers are turned or
// shifted, or whose fields hold few stars. Every image registers, the catalogue's header
// says how, and one message on standard error names each image registered on less than
// the full star fit or on coordinates far off the stars.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// The value of field name (e.g. "registration") of each image entry of a difference
// catalogue's header, in order.
std::vector<std::string> entryField(const std::string& catalog, const std::string& name)
{
    std::vector<std::string> values;
    std::istringstream in(catalog);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#   - {", 0) != 0)
            continue;
        const size_t at = line.find(", " + name + ": ");
        if (at == std::string::npos) {
            values.push_back("?");
            continue;
        }
        const size_t from = at + name.size() + 4;
        values.push_back(line.substr(from, line.find_first_of(",}", from) - from));
    }
    return values;
}

// The candidate lines of a report (after the form feed). The summary lines differ where the
// reference's header is wrong: its stars in the box are counted through that header.
std::string candidateLines(const std::string& report)
{
    const size_t at = report.find("\f\n");
    return at == std::string::npos ? "?" : report.substr(at);
}

int countLines(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(RegistrationRun, TurnedOrShiftedHeadersAndFewStarsRegister)
{
    struct Case {
        std::vector<std::string> night; // simnight options beyond the common ones
        const char* registration;       // of both test images
        const char* message;            // on standard error, once per test image ("" none)
        bool sameAsTrueHeaders;         // the candidates are those with true headers
    };
    const Case cases[] = {
        {{}, "'affine'", "", true},
        {{"--header-turn", "1"}, "'affine'", "", true},
        {{"--header-turn", "3"}, "'affine'", "the world coordinates lie ", true},
        {{"--header-turn", "-5"}, "'affine'", "the world coordinates lie ", true},
        {{"--header-offset", "6"}, "'affine'", "", true},
        {{"--stars", "30"}, "'shift'", "too few stars for an affine registration", false},
        {{"--stars", "30", "--header-offset", "-7"}, "'shift'",
         "too few stars for an affine registration", false},
    };
    std::string trueReport, fewStarsReport;
    for (const Case& c : cases) {
        ScratchDirectory night;
        ASSERT_FALSE(night.path.empty());
        std::vector<std::string> make = {SIMNIGHT_PATH, "--seed",   "3",  "--size", "512",
                                         "--objects",   "1",        "--images", "2",
                                         "--no-fpack",  "--out",    "."};
        make.insert(make.end(), c.night.begin(), c.night.end());
        const ProgramResult made = runNightProgram(night.path, make);
        ASSERT_EQ(made.status, 0) << made.err;
        const ProgramResult run =
            // Without the background's residue: fitted around the masks the mapping leaves
            // at the edges, it moves detections at the threshold by a hair.
            runNightProgram(night.path,
                            {NEWSTARS_PATH, "--method", "difference", "--background-cell", "0",
                             "--catalog", "c.ecsv", "-f", "files.txt", "2", "table.txt"});
        const std::string what = c.night.empty() ? "true headers" : c.night[0] + c.night[1];
        ASSERT_EQ(run.status, 0) << what << run.err;
        const std::string catalog = readFile(night.path + "/c.ecsv");
        const std::vector<std::string> kinds = entryField(catalog, "registration");
        EXPECT_EQ(kinds, std::vector<std::string>(2, c.registration)) << what << "\n" << catalog;
        if (*c.message == '\0') {
            EXPECT_EQ(run.err, "") << what;
        } else {
            EXPECT_EQ(countLines(run.err, c.message), 2) << what << "\n" << run.err;
            EXPECT_EQ(countLines(run.err, "\n"), 2) << what << "\n" << run.err;
            EXPECT_EQ(countLines(run.err, "FLD01_1.fts: "), 1) << what << "\n" << run.err;
        }
        const std::string candidates = candidateLines(run.out);
        if (c.night.empty()) {
            trueReport = candidates;
        } else if (c.sameAsTrueHeaders) {
            EXPECT_EQ(candidates, trueReport) << what;
        }
        // A shifted header with few stars gives what the true one gives.
        if (c.night.size() == 2 && c.night[0] == "--stars") {
            fewStarsReport = candidates;
        } else if (c.night.size() == 4) {
            EXPECT_EQ(candidates, fewStarsReport) << what;
        }
    }
}

} // namespace
