#include "search/night_piece.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

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

namespace {

constexpr uint64_t FNV_OFFSET = 14695981039346656037ull;
constexpr uint64_t FNV_PRIME = 1099511628211ull;

constexpr std::string_view PIECE_LINE_START = "# newstars piece ";
constexpr std::string_view PIECE_LINE_NIGHT = " of night ";
constexpr size_t FINGERPRINT_DIGITS = 16;

void hashBytes(uint64_t* hash, const char* bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        *hash ^= static_cast<unsigned char>(bytes[i]);
        *hash *= FNV_PRIME;
    }
}

// The text's length (8 bytes, least significant first), then its bytes: no two lists
// feed the same bytes.
void hashText(uint64_t* hash, std::string_view text)
{
    uint64_t length = text.size();
    for (int i = 0; i < 8; ++i) {
        const char byte = static_cast<char>(length & 0xff);
        hashBytes(hash, &byte, 1);
        length >>= 8;
    }
    hashBytes(hash, text.data(), text.size());
}

} // namespace

uint64_t nightFingerprint(const std::vector<std::string>& names, std::string_view settings)
{
    uint64_t hash = FNV_OFFSET;
    hashText(&hash, std::to_string(names.size()));
    for (const std::string& name : names)
        hashText(&hash, name);
    hashText(&hash, settings);
    return hash;
}

std::string pieceLine(NightPiece piece, uint64_t fingerprint)
{
    char digits[FINGERPRINT_DIGITS + 1];
    std::snprintf(digits, sizeof digits, "%016" PRIx64, fingerprint);
    return std::string(PIECE_LINE_START) + std::to_string(piece.number) + "/" +
           std::to_string(piece.count) + std::string(PIECE_LINE_NIGHT) + digits + "\n";
}

int parsePieceLine(std::string_view line, NightPiece* piece, uint64_t* fingerprint)
{
    if (line.substr(0, PIECE_LINE_START.size()) != PIECE_LINE_START)
        return -1;
    line.remove_prefix(PIECE_LINE_START.size());
    const size_t night = line.find(PIECE_LINE_NIGHT);
    if (night == std::string_view::npos)
        return -1;
    const std::string kOfN(line.substr(0, night));
    const std::string_view digits = line.substr(night + PIECE_LINE_NIGHT.size());
    NightPiece read;
    std::string ignored;
    if (parseNightPiece(kOfN.c_str(), &read, &ignored) != 0 || digits.size() != FINGERPRINT_DIGITS)
        return -1;
    uint64_t value = 0;
    for (char c : digits) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return -1;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    *piece = read;
    *fingerprint = value;
    return 0;
}

} // namespace newstars
