#include "sky/calendar.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace newstars {

namespace {

// The last computation of each remembering routine; empty until the first one.
struct CalendarToDayNumberMemory {
    bool valid = false;
    int month = 0;
    double day = 0;
    int year = 0;
    double dayNumber = 0;
};
struct DayNumberToCalendarMemory {
    bool valid = false;
    double dayNumber = 0;
    int month = 0;
    double day = 0;
    int year = 0;
};
struct DayNumberToYearMemory {
    bool valid = false;
    double dayNumber = 0;
    double year = 0;
};

// Each thread remembers its own last computations.
thread_local CalendarToDayNumberMemory lastCalendarToDayNumber;
thread_local DayNumberToCalendarMemory lastDayNumberToCalendar;
thread_local DayNumberToYearMemory lastDayNumberToYear;

// Truncates toward zero, clamping to the int range (NaN gives 0).
int truncateToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

bool isJulianDate(int month, double day, int year)
{
    return year < 1582 || (year == 1582 && month < 10) || (year == 1582 && month == 10 && day < 15);
}

// The year whose start the decimal year counts from: 1 BC is measured from the start
// of 2 BC. The last int year is moved back by one so that the year after it exists.
int decimalYearBase(int year)
{
    if (year == -1)
        return -2;
    if (year == INT_MAX)
        return INT_MAX - 1;
    return year;
}

// Day numbers of January 1, 0h of the year and of the year after it.
void yearStartDayNumbers(int year, double* start, double* nextStart)
{
    calendarToDayNumber(1, 1.0, year, start);
    calendarToDayNumber(1, 1.0, year + 1, nextStart);
}

} // namespace

void calendarToDayNumber(int month, double day, int year, double* dayNumber)
{
    CalendarToDayNumberMemory& last = lastCalendarToDayNumber;
    if (last.valid && last.month == month && last.year == year && last.day == day) {
        *dayNumber = last.dayNumber;
        return;
    }
    int m = month;
    int y = year < 0 ? year + 1 : year; // astronomical numbering: 1 BC is year 0
    if (month < 3) {
        m = m + 12;
        y = y - 1;
    }
    int b = 0;
    if (!isJulianDate(month, day, year)) {
        const int a = y / 100;
        b = 2 - a + a / 4;
    }
    // The truncated terms are whole numbers far below 2^53, so summing them as doubles
    // is the exact integer sum, and no int can overflow for any month or year.
    const double c = (y < 0 ? std::trunc(365.25 * y - 0.75) : std::trunc(365.25 * y)) - 694025;
    const double d = std::trunc(30.6001 * (static_cast<double>(m) + 1));
    const double dn = (b + c + d) + day - 0.5;

    last = {true, month, day, year, dn};
    *dayNumber = dn;
}

void dayNumberToCalendar(double dayNumber, int* month, double* day, int* year)
{
    if (dayNumber == 0) {
        *month = 12;
        *day = 31.5;
        *year = 1899;
        return;
    }
    DayNumberToCalendarMemory& last = lastDayNumberToCalendar;
    if (last.valid && last.dayNumber == dayNumber) {
        *month = last.month;
        *day = last.day;
        *year = last.year;
        return;
    }
    const double t = dayNumber + 0.5;
    double i = std::floor(t);
    double f = t - i;
    if (f == 1) {
        f = 0;
        i = i + 1;
    }
    if (i > -115860) { // Gregorian
        const double a = std::floor(i / 36524.25 + 0.9983573) + 14;
        i = i + (a + 1 - std::floor(a / 4));
    }
    const double b = std::floor(i / 365.25 + 0.802601);
    const double ce = i - std::floor(365.25 * b + 0.750001) + 416;
    const double g = std::floor(ce / 30.6001);
    int m = truncateToInt(g - 1);
    const double d = ce - std::floor(30.6001 * g) + f;
    int y = truncateToInt(b + 1899);
    if (g > 13.5)
        m = truncateToInt(g - 13);
    if (m < 2.5)
        y = truncateToInt(b + 1900);
    if (y < 1 && y > INT_MIN)
        y = y - 1; // no year 0

    last = {true, dayNumber, m, d, y};
    *month = m;
    *day = d;
    *year = y;
}

void dayNumberToYear(double dayNumber, double* year)
{
    DayNumberToYearMemory& last = lastDayNumberToYear;
    if (last.valid && last.dayNumber == dayNumber) {
        *year = last.year;
        return;
    }
    int m = 0, y = 0;
    double d = 0;
    dayNumberToCalendar(dayNumber, &m, &d, &y);
    y = decimalYearBase(y);
    double start = 0, nextStart = 0;
    yearStartDayNumbers(y, &start, &nextStart);
    const double result = (dayNumber - start) / (nextStart - start) + y;

    last = {true, dayNumber, result};
    *year = result;
}

void yearToDayNumber(double year, double* dayNumber)
{
    const int y = decimalYearBase(truncateToInt(std::floor(year)));
    double start = 0, nextStart = 0;
    yearStartDayNumbers(y, &start, &nextStart);
    *dayNumber = (year - y) * (nextStart - start) + start;
}

double dayNumberMidnight(double dayNumber)
{
    return std::floor(dayNumber - 0.5) + 0.5;
}

double dayNumberHours(double dayNumber)
{
    return (dayNumber - dayNumberMidnight(dayNumber)) * 24;
}

void formatDate(std::string* out, double dayNumber)
{
    int month = 0, year = 0;
    double day = 0;
    dayNumberToCalendar(dayNumber, &month, &day, &year);
    char text[48]; // room for three ints of 11 characters and the separators
    std::snprintf(text, sizeof text, "%2d/%02d/%-4d", month, truncateToInt(day), year);
    *out = text;
}

void scanDate(const char* text, int* month, double* day, int* year)
{
    constexpr int FIELDS = 3;
    double value[FIELDS] = {0, 0, 0};
    bool present[FIELDS] = {false, false, false};
    bool hasPoint[FIELDS] = {false, false, false};

    int position = 0;
    const char* number = nullptr; // start of the open number
    bool numberHasPoint = false;
    for (const char* p = text;; ++p) {
        const char c = *p;
        const bool digitOrPoint = (c >= '0' && c <= '9') || c == '.';
        if (number != nullptr && digitOrPoint) {
            if (c == '.')
                numberHasPoint = true;
            continue;
        }
        if (number == nullptr && (digitOrPoint || c == '-')) {
            number = p;
            numberHasPoint = (c == '.');
            continue;
        }
        if (c == ' ')
            continue; // neither ends a number nor separates fields
        if (number != nullptr) {
            if (position < FIELDS) { // numbers past the third field are ignored
                value[position] = std::strtod(number, nullptr);
                present[position] = true;
                hasPoint[position] = numberHasPoint;
            }
            number = nullptr;
        }
        if (position < FIELDS)
            ++position;
        if (c == '\0')
            break;
    }

    if (position == 1 && present[0] && (hasPoint[0] || value[0] < 1 || value[0] > 12)) {
        double dayNumber = 0;
        yearToDayNumber(value[0], &dayNumber);
        int m = 0, y = 0;
        double d = 0;
        dayNumberToCalendar(dayNumber, &m, &d, &y);
        if (month != nullptr)
            *month = m;
        if (day != nullptr)
            *day = d;
        if (year != nullptr)
            *year = y;
        return;
    }
    if (present[0] && month != nullptr)
        *month = truncateToInt(value[0]);
    if (present[1] && day != nullptr)
        *day = value[1];
    if (present[2] && year != nullptr)
        *year = truncateToInt(value[2]);
}

} // namespace newstars
