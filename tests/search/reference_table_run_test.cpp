// The reference table through the built program: which lines are entries, which
// malformed tables end the run, and the messages.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

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
