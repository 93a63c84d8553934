#pragma once
// One of several consecutive pieces of a night's list of test images, so that a night
// can run as independent tasks (one per piece) whose reports merge into one.

#include <cstddef>
#include <string>

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

} // namespace newstars
