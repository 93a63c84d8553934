#include "fits/observation_time.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>

#include "sky/calendar.hpp"

namespace newstars {

namespace {

// Day number 0 (1899 December 31, 12:00) is Julian Date 2415020, MJD 15019.5.
constexpr double MJD_OF_DAY_NUMBER_ZERO = 15019.5;
constexpr double SECONDS_PER_DAY = 86400;
constexpr long long MILLISECONDS_PER_DAY = 86400000;

// The n digits of text from position at as a number; false when any is not a digit.
bool digitsAt(const std::string& text, size_t at, size_t n, int* value)
{
    if (at + n > text.size())
        return false;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

// "hh:mm", "hh:mm:ss" or "hh:mm:ss.s..." from position at to the end of text, in range,
// as seconds since midnight.
bool parseClock(const std::string& text, size_t at, double* seconds)
{
    int hours = 0, minutes = 0, whole = 0;
    if (!digitsAt(text, at, 2, &hours) || at + 2 >= text.size() || text[at + 2] != ':' ||
        !digitsAt(text, at + 3, 2, &minutes) || hours > 23 || minutes > 59)
        return false;
    at += 5;
    double second = 0;
    if (at < text.size()) {
        if (text[at] != ':' || !digitsAt(text, at + 1, 2, &whole))
            return false;
        at += 3;
        second = whole;
        if (at < text.size()) {
            if (text[at] != '.' || at + 1 == text.size())
                return false;
            for (size_t i = at + 1; i < text.size(); ++i) {
                if (text[i] < '0' || text[i] > '9')
                    return false;
            }
            second = std::strtod(text.c_str() + at - 2, nullptr);
        }
        if (!(second < 61))
            return false;
    }
    *seconds = hours * 3600.0 + minutes * 60.0 + second;
    return true;
}

// A date card's text: "yyyy-mm-dd", "yyyy-mm-ddThh:mm[:ss[.s...]]" or "dd/mm/yy".
bool parseDate(const std::string& text, ObservationTime* time)
{
    int year = 0, month = 0, day = 0;
    bool hasTime = false;
    double seconds = 0;
    if (text.size() == 8 && text[2] == '/' && text[5] == '/') {
        if (!digitsAt(text, 0, 2, &day) || !digitsAt(text, 3, 2, &month) ||
            !digitsAt(text, 6, 2, &year))
            return false;
        year += 1900;
    } else {
        if (!digitsAt(text, 0, 4, &year) || text.size() < 10 || text[4] != '-' ||
            !digitsAt(text, 5, 2, &month) || text[7] != '-' || !digitsAt(text, 8, 2, &day))
            return false;
        if (text.size() > 10) {
            if (text[10] != 'T' || !parseClock(text, 11, &seconds))
                return false;
            hasTime = true;
        }
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    time->year = year;
    time->month = month;
    time->day = day;
    time->hasTime = hasTime;
    time->seconds = seconds;
    return true;
}

// The value of a card holding one number (and nothing but blanks or a comment after
// it); false for a text, a logical or an empty value.
bool numberCard(const FitsImage& image, const char* keyword, double* value)
{
    const char* card = nullptr;
    if (findCard(&image, keyword, &card) != 0)
        return false;
    char field[FITS_CARD_LENGTH];
    const size_t length = strnlen(card + 10, FITS_CARD_LENGTH - 10);
    std::memcpy(field, card + 10, length);
    field[length] = '\0';
    char* end = nullptr;
    const char* start = field + std::strspn(field, " ");
    if (*start == '\0' || std::strchr("+-.0123456789", *start) == nullptr)
        return false;
    const double v = std::strtod(start, &end);
    if (end == start)
        return false;
    end += std::strspn(end, " ");
    if (*end != '\0' && *end != '/')
        return false;
    *value = v;
    return true;
}

// MJD of the date's midnight.
double midnightMjd(const ObservationTime& time)
{
    double dayNumber = 0;
    calendarToDayNumber(time.month, time.day, time.year, &dayNumber);
    return dayNumber + MJD_OF_DAY_NUMBER_ZERO;
}

// The MJD limits: 0001-01-01 0h and 10000-01-01 0h.
double firstMjd()
{
    double dayNumber = 0;
    calendarToDayNumber(1, 1, 1, &dayNumber);
    return dayNumber + MJD_OF_DAY_NUMBER_ZERO;
}

double endMjd()
{
    double dayNumber = 0;
    calendarToDayNumber(1, 1, 10000, &dayNumber);
    return dayNumber + MJD_OF_DAY_NUMBER_ZERO;
}

// From a date card (DATE-OBS with TIME-OBS, or DATE-BEG); false when absent or unreadable.
bool fromDateCard(const FitsImage& image, const char* keyword, const char* clockKeyword,
                  ObservationTime* time)
{
    std::string text;
    ObservationTime t;
    if (getStringCard(&image, keyword, &text) != 0 || !parseDate(text, &t))
        return false;
    std::string clock;
    if (!t.hasTime && clockKeyword != nullptr && getStringCard(&image, clockKeyword, &clock) == 0 &&
        parseClock(clock, 0, &t.seconds))
        t.hasTime = true;
    t.mjd = midnightMjd(t) + (t.hasTime ? t.seconds / SECONDS_PER_DAY : 0);
    t.source = keyword;
    *time = t;
    return true;
}

} // namespace

int observationTimeFromMjd(double mjd, ObservationTime* time)
{
    if (!(mjd >= firstMjd() && mjd < endMjd()))
        return -1;
    double midnight = std::floor(mjd);
    long long ms = std::llround((mjd - midnight) * static_cast<double>(MILLISECONDS_PER_DAY));
    if (ms >= MILLISECONDS_PER_DAY) {
        midnight += 1;
        ms -= MILLISECONDS_PER_DAY;
    }
    ObservationTime t;
    double day = 0;
    // Whole day numbers fall at noon: the noon of the day that starts at midnight.
    dayNumberToCalendar(midnight - MJD_OF_DAY_NUMBER_ZERO + 0.5, &t.month, &day, &t.year);
    t.day = static_cast<int>(std::floor(day));
    t.hasTime = true;
    t.seconds = static_cast<double>(ms) / 1000;
    t.mjd = mjd;
    *time = t;
    return 0;
}

int readObservationTime(const FitsImage& image, ObservationTime* time)
{
    ObservationTime dateOnly;
    bool haveDate = false;
    ObservationTime t;
    if (fromDateCard(image, "DATE-OBS", "TIME-OBS", &t)) {
        if (t.hasTime) {
            *time = t;
            return 0;
        }
        dateOnly = t;
        haveDate = true;
    }
    double mjd = 0;
    if (numberCard(image, "MJD-OBS", &mjd) && observationTimeFromMjd(mjd, &t) == 0) {
        t.source = "MJD-OBS";
        *time = t;
        return 0;
    }
    if (fromDateCard(image, "DATE-BEG", nullptr, &t)) {
        if (t.hasTime) {
            *time = t;
            return 0;
        }
        if (!haveDate) {
            dateOnly = t;
            haveDate = true;
        }
    }
    if (!haveDate)
        return -1;
    *time = dateOnly;
    return 0;
}

void formatObservationTime(const ObservationTime& time, std::string* date, std::string* clock)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", time.year, time.month, time.day);
    *date = text;
    if (!time.hasTime) {
        *clock = "????????";
        return;
    }
    long long ms = std::llround(time.seconds * 1000);
    // A time a hair before midnight stays on its day.
    if (ms >= MILLISECONDS_PER_DAY && time.seconds < SECONDS_PER_DAY)
        ms = MILLISECONDS_PER_DAY - 1;
    const long long hours = std::min(ms / 3600000, 23LL);
    ms -= hours * 3600000;
    const long long minutes = std::min(ms / 60000, 59LL);
    ms -= minutes * 60000;
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", hours, minutes, ms / 1000,
                  ms % 1000);
    *clock = text;
}

std::string isoObservationTime(const ObservationTime& time)
{
    std::string date, clock;
    formatObservationTime(time, &date, &clock);
    return time.hasTime ? date + "T" + clock : date;
}

} // namespace newstars
