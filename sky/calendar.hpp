#pragma once
// Calendar dates and day numbers (days since 1899 December 31, 12:00; whole day numbers
// fall at noon). Julian Date = day number + 2415020.
// Dates before 1582 October 15 are Julian, later ones Gregorian; there is no year 0
// (-1 is 1 BC). calendarToDayNumber, dayNumberToCalendar and dayNumberToYear remember
// their last computation per thread and return it again for the same arguments; every
// routine may be called from several threads at once.

#include <string>

namespace newstars {

// Converts a calendar date to a day number (days since 1899 December 31, 12:00).
//   month  1..12 (out-of-range months are computed through, not refused)
//   day    day of month plus the fraction of the day since midnight (1.5 = the 1st at noon)
//   year   no year 0: -1 is 1 BC; 0 is treated as -1
// Dates before 1582 October 15 are Julian, later ones Gregorian.
// Julian Date = day number + 2415020.
void calendarToDayNumber(int month, double day, int year, double* dayNumber);

// Converts a day number to a calendar date, the inverse of calendarToDayNumber.
//   month  1..12
//   day    day of month plus the fraction of the day since midnight
//   year   -1 for 1 BC, never 0
// A day number whose year does not fit an int gives fields clamped to the int range;
// NaN or an infinity gives meaningless but defined fields.
void dayNumberToCalendar(double dayNumber, int* month, double* day, int* year);

// Converts a day number to a decimal year: the calendar year plus the elapsed fraction
// of it (1996.0 is 1996 January 1, 0h). The year 1 BC is measured from the start of
// 2 BC, so that it runs from -1 up to 0.
void dayNumberToYear(double dayNumber, double* year);

// Converts a decimal year to a day number, the inverse of dayNumberToYear
// (1996.5 is 1996 July 2, 0h; -0.5 is 1 BC July 1, 12h).
void yearToDayNumber(double year, double* dayNumber);

// Day number of the midnight (0h) at which the day holding dayNumber begins.
double dayNumberMidnight(double dayNumber);

// Hours elapsed since the midnight at which the day holding dayNumber begins, 0 to under 24.
double dayNumberHours(double dayNumber);

// Replaces *out with the calendar date of dayNumber as "%2d/%02d/%-4d": month, whole
// day, year (" 1/01/1996"; 11 characters for a year of up to five).
void formatDate(std::string* out, double dayNumber);

// Reads a date "month/day/year" from text: up to three numbers, each started by a digit,
// '.' or '-' and continued by digits and '.'. Every character but digits, '.' and blanks
// separates fields ('-' too, once a number has begun); blanks are ignored. Each output
// whose field holds a number is set (month and year truncated, day with its fraction);
// the others, and null pointers, are left untouched. Numbers after a third separator are
// ignored. A lone number with a decimal point, below 1 or above 12 is a decimal year
// (yearToDayNumber), and sets all three outputs. A text without numbers changes nothing.
void scanDate(const char* text, int* month, double* day, int* year);

} // namespace newstars
