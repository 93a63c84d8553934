#include <gtest/gtest.h>

#include <erfa.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fits/observation_time.hpp"

using namespace newstars;

namespace {

// A card of the header under test: a text (quoted) or a number.
struct Card {
    const char* keyword;
    const char* text; // null: the number
    double number;
};

FitsImage headerOf(const std::vector<Card>& cards)
{
    FitsImage image;
    for (const Card& c : cards) {
        if (c.text != nullptr)
            setStringCard(&image, c.keyword, c.text);
        else
            setRealCard(&image, c.keyword, c.number, 17);
    }
    return image;
}

// ERFA's MJD of a UTC calendar date and time of day (no leap second in the cases).
double erfaMjd(int year, int month, int day, double seconds)
{
    double djm0 = 0, djm = 0;
    EXPECT_EQ(eraCal2jd(year, month, day, &djm0, &djm), 0);
    return djm + seconds / 86400;
}

// ERFA's date and time of an MJD to the millisecond, as the summary line shows them
// (days of 86400 s: a day's fraction is taken as it is, as MJD-OBS is read).
std::string erfaText(double mjd)
{
    int year = 0, month = 0, day = 0, hmsf[4] = {};
    EXPECT_EQ(eraD2dtf("TAI", 3, 2400000.5, mjd, &year, &month, &day, hmsf), 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day,
                  hmsf[0], hmsf[1], hmsf[2], hmsf[3]);
    return text;
}

} // namespace

