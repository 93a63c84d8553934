#pragma once
// Test helpers that build small FITS files byte by byte, independently of the
// project's own header formatting and writer: 80-character cards in the fixed-column
// layout, headers filled to whole 2880-byte records, and 16-bit images.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One card from its text, cut or blank-filled to 80 characters.
inline std::string fitsCard(const std::string& text)
{
    std::string card = text.substr(0, 80);
    card.resize(80, ' ');
    return card;
}

// Value cards: keyword in columns 1-8, "= " in 9-10, a logical, integer or real
// value right-justified to column 30, or a quoted string from column 11.
inline std::string logicalCard(const char* keyword, bool value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20s", keyword, value ? "T" : "F");
    return fitsCard(text);
}

inline std::string intCard(const char* keyword, long value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20ld", keyword, value);
    return fitsCard(text);
}

inline std::string realCard(const char* keyword, double value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20.17G", keyword, value);
    return fitsCard(text);
}

inline std::string stringCard(const char* keyword, const char* value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= '%-8.68s'", keyword, value);
    return fitsCard(text);
}

// A header: the cards (each made 80 characters long), END, and blanks to the end of
// the record.
inline std::string fitsHeader(const std::vector<std::string>& cards)
{
    std::string header;
    for (const std::string& card : cards)
        header += fitsCard(card);
    header += fitsCard("END");
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    return header;
}

// The header of a 16-bit image of width x height pixels stored with BZERO = 32768
// (SIMPLE, BITPIX, NAXIS, NAXIS1, NAXIS2, BZERO), followed by the given cards.
inline std::string fitsImageHeader(int width, int height,
                                   const std::vector<std::string>& cards = {})
{
    std::vector<std::string> all = {logicalCard("SIMPLE", true), intCard("BITPIX", 16),
                                    intCard("NAXIS", 2),         intCard("NAXIS1", width),
                                    intCard("NAXIS2", height),   realCard("BZERO", 32768)};
    all.insert(all.end(), cards.begin(), cards.end());
    return fitsHeader(all);
}

// A whole 16-bit image file: fitsImageHeader, then the pixels, given as memory values
// (file value + 32768), high byte first, zero-filled to the end of the record.
inline std::string fitsImageFile(int width, int height, const std::vector<uint16_t>& pixels,
                                 const std::vector<std::string>& cards = {})
{
    std::string bytes = fitsImageHeader(width, height, cards);
    for (uint16_t pixel : pixels) {
        uint16_t stored = static_cast<uint16_t>(pixel ^ 0x8000); // value - 32768, two's complement
        bytes += static_cast<char>(stored >> 8);
        bytes += static_cast<char>(stored & 0xff);
    }
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, '\0');
    return bytes;
}
