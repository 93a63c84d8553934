#include "sky/sexagesimal.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <cstring>

namespace newstars {

namespace {

// Length of the text after the whole part for a known fracbase, or 0 for any other.
size_t fractionLength(int fracbase)
{
    switch (fracbase) {
    case 60:
        return 3; // :mm
    case 600:
        return 5; // :mm.m
    case 3600:
        return 6; // :mm:ss
    case 36000:
        return 8; // :mm:ss.s
    case 360000:
        return 9; // :mm:ss.ss
    default:
        return 0;
    }
}

// The fields below one whole unit, f being the remainder in smallest units.
std::string formatFraction(unsigned f, int fracbase)
{
    char text[32];
    switch (fracbase) {
    case 60:
        std::snprintf(text, sizeof text, ":%02u", f);
        break;
    case 600:
        std::snprintf(text, sizeof text, ":%02u.%1u", f / 10, f % 10);
        break;
    case 3600:
        std::snprintf(text, sizeof text, ":%02u:%02u", f / 60, f % 60);
        break;
    case 36000:
        std::snprintf(text, sizeof text, ":%02u:%02u.%1u", f / 600, (f % 600) / 10, (f % 600) % 10);
        break;
    default: // 360000
        std::snprintf(text, sizeof text, ":%02u:%02u.%02u", f / 6000, (f % 6000) / 100,
                      (f % 6000) % 100);
        break;
    }
    return text;
}

// The whole part as "%*d" (or, for a negative value below one unit, "%*s-0" with
// width w - 2) would print it, for w >= 1.
std::string formatWhole(uint64_t whole, bool neg, int w)
{
    std::string text;
    if (neg && whole == 0) {
        // printf reads a negative width as left-justification: w = 1 gives one blank.
        text.assign(static_cast<size_t>(std::abs(w - 2)), ' ');
        text += "-0";
    } else {
        const long long value = static_cast<long long>(whole);
        text = std::to_string(neg ? -value : value);
        if (text.size() < static_cast<size_t>(w))
            text.insert(0, static_cast<size_t>(w) - text.size(), ' ');
    }
    return text;
}

} // namespace

std::string fs_sexa(double a, int w, int fracbase, std::string* message)
{
    const size_t fractionSize = fractionLength(fracbase);
    if (fractionSize == 0) {
        if (message != nullptr)
            *message = "fs_sexa: unknown fracbase: " + std::to_string(fracbase);
        return std::string();
    }
    const size_t start = w > 0 ? static_cast<size_t>(w) : 0;

    const bool neg = a < 0;
    if (neg)
        a = -a;
    // Round to the nearest smallest unit, halves upward in magnitude.
    const double units = fracbase * a + 0.5;
    if (!(units < 9223372036854775808.0))
        return std::string(start + fractionSize, '*'); // NaN, inf, too large
    const uint64_t n = static_cast<uint64_t>(units);
    const uint64_t base = static_cast<uint64_t>(fracbase);
    const uint64_t whole = n / base;
    const unsigned f = static_cast<unsigned>(n % base);

    std::string text;
    if (start > 0) {
        text = formatWhole(whole, neg, w);
        text.resize(start); // the fraction overwrites whatever went past w characters
    }
    text += formatFraction(f, fracbase);
    return text;
}

SkyStatus scanSexagesimal(const char* text, double* value)
{
    while (*text != '\0' && std::strchr(" \t\n\r\v\f", *text) != nullptr)
        ++text;
    bool negative = false;
    if (*text == '-') {
        negative = true;
        ++text;
    }
    double whole = 0, minutes = 0, seconds = 0;
    const int fields = std::sscanf(text, "%lf%*[:;/,]%lf%*[:;/,]%lf", &whole, &minutes, &seconds);
    if (fields < 1)
        return SkyStatus::NotANumber;
    double result = seconds / 3600 + minutes / 60 + whole;
    // "inf", "nan" or a number too large for a double is no usable angle.
    if (!std::isfinite(result))
        return SkyStatus::NotANumber;
    if (negative)
        result = -result;
    *value = result;
    return SkyStatus::Ok;
}

namespace {

signed char upperOf(signed char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<signed char>(c - 'a' + 'A') : c;
}

} // namespace

int compareNoCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const signed char ca = upperOf(static_cast<signed char>(*a));
        const signed char cb = upperOf(static_cast<signed char>(*b));
        if (ca != cb)
            return ca - cb;
        if (ca == '\0')
            return 0;
    }
}

int compareNoCaseN(const char* a, const char* b, int n)
{
    for (int i = 0; i < n; ++i) {
        const signed char ca = upperOf(static_cast<signed char>(a[i]));
        const signed char cb = upperOf(static_cast<signed char>(b[i]));
        if (ca != cb)
            return ca - cb;
        if (ca == '\0')
            return 0;
    }
    return 0;
}

void lowerCaseInPlace(char* text)
{
    for (; *text != '\0'; ++text)
        if (*text >= 'A' && *text <= 'Z')
            *text = static_cast<char>(*text - 'A' + 'a');
}

void upperCaseInPlace(char* text)
{
    for (; *text != '\0'; ++text)
        if (*text >= 'a' && *text <= 'z')
            *text = static_cast<char>(*text - 'a' + 'A');
}

} // namespace newstars
