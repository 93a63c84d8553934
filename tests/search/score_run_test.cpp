// End-to-end: the difference method's detection score in the catalogue and --min-score on
// a small simulated night with cosmic rays; the same bytes at -j 1 and -j 2.

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

struct ScoredRow {
    double score = 0;
    bool kept = false;
    std::string reasons;
};

// The rows of a difference catalogue: its score, verdict and reasons columns.
std::vector<ScoredRow> readScoredRows(const std::string& text)
{
    std::vector<ScoredRow> rows;
    std::istringstream in(text);
    std::string line;
    int score = -1, verdict = -1, reasons = -1;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (char c : line) {
            if (c == '"')
                quoted = !quoted;
            else if (c == ',' && !quoted)
                fields.emplace_back();
            else
                fields.back() += c;
        }
        if (score < 0) {
            for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
                score = fields[i] == "score" ? i : score;
                verdict = fields[i] == "verdict" ? i : verdict;
                reasons = fields[i] == "reasons" ? i : reasons;
            }
            if (score < 0 || verdict < 0 || reasons < 0)
                return {};
            continue;
        }
        ScoredRow r;
        r.score = std::strtod(fields.at(score).c_str(), nullptr);
        r.kept = fields.at(verdict) == "kept";
        r.reasons = fields.at(reasons);
        rows.push_back(r);
    }
    return rows;
}

TEST(ScoreRun, MinScoreFiltersAndScoresDoNotDependOnThreads)
{
    ScratchDirectory night;
    ASSERT_FALSE(night.path.empty());
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "9", "--size", "384", "--objects", "1", "--images",
                     "2", "--inject", "5", "--cosmic", "60", "--compact-cosmic", "20",
                     "--seeing-mix", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const auto run = [&](std::vector<std::string> options, const std::string& catalogue) {
        options.insert(options.begin(), NEWSTARS_PATH);
        for (const char* word : {"--method", "difference", "--catalog"})
            options.emplace_back(word);
        options.push_back(catalogue);
        for (const char* word : {"-f", "files.txt", "2", "table.txt"})
            options.emplace_back(word);
        return runNightProgram(night.path, options);
    };
    const ProgramResult one = run({"-j", "1"}, "one.ecsv");
    const ProgramResult two = run({"-j", "2"}, "two.ecsv");
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(one.out, two.out);
    const std::string catalogue = readFile(night.file("one.ecsv"));
    EXPECT_EQ(readFile(night.file("two.ecsv")), catalogue);
    const std::vector<ScoredRow> rows = readScoredRows(catalogue);
    ASSERT_FALSE(rows.empty()) << catalogue;

    // Each least score keeps exactly the rows at or above it among those the shape tests
    // keep; the rows below it name "score" among their reasons.
    const double leasts[] = {0, 0.5, 0.9, 1};
    const char* const names[] = {"0", "0.5", "0.9", "1"};
    const char* const files[] = {"s0.ecsv", "s1.ecsv", "s2.ecsv", "s3.ecsv"};
    int previous = -1;
    for (size_t i = 0; i < std::size(leasts); ++i) {
        const std::string file = files[i];
        const ProgramResult r = run({"--min-score", names[i]}, file);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<ScoredRow> scored = readScoredRows(readFile(night.file(file)));
        ASSERT_EQ(scored.size(), rows.size()) << names[i];
        int kept = 0;
        for (size_t k = 0; k < scored.size(); ++k) {
            const ScoredRow& s = scored[k];
            EXPECT_EQ(s.score, rows[k].score) << k; // the score does not depend on the least
            EXPECT_GE(s.score, 0) << k;
            EXPECT_LE(s.score, 1) << k;
            const bool low = leasts[i] > 0 && s.score < leasts[i];
            EXPECT_EQ(s.reasons.find("score") != std::string::npos, low) << k << " " << s.reasons;
            if (s.kept) {
                ++kept;
                EXPECT_GE(s.score, leasts[i]) << k;
            }
        }
        if (previous >= 0) {
            EXPECT_LE(kept, previous) << names[i];
        }
        previous = kept;
        if (leasts[i] == 0) {
            EXPECT_GT(kept, 0);
        }
        if (leasts[i] == 0.5) { // the default
            const ProgramResult byDefault = run({}, "default.ecsv");
            EXPECT_EQ(byDefault.out, r.out);
            EXPECT_EQ(readFile(night.file("default.ecsv")), readFile(night.file(file)));
        }
    }

    const char* bad[] = {"-0.1", "1.5", "x", "nan", ""};
    for (const char* value : bad) {
        const ProgramResult r = runProgram({NEWSTARS_PATH, "--min-score", value, "2", "t", "a"});
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_NE(r.err.find("--min-score"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

} // namespace
