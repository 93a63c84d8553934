// Pieces of a night's list: the K/N text and the ranges the pieces cover.

#include <gtest/gtest.h>

#include "search/night_piece.hpp"
#include "search/run.hpp"

using namespace newstars;

TEST(NightPiece, ReadsKOfNAndRefusesAnythingElse)
{
    struct Case {
        const char* text;
        int status, number, count;
    };
    const Case cases[] = {
        {"1/1", 0, 1, 1},        {"3/4", 0, 3, 4},
        {"007/10", 0, 7, 10},    {"1/1000000", 0, 1, 1000000},
        {"0/3", -1, 0, 0},       {"4/3", -1, 0, 0},
        {"1/1000001", -1, 0, 0}, {"1/99999999", -1, 0, 0},
        {"3", -1, 0, 0},         {"/3", -1, 0, 0},
        {"3/", -1, 0, 0},        {"+1/2", -1, 0, 0},
        {"1/-2", -1, 0, 0},      {" 1/2", -1, 0, 0},
        {"1/2 ", -1, 0, 0},      {"1/2/3", -1, 0, 0},
        {"", -1, 0, 0},
    };
    for (const Case& c : cases) {
        NightPiece piece{0, 0};
        std::string message;
        EXPECT_EQ(parseNightPiece(c.text, &piece, &message), c.status) << c.text;
        EXPECT_EQ(piece.number, c.number) << c.text;
        EXPECT_EQ(piece.count, c.count) << c.text;
        EXPECT_EQ(message.empty(), c.status == 0) << c.text;
    }
}

TEST(NightPiece, PiecesAreContiguousInOrderAndDifferByAtMostOne)
{
    for (size_t size = 0; size <= 12; ++size) {
        for (int count = 1; count <= 14; ++count) {
            size_t next = 0, smallest = size, largest = 0;
            for (int k = 1; k <= count; ++k) {
                size_t begin = 0, end = 0;
                nightPieceRange(size, {k, count}, &begin, &end);
                EXPECT_EQ(begin, next) << size << " " << k << "/" << count;
                EXPECT_LE(begin, end) << size << " " << k << "/" << count;
                // The larger pieces come first.
                EXPECT_GE(smallest, end - begin) << size << " " << k << "/" << count;
                smallest = std::min(smallest, end - begin);
                largest = std::max(largest, end - begin);
                next = end;
            }
            EXPECT_EQ(next, size) << size << " in " << count;
            EXPECT_LE(largest - smallest, 1u) << size << " in " << count;
        }
    }
    size_t begin = 0, end = 0;
    nightPieceRange(SIZE_MAX, {MAX_NIGHT_PIECES, MAX_NIGHT_PIECES}, &begin, &end);
    EXPECT_EQ(end, SIZE_MAX);
    EXPECT_EQ(end - begin, SIZE_MAX / MAX_NIGHT_PIECES);
}

TEST(NightPiece, PartOptionIsTakenOnlyAsTheFirstArgument)
{
    struct Case {
        std::vector<std::string> args;
        int status, used, number;
    };
    const Case cases[] = {
        {{"newstars", "--part", "2/3", "-f", "files.txt", "2", "table.txt"}, 0, 2, 2},
        {{"newstars", "--part=3/3", "2", "table.txt", "a.fts"}, 0, 1, 3},
        {{"newstars", "-f", "--part", "2/3"}, 0, 0, 1},
        {{"newstars", "--partial", "2", "table.txt"}, 0, 0, 1},
        {{"newstars", "--part", "4/3", "-f", "files.txt", "2", "table.txt"}, -1, 0, 1},
        {{"newstars", "--part="}, -1, 0, 1},
        {{"newstars", "--part"}, -1, 0, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> copies = c.args;
        std::vector<char*> argv;
        for (std::string& a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        NightPiece piece;
        int used = -1;
        std::string message;
        EXPECT_EQ(
            takePartOption(static_cast<int>(c.args.size()), argv.data(), &piece, &used, &message),
            c.status)
            << c.args[1];
        EXPECT_EQ(used, c.used) << c.args[1];
        EXPECT_EQ(piece.number, c.number) << c.args[1];
    }
}

TEST(NightPiece, PieceLineReadsBackAndRefusesAnythingElse)
{
    const std::string line = pieceLine({7, 12}, 0x0123456789abcdefull);
    EXPECT_EQ(line, "# newstars piece 7/12 of night 0123456789abcdef\n");
    struct Case {
        std::string text;
        int status, number, count;
        uint64_t fingerprint;
    };
    const Case cases[] = {
        {line.substr(0, line.size() - 1), 0, 7, 12, 0x0123456789abcdefull},
        {"# newstars piece 1/1 of night 0000000000000000", 0, 1, 1, 0},
        {"# newstars piece 1/1000000 of night ffffffffffffffff", 0, 1, 1000000, ~0ull},
        {line, -1, 0, 0, 0}, // line end kept
        {"# newstars piece 7/12 of night 0123456789ABCDEF", -1, 0, 0, 0},
        {"# newstars piece 7/12 of night 0123456789abcde", -1, 0, 0, 0},
        {"# newstars piece 7/12 of night 0123456789abcdef0", -1, 0, 0, 0},
        {"# newstars piece 13/12 of night 0123456789abcdef", -1, 0, 0, 0},
        {"# newstars piece 7 of night 0123456789abcdef", -1, 0, 0, 0},
        {"# newstars piece 7/12 night 0123456789abcdef", -1, 0, 0, 0},
        {"newstars piece 7/12 of night 0123456789abcdef", -1, 0, 0, 0},
        {"M31          ref.fts      a.fts        2026-12-07 01:02:03   1   2   2", -1, 0, 0, 0},
        {"", -1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        NightPiece piece{0, 0};
        uint64_t fingerprint = 0;
        EXPECT_EQ(parsePieceLine(c.text, &piece, &fingerprint), c.status) << c.text;
        EXPECT_EQ(piece.number, c.number) << c.text;
        EXPECT_EQ(piece.count, c.count) << c.text;
        EXPECT_EQ(fingerprint, c.fingerprint) << c.text;
    }
}

TEST(NightPiece, FingerprintFollowsTheListInOrderAndTheSettings)
{
    const std::vector<std::string> list = {"a.fts", "b.fts", "c.fts"};
    const uint64_t base = nightFingerprint(list, "tolerance 2");
    EXPECT_EQ(nightFingerprint(list, "tolerance 2"), base);
    struct Case {
        const char* what;
        std::vector<std::string> names;
        const char* settings;
    };
    const Case cases[] = {
        {"order", {"b.fts", "a.fts", "c.fts"}, "tolerance 2"},
        {"one name less", {"a.fts", "b.fts"}, "tolerance 2"},
        {"one name more", {"a.fts", "b.fts", "c.fts", "c.fts"}, "tolerance 2"},
        {"names joined differently", {"a.ftsb.fts", "", "c.fts"}, "tolerance 2"},
        {"settings", {"a.fts", "b.fts", "c.fts"}, "tolerance 3"},
        {"settings moved into a name", {"a.fts", "b.fts", "c.ftstolerance 2"}, ""},
        {"no names", {}, "tolerance 2"},
    };
    for (const Case& c : cases)
        EXPECT_NE(nightFingerprint(c.names, c.settings), base) << c.what;
}
