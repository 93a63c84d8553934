#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"

using namespace newstars;

namespace {

// A text placed on a card from a 1-based column on.
struct Piece {
    int column;
    const char* text;
};

// An 80-column card, blank except for the pieces.
std::string cardWith(std::initializer_list<Piece> pieces)
{
    std::string card(80, ' ');
    for (const Piece& p : pieces)
        card.replace(p.column - 1, std::strlen(p.text), p.text);
    return card;
}

// A value card: keyword in 1-8, "= " in 9-10, the field from column 11.
std::string valueCard(const char* keyword, const std::string& field)
{
    std::string card = cardWith({{1, keyword}, {9, "= "}});
    card.replace(10, field.size(), field);
    return card.substr(0, 80);
}

std::string asText(const char* card)
{
    return std::string(card, 80);
}

std::string cardAt(const FitsImage& image, int index)
{
    return std::string(image.cards.data() + 80 * index, 80);
}

void appendRaw(FitsImage* image, const std::string& card)
{
    addCard(image, card.c_str());
}

std::string formatted(char* (*format)(char*, const char*, int), const char* keyword, int value)
{
    char card[81];
    card[80] = '#';
    format(card, keyword, value);
    EXPECT_EQ(card[80], '#') << "formatter wrote past column 80";
    return asText(card);
}

std::string realCard(const char* keyword, double value, int precision)
{
    char card[81];
    card[80] = '#';
    formatRealCard(card, keyword, value, precision);
    EXPECT_EQ(card[80], '#') << "formatter wrote past column 80";
    return asText(card);
}

std::string stringCard(const char* keyword, const char* text)
{
    char card[81];
    card[80] = '#';
    formatStringCard(card, keyword, text);
    EXPECT_EQ(card[80], '#') << "formatter wrote past column 80";
    return asText(card);
}

} // namespace

