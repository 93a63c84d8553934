// Date reading and the calendar conversions on arbitrary texts and numbers: no
// undefined arithmetic, no conversion of an out-of-range value to an integer.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "sky/calendar.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const double number = input.ConsumeFloatingPoint<double>();
    const std::string text = input.ConsumeRemainingBytesAsString();

    int month = 1, year = 2000;
    double day = 1;
    scanDate(text.c_str(), &month, &day, &year);
    scanDate(text.c_str(), nullptr, nullptr, nullptr);
    double dayNumber = 0;
    calendarToDayNumber(month, day, year, &dayNumber);

    std::string formatted;
    for (double d : {dayNumber, number}) {
        int m = 0, y = 0;
        double dd = 0, decimalYear = 0, back = 0;
        dayNumberToCalendar(d, &m, &dd, &y);
        dayNumberToYear(d, &decimalYear);
        yearToDayNumber(decimalYear, &back);
        yearToDayNumber(d, &back);
        dayNumberMidnight(d);
        dayNumberHours(d);
        formatDate(&formatted, d);
    }
    return 0;
}
