#include "fits/fits_image.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace newstars {

namespace {

constexpr int KEY_LENGTH = 8;
constexpr int VALUE_COLUMN = 10;     // index of column 11, where value fields start
constexpr int LOGICAL_COLUMN = 29;   // index of column 30, the logical's T or F
constexpr int REAL_FIELD_WIDTH = 20; // columns 11-30
constexpr int CARD_TEXT_LENGTH = 72; // columns 1-72: keyword, indicator and value field

// Writes the keyword as a lookup key: cut to 8 characters or blank-filled to 8.
void makeKey(const char* keyword, char key[KEY_LENGTH + 1])
{
    std::snprintf(key, KEY_LENGTH + 1, "%-8.8s", keyword);
}

bool isBlankSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Copies a formatted text of at least 80 characters into the card (80 exactly).
void copyCardText(char* dest, const char* text)
{
    std::memcpy(dest, text, FITS_CARD_LENGTH);
}

// Index just past the last significant character of text[0, length): blanks cut.
size_t trimmedLength(const std::string& text)
{
    size_t n = text.size();
    while (n > 0 && text[n - 1] == ' ')
        --n;
    return n;
}

// Writes the card text over the first card of the keyword, or appends it. 0 or -1.
int storeCard(FitsImage* image, const char* keyword, const char* card)
{
    char* existing = nullptr;
    if (findCard(image, keyword, &existing) != 0)
        return addCard(image, card);
    std::memcpy(existing, card, FITS_CARD_LENGTH);
    return 0;
}

// Formats the value with "%.*G" at the precision, falling back to fewer significant
// digits while the text is wider than the 20-column field. Returns the text length.
int formatRealValue(char* text, size_t size, double value, int precision)
{
    // printf treats a negative precision as 6 and a precision of 0 as 1 for %G.
    if (precision < 0)
        precision = 6;
    if (precision < 1)
        precision = 1;
    // A double's exact decimal expansion has fewer than 800 significant digits, so a
    // larger precision prints the same text as 800.
    if (precision > 800)
        precision = 800;
    int length = 0;
    for (int digits = precision; digits >= 1; --digits) {
        length = std::snprintf(text, size, "%.*G", digits, value);
        if (length >= 0 && length <= REAL_FIELD_WIDTH)
            return length;
    }
    return length; // one digit always fits: at most "-9E-308" or "-INF"
}

// Reads the number grammar of a real value field from text[0, length): blanks,
// optional sign, digits, optional fraction, optional exponent (E, e, D or d, optional
// sign, digits). Writes the accepted text with E as the exponent letter into number.
// Returns false when there is no number.
bool scanRealText(const char* text, int length, char* number)
{
    int i = 0;
    while (i < length && isBlankSpace(text[i]))
        ++i;
    int n = 0;
    if (i < length && (text[i] == '+' || text[i] == '-'))
        number[n++] = text[i++];
    int mantissaDigits = 0;
    while (i < length && isDigit(text[i])) {
        number[n++] = text[i++];
        ++mantissaDigits;
    }
    if (i < length && text[i] == '.') {
        number[n++] = text[i++];
        while (i < length && isDigit(text[i])) {
            number[n++] = text[i++];
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return false;
    if (i < length && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
        int j = i + 1;
        int signLength = 0;
        if (j < length && (text[j] == '+' || text[j] == '-'))
            signLength = 1;
        if (j + signLength < length && isDigit(text[j + signLength])) {
            number[n++] = 'E';
            if (signLength)
                number[n++] = text[j];
            j += signLength;
            while (j < length && isDigit(text[j]))
                number[n++] = text[j++];
        }
    }
    number[n] = '\0';
    return true;
}

} // namespace

void initFitsImage(FitsImage* image)
{
    *image = FitsImage{};
}

void freeFitsImage(FitsImage* image)
{
    *image = FitsImage{};
}

int findCard(const FitsImage* image, const char* keyword, const char** card)
{
    char key[KEY_LENGTH + 1];
    makeKey(keyword, key);
    const char* cards = image->cards.data();
    for (int32_t i = 0; i < image->cardCount; ++i) {
        const char* candidate = cards + static_cast<size_t>(i) * FITS_CARD_LENGTH;
        if (std::memcmp(candidate, key, KEY_LENGTH) == 0) {
            *card = candidate;
            return 0;
        }
    }
    return -1;
}

int findCard(FitsImage* image, const char* keyword, char** card)
{
    const char* found = nullptr;
    if (findCard(static_cast<const FitsImage*>(image), keyword, &found) != 0)
        return -1;
    *card = image->cards.data() + (found - image->cards.data());
    return 0;
}

int addCard(FitsImage* image, const char* card)
{
    // The card may lie inside this header (a pointer from findCard): copy it first,
    // since growing the array moves it.
    char copy[FITS_CARD_LENGTH];
    std::memcpy(copy, card, FITS_CARD_LENGTH);
    try {
        image->cards.insert(image->cards.end(), copy, copy + FITS_CARD_LENGTH);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    ++image->cardCount;
    return 0;
}

int deleteCard(FitsImage* image, const char* keyword)
{
    if (image->cardCount <= 0)
        return -1;
    const char* card = nullptr;
    if (findCard(static_cast<const FitsImage*>(image), keyword, &card) != 0)
        return -1;
    size_t offset = static_cast<size_t>(card - image->cards.data());
    std::vector<char> remaining;
    try {
        remaining.resize(static_cast<size_t>(image->cardCount - 1) * FITS_CARD_LENGTH);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    const char* cards = image->cards.data();
    size_t after = image->cards.size() - offset - FITS_CARD_LENGTH;
    if (offset > 0)
        std::memcpy(remaining.data(), cards, offset);
    if (after > 0)
        std::memcpy(remaining.data() + offset, cards + offset + FITS_CARD_LENGTH, after);
    image->cards.swap(remaining);
    --image->cardCount;
    return 0;
}

int copyCard(FitsImage* destination, const FitsImage* source, const char* keyword)
{
    const char* card = nullptr;
    if (findCard(source, keyword, &card) != 0)
        return -1;
    char* target = nullptr;
    if (findCard(destination, keyword, &target) != 0)
        return addCard(destination, card);
    std::memmove(target, card, FITS_CARD_LENGTH);
    return 0;
}

char* formatLogicalCard(char* dest, const char* keyword, int flag)
{
    char text[128];
    std::snprintf(text, sizeof text, "%-8.8s=%20s%c%49s", keyword, "", flag ? 'T' : 'F', "");
    text[FITS_CARD_LENGTH - 1] = ' ';
    copyCardText(dest, text);
    return dest;
}

char* formatIntCard(char* dest, const char* keyword, int32_t value)
{
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(value));
    char text[128];
    std::snprintf(text, sizeof text, "%-8.8s= %*s%s%49s", keyword, 20 - n, "", digits, "");
    text[FITS_CARD_LENGTH - 1] = ' ';
    copyCardText(dest, text);
    return dest;
}

char* formatRealCard(char* dest, const char* keyword, double value, int precision)
{
    char number[1024];
    formatRealValue(number, sizeof number, value, precision);
    char text[128];
    std::snprintf(text, sizeof text, "%-8.8s= %20.20s%49s", keyword, number, "");
    text[FITS_CARD_LENGTH - 1] = ' ';
    copyCardText(dest, text);
    return dest;
}

char* formatStringCard(char* dest, const char* keyword, const char* text)
{
    int width = static_cast<int>(strnlen(text, 68));
    if (width < 8)
        width = 8;
    char card[128];
    std::snprintf(card, sizeof card, "%-8.8s= '%-*.68s'%*s", keyword, width, text, 68 - width, "");
    copyCardText(dest, card);
    return dest;
}

char* formatEndCard(char* dest)
{
    char text[128];
    std::snprintf(text, sizeof text, "%-79s", "END");
    text[FITS_CARD_LENGTH - 1] = ' ';
    copyCardText(dest, text);
    return dest;
}

int setLogicalCard(FitsImage* image, const char* keyword, int flag)
{
    char card[FITS_CARD_LENGTH];
    return storeCard(image, keyword, formatLogicalCard(card, keyword, flag));
}

int setIntCard(FitsImage* image, const char* keyword, int32_t value)
{
    char card[FITS_CARD_LENGTH];
    return storeCard(image, keyword, formatIntCard(card, keyword, value));
}

int setRealCard(FitsImage* image, const char* keyword, double value, int precision)
{
    char card[FITS_CARD_LENGTH];
    return storeCard(image, keyword, formatRealCard(card, keyword, value, precision));
}

int setStringCard(FitsImage* image, const char* keyword, const char* text)
{
    char card[FITS_CARD_LENGTH];
    return storeCard(image, keyword, formatStringCard(card, keyword, text));
}

int setCommentCard(FitsImage* image, const char* keyword, const char* text)
{
    size_t length = std::strlen(text);
    size_t start = 0;
    char card[128];
    while (start < length) {
        if (start == 0) {
            std::snprintf(card, sizeof card, "%-8.8s%-72.72s", keyword, text);
            start = 72;
        } else {
            std::snprintf(card, sizeof card, "%-8.8s... %-68.68s", keyword, text + start);
            start += 68;
        }
        if (addCard(image, card) != 0)
            return -1;
    }
    return 0;
}

int getLogicalCard(const FitsImage* image, const char* keyword, int* value)
{
    const char* card = nullptr;
    if (findCard(image, keyword, &card) != 0)
        return -1;
    char c = card[LOGICAL_COLUMN];
    if (c == 'T' || c == 't') {
        *value = 1;
        return 0;
    }
    if (c == 'F' || c == 'f') {
        *value = 0;
        return 0;
    }
    return -1;
}

int getIntCard(const FitsImage* image, const char* keyword, int32_t* value)
{
    const char* card = nullptr;
    if (findCard(image, keyword, &card) != 0)
        return -1;
    int i = VALUE_COLUMN;
    while (i < FITS_CARD_LENGTH && isBlankSpace(card[i]))
        ++i;
    bool negative = false;
    if (i < FITS_CARD_LENGTH && (card[i] == '+' || card[i] == '-'))
        negative = card[i++] == '-';
    // Accumulate the magnitude as a negative number so that INT32_MIN is exact;
    // values beyond the 32-bit range saturate at its ends.
    int64_t accumulated = 0;
    const int64_t limit = -static_cast<int64_t>(INT32_MAX) - 1;
    while (i < FITS_CARD_LENGTH && isDigit(card[i])) {
        accumulated = accumulated * 10 - (card[i++] - '0');
        if (accumulated < limit)
            accumulated = limit - 1; // stays below the range, cannot grow further
    }
    if (negative)
        *value = accumulated < limit ? INT32_MIN : static_cast<int32_t>(accumulated);
    else
        *value = -accumulated > INT32_MAX ? INT32_MAX : static_cast<int32_t>(-accumulated);
    return 0;
}

int getRealCard(const FitsImage* image, const char* keyword, double* value)
{
    const char* card = nullptr;
    if (findCard(image, keyword, &card) != 0)
        return -1;
    char number[FITS_CARD_LENGTH + 8];
    if (scanRealText(card + VALUE_COLUMN, FITS_CARD_LENGTH - VALUE_COLUMN, number))
        *value = std::strtod(number, nullptr);
    else
        *value = 0.0;
    return 0;
}

bool readNumberValue(const char* card, double* value)
{
    const char* at = card + VALUE_COLUMN;
    const char* end = card + FITS_CARD_LENGTH;
    const auto digits = [&] {
        const char* start = at;
        while (at < end && isDigit(*at))
            ++at;
        return at > start;
    };
    while (at < end && *at == ' ')
        ++at;
    const char* start = at;
    if (at < end && (*at == '+' || *at == '-'))
        ++at;
    bool mantissa = digits();
    if (at < end && *at == '.') {
        ++at;
        mantissa = digits() || mantissa;
    }
    if (!mantissa)
        return false;
    if (at < end && (*at == 'E' || *at == 'e' || *at == 'D' || *at == 'd')) {
        ++at;
        if (at < end && (*at == '+' || *at == '-'))
            ++at;
        if (!digits())
            return false;
    }
    const char* numberEnd = at;
    while (at < end && *at == ' ')
        ++at;
    if (at != end && *at != '/')
        return false;
    char number[FITS_CARD_LENGTH + 8];
    if (!scanRealText(start, static_cast<int>(numberEnd - start), number))
        return false;
    *value = std::strtod(number, nullptr);
    return true;
}

int getStringCard(const FitsImage* image, const char* keyword, std::string* value)
{
    const char* card = nullptr;
    if (findCard(image, keyword, &card) != 0)
        return -1;
    if (card[VALUE_COLUMN] != '\'')
        return -1;
    const char* start = card + VALUE_COLUMN + 1;
    const char* end = card + FITS_CARD_LENGTH;
    const char* quote = static_cast<const char*>(std::memchr(start, '\'', end - start));
    if (quote == nullptr)
        return -1;
    // The value is a terminated text: it ends at a NUL byte as well.
    std::string text(start, strnlen(start, quote - start));
    text.resize(trimmedLength(text));
    *value = std::move(text);
    return 0;
}

int getCardText(const FitsImage* image, const char* keyword, std::string* text)
{
    const char* card = nullptr;
    if (findCard(image, keyword, &card) != 0)
        return -1;
    text->assign(card, strnlen(card, CARD_TEXT_LENGTH));
    return 0;
}

} // namespace newstars