TEST(FormatCards, LogicalAndIntegerColumns)
{
    struct Case {
        std::string card;
        std::string expected;
    };
    auto intCard = [](const char* keyword, int32_t value) {
        char card[81];
        card[80] = '#';
        formatIntCard(card, keyword, value);
        EXPECT_EQ(card[80], '#');
        return asText(card);
    };
    const Case cases[] = {
        {formatted(formatLogicalCard, "SIMPLE", 1), cardWith({{1, "SIMPLE"}, {9, "="}, {30, "T"}})},
        {formatted(formatLogicalCard, "EXTEND", 0), cardWith({{1, "EXTEND"}, {9, "="}, {30, "F"}})},
        {formatted(formatLogicalCard, "FLAG", -7), cardWith({{1, "FLAG"}, {9, "="}, {30, "T"}})},
        {intCard("BITPIX", 16), cardWith({{1, "BITPIX"}, {9, "= "}, {29, "16"}})},
        {intCard("BZERO", -32768), cardWith({{1, "BZERO"}, {9, "= "}, {25, "-32768"}})},
        {intCard("NAXIS", 0), cardWith({{1, "NAXIS"}, {9, "= "}, {30, "0"}})},
        {intCard("BIG", INT32_MAX), cardWith({{1, "BIG"}, {9, "= "}, {21, "2147483647"}})},
        {intCard("SMALL", INT32_MIN), cardWith({{1, "SMALL"}, {9, "= "}, {20, "-2147483648"}})},
        {intCard("NAXIS1234", 7), cardWith({{1, "NAXIS123"}, {9, "= "}, {30, "7"}})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.card, c.expected);
    char end[81];
    end[80] = '#';
    formatEndCard(end);
    EXPECT_EQ(asText(end), cardWith({{1, "END"}}));
    EXPECT_EQ(end[80], '#');
}

TEST(FormatCards, RealColumns)
{
    struct Case {
        double value;
        int precision;
        int column;
        const char* text;
    };
    const Case cases[] = {
        {2.5, 6, 28, "2.5"},
        {2450000.5, 12, 22, "2450000.5"},
        {0.00001, 6, 26, "1E-05"}, // exponent below -4
        {0.0001, 6, 25, "0.0001"},
        {1000000.0, 6, 26, "1E+06"}, // exponent not below the precision
        {123456.0, 6, 25, "123456"},
        {-1234567.0, 6, 19, "-1.23457E+06"},
        {0.0, 6, 30, "0"},
        {1.0 / 3.0, 13, 16, "0.3333333333333"},
        // Wider than 20 columns: the most significant digits that fit.
        // 1/3 is 0.33333333333333331482961625624739...
        {1.0 / 3.0, 30, 11, "0.333333333333333315"},
        {-1.0 / 3.0, 30, 11, "-0.33333333333333331"},
        {-1.2345678901234567e-300, 20, 11, "-1.234567890123E-300"},
        {12345678901234567890.0, 30, 11, "12345678901234567168"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(realCard("VALUE", c.value, c.precision),
                  cardWith({{1, "VALUE"}, {9, "= "}, {c.column, c.text}}))
            << c.value << " precision " << c.precision;
}

TEST(FormatCards, StringColumns)
{
    const std::string seventy(70, 'x');
    const std::string sixtyEight(68, 'x');
    struct Case {
        std::string card;
        std::string expected;
    };
    const Case cases[] = {
        {stringCard("OBJECT", "abc"),
         cardWith({{1, "OBJECT"}, {9, "= '"}, {12, "abc"}, {20, "'"}})},
        {stringCard("OBJECT", ""), cardWith({{1, "OBJECT"}, {9, "= '"}, {20, "'"}})},
        {stringCard("OBJECT", "12345678"),
         cardWith({{1, "OBJECT"}, {9, "= '"}, {12, "12345678"}, {20, "'"}})},
        {stringCard("OBJECT", "123456789"),
         cardWith({{1, "OBJECT"}, {9, "= '"}, {12, "123456789"}, {21, "'"}})},
        {stringCard("OBJECT", "O'B"),
         cardWith({{1, "OBJECT"}, {9, "= '"}, {12, "O'B"}, {20, "'"}})},
        {stringCard("OBJECT", seventy.c_str()),
         cardWith({{1, "OBJECT"}, {9, "= '"}, {12, sixtyEight.c_str()}, {80, "'"}})},
        {stringCard("OBJECT", sixtyEight.c_str()),
         cardWith({{1, "OBJECT"}, {9, "= '"}, {12, sixtyEight.c_str()}, {80, "'"}})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.card, c.expected);
}

TEST(SetCards, RewriteInPlaceOrAppend)
{
    FitsImage image;
    setLogicalCard(&image, "SIMPLE", 1);
    setIntCard(&image, "NAXIS", 2);
    setRealCard(&image, "EXPTIME", 30.0, 6);
    ASSERT_EQ(image.cardCount, 3);
    setLogicalCard(&image, "SIMPLE", 0);
    setIntCard(&image, "NAXIS", 3);
    setStringCard(&image, "OBJECT", "M31");
    ASSERT_EQ(image.cardCount, 4);
    EXPECT_EQ(image.cards.size(), 4u * 80);
    EXPECT_EQ(cardAt(image, 0), cardWith({{1, "SIMPLE"}, {9, "="}, {30, "F"}}));
    EXPECT_EQ(cardAt(image, 1), cardWith({{1, "NAXIS"}, {9, "= "}, {30, "3"}}));
    EXPECT_EQ(cardAt(image, 2), cardWith({{1, "EXPTIME"}, {9, "= "}, {29, "30"}}));
    EXPECT_EQ(cardAt(image, 3), cardWith({{1, "OBJECT"}, {9, "= '"}, {12, "M31"}, {20, "'"}}));

    // A real too wide for its field leaves the card at 80 columns and the neighbours whole.
    setRealCard(&image, "NAXIS", 1.0 / 7.0, 40);
    EXPECT_EQ(image.cardCount, 4);
    EXPECT_EQ(cardAt(image, 0), cardWith({{1, "SIMPLE"}, {9, "="}, {30, "F"}}));
    EXPECT_EQ(cardAt(image, 1), cardWith({{1, "NAXIS"}, {9, "= "}, {11, "0.142857142857142849"}}));
    EXPECT_EQ(cardAt(image, 2), cardWith({{1, "EXPTIME"}, {9, "= "}, {29, "30"}}));
}

TEST(SetCards, KeywordsCutToEightAndCaseSensitive)
{
    FitsImage image;
    setIntCard(&image, "NAXIS1234", 5);
    EXPECT_EQ(cardAt(image, 0).substr(0, 8), "NAXIS123");
    int32_t value = 0;
    EXPECT_EQ(getIntCard(&image, "NAXIS1234", &value), 0);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(getIntCard(&image, "NAXIS123", &value), 0);
    value = -1;
    EXPECT_EQ(getIntCard(&image, "naxis123", &value), -1);
    EXPECT_EQ(getIntCard(&image, "NAXIS12", &value), -1);
    EXPECT_EQ(value, -1);
}

TEST(SetCards, DuplicatesOnlyFirstSeen)
{
    FitsImage image;
    appendRaw(&image, valueCard("GAIN", "                   1"));
    appendRaw(&image, valueCard("GAIN", "                   2"));
    int32_t value = 0;
    EXPECT_EQ(getIntCard(&image, "GAIN", &value), 0);
    EXPECT_EQ(value, 1);
    setIntCard(&image, "GAIN", 9);
    EXPECT_EQ(image.cardCount, 2);
    EXPECT_EQ(cardAt(image, 0), valueCard("GAIN", "                   9"));
    EXPECT_EQ(cardAt(image, 1), valueCard("GAIN", "                   2"));
    EXPECT_EQ(deleteCard(&image, "GAIN"), 0);
    ASSERT_EQ(image.cardCount, 1);
    EXPECT_EQ(cardAt(image, 0), valueCard("GAIN", "                   2"));
}

TEST(SetCards, CommentCardsSplitTheText)
{
    struct Case {
        size_t length;
        std::vector<size_t> perCard;
    };
    const Case cases[] = {
        {0, {}}, {1, {1}}, {72, {72}}, {73, {72, 1}}, {140, {72, 68}}, {150, {72, 68, 10}},
    };
    for (const Case& c : cases) {
        std::string text;
        for (size_t i = 0; i < c.length; ++i)
            text += static_cast<char>('a' + i % 26);
        FitsImage image;
        setIntCard(&image, "HISTORY", 1); // never replaced by comments
        setCommentCard(&image, "HISTORY", text.c_str());
        ASSERT_EQ(image.cardCount, 1 + static_cast<int>(c.perCard.size())) << c.length;
        size_t used = 0;
        for (size_t k = 0; k < c.perCard.size(); ++k) {
            std::string piece = text.substr(used, c.perCard[k]);
            used += c.perCard[k];
            std::string expected =
                k == 0 ? cardWith({{1, "HISTORY"}, {9, piece.c_str()}})
                       : cardWith({{1, "HISTORY"}, {9, "... "}, {13, piece.c_str()}});
            EXPECT_EQ(cardAt(image, 1 + static_cast<int>(k)), expected)
                << c.length << " card " << k;
        }
    }
}

TEST(GetCards, Integers)
{
    struct Case {
        std::string field;
        int32_t expected;
    };
    const Case cases[] = {
        {"                  42", 42},
        {"              -32768", -32768},
        {"  +7", 7},
        {"\t12", 12},
        {"1.5E3", 1},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"0x1F", 0},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX}, // beyond the range: saturated
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999999999999", INT32_MAX},
        {"-99999999999999999999999999999999", INT32_MIN},
        {std::string(67, '0') + "123", 123}, // digits up to column 80
    };
    for (const Case& c : cases) {
        FitsImage image;
        appendRaw(&image, valueCard("KEY", c.field));
        int32_t value = -12345;
        EXPECT_EQ(getIntCard(&image, "KEY", &value), 0) << c.field;
        EXPECT_EQ(value, c.expected) << '"' << c.field << '"';
    }
}

TEST(GetCards, Reals)
{
    struct Case {
        std::string field;
        double expected;
    };
    const Case cases[] = {
        {"                 2.5", 2.5},
        {"1.5E3", 1500.0},
        {"1.5D3", 1500.0},
        {"1.5d3", 1500.0},
        {"1.5e-3", 0.0015},
        {"-.5", -0.5},
        {"+5.", 5.0},
        {"1.5E", 1.5},
        {"1.5E+", 1.5},
        {"1.5D-x", 1.5},
        {"0x10", 0.0}, // no hexadecimal
        {"inf", 0.0},  // no infinity
        {"-nan", 0.0}, // no NaN
        {"", 0.0},
        {".", 0.0},
        {"-", 0.0},
        {"0.1", 0.1},
        {"0.30000000000000004", 0.30000000000000004},
        {"9007199254740993", 9007199254740992.0}, // halfway: rounds to even
        {"1.7976931348623157D308", DBL_MAX},
        {"4.9406564584124654E-324", 4.9406564584124654e-324},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
        {"1e999", HUGE_VAL},
        {std::string(66, ' ') + "1.25", 1.25}, // up to column 80
    };
    for (const Case& c : cases) {
        FitsImage image;
        appendRaw(&image, valueCard("KEY", c.field));
        double value = -12345.0;
        EXPECT_EQ(getRealCard(&image, "KEY", &value), 0) << c.field;
        EXPECT_EQ(value, c.expected) << '"' << c.field << '"';
    }
}

// The strict reading: one number and nothing after it but blanks or a comment; the same
// value as getRealCard where it accepts the field.
TEST(GetCards, StrictNumbers)
{
    struct Case {
        std::string field;
        bool number;
        double expected;
    };
    const Case cases[] = {
        {"                 2.5", true, 2.5},
        {"1.5D3 / scale", true, 1500.0},
        {"-.5", true, -0.5},
        {"+5.   ", true, 5.0},
        {"1e999", true, HUGE_VAL},
        {std::string(66, ' ') + "1.25", true, 1.25},
        {"1.5E", false, 0},
        {"1.5E+ / x", false, 0},
        {"12abc", false, 0},
        {"1 2", false, 0},
        {"'1.5'", false, 0},
        {"'NAN'", false, 0},
        {"T", false, 0},
        {"nan", false, 0},
        {"inf", false, 0},
        {"0x10", false, 0},
        {"", false, 0},
        {".", false, 0},
        {"-", false, 0},
        {"/ 1.5", false, 0},
    };
    for (const Case& c : cases) {
        FitsImage image;
        appendRaw(&image, valueCard("KEY", c.field));
        const char* card = nullptr;
        ASSERT_EQ(findCard(&image, "KEY", &card), 0);
        double value = -12345.0;
        EXPECT_EQ(readNumberValue(card, &value), c.number) << '"' << c.field << '"';
        EXPECT_EQ(value, c.number ? c.expected : -12345.0) << '"' << c.field << '"';
        double loose = 0;
        if (c.number && getRealCard(&image, "KEY", &loose) == 0) {
            EXPECT_EQ(loose, value) << '"' << c.field << '"';
        }
    }
}

TEST(GetCards, NumbersStopAtColumn80)
{
    FitsImage image;
    appendRaw(&image, valueCard("KEY", std::string(68, ' ') + "12"));
    appendRaw(&image, "3456789 = 1" + std::string(69, ' '));
    int32_t integer = 0;
    double real = 0;
    EXPECT_EQ(getIntCard(&image, "KEY", &integer), 0);
    EXPECT_EQ(getRealCard(&image, "KEY", &real), 0);
    EXPECT_EQ(integer, 12);
    EXPECT_EQ(real, 12.0);

    FitsImage blank;
    appendRaw(&blank, valueCard("KEY", ""));
    appendRaw(&blank, "7" + std::string(79, ' '));
    integer = 5;
    real = 5;
    EXPECT_EQ(getIntCard(&blank, "KEY", &integer), 0);
    EXPECT_EQ(getRealCard(&blank, "KEY", &real), 0);
    EXPECT_EQ(integer, 0);
    EXPECT_EQ(real, 0.0);
}

TEST(GetCards, Logicals)
{
    struct Case {
        const char* column30;
        int result;
        int value;
    };
    const Case cases[] = {{"T", 0, 1}, {"t", 0, 1},  {"F", 0, 0},
                          {"f", 0, 0}, {"Y", -1, 7}, {" ", -1, 7}};
    for (const Case& c : cases) {
        FitsImage image;
        appendRaw(&image, cardWith({{1, "SIMPLE"}, {9, "="}, {30, c.column30}}));
        int value = 7;
        EXPECT_EQ(getLogicalCard(&image, "SIMPLE", &value), c.result) << c.column30;
        EXPECT_EQ(value, c.value) << c.column30;
    }
}

TEST(GetCards, Strings)
{
    struct Case {
        std::string field;
        int result;
        std::string value;
    };
    const std::string longText(68, 'q');
    const Case cases[] = {
        {"'abc     '", 0, "abc"},
        {"'  lead  '", 0, "  lead"},
        {"''", 0, ""},
        {"'O''Brien'", 0, "O"},      // a doubled quote ends the value
        {" 'abc'", -1, "untouched"}, // quote in column 12, not 11
        {"'no closing quote", -1, "untouched"},
        {"'" + longText + "'", 0, longText},
        {"'" + longText + "x", -1, "untouched"}, // no quote up to column 80
        {"42", -1, "untouched"},
    };
    for (const Case& c : cases) {
        FitsImage image;
        appendRaw(&image, valueCard("OBJECT", c.field));
        appendRaw(&image, "'" + std::string(79, ' ')); // a quote just past column 80
        std::string value = "untouched";
        EXPECT_EQ(getStringCard(&image, "OBJECT", &value), c.result) << c.field;
        if (c.result == 0) {
            EXPECT_EQ(value, c.value) << c.field;
        }
    }
}

TEST(GetCards, CardTextAndMissingCards)
{
    FitsImage image;
    std::string card = valueCard("OBJECT", "'M31'");
    card.replace(72, 8, "COMMENTS");
    appendRaw(&image, card);
    std::string text;
    EXPECT_EQ(getCardText(&image, "OBJECT", &text), 0);
    EXPECT_EQ(text, card.substr(0, 72));

    int logical = 3;
    int32_t integer = 3;
    double real = 3;
    std::string string = "3";
    EXPECT_EQ(getLogicalCard(&image, "ABSENT", &logical), -1);
    EXPECT_EQ(getIntCard(&image, "ABSENT", &integer), -1);
    EXPECT_EQ(getRealCard(&image, "ABSENT", &real), -1);
    EXPECT_EQ(getStringCard(&image, "ABSENT", &string), -1);
    EXPECT_EQ(getCardText(&image, "ABSENT", &string), -1);
    EXPECT_EQ(logical, 3);
    EXPECT_EQ(integer, 3);
    EXPECT_EQ(real, 3.0);
    EXPECT_EQ(string, "3");
}

TEST(CardStore, FindDeleteAndCopy)
{
    FitsImage image;
    setIntCard(&image, "A", 1);
    setIntCard(&image, "B", 2);
    setIntCard(&image, "C", 3);
    const FitsImage& constImage = image;
    const char* found = nullptr;
    ASSERT_EQ(findCard(&constImage, "B", &found), 0);
    EXPECT_EQ(found, image.cards.data() + 80);
    char* writable = nullptr;
    ASSERT_EQ(findCard(&image, "C", &writable), 0);
    EXPECT_EQ(writable, image.cards.data() + 160);

    EXPECT_EQ(deleteCard(&image, "D"), -1);
    EXPECT_EQ(deleteCard(&image, "B"), 0);
    ASSERT_EQ(image.cardCount, 2);
    EXPECT_EQ(image.cards.size(), 160u);
    EXPECT_EQ(cardAt(image, 0).substr(0, 8), "A       ");
    EXPECT_EQ(cardAt(image, 1).substr(0, 8), "C       ");

    // Appending a card of the same header: the copy survives the array growing.
    ASSERT_EQ(findCard(&image, "A", &writable), 0);
    addCard(&image, writable);
    ASSERT_EQ(image.cardCount, 3);
    EXPECT_EQ(cardAt(image, 2), cardAt(image, 0));

    FitsImage single;
    setIntCard(&single, "ONLY", 1);
    EXPECT_EQ(deleteCard(&single, "ONLY"), 0);
    EXPECT_EQ(single.cardCount, 0);
    EXPECT_EQ(deleteCard(&single, "ONLY"), -1);

    FitsImage empty;
    FitsImage destination;
    setIntCard(&destination, "C", 30);
    EXPECT_EQ(copyCard(&destination, &empty, "C"), -1);
    EXPECT_EQ(copyCard(&destination, &image, "D"), -1);
    ASSERT_EQ(destination.cardCount, 1);
    EXPECT_EQ(cardAt(destination, 0), valueCard("C", "                  30"));
    EXPECT_EQ(copyCard(&destination, &image, "C"), 0); // overwrites
    EXPECT_EQ(copyCard(&destination, &image, "A"), 0); // appends
    ASSERT_EQ(destination.cardCount, 2);
    EXPECT_EQ(cardAt(destination, 0), cardAt(image, 1));
    EXPECT_EQ(cardAt(destination, 1), cardAt(image, 0));
    EXPECT_EQ(copyCard(&destination, &destination, "A"), 0);
    EXPECT_EQ(cardAt(destination, 1), cardAt(image, 0));
}
