#pragma once
// The in-memory FITS image and its header-card store.

#include <cstdint>
#include <string>
#include <vector>

namespace newstars {

inline constexpr int FITS_CARD_LENGTH = 80;
inline constexpr int FITS_CARDS_PER_RECORD = 36;
inline constexpr int FITS_RECORD_LENGTH = 2880;
inline constexpr int PIXEL_ZERO = 32768;

// Pixel-mask values: a pixel holds data, or holds none (NaN, BLANK, a chosen no-data
// value, or outside the area an image covers).
inline constexpr uint8_t PIXEL_HAS_DATA = 0;
inline constexpr uint8_t PIXEL_NO_DATA = 1;

// One image in memory and its header cards, cardCount cards of 80 characters back to
// back, in the order they were read or added. Pixels run row after row, the pixel at
// column x, row y being element y * width + x, in one of two forms:
//   16-bit images (bitpix 16): pixels holds file value + 32768, modulo 65536; values
//     and noData are empty.
//   every other type (bitpix 8, 32, -32, -64): values holds the physical values
//     (BSCALE * file value + BZERO) as float, and noData one PIXEL_HAS_DATA or
//     PIXEL_NO_DATA per pixel; pixels is empty. A pixel without data holds 0 in values.
struct FitsImage {
    int32_t bitpix = 0;
    int32_t width = 0;       // NAXIS1
    int32_t height = 0;      // NAXIS2
    int32_t offset1 = 0;     // OFFSET1
    int32_t offset2 = 0;     // OFFSET2
    int32_t xfactor = 1;     // XFACTOR
    int32_t yfactor = 1;     // YFACTOR
    int32_t exposureMs = 0;  // EXPTIME in whole milliseconds, truncated toward zero
    std::vector<char> cards; // cardCount * 80 characters
    int32_t cardCount = 0;
    std::vector<uint16_t> pixels;
    std::vector<float> values;
    std::vector<uint8_t> noData;
};

// Whether the image holds its pixels as values and noData (BITPIX 8, 32, -32 or -64).
inline bool hasFloatPixels(const FitsImage* image)
{
    const int32_t b = image->bitpix;
    return b == 8 || b == 32 || b == -32 || b == -64;
}

// Sets every field to its empty value (xfactor and yfactor to 1).
void initFitsImage(FitsImage* image);
// Releases the cards and pixels, then clears the record as initFitsImage does.
void freeFitsImage(FitsImage* image);

// Finds the first card whose columns 1-8 equal the keyword cut or blank-filled to
// 8 characters (case-sensitive). 0 and *card pointing into image->cards, valid until
// the next card is added or deleted; -1 when no card matches (*card untouched).
int findCard(FitsImage* image, const char* keyword, char** card);
int findCard(const FitsImage* image, const char* keyword, const char** card);

// The reason to give when a card cannot be added for want of memory.
inline constexpr const char* CARD_MEMORY_MESSAGE = "No memory for more FITS header lines";

// Appends a copy of the 80 characters at card (which may lie in this header). 0, or -1
// when memory runs out (the caller's message: CARD_MEMORY_MESSAGE), the header unchanged.
int addCard(FitsImage* image, const char* card);

// Removes the first card of the keyword; the others keep their order. 0, or -1 when
// the header is empty, the keyword is absent or memory runs out; on -1 the header is
// unchanged.
int deleteCard(FitsImage* image, const char* keyword);

// Copies the source's first card of the keyword over the destination's first card of
// it, or appends it. 0, or -1 when the source has no such card or memory runs out
// (destination unchanged).
int copyCard(FitsImage* destination, const FitsImage* source, const char* keyword);

// Setters: format the card (see the formatters below) over the first card of the
// keyword, which keeps its place, or append it. 0, or -1 when an append runs out of
// memory (header unchanged).
int setLogicalCard(FitsImage* image, const char* keyword, int flag);
int setIntCard(FitsImage* image, const char* keyword, int32_t value);
int setRealCard(FitsImage* image, const char* keyword, double value, int precision);
int setStringCard(FitsImage* image, const char* keyword, const char* text);
// Appends the text over as many cards as it needs, never replacing one: the keyword
// and 72 characters on the first card, the keyword, "... " and 68 characters on each
// further one; an empty text adds nothing. 0, or -1 when memory runs out (the cards
// appended before that stay).
int setCommentCard(FitsImage* image, const char* keyword, const char* text);

// Getters: 0 and the value stored; -1 when the card is absent (or, for logicals and
// strings, does not hold that type), the output left untouched. Values are read from
// fixed columns and never beyond column 80 of the card.
//
// Logical: column 30, T or t gives 1, F or f gives 0, anything else -1.
int getLogicalCard(const FitsImage* image, const char* keyword, int* value);
// Integer from column 11: white space, optional sign, decimal digits up to the first
// other character (1.5E3 gives 1); a field without digits gives 0 and succeeds. Values
// beyond the 32-bit range saturate at INT32_MIN or INT32_MAX.
int getIntCard(const FitsImage* image, const char* keyword, int32_t* value);
// Real from column 11: white space, optional sign, digits with an optional fraction
// (at least one digit), optional exponent (E, e, D or d, optional sign, digits).
// Converted correctly rounded, as strtod converts the same text with E for the
// exponent letter (too large an exponent gives HUGE_VAL). No number gives 0.0; no
// hexadecimal, infinity or NaN texts.
int getRealCard(const FitsImage* image, const char* keyword, double* value);
// Strict real, of one card (80 characters): true and *value when the field from column 11
// holds exactly one integer or real number as FITS writes it (blanks, optional sign,
// digits with an optional fraction, an optional exponent of E, e, D or d with its digits)
// and nothing after it but blanks or a "/" comment; converted as getRealCard converts it
// (too large an exponent gives HUGE_VAL). False, *value untouched, for a text, a logical,
// an empty field, an infinity or NaN text, or characters after the number.
bool readNumberValue(const char* card, double* value);
// Requires the opening quote in column 11; the value runs from column 12 up to the
// next quote in columns 12-80 (a doubled quote ends it), trailing blanks removed,
// leading blanks kept (at most 68 characters). -1 without either quote.
int getStringCard(const FitsImage* image, const char* keyword, std::string* value);
// Columns 1-72 of the card: keyword, value indicator and value field.
int getCardText(const FitsImage* image, const char* keyword, std::string* text);

// Formatters: write exactly 80 characters to dest (no terminator) and return dest.
// The keyword is cut to 8 characters or blank-filled to 8 in columns 1-8; columns
// after the value are blank.
//
// "=" in column 9, T (flag non-zero) or F in column 30.
char* formatLogicalCard(char* dest, const char* keyword, int flag);
// "= " in columns 9-10, the decimal value right-justified to column 30.
char* formatIntCard(char* dest, const char* keyword, int32_t value);
// "= " in columns 9-10, the value printed with "%.*G" at the given number of
// significant digits, right-justified in columns 11-30. A text wider than those 20
// columns is printed with the largest smaller number of digits that fits.
char* formatRealCard(char* dest, const char* keyword, double value, int precision);
// "= '" in columns 9-11, the text cut to 68 characters and left-justified from column
// 12 in a field of at least 8 columns, then the closing quote (column 20 to 80).
// Quotes in the text are written unchanged.
char* formatStringCard(char* dest, const char* keyword, const char* text);
// "END" in columns 1-3.
char* formatEndCard(char* dest);

} // namespace newstars
