#pragma once
// Small text helpers.

#include <cstddef>
#include <cstdint>
#include <string>

namespace newstars {

// printf into a std::string: the whole formatted text, however long (empty when the
// format fails).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text with each control character (bytes 1 to 31 and 127) written as a backslash
// escape, so that it prints on one line: \t, \n and \r as in C, the others as \ooo in
// octal ("a\nb" gives the four characters a, \, n, b). Other bytes are kept as they are.
std::string printableText(const char* text);

// The part of path after its last "/" that has at least one character after it, or
// the whole path when there is none ("a/b" gives "b", "a/b/" gives "b/", "/" gives
// "/"). Points into path.
const char* baseName(const char* path);

// The words of the bits set in flags, lowest bit first, joined by ";": bit i is named
// by words[i] (i < count); higher bits are not named. Empty when no named bit is set.
std::string flagWords(uint32_t flags, const char* const* words, size_t count);

} // namespace newstars
