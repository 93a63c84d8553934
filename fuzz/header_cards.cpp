// The header-card store, getters, setters and formatters on arbitrary cards, keywords,
// numbers and texts. An integer card written is read back as the same value; a card the
// strict number reading takes reads as the same number through getRealCard.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fits/fits_read.hpp"

using namespace newstars;

static const char* const KEYWORDS[] = {"SIMPLE",  "BITPIX", "NAXIS",   "NAXIS1",     "NAXIS2",
                                       "NAXIS3",  "OBJECT", "EXPTIME", "CRVAL1",     "CTYPE1",
                                       "COMMENT", "",       "END",     "LONGKEYWORD"};

// Every getter on the keyword; the outputs are only looked at, not judged.
static void readAll(const FitsImage& image, const char* keyword)
{
    int flag = 0;
    int32_t number = 0;
    double real = 0;
    std::string text;
    const char* card = nullptr;
    getLogicalCard(&image, keyword, &flag);
    getIntCard(&image, keyword, &number);
    getRealCard(&image, keyword, &real);
    getStringCard(&image, keyword, &text);
    getCardText(&image, keyword, &text);
    // The strict reading takes a subset of what getRealCard reads, at the same value.
    if (findCard(&image, keyword, &card) == 0) {
        double strict = 0;
        if (readNumberValue(card, &strict) &&
            (getRealCard(&image, keyword, &real) != 0 ||
             (real != strict && !(real != real && strict != strict))))
            __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    FitsImage image;
    initFitsImage(&image);
    std::string cards = input.ConsumeBytesAsString(input.ConsumeIntegralInRange(0, 40) * 80);
    cards.resize((cards.size() + 79) / 80 * 80, ' ');
    for (size_t at = 0; at < cards.size(); at += 80)
        addCard(&image, cards.data() + at);

    const std::string keyword = input.ConsumeRandomLengthString(12);
    for (const char* k : KEYWORDS)
        readAll(image, k);
    readAll(image, keyword.c_str());
    int32_t width = 0, height = 0;
    std::string message;
    getImageSize(&image, &width, &height, &message);

    const int32_t number = input.ConsumeIntegral<int32_t>();
    const double real = input.ConsumeFloatingPoint<double>();
    const int precision = input.ConsumeIntegralInRange(-5, 40);
    const std::string text = input.ConsumeRandomLengthString(100);
    char card[FITS_CARD_LENGTH];
    formatLogicalCard(card, keyword.c_str(), number & 1);
    formatIntCard(card, keyword.c_str(), number);
    formatRealCard(card, keyword.c_str(), real, precision);
    formatStringCard(card, keyword.c_str(), text.c_str());
    formatEndCard(card);

    FitsImage fresh;
    initFitsImage(&fresh);
    setIntCard(&fresh, keyword.c_str(), number);
    int32_t back = 0;
    if (getIntCard(&fresh, keyword.c_str(), &back) != 0 || back != number)
        __builtin_trap();

    setRealCard(&image, keyword.c_str(), real, precision);
    setStringCard(&image, keyword.c_str(), text.c_str());
    setCommentCard(&image, keyword.c_str(), text.c_str());
    setLogicalCard(&image, keyword.c_str(), number);
    readAll(image, keyword.c_str());
    copyCard(&fresh, &image, keyword.c_str());
    copyCard(&image, &fresh, "NAXIS1");
    while (deleteCard(&image, keyword.c_str()) == 0) {
    }
    if (image.cards.size() != static_cast<size_t>(image.cardCount) * FITS_CARD_LENGTH)
        __builtin_trap();
    freeFitsImage(&image);
    freeFitsImage(&fresh);
    return 0;
}