TEST(ReadObservationTime, TakesTheFirstCardThatGivesTheTime)
{
    struct Case {
        const char* name;
        std::vector<Card> cards;
        int status;
        const char* source;
        int year, month, day;
        bool hasTime;
        double seconds; // since midnight, when hasTime
    };
    const Case cases[] = {
        {"ISO DATE-OBS with its time",
         {{"DATE-OBS", "2018-08-04T09:23:31.598174", 0}, {"MJD-OBS", nullptr, 58000}},
         0, "DATE-OBS", 2018, 8, 4, true, 33811.598174},
        {"DATE-OBS and TIME-OBS",
         {{"DATE-OBS", "2026-12-07", 0}, {"TIME-OBS", "01:02:03", 0}},
         0, "DATE-OBS", 2026, 12, 7, true, 3723},
        {"old DATE-OBS form of the 1900s",
         {{"DATE-OBS", "31/12/99", 0}, {"TIME-OBS", "23:59:59.5", 0}},
         0, "DATE-OBS", 1999, 12, 31, true, 86399.5},
        {"TIME-OBS without seconds",
         {{"DATE-OBS", "1996-01-01", 0}, {"TIME-OBS", "12:30", 0}},
         0, "DATE-OBS", 1996, 1, 1, true, 45000},
        {"DATE-OBS alone gives the date",
         {{"DATE-OBS", "2026-03-02", 0}}, 0, "DATE-OBS", 2026, 3, 2, false, 0},
        {"DATE-OBS without its time yields to MJD-OBS",
         {{"DATE-OBS", "2022-11-02", 0}, {"MJD-OBS", nullptr, 59885.5765909287}},
         0, "MJD-OBS", 2022, 11, 2, true, 49817.456},
        {"MJD-OBS before DATE-BEG",
         {{"DATE-BEG", "2022-11-11T02:54:39.739", 0}, {"MJD-OBS", nullptr, 59885.5}},
         0, "MJD-OBS", 2022, 11, 2, true, 43200},
        {"DATE-BEG alone",
         {{"DATE-BEG", "2022-11-11T02:54:39.739", 0}},
         0, "DATE-BEG", 2022, 11, 11, true, 10479.739},
        {"unreadable DATE-OBS counts as absent",
         {{"DATE-OBS", "2026-13-01", 0}, {"MJD-OBS", nullptr, 51544}},
         0, "MJD-OBS", 2000, 1, 1, true, 0},
        {"MJD-OBS written as text is no number", {{"MJD-OBS", "59885.5", 0}}, -1, "", 0, 0, 0,
         false, 0},
        {"MJD-OBS beyond the year 9999", {{"MJD-OBS", nullptr, 3e6}}, -1, "", 0, 0, 0, false, 0},
        {"time of day out of range", {{"DATE-BEG", "2022-11-11T24:00:00", 0}}, -1, "", 0, 0, 0,
         false, 0},
        {"trailing text", {{"DATE-OBS", "2022-11-11T02:54:39Z", 0}}, -1, "", 0, 0, 0, false, 0},
        {"no time cards", {{"OBJECT", "M31", 0}}, -1, "", 0, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        const FitsImage image = headerOf(c.cards);
        ObservationTime t;
        t.source = "untouched";
        ASSERT_EQ(readObservationTime(image, &t), c.status) << c.name;
        if (c.status != 0) {
            EXPECT_STREQ(t.source, "untouched") << c.name;
            continue;
        }
        EXPECT_STREQ(t.source, c.source) << c.name;
        EXPECT_EQ(t.year, c.year) << c.name;
        EXPECT_EQ(t.month, c.month) << c.name;
        EXPECT_EQ(t.day, c.day) << c.name;
        EXPECT_EQ(t.hasTime, c.hasTime) << c.name;
        // MJD-OBS keeps its value; the seconds derived from it are rounded to 1 ms.
        EXPECT_NEAR(t.seconds, c.seconds, 1e-9) << c.name;
        if (std::string(c.source) != "MJD-OBS") {
            EXPECT_EQ(t.mjd, erfaMjd(c.year, c.month, c.day, c.seconds)) << c.name;
        }
    }
}

TEST(ObservationTimeFromMjd, MatchesErfaToTheMillisecond)
{
    // Around midnights, leap days, the first Gregorian day and the end of the range
    // (ERFA's calendar is Gregorian throughout).
    const double cases[] = {59885.5765909287, 51544.0,     51543.99999999,  51543.9999999999,
                            58334.39133794,   -100840.0,   0.0,             2973483.9999,
                            53794.123456789,  60736.5,     51603.75,        -1.0000000001};
    for (double mjd : cases) {
        ObservationTime t;
        ASSERT_EQ(observationTimeFromMjd(mjd, &t), 0) << mjd;
        std::string date, clock;
        formatObservationTime(t, &date, &clock);
        EXPECT_EQ(date + " " + clock, erfaText(mjd)) << mjd;
        EXPECT_EQ(isoObservationTime(t), date + "T" + clock) << mjd;
    }
    // Before 1582 October 15 the dates are Julian, as in sky/calendar.hpp.
    const struct {
        double mjd;
        const char* text;
    } julian[] = {{-100841.25, "1582-10-03T18:00:00.000"}, {-678577.0, "0001-01-01T00:00:00.000"}};
    for (const auto& c : julian) {
        ObservationTime t;
        ASSERT_EQ(observationTimeFromMjd(c.mjd, &t), 0) << c.mjd;
        EXPECT_EQ(isoObservationTime(t), c.text) << c.mjd;
    }
    ObservationTime t;
    t.year = 7;
    for (double mjd : {-678577.5, 2973484.0, std::nan(""), HUGE_VAL}) {
        EXPECT_EQ(observationTimeFromMjd(mjd, &t), -1) << mjd;
        EXPECT_EQ(t.year, 7) << mjd;
    }
}

TEST(FormatObservationTime, ShowsTheDateAloneWithoutATime)
{
    ObservationTime t;
    t.year = 2026;
    t.month = 3;
    t.day = 2;
    std::string date, clock;
    formatObservationTime(t, &date, &clock);
    EXPECT_EQ(date, "2026-03-02");
    EXPECT_EQ(clock, "????????");
    EXPECT_EQ(isoObservationTime(t), "2026-03-02");
    // A time that rounds up to midnight stays on its day.
    t.hasTime = true;
    t.seconds = 86399.9996;
    formatObservationTime(t, &date, &clock);
    EXPECT_EQ(clock, "23:59:59.999");
}
