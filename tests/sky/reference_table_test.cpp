// The reference table: splitting lines, object names, and the lookup of entries.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "sky/reference_table.hpp"

using namespace newstars;

static const double PI = 3.141592653589793;

TEST(SplitFields, SplitsOnRunsOfWhiteSpace)
{
    struct Case {
        const char* line;
        int count;
        std::vector<std::string> fields; // the first six
    };
    const Case cases[] = {
        {"a b c d e f\n", 6, {"a", "b", "c", "d", "e", "f"}},
        {"a\tb  c \t d\ve\rf\f", 6, {"a", "b", "c", "d", "e", "f"}},
        {"a b c d e", 5, {"a", "b", "c", "d", "e"}},
        {"a b c d e f g\n", 7, {"a", "b", "c", "d", "e", "f"}},
        {"one", 1, {"one"}},
        {"", 1, {""}},
        {" lead", 2, {"", "lead"}},
    };
    for (const Case& c : cases) {
        char line[64];
        std::strcpy(line, c.line);
        char* starts[6] = {};
        EXPECT_EQ(splitFields(line, starts), c.count) << c.line;
        for (size_t i = 0; i < c.fields.size(); ++i)
            EXPECT_STREQ(starts[i], c.fields[i].c_str()) << c.line << " field " << i;
        EXPECT_STREQ(line, c.fields[0].c_str()) << c.line;
    }
}

TEST(FindReferenceEntry, ConvertsTheSkyBox)
{
    const double pi = 3.141592653589793;
    char text[] = "# comment\nNGC1 1 2 3 4 other.fts\nm31 12:30 0:30:00 12.0 -0:30:00 dir/ref.fts\n"
                  "M31 1 2 3 4 second.fts\n";
    FILE* table = fmemopen(text, std::strlen(text), "r");
    ASSERT_NE(table, nullptr);
    SearchBox box;
    ReferenceEntry entry;
    std::string message;
    ASSERT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), SkyStatus::Ok);
    EXPECT_EQ(entry.objectName, "m31");
    EXPECT_EQ(entry.referenceName, "dir/ref.fts");
    EXPECT_EQ(box.ERA, 12.5 * 15 * pi / 180);
    EXPECT_EQ(box.WRA, 12.0 * 15 * pi / 180);
    EXPECT_EQ(box.NDec, 0.5 * pi / 180);
    EXPECT_EQ(box.SDec, -0.5 * pi / 180);
    EXPECT_EQ(box.cosMidDec, 1.0);
    // The next call goes on after the returned line.
    ASSERT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), SkyStatus::Ok);
    EXPECT_EQ(entry.referenceName, "second.fts");
    EXPECT_EQ(box.NDec, 2 * pi / 180);
    SearchBox untouched = box;
    EXPECT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), SkyStatus::EndOfTable);
    EXPECT_EQ(box.NDec, untouched.NDec);
    EXPECT_EQ(message, "");
    std::fclose(table);
}

TEST(FindReferenceEntry, RefusesAMalformedTable)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"NGC1 1 2 3 4\nM31 1 2 3 4 ref.fts\n", "Ref file line must contain 6 fields: NGC1"},
        {"M31 1 2 3 4 ref.fts extra\n", "Ref file line must contain 6 fields: M31"},
        {"M31 x 2 3 4 ref.fts\n", "Bad ERA for M31: x\n"},
        {"M31 1 2 3 1e999 ref.fts\n", "Bad SDec for M31: 1e999\n"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        FILE* table = fmemopen(text.data(), text.size(), "r");
        ASSERT_NE(table, nullptr);
        SearchBox box;
        box.NDec = 7;
        ReferenceEntry entry;
        std::string message;
        EXPECT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message),
                  SkyStatus::MalformedTable)
            << c.text;
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(box.NDec, 7) << c.text;
        EXPECT_EQ(entry.referenceName, "") << c.text;
        std::fclose(table);
    }
}

