// Sexagesimal reading and formatting on arbitrary texts and numbers. Formatting gives
// exactly the promised length, or an empty text and a message for an unknown fracbase;
// a value whose whole part fits the width reads back within half of the smallest unit.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "sky/sexagesimal.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    static const int FRACBASES[] = {60, 600, 3600, 36000, 360000};
    static const size_t FRACTION_LENGTHS[] = {3, 5, 6, 8, 9};
    const size_t which = input.ConsumeIntegralInRange<size_t>(0, 4);
    const int fracbase = FRACBASES[which];
    const int w = input.ConsumeIntegralInRange(-3, 14);
    const double a = input.ConsumeFloatingPoint<double>();
    const int otherFracbase = input.ConsumeIntegral<int>();
    const std::string text = input.ConsumeRemainingBytesAsString();

    double value = 0;
    if (scanSexagesimal(text.c_str(), &value) == SkyStatus::Ok && !std::isfinite(value))
        __builtin_trap();
    std::string copy = text;
    lowerCaseInPlace(copy.data());
    upperCaseInPlace(copy.data());
    compareNoCase(text.c_str(), copy.c_str());
    compareNoCaseN(text.c_str(), copy.c_str(), static_cast<int>(text.size() % 20));

    std::string message;
    const std::string other = fs_sexa(a, w, otherFracbase, &message);
    bool known = false;
    for (int f : FRACBASES)
        known = known || f == otherFracbase;
    if (!known && (!other.empty() || message.empty()))
        __builtin_trap();

    const std::string formatted = fs_sexa(a, w, fracbase);
    const size_t start = w > 0 ? static_cast<size_t>(w) : 0;
    if (formatted.size() != start + FRACTION_LENGTHS[which])
        __builtin_trap();
    // Read back when the whole part, with its sign, fits the width with a column to spare
    // (rounding may carry into one more digit).
    const double whole = std::floor(std::fabs(a) + 0.5 / fracbase);
    if (std::isfinite(a) && whole < 1e15) {
        const int digits = whole < 1 ? 1 : static_cast<int>(std::floor(std::log10(whole))) + 1;
        if (digits + (a < 0 ? 1 : 0) + 1 <= w) {
            double back = 0;
            if (scanSexagesimal(formatted.c_str(), &back) != SkyStatus::Ok)
                __builtin_trap();
            const double slack = 0.5 / fracbase * (1 + 1e-9) + std::fabs(a) * 1e-14;
            if (!(std::fabs(back - a) <= slack))
                __builtin_trap();
        }
    }
    return 0;
}
