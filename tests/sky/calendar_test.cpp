#include "sky/calendar.hpp"

#include <erfa.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace newstars;

namespace {

struct KnownDate {
    int month;
    double day;
    int year;
    double dayNumber;
};

// Reference dates; Julian Date = day number + 2415020.
const KnownDate KNOWN_DATES[] = {
    {1, 1.0, 1996, 35063.5},                                 // JD 2450083.5
    {12, 31.5, 1899, 0},                                     // the origin
    {1, 1.5, 1900, 1},          {1, 1.5, 2000, 36525},       // J2000.0, JD 2451545.0
    {1, 1.25, 1996, 35063.75},  {10, 15.0, 1582, -115859.5}, // first Gregorian day ...
    {10, 4.0, 1582, -115860.5},                              // ... follows the last Julian one
    {2, 29.0, 2000, 36583.5},                                // 2000 is a Gregorian leap year
    {3, 1.0, 2000, 36584.5},    {1, 1.0, 1, -693596.5},
    {1, 1.0, -1, -693962.5},   // 1 BC, a Julian leap year, precedes year 1
    {1, 1.5, -4713, -2415020}, // JD 0: 4713 BC January 1, noon (Julian)
};

TEST(CalendarToDayNumber, MatchesKnownDates)
{
    for (const auto& c : KNOWN_DATES) {
        double dn = 0;
        calendarToDayNumber(c.month, c.day, c.year, &dn);
        EXPECT_EQ(dn, c.dayNumber) << c.month << "/" << c.day << "/" << c.year;
    }
    double year0 = 0, yearMinus1 = 0;
    calendarToDayNumber(6, 15.0, 0, &year0);
    calendarToDayNumber(6, 15.0, -1, &yearMinus1);
    EXPECT_EQ(year0, yearMinus1) << "year 0 is read as 1 BC";
}

TEST(DayNumberToCalendar, InvertsKnownDates)
{
    for (const auto& c : KNOWN_DATES) {
        int month = 0, year = 0;
        double day = 0;
        dayNumberToCalendar(c.dayNumber, &month, &day, &year);
        EXPECT_EQ(month, c.month) << c.dayNumber;
        EXPECT_EQ(day, c.day) << c.dayNumber;
        EXPECT_EQ(year, c.year) << c.dayNumber;
    }
}

TEST(CalendarToDayNumber, FebruaryHasTheCalendarsLeapDays)
{
    struct Case {
        int year;
        double days;
    }; // days from February 28 to March 1
    const Case cases[] = {
        {2000, 2}, {1900, 1}, {1996, 2}, {1997, 1}, {1700, 1}, {1600, 2}, // Gregorian
        {1500, 2}, {1400, 2}, {1581, 1}, {4, 2},  // Julian: every fourth year
        {-1, 2},   {-2, 1},   {-5, 2},   {-4, 1}, // 1 BC, 5 BC are leap years
    };
    for (const auto& c : cases) {
        double feb28 = 0, mar1 = 0;
        calendarToDayNumber(2, 28.0, c.year, &feb28);
        calendarToDayNumber(3, 1.0, c.year, &mar1);
        EXPECT_EQ(mar1 - feb28, c.days) << c.year;
    }
}

// Days in a month: Julian leap years before the switch (every year divisible by 4 in
// astronomical numbering, 1 BC being year 0), Gregorian ones after it.
int daysInMonth(int month, int year)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month != 2)
        return days[month - 1];
    const int astronomical = year < 0 ? year + 1 : year;
    const bool leap =
        year < 1582 ? astronomical % 4 == 0 : (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
}

// Walks every calendar day from 4713 BC to AD 4000: each is one day after the one
// before (the ten days dropped in October 1582 skipped), starting from JD 0, and each
// converts back to itself, with fractions of a day kept exactly.
TEST(CalendarToDayNumber, ConsecutiveDaysRoundTripOverSixMillennia)
{
    const double fractions[] = {0.0, 0.25, 0.5, 0.75};
    double expected = -2415020.5; // 4713 BC January 1, 0h
    int failures = 0;
    for (int year = -4713; year <= 4000 && failures < 10; ++year) {
        if (year == 0)
            continue;
        for (int month = 1; month <= 12; ++month) {
            for (int d = 1; d <= daysInMonth(month, year); ++d) {
                if (year == 1582 && month == 10 && d > 4 && d < 15)
                    continue;
                const double day = d + fractions[d % 4];
                double dn = 0;
                calendarToDayNumber(month, day, year, &dn);
                int backMonth = 0, backYear = 0;
                double backDay = 0;
                dayNumberToCalendar(dn, &backMonth, &backDay, &backYear);
                if (dn != expected + fractions[d % 4] || backMonth != month || backDay != day ||
                    backYear != year) {
                    ADD_FAILURE() << month << "/" << day << "/" << year << " -> " << dn
                                  << " (expected " << expected + fractions[d % 4] << ") -> "
                                  << backMonth << "/" << backDay << "/" << backYear;
                    ++failures;
                }
                expected += 1;
            }
        }
    }
}

