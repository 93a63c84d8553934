#pragma once
// Small text helpers.

#include <string>

namespace newstars {

// printf into a std::string: the whole formatted text, however long (empty when the
// format fails).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The part of path after its last "/" that has at least one character after it, or
// the whole path when there is none ("a/b" gives "b", "a/b/" gives "b/", "/" gives
// "/"). Points into path.
const char* baseName(const char* path);

} // namespace newstars
