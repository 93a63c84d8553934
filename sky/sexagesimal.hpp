#pragma once
// Sexagesimal text (hh:mm:ss.s, ddd:mm:ss) and letter-case utilities.
// Characters are signed 8-bit values; letters are those of the POSIX locale (A-Z, a-z).

#include <string>

#include "sky/sky_status.hpp"

namespace newstars {

// Formats a as sexagesimal text: a whole part right-justified in w characters, then
// the fields below one whole unit, rounded to the nearest smallest unit (halves upward
// in magnitude, so 23.999999 at fracbase 36000 gives "24:00:00.0").
//   fracbase  smallest units per whole unit, and the text after the whole part:
//             60 ":mm", 600 ":mm.m", 3600 ":mm:ss", 36000 ":mm:ss.s", 360000 ":mm:ss.ss"
//   w         width of the whole part; a negative value with a whole part of 0 keeps its
//             sign as "-0" (w - 2 blanks, then "-0"; -0.0 itself is not negative)
// The fraction always starts w characters from the start, so the text is exactly
// w + (3, 5, 6, 8 or 9) characters long; a whole part wider than w loses its tail to
// the fraction ("10:30" for 100.5, w = 2, fracbase 60). A w of 0 or less leaves only
// the fraction. A value that is NaN, infinite or whose count of smallest units is 2^63
// or more gives the same length of '*' characters.
// Any other fracbase gives an empty text and, when message is not null, sets *message
// to "fs_sexa: unknown fracbase: <value>" (no line end); *message is untouched otherwise.
std::string fs_sexa(double a, int w, int fracbase, std::string* message = nullptr);

// Reads a number from text: leading white space, an optional minus sign, then whole
// units, and optionally minutes and seconds, each introduced by one or more of ':', ';',
// '/' and ','; white space does not separate fields. Minutes and seconds may carry
// fractions and are not range-checked ("10:75" is 11.25, "10:-30" is 9.5).
// *value = seconds/3600 + minutes/60 + whole, negated after a leading minus sign.
// Returns SkyStatus::Ok, or NotANumber when no leading number is found or the value is
// not finite ("inf", "nan", "1e999"; *value untouched).
SkyStatus scanSexagesimal(const char* text, double* value);

// Compares two NUL-terminated texts ignoring letter case: 0 when equal, otherwise the
// difference of the first differing pair of characters after lower-case letters are
// mapped to upper case (negative when a sorts first; bytes above 127 sort before ASCII).
int compareNoCase(const char* a, const char* b);

// As compareNoCase on at most n characters; n <= 0 gives 0.
int compareNoCaseN(const char* a, const char* b, int n);

// Replaces every upper-case letter of the NUL-terminated text by its lower-case letter.
void lowerCaseInPlace(char* text);

// Replaces every lower-case letter of the NUL-terminated text by its upper-case letter.
void upperCaseInPlace(char* text);

} // namespace newstars