// ERFA works in the Gregorian calendar throughout; both must agree on every day.
TEST(CalendarToDayNumber, AgreesWithErfaFrom1600To2400)
{
    double first0 = 0, first = 0, last0 = 0, last = 0;
    ASSERT_EQ(eraCal2jd(1600, 1, 1, &first0, &first), 0);
    ASSERT_EQ(eraCal2jd(2400, 12, 31, &last0, &last), 0);
    int failures = 0;
    for (double mjd = first; mjd <= last && failures < 10; mjd += 1) {
        const double jd = first0 + mjd; // 0h UT, exact in a double
        int iy = 0, im = 0, id = 0;
        double fd = 0;
        ASSERT_EQ(eraJd2cal(first0, mjd, &iy, &im, &id, &fd), 0);
        double djm0 = 0, djm = 0;
        ASSERT_EQ(eraCal2jd(iy, im, id, &djm0, &djm), 0);
        ASSERT_EQ(djm0 + djm, jd);

        double dn = 0;
        calendarToDayNumber(im, id, iy, &dn);
        int month = 0, year = 0;
        double day = 0;
        dayNumberToCalendar(jd - 2415020, &month, &day, &year);
        if (dn + 2415020 != jd || month != im || day != id + fd || year != iy) {
            ADD_FAILURE() << iy << "-" << im << "-" << id << ": JD " << jd << " vs " << dn + 2415020
                          << "; back " << month << "/" << day << "/" << year;
            ++failures;
        }
    }
}

TEST(DayNumberToYear, GivesDecimalYears)
{
    struct Case {
        double dayNumber;
        double year;
    };
    const Case cases[] = {
        {35063.5, 1996.0},         // 1996 January 1, 0h
        {35246.5, 1996.5},         // July 2, 0h: 183 of 366 days
        {0, 1899 + 364.5 / 365},   // December 31, noon
        {-693962.5 + 182.5, -0.5}, // 1 BC July 1, noon: from the start of 2 BC
        {-693962.5 - 365, -2.0},   // 2 BC January 1
        {-693596.5, 1.0},
    };
    for (const auto& c : cases) {
        double year = 0;
        dayNumberToYear(c.dayNumber, &year);
        EXPECT_DOUBLE_EQ(year, c.year) << c.dayNumber;
        double dn = 0;
        yearToDayNumber(c.year, &dn);
        EXPECT_NEAR(dn, c.dayNumber, 1e-6)
            << c.year; // decimal years carry ~1e-13 relative rounding
    }
}

// A remembered result must only come from a computation: a fresh thread starts with
// empty memories, even for arguments that are all zero.
TEST(CalendarMemoryThreads, StartEmpty)
{
    double year = 0;
    double dn = 0;
    std::thread([&] {
        dayNumberToYear(0, &year);
        calendarToDayNumber(0, 0.0, 0, &dn); // November 30, 2 BC
    }).join();
    EXPECT_GT(year, 1899.998);
    EXPECT_LT(year, 1899.999);
    EXPECT_EQ(dn, -693962.5 - 32);
}

// Threads converting different dates at the same moment each get the results one
// thread alone gets: no thread sees another's remembered computation.
TEST(CalendarThreads, ConvertConcurrentlyAsAlone)
{
    struct Result {
        double dayNumber = 0, day = 0, year = 0;
        int month = 0, wholeYear = 0;
        bool operator==(const Result&) const = default;
    };
    auto convert = [](int k) {
        Result r;
        calendarToDayNumber(1 + k % 12, 1.5 + k % 28, 1500 + 7 * k, &r.dayNumber);
        dayNumberToCalendar(r.dayNumber + 0.25, &r.month, &r.day, &r.wholeYear);
        dayNumberToYear(r.dayNumber, &r.year);
        return r;
    };
    constexpr int THREADS = 4, DATES = 2048; // odd strides visit every date
    std::vector<Result> alone(DATES);
    for (int k = 0; k < DATES; ++k)
        alone[static_cast<size_t>(k)] = convert(k);
    std::vector<std::vector<Result>> results(THREADS, std::vector<Result>(DATES));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            // each thread walks the dates in its own order, repeating some, so that the
            // remembered calls differ from thread to thread
            for (int i = 0; i < DATES; ++i) {
                const int k = (i * (2 * t + 1) + t) % DATES;
                results[static_cast<size_t>(t)][static_cast<size_t>(k)] = convert(k);
                convert(k);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < THREADS; ++t)
        for (int k = 0; k < DATES; ++k)
            ASSERT_TRUE(results[static_cast<size_t>(t)][static_cast<size_t>(k)] ==
                        alone[static_cast<size_t>(k)])
                << "thread " << t << " date " << k;
}