TEST(SameObjectName, IgnoresLetterCaseAndBlanks)
{
    struct Case {
        const char *a, *b;
        bool same;
    };
    const Case cases[] = {
        {"M31", "M31", true},
        {"M31", "m31", true},
        {"NGC1316", "NGC 1316", true},
        {"ngc1316", " NGC 13 16 ", true},
        {"", "", true},
        {"", "  ", true},
        {"M31", "M3", false},
        {"M3", "M31", false},
        {"M31", "M31a", false},
        {"NGC1316", "NGC1316\t", false},
        {"IC_1", "IC-1", false},
        {"\xc4x", "\xe4x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sameObjectName(c.a, c.b), c.same) << "'" << c.a << "' '" << c.b << "'";
        EXPECT_EQ(sameObjectName(c.b, c.a), c.same) << "'" << c.b << "' '" << c.a << "'";
    }
}

TEST(InSearchBox, BoundsAreInclusiveAfterTheMargin)
{
    const SearchBox box{1.0, 0.5, 0.8, 0.3, std::cos(0.4)};
    const double margin = 0.01;
    struct Case {
        double ra, dec, margin;
        bool expected;
    };
    const Case cases[] = {
        {0.9, 0.4, 0, true},
        {0.8, 0.3, 0, true}, // corners are inside
        {1.0, 0.5, 0, true},
        {std::nextafter(0.8, 0.0), 0.4, 0, false},
        {std::nextafter(1.0, 2.0), 0.4, 0, false},
        {0.9, std::nextafter(0.3, 0.0), 0, false},
        {0.9, std::nextafter(0.5, 1.0), 0, false},
        {0.8 + margin, 0.4, margin, true},
        {std::nextafter(0.8 + margin, 0.0), 0.4, margin, false},
        {1.0 - margin, 0.4, margin, true},
        {std::nextafter(1.0 - margin, 2.0), 0.4, margin, false},
        {0.9, 0.3 + margin, margin, true},
        {0.9, std::nextafter(0.3 + margin, 0.0), margin, false},
        {0.9, 0.5 - margin, margin, true},
        {0.9, std::nextafter(0.5 - margin, 1.0), margin, false},
        {NAN, 0.4, 0, false},
        {0.9, NAN, 0, false},
        {0.9, 0.4, NAN, false},
        {0.9, 0.4, INFINITY, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(inSearchBox(&box, c.ra, c.dec, c.margin), c.expected)
            << c.ra << " " << c.dec << " " << c.margin;
}

TEST(InSearchBox, BoxWithItsWestEdgeEastOfItsEastEdgeCrossesZeroHours)
{
    // 23h to 1h of right ascension.
    const double west = 23 * PI / 12, east = PI / 12;
    const SearchBox box{east, 0.5, west, 0.3, std::cos(0.4)};
    const double margin = 0.01;
    struct Case {
        double ra, margin;
        bool expected;
    };
    const Case cases[] = {
        {0, 0, true},
        {0.1, 0, true},
        {6.2, 0, true},
        {west, 0, true}, // both edges are inside
        {east, 0, true},
        {std::nextafter(west, 0.0), 0, false},
        {std::nextafter(east, 1.0), 0, false},
        {PI, 0, false},  // 12h, the other side of the sky
        {-0.1, 0, true}, // whole turns do not matter
        {2 * PI + 0.1, 0, true},
        {4 * PI + 0.1, 0, true},
        {2 * PI + 1, 0, false},
        {west + 0.5 * margin, margin, false},
        {west + 1.5 * margin, margin, true},
        {east - 1.5 * margin, margin, true},
        {east - 0.5 * margin, margin, false},
        {0, INFINITY, false},
        {NAN, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inSearchBox(&box, c.ra, 0.4, c.margin), c.expected) << c.ra << " " << c.margin;
        EXPECT_FALSE(inSearchBox(&box, c.ra, 0.6, c.margin)) << c.ra << " " << c.margin;
    }
    // A margin of 0.1 that moves an edge past 0h leaves one side of it.
    struct Edge {
        double westRa, eastRa, ra;
        bool expected;
    };
    const Edge edges[] = {
        {2 * PI - 0.05, 0.5, 0.06, true}, // west edge moved to 0.05
        {2 * PI - 0.05, 0.5, 0.04, false},
        {2 * PI - 0.05, 0.5, 6.25, false},
        {2 * PI - 0.05, 0.5, 0.41, false},
        {5.5, 0.05, 6.2, true}, // east edge moved back to 2 pi - 0.05
        {5.5, 0.05, 6.25, false},
        {5.5, 0.05, 0.01, false},
        {5.5, 0.05, 5.59, false},
        {6.2, 0.1, 0, false}, // narrower than twice the margin
    };
    for (const Edge& e : edges) {
        const SearchBox narrow{e.eastRa, 0.5, e.westRa, 0.3, std::cos(0.4)};
        EXPECT_EQ(inSearchBox(&narrow, e.ra, 0.4, 0.1), e.expected)
            << e.westRa << " " << e.eastRa << " " << e.ra;
    }
}

TEST(FindReferenceEntry, SaysWhenTheTableCannotBeRead)
{
    char text[64] = {};
    FILE* table = fmemopen(text, sizeof text, "w"); // a stream that cannot be read
    ASSERT_NE(table, nullptr);
    SearchBox box;
    box.NDec = 7;
    ReferenceEntry entry;
    std::string message;
    EXPECT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), SkyStatus::UnreadableTable);
    EXPECT_EQ(message.rfind("Can not read the reference table: ", 0), 0u) << message;
    EXPECT_EQ(box.NDec, 7);
    std::fclose(table);
}

TEST(SkyStatusText, NamesEveryStatus)
{
    const SkyStatus statuses[] = {SkyStatus::Ok, SkyStatus::NotANumber, SkyStatus::EndOfTable,
                                  SkyStatus::MalformedTable, SkyStatus::UnreadableTable};
    std::set<std::string> texts;
    for (const SkyStatus status : statuses)
        texts.insert(skyStatusText(status));
    EXPECT_EQ(texts.size(), std::size(statuses));
    EXPECT_EQ(texts.count("unknown sky status"), 0u);
    EXPECT_STREQ(skyStatusText(static_cast<SkyStatus>(99)), "unknown sky status");
}
