#include "search/night_piece.hpp"

#include <algorithm>

namespace newstars {

// Reads a decimal number of one to seven digits ending at the terminator. 0 with the
// value and *text moved past the digits, or -1.
static int readCount(const char** text, char terminator, int* value)
{
    const char* p = *text;
    int digits = 0;
    int number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 7)
            return -1;
        number = number * 10 + (*p - '0');
    }
    if (digits == 0 || *p != terminator)
        return -1;
    *text = p;
    *value = number;
    return 0;
}

int parseNightPiece(const char* text, NightPiece* piece, std::string* message)
{
    const char* p = text;
    int number = 0, count = 0;
    if (readCount(&p, '/', &number) != 0 || (++p, readCount(&p, '\0', &count)) != 0 || number < 1 ||
        number > count || count > MAX_NIGHT_PIECES) {
        *message = "a piece is K/N with 1 <= K <= N <= " + std::to_string(MAX_NIGHT_PIECES);
        return -1;
    }
    piece->number = number;
    piece->count = count;
    return 0;
}

void nightPieceRange(size_t size, NightPiece piece, size_t* begin, size_t* end)
{
    const size_t count = static_cast<size_t>(piece.count);
    const size_t before = static_cast<size_t>(piece.number - 1);
    const size_t share = size / count;
    const size_t larger = size % count;
    *begin = before * share + std::min(before, larger);
    *end = *begin + share + (before < larger ? 1 : 0);
}

} // namespace newstars