TEST(DayNumberMidnight, FindsTheStartOfTheDay)
{
    struct Case {
        double dayNumber;
        double midnight;
        double hours;
    };
    const Case cases[] = {
        {36000.0, 35999.5, 12}, {36000.5, 36000.5, 0}, {35999.75, 35999.5, 6},
        {-0.25, -0.5, 6},       {0.25, -0.5, 18},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dayNumberMidnight(c.dayNumber), c.midnight) << c.dayNumber;
        EXPECT_EQ(dayNumberHours(c.dayNumber), c.hours) << c.dayNumber;
    }
}

TEST(FormatDate, WritesMonthDayYear)
{
    struct Case {
        double dayNumber;
        const char* expected;
    };
    const Case cases[] = {
        {35063.75, " 1/01/1996"},
        {36000.0, " 7/25/1998"},
        {0, "12/31/1899"},
        {36524.4, "12/31/1999"},                        // 21:36: the day is truncated
        {-693962.5 - 365 + 31 + 28 + 14, " 3/15/-2  "}, // 2 BC March 15: the year is left-justified
        {36524.5 + 2921940, " 1/01/10000"},             // 8000 Gregorian years later
    };
    for (const auto& c : cases) {
        std::string text = "old";
        formatDate(&text, c.dayNumber);
        EXPECT_EQ(text, c.expected) << c.dayNumber;
    }
}

TEST(DayNumberToCalendar, ClampsYearsBeyondTheIntRange)
{
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double dayNumber;
        int year;
    };
    const Case cases[] = {
        {1e300, INT_MAX}, {1e12, INT_MAX},   {-1e300, INT_MIN}, {-1e12, INT_MIN},
        {inf, -1},        {std::nan(""), -1}}; // non-finite: month and year 0, then no year 0
    for (const auto& c : cases) {
        int month = 0, year = 0;
        double day = 0;
        dayNumberToCalendar(c.dayNumber, &month, &day, &year);
        EXPECT_EQ(year, c.year) << c.dayNumber;
    }
}

TEST(ScanDate, SetsTheFieldsPresent)
{
    const int M = -7, Y = -7777; // untouched markers
    const double D = -7.5;
    struct Case {
        const char* text;
        int month;
        double day;
        int year;
    };
    const Case cases[] = {
        {"12/25/1996", 12, 25.0, 1996},
        {"12-25-1996", 12, 25.0, 1996},
        {"12 / 25 / 1996", 12, 25.0, 1996},
        {"7", 7, D, Y},
        {"12", 12, D, Y},
        {"/15", M, 15.0, Y},
        {"//1997", M, D, 1997},
        {"3/4.5", 3, 4.5, Y},
        {"3/-4", 3, -4.0, Y},   // a minus sign starts a number
        {"1 2", 1, D, Y},       // blanks do not end a number; the text converts as 1
        {"1996", 1, 1.0, 1996}, // a lone number above 12 is a decimal year
        {"1996.5", 7, 2.0, 1996},
        {"13", 1, 1.0, 13},
        {"0", 1, 1.0, -1},
        {".5", 7, 2.0, -1},
        {"1/2/3/4", 1, 2.0, 3}, // past the third field: ignored
        {"1/2/3/4/5/6/7", 1, 2.0, 3},
        {"5 Jan", 5, D, Y},
        {"Jan 5", M, D, Y}, // letters are separators: 5 is in a fourth field
        {"", M, D, Y},
        {"   ", M, D, Y},
        {"/", M, D, Y},
    };
    for (const auto& c : cases) {
        int month = M, year = Y;
        double day = D;
        scanDate(c.text, &month, &day, &year);
        EXPECT_EQ(month, c.month) << '"' << c.text << '"';
        EXPECT_EQ(day, c.day) << '"' << c.text << '"';
        EXPECT_EQ(year, c.year) << '"' << c.text << '"';
    }
}

TEST(ScanDate, SkipsOutputsNotGiven)
{
    double day = 0;
    scanDate("12/25/1996", nullptr, &day, nullptr);
    EXPECT_EQ(day, 25.0);
    int year = 0;
    scanDate("1996.5", nullptr, nullptr, &year);
    EXPECT_EQ(year, 1996);
}

} // namespace
