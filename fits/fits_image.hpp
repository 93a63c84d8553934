#pragma once
// The in-memory FITS image and its header-card store.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int FITS_CARD_LENGTH = 80;
inline constexpr int FITS_CARDS_PER_RECORD = 36;
inline constexpr int FITS_RECORD_LENGTH = 2880;
inline constexpr int PIXEL_ZERO = 32768;

// One image in memory: 16-bit pixels (file value + 32768, modulo 65536), row after
// row, the pixel at column x, row y being pixels[y * width + x]; and its header cards,
// cardCount cards of 80 characters back to back, in the order they were read or added.
struct FitsImage {
    int32_t bitpix = 0;
    int32_t width = 0;        // NAXIS1
    int32_t height = 0;       // NAXIS2
    int32_t offset1 = 0;      // OFFSET1
    int32_t offset2 = 0;      // OFFSET2
    int32_t xfactor = 1;      // XFACTOR
    int32_t yfactor = 1;      // YFACTOR
    int32_t exposureMs = 0;   // EXPTIME in whole milliseconds, truncated toward zero
    std::vector<char> cards;  // cardCount * 80 characters, no spare capacity
    int32_t cardCount = 0;
    std::vector<uint16_t> pixels;
};

// Sets every field to its empty value (xfactor and yfactor to 1).
void initFitsImage(FitsImage* image);
// Releases the cards and pixels, then clears the record as initFitsImage does.
void freeFitsImage(FitsImage* image);

// Finds the first card whose columns 1-8 equal the keyword cut or blank-filled to
// 8 characters (case-sensitive). 0 and *card pointing into image->cards, valid until
// the next card is added or deleted; -1 when no card matches (*card untouched).
int findCard(FitsImage* image, const char* keyword, char** card);
int findCard(const FitsImage* image, const char* keyword, const char** card);

// Appends a copy of the 80 characters at card. Out of memory: a message on standard
// error, the header unchanged.
void addCard(FitsImage* image, const char* card);

// Removes the first card of the keyword. 0, or -1 when the header is empty, the
// keyword is absent or memory runs out (header unchanged).
int deleteCard(FitsImage* image, const char* keyword);

// Copies the source's first card of the keyword over the destination's first card of
// it, or appends it. 0, or -1 when the source has no such card (destination unchanged).
int copyCard(FitsImage* destination, const FitsImage* source, const char* keyword);

// Setters: rewrite the first card of the keyword in place, or append a new card.
void setLogicalCard(FitsImage* image, const char* keyword, int flag);
void setIntCard(FitsImage* image, const char* keyword, int32_t value);
void setRealCard(FitsImage* image, const char* keyword, double value, int precision);
void setStringCard(FitsImage* image, const char* keyword, const char* text);
// Appends the text over as many cards as it needs (72 characters on the first,
// 68 after "... " on each further one); an empty text adds nothing.
void setCommentCard(FitsImage* image, const char* keyword, const char* text);

// Getters: 0 and the value stored; -1 when the card is absent (or, for logicals and
// strings, does not hold that type), the output left untouched.
int getLogicalCard(const FitsImage* image, const char* keyword, int* value);
int getIntCard(const FitsImage* image, const char* keyword, int32_t* value);
int getRealCard(const FitsImage* image, const char* keyword, double* value);
// The quoted value from column 12 up to the next quote, trailing blanks removed.
int getStringCard(const FitsImage* image, const char* keyword, std::string* value);
// Columns 1-72 of the card.
int getCardText(const FitsImage* image, const char* keyword, std::string* text);

// Formatters: write exactly 80 characters to dest (no terminator) and return dest.
char* formatLogicalCard(char* dest, const char* keyword, int flag);
char* formatIntCard(char* dest, const char* keyword, int32_t value);
char* formatRealCard(char* dest, const char* keyword, double value, int precision);
char* formatStringCard(char* dest, const char* keyword, const char* text);
char* formatEndCard(char* dest);
