// The reference table: splitting lines, and the lookup through the built program.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "search/reference_table.hpp"
#include "test_support.hpp"

using namespace newstars;

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
    ASSERT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), 0);
    EXPECT_EQ(entry.objectName, "m31");
    EXPECT_EQ(entry.referenceName, "dir/ref.fts");
    EXPECT_EQ(box.ERA, 12.5 * 15 * pi / 180);
    EXPECT_EQ(box.WRA, 12.0 * 15 * pi / 180);
    EXPECT_EQ(box.NDec, 0.5 * pi / 180);
    EXPECT_EQ(box.SDec, -0.5 * pi / 180);
    EXPECT_EQ(box.cosMidDec, 1.0);
    // The next call goes on after the returned line.
    ASSERT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), 0);
    EXPECT_EQ(entry.referenceName, "second.fts");
    EXPECT_EQ(box.NDec, 2 * pi / 180);
    SearchBox untouched = box;
    EXPECT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), -1);
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
        EXPECT_EQ(findReferenceEntry(table, "M31", &box, &entry, &message), -2) << c.text;
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(box.NDec, 7) << c.text;
        EXPECT_EQ(entry.referenceName, "") << c.text;
        std::fclose(table);
    }
}

// text followed by blanks up to length characters.
static std::string padded(const std::string& text, size_t length)
{
    std::string line = text;
    line.resize(length, ' ');
    return line;
}

TEST(ReferenceTable, LookupThroughTheProgram)
{
    struct Case {
        const char* name;
        std::string table;
        std::vector<std::string> images;
        std::string out; // before the form feed line
        std::string err;
        int status;
    };
    const std::string line2 = "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref2.fts\n";
    const std::string usesRef2 =
        "M31          ref2.fts     test.fts     2026-12-07 01:02:03   1   2   1\n";
    const std::string summary = STANDARD_SUMMARY;
    const Case cases[] = {
        {"comment, indented and empty lines are ignored",
         "# M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref2.fts\n"
         " M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref2.fts\n"
         "\tM31 10:00:30 0:01:00 9:59:30 -0:01:00 ref2.fts\n\n;\n*x\n" +
             std::string(STANDARD_TABLE_LINE),
         {"test.fts"},
         summary,
         "",
         0},
        {"tabs and several blanks separate fields",
         "M31\t10:00:30   0:01:00 \t9:59:30\t-0:01:00  ref.fts  \n",
         {"test.fts"},
         summary,
         "",
         0},
        {"five fields end the run",
         "M31 10:00:30 0:01:00 9:59:30 ref.fts\n",
         {"test.fts"},
         "",
         "Ref file line must contain 6 fields: M31",
         1},
        {"seven fields of another object end the run",
         "NGC1 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts extra\n" +
             std::string(STANDARD_TABLE_LINE),
         {"test.fts"},
         "",
         "Ref file line must contain 6 fields: NGC1",
         1},
        {"a malformed line after the matching one goes unnoticed",
         std::string(STANDARD_TABLE_LINE) + "bad line\n",
         {"test.fts"},
         summary,
         "",
         0},
        {"upper-case table name matches a lower-case OBJECT",
         STANDARD_TABLE_LINE,
         {"lower.fts"},
         "m31          ref.fts      lower.fts    2026-12-07 01:02:03   1   2   1\n",
         "",
         0},
        {"lower-case table name matches an upper-case OBJECT",
         "m31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n",
         {"test.fts"},
         summary,
         "",
         0},
        {"a bad field of another object goes unnoticed",
         "NGC1 xx yy zz ww ref.fts\n" + std::string(STANDARD_TABLE_LINE),
         {"test.fts"},
         summary,
         "",
         0},
        {"bad ERA",
         "M31 xx 0:01:00 9:59:30 -0:01:00 ref.fts\n",
         {"test.fts"},
         "",
         "Bad ERA for M31: xx\n",
         1},
        {"bad NDec",
         "M31 10:00:30 - 9:59:30 -0:01:00 ref.fts\n",
         {"test.fts"},
         "",
         "Bad NDec for M31: -\n",
         1},
        {"bad WRA",
         "M31 10:00:30 0:01:00 h9 -0:01:00 ref.fts\n",
         {"test.fts"},
         "",
         "Bad WRA for M31: h9\n",
         1},
        {"bad SDec",
         "M31 10:00:30 0:01:00 9:59:30 :1 ref.fts\n",
         {"test.fts"},
         "",
         "Bad SDec for M31: :1\n",
         1},
        {"ERA too large for an angle",
         "M31 1e307 0:01:00 9:59:30 -0:01:00 ref.fts\n",
         {"test.fts"},
         "",
         "Bad ERA for M31: 1e307\n",
         1},
        {"SDec too large for an angle",
         "M31 10:00:30 0:01:00 9:59:30 -1e308 ref.fts\n",
         {"test.fts"},
         "",
         "Bad SDec for M31: -1e308\n",
         1},
        {"the second line is used when the first image does not open",
         "M31 10:00:30 0:01:00 9:59:30 -0:01:00 missing.fts\n" + line2,
         {"test.fts"},
         usesRef2,
         "missing.fts: No such file or directory\n",
         0},
        {"the second line is not used when the first image opens",
         STANDARD_TABLE_LINE + line2,
         {"test.fts"},
         summary,
         "",
         0},
        {"the table is rewound for every test image",
         STANDARD_TABLE_LINE + line2,
         {"test.fts", "test.fts"},
         summary + summary,
         "",
         0},
        {"no line whose image opens",
         "M31 10:00:30 0:01:00 9:59:30 -0:01:00 missing.fts\nNGC1 1 2 3 4 ref.fts\n",
         {"test.fts"},
         "",
         "missing.fts: No such file or directory\nNo reference file listed for object M31\n",
         0},
        {"an object name with a blank never matches",
         "M 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n",
         {"spaced.fts"},
         "",
         "No reference file listed for object M 31\n",
         0},
        {"a line longer than 255 characters is read whole",
         padded("M31", 300) + " 10:00:30 0:01:00 9:59:30 -0:01:00 ref2.fts\n" + STANDARD_TABLE_LINE,
         {"test.fts"},
         usesRef2,
         "",
         0},
        {"an unreadable reference image ends the run",
         "M31 10:00:30 0:01:00 9:59:30 -0:01:00 short.fts\n" + line2,
         {"test.fts"},
         "",
         "short.fts: FITS file is short\n",
         1},
    };
    ScratchDirectory dir;
    writeStandardScene(dir);
    writeTestImage(dir.file("spaced.fts"), skyImage("M 31", 150, 0, {}));
    for (const Case& c : cases) {
        writeFile(dir.file("table.txt"), c.table);
        std::vector<std::string> args = {"2", "table.txt"};
        args.insert(args.end(), c.images.begin(), c.images.end());
        ProgramResult r = runNewstars(dir.path, args);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        if (c.status == 0) {
            EXPECT_EQ(r.out.substr(0, r.out.find('\f')), c.out) << c.name;
        } else {
            EXPECT_EQ(r.out, c.out) << c.name;
        }
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
