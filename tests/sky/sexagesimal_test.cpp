#include "sky/sexagesimal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "support/files.hpp"

using namespace newstars;

namespace {

TEST(FsSexa, FormatsEveryFractionBase)
{
    struct Case {
        double a;
        int w;
        int fracbase;
        const char* expected;
    };
    // 1/1024 hour = 3.515625 s, an exact binary value: rounding is decided by the formula alone.
    const Case cases[] = {
        {5.5, 3, 60, "  5:30"},
        {-5.5, 3, 60, " -5:30"},
        {1.5078125, 2, 600, " 1:30.5"},
        {12.5125, 3, 3600, " 12:30:45"},
        {-45.5, 3, 3600, "-45:30:00"},
        {1.5078125, 2, 360000, " 1:30:28.13"}, // 28.125 s: an exact half rounds up
        {1.0 / 1024, 2, 3600, " 0:00:04"},
        {1.0 / 1024, 2, 36000, " 0:00:03.5"},
        {1.0 / 1024, 2, 360000, " 0:00:03.52"},
        {0.0, 2, 36000, " 0:00:00.0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fs_sexa(c.a, c.w, c.fracbase), c.expected)
            << c.a << " w=" << c.w << " base=" << c.fracbase;
}

TEST(FsSexa, RoundingCarriesIntoMinutesAndWholePart)
{
    struct Case {
        double a;
        int w;
        int fracbase;
        const char* expected;
    };
    const Case cases[] = {
        {23.999999, 2, 36000, "24:00:00.0"},
        {12 + 59.0 / 60 + 59.96 / 3600, 2, 36000, "13:00:00.0"}, // 59.96 s becomes the next minute
        {12 + 29.0 / 60 + 59.6 / 3600, 2, 3600, "12:30:00"},
        {-(0.999 + 0.0004), 3, 60, " -1:00"},
        {1.9999, 2, 600, " 2:00.0"},
        {1.999, 2, 600, " 1:59.9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fs_sexa(c.a, c.w, c.fracbase), c.expected)
            << c.a << " w=" << c.w << " base=" << c.fracbase;
}

TEST(FsSexa, NegativeBelowOneUnitKeepsItsSign)
{
    struct Case {
        double a;
        int w;
        int fracbase;
        const char* expected;
    };
    const Case cases[] = {
        {-0.25, 3, 3600, " -0:15:00"},
        {-0.0001, 3, 3600, " -0:00:00"}, // rounds to zero, still negative
        {-0.0, 3, 3600, "  0:00:00"},    // negative zero is not negative
        {-0.5, 2, 600, "-0:30.0"},
        {-0.25, 1, 60, " :15"}, // width w - 2 = -1 pads one blank before "-0"
    };
    for (const auto& c : cases)
        EXPECT_EQ(fs_sexa(c.a, c.w, c.fracbase), c.expected)
            << c.a << " w=" << c.w << " base=" << c.fracbase;
}

TEST(FsSexa, FractionStartsWCharactersIn)
{
    struct Case {
        double a;
        int w;
        int fracbase;
        const char* expected;
    };
    const Case cases[] = {
        {100.5, 2, 60, "10:30"}, // whole part 100 is three wide: its tail is overwritten
        {-100.5, 2, 60, "-1:30"},
        {12345.5, 2, 3600, "12:30:00"},
        {5.5, 0, 60, ":30"}, // no room for the whole part at all
        {5.5, -4, 60, ":30"},
        {1e8, 10, 60, " 100000000:00"}, // 6e9 minutes: beyond 32 bits, still exact
    };
    for (const auto& c : cases)
        EXPECT_EQ(fs_sexa(c.a, c.w, c.fracbase), c.expected)
            << c.a << " w=" << c.w << " base=" << c.fracbase;
}

TEST(FsSexa, UnrepresentableValuesGiveStarsOfTheUsualLength)
{
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double a;
        int w;
        int fracbase;
        const char* expected;
    };
    const Case cases[] = {
        {std::nan(""), 2, 36000, "**********"},
        {inf, 3, 3600, "*********"},
        {-inf, 3, 60, "******"},
        {1e300, 2, 360000, "***********"},
        {-1.6e17, 2, 60, "*****"}, // 9.6e18 minutes: more than 2^63
    };
    for (const auto& c : cases)
        EXPECT_EQ(fs_sexa(c.a, c.w, c.fracbase), c.expected)
            << c.a << " w=" << c.w << " base=" << c.fracbase;
}

TEST(FsSexa, RefusesAnUnknownFracbase)
{
    for (int fracbase : {100, 0, -60}) {
        std::string message = "unset";
        EXPECT_EQ(fs_sexa(1.0, 2, fracbase, &message), "") << fracbase;
        EXPECT_EQ(message, "fs_sexa: unknown fracbase: " + std::to_string(fracbase));
    }
    std::string message = "unset";
    EXPECT_EQ(fs_sexa(1.0, 2, 60, &message), " 1:00");
    EXPECT_EQ(message, "unset");
}

TEST(ScanSexagesimal, ReadsFieldsSeparatorsAndSign)
{
    struct Case {
        const char* text;
        double expected;
    };
    const Case cases[] = {
        {"12:30:00", 12.5},
        {"-0:30", -0.5},
        {"  -12;30", -12.5},
        {"12/30/36", 12.51},
        {"12,5", 12 + 5.0 / 60},
        {"12.75", 12.75},
        {"\t\n\r\v\f7", 7},
        {"12::30", 12.5}, // one or more separator characters
        {"12:;/,30", 12.5},
        {"12 30 00", 12}, // white space does not separate fields
        {"12 :30", 12},
        {"12: 30", 12.5}, // but is skipped before a number
        {"1:2:3:4", 1 + 2.0 / 60 + 3.0 / 3600},
        {"12:30abc", 12.5},
        {"10:75", 11.25}, // no range test
        {"10:-30", 9.5},  // the minus sign belongs to the minutes
        {"--5", 5},       // the noted sign negates the -5 read
        {"-1:30:36.5", -(1 + 30.0 / 60 + 36.5 / 3600)},
    };
    for (const auto& c : cases) {
        double value = -99;
        EXPECT_EQ(scanSexagesimal(c.text, &value), SkyStatus::Ok) << '"' << c.text << '"';
        EXPECT_DOUBLE_EQ(value, c.expected) << '"' << c.text << '"';
    }
}

TEST(ScanSexagesimal, NoNumberLeavesValueUntouched)
{
    for (const char* text :
         {"", "   ", "abc", "-", ":30", " - -",
          // no infinite or undefined angles from a table field
          "inf", "-infinity", "nan", "NAN(1)", "1e999", "12:inf", "12:30:nan", "1.79e308:1e308"}) {
        double value = -99;
        EXPECT_EQ(scanSexagesimal(text, &value), SkyStatus::NotANumber) << '"' << text << '"';
        EXPECT_EQ(value, -99) << '"' << text << '"';
    }
}

TEST(CompareNoCase, FoldsLettersOnly)
{
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"NGC1234", "ngc1234", 0}, {"", "", 0},
        {"abc", "ABD", 'C' - 'D'}, {"ab", "abc", -'C'},     // the terminating NUL against C
        {"abc", "ab", 'C'},        {"a[", "A{", '[' - '{'}, // brackets and braces are not letters
        {"\xe9", "a", -23 - 'A'},                           // a high-bit character is negative
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareNoCase(c.a, c.b), c.expected) << '"' << c.a << "\" \"" << c.b << '"';
}

TEST(CompareNoCaseN, StopsAfterNCharacters)
{
    struct Case {
        const char* a;
        const char* b;
        int n;
        int expected;
    };
    const Case cases[] = {
        {"NGC1234a xyz", "ngc1234A abc", 8, 0},
        {"NGC1234a xyz", "ngc1234A abc", 9, 0},
        {"NGC1234a xyz", "ngc1234A abc", 10, 'X' - 'A'},
        {"abc", "xyz", 0, 0},
        {"abc", "xyz", -3, 0},
        {"ab", "abc", 5, -'C'},
        {"abc", "ABC", 100, 0}, // equal up to the NUL
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareNoCaseN(c.a, c.b, c.n), c.expected)
            << '"' << c.a << "\" \"" << c.b << "\" " << c.n;
}

TEST(CaseInPlace, ChangesLettersOnly)
{
    char lower[] = "NGC 1234 Abz@[`{\xc9";
    lowerCaseInPlace(lower);
    EXPECT_STREQ(lower, "ngc 1234 abz@[`{\xc9");
    char upper[] = "ngc 1234 aBZ@[`{\xe9";
    upperCaseInPlace(upper);
    EXPECT_STREQ(upper, "NGC 1234 ABZ@[`{\xe9");
}

} // namespace
