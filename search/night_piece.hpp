#pragma once
// One of several consecutive pieces of a night's list of test images, so that a night
// can run as independent tasks (one per piece) whose reports merge into one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace newstars {

// The number-th of count consecutive pieces of a list, 1 <= number <= count.
struct NightPiece {
    int number = 1;
    int count = 1;
};

// The largest number of pieces a night can be split into.
constexpr int MAX_NIGHT_PIECES = 1000000;

// Reads a piece written "K/N": two decimal numbers of digits only, 1 <= K <= N <=
// MAX_NIGHT_PIECES. 0 with *piece set, or -1 with the reason in *message (*piece
// untouched).
int parseNightPiece(const char* text, NightPiece* piece, std::string* message);

// The positions [*begin, *end) of a piece within a list of size entries. The pieces are
// contiguous and in list order, and their sizes differ by at most one: each holds
// size / count entries, the first size % count pieces one more. Pieces are empty when
// count exceeds size. Every entry counts, whatever becomes of it later (an image that
// cannot be read still takes its place).
void nightPieceRange(size_t size, NightPiece piece, size_t* begin, size_t* end);

// A fingerprint of what makes one night: the whole list of test images in order (before
// it is cut into pieces) and the settings text (whatever else the report depends on:
// tolerance, table, options). 64-bit FNV-1a over each name's length and bytes, then the
// settings' length and bytes; not a defence against forgery, a check against mistakes.
uint64_t nightFingerprint(const std::vector<std::string>& names, std::string_view settings);

// The line a run with --part writes first in its report, so that a merge can tell which
// piece of which night it holds: "# newstars piece K/N of night F" and a line end, F the
// fingerprint as 16 lower-case hexadecimal digits.
std::string pieceLine(NightPiece piece, uint64_t fingerprint);

// Reads a piece line as pieceLine writes it, without its line end. 0 with *piece and
// *fingerprint set, or -1 (both untouched).
int parsePieceLine(std::string_view line, NightPiece* piece, uint64_t* fingerprint);

} // namespace newstars
