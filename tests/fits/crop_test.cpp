#include "fits/crop.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "support/fits_file.hpp"

using namespace newstars;

// A sw x sh image whose pixel at column x, row y holds 100 y + x, with a hand-written header.
static void makeCropSource(FitsImage* image, int sw, int sh, bool withNaxis2 = true)
{
    initFitsImage(image);
    image->bitpix = 16;
    image->width = sw;
    image->height = sh;
    image->offset1 = 5;
    image->xfactor = 2;
    image->exposureMs = 1500;
    const std::string cards[] = {
        fitsCard("SIMPLE  =                    T"),
        fitsCard("BITPIX  =                   16"),
        fitsCard("NAXIS   =                    2"),
        intCard("NAXIS1", sw),
        intCard("NAXIS2", sh),
        fitsCard("OBJECT  = 'M31     '"),
        fitsCard("CRPIX1  =                 12.5"),
    };
    for (const std::string& card : cards) {
        if (withNaxis2 || card.compare(0, 8, "NAXIS2  ") != 0) {
            addCard(image, card.data());
        }
    }
    for (int y = 0; y < sh; ++y) {
        for (int x = 0; x < sw; ++x) {
            image->pixels.push_back(static_cast<uint16_t>(100 * y + x));
        }
    }
}

static std::string cardOf(const FitsImage* image, int index)
{
    return std::string(image->cards.data() + 80 * index, 80);
}

TEST(CropFits, WholeImageKeepsPixelsAndCardsThenAddsOffsets)
{
    FitsImage source;
    makeCropSource(&source, 7, 5);
    FitsImage crop;
    initFitsImage(&crop);
    std::string message;
    ASSERT_EQ(cropFITS(&source, &crop, 0, 0, 7, 5, &message), 0) << message;
    EXPECT_EQ(crop.pixels, source.pixels);
    ASSERT_EQ(crop.cardCount, source.cardCount + 2);
    EXPECT_EQ(std::string(crop.cards.data(), source.cards.size()),
              std::string(source.cards.data(), source.cards.size()));
    EXPECT_EQ(cardOf(&crop, 7), fitsCard("CROPX   =                    0"));
    EXPECT_EQ(cardOf(&crop, 8), fitsCard("CROPY   =                    0"));
    EXPECT_EQ(crop.width, 7);
    EXPECT_EQ(crop.height, 5);
    // fields other than the size take their initial values, whatever the source holds
    EXPECT_EQ(crop.bitpix, 0);
    EXPECT_EQ(crop.offset1, 0);
    EXPECT_EQ(crop.xfactor, 1);
    EXPECT_EQ(crop.exposureMs, 0);
}

TEST(CropFits, CopiesTheAreaAndRewritesSizeCardsInPlace)
{
    struct Case {
        int x, y, w, h;
    };
    const Case cases[] = {{2, 1, 3, 2}, {0, 0, 1, 1}, {6, 4, 1, 1}, {3, 0, 4, 5}, {0, 2, 7, 3}};
    for (const Case& c : cases) {
        FitsImage source;
        makeCropSource(&source, 7, 5);
        const std::vector<uint16_t> sourcePixels = source.pixels;
        FitsImage crop;
        initFitsImage(&crop);
        std::string message;
        ASSERT_EQ(cropFITS(&source, &crop, c.x, c.y, c.w, c.h, &message), 0) << message;
        ASSERT_EQ(crop.pixels.size(), static_cast<std::size_t>(c.w * c.h));
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                EXPECT_EQ(crop.pixels[y * c.w + x], 100 * (y + c.y) + x + c.x) << c.x << "," << c.y;
            }
        }
        EXPECT_EQ(cardOf(&crop, 3),
                  fitsCard("NAXIS1  = " + std::string(19, ' ') + std::to_string(c.w)));
        EXPECT_EQ(cardOf(&crop, 4),
                  fitsCard("NAXIS2  = " + std::string(19, ' ') + std::to_string(c.h)));
        EXPECT_EQ(cardOf(&crop, 6), fitsCard("CRPIX1  =                 12.5"));
        int32_t value = -1;
        EXPECT_EQ(getIntCard(&crop, "CROPX", &value), 0);
        EXPECT_EQ(value, c.x);
        EXPECT_EQ(getIntCard(&crop, "CROPY", &value), 0);
        EXPECT_EQ(value, c.y);
        EXPECT_EQ(source.pixels, sourcePixels);
        EXPECT_EQ(source.cardCount, 7);
    }
}

TEST(CropFits, CropOfACropRewritesTheOffsetsInPlace)
{
    FitsImage source;
    makeCropSource(&source, 7, 5);
    FitsImage first;
    initFitsImage(&first);
    std::string message;
    ASSERT_EQ(cropFITS(&source, &first, 1, 1, 5, 4, &message), 0) << message;
    FitsImage second;
    initFitsImage(&second);
    ASSERT_EQ(cropFITS(&first, &second, 2, 3, 2, 1, &message), 0) << message;
    ASSERT_EQ(second.cardCount, first.cardCount);
    EXPECT_EQ(cardOf(&second, 7), fitsCard("CROPX   =                    2"));
    EXPECT_EQ(cardOf(&second, 8), fitsCard("CROPY   =                    3"));
    EXPECT_EQ(second.pixels, (std::vector<uint16_t>{403, 404}));
}

TEST(CropFits, RefusesAreasOutsideTheSource)
{
    struct Case {
        int x, y, w, h;
        const char* message;
    };
    const Case cases[] = {
        {0, 0, 8, 5, "cropFITS: Bad AOI: x=0 w=8 sw=7"}, // x + w = sw + 1
        {-1, 0, 3, 5, "cropFITS: Bad AOI: x=-1 w=3 sw=7"},
        {0, 1, 7, 5, "cropFITS: Bad AOI: y=1 h=5 sh=5"}, // y + h = sh + 1
        {0, -1, 7, 2, "cropFITS: Bad AOI: y=-1 h=2 sh=5"},
        {5, 5, 3, 3, "cropFITS: Bad AOI: x=5 w=3 sw=7"}, // both: the horizontal message only
        {0, 0, 0, 5, "cropFITS: Bad AOI: x=0 w=0 sw=7"}, // empty and negative areas
        {2, 0, -1, 5, "cropFITS: Bad AOI: x=2 w=-1 sw=7"},
        {0, 0, 7, 0, "cropFITS: Bad AOI: y=0 h=0 sh=5"},
        {0, 3, 7, -2, "cropFITS: Bad AOI: y=3 h=-2 sh=5"},
        // sums that would overflow 32 bits
        {INT_MAX, 0, INT_MAX, 5, "cropFITS: Bad AOI: x=2147483647 w=2147483647 sw=7"},
        {1, 0, INT_MAX, 5, "cropFITS: Bad AOI: x=1 w=2147483647 sw=7"},
        {0, 2, 7, INT_MAX, "cropFITS: Bad AOI: y=2 h=2147483647 sh=5"},
    };
    for (const Case& c : cases) {
        FitsImage source;
        makeCropSource(&source, 7, 5);
        FitsImage crop;
        initFitsImage(&crop);
        crop.width = 99;
        std::string message;
        EXPECT_EQ(cropFITS(&source, &crop, c.x, c.y, c.w, c.h, &message), -1);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(crop.width, 99); // untouched
        EXPECT_EQ(crop.cardCount, 0);
    }
    FitsImage accepted;
    makeCropSource(&accepted, 7, 5);
    FitsImage crop;
    initFitsImage(&crop);
    std::string message;
    EXPECT_EQ(cropFITS(&accepted, &crop, 2, 1, 5, 4, &message), 0)
        << message; // x + w = sw, y + h = sh
}

TEST(CropFits, FailsWithoutSizeCardsOrPixelsAndLeavesTheDestination)
{
    FitsImage destination;
    initFitsImage(&destination);
    destination.width = 3;
    destination.pixels.assign(3, 9);
    std::string message;

    FitsImage noNaxis2;
    makeCropSource(&noNaxis2, 7, 5, false);
    EXPECT_EQ(cropFITS(&noNaxis2, &destination, 0, 0, 2, 2, &message), -1);
    EXPECT_EQ(message, "No NAXIS2");

    // the header claims more than the pixel buffer holds: nothing outside it is read
    FitsImage shortBuffer;
    makeCropSource(&shortBuffer, 7, 5);
    shortBuffer.pixels.resize(20);
    EXPECT_EQ(cropFITS(&shortBuffer, &destination, 0, 2, 7, 3, &message), -1);
    EXPECT_EQ(message, "cropFITS: AOI lies outside the 20-pixel buffer of rows of 7");
    FitsImage narrowRows;
    makeCropSource(&narrowRows, 7, 5);
    narrowRows.width = 4;
    EXPECT_EQ(cropFITS(&narrowRows, &destination, 3, 0, 2, 1, &message), -1);
    EXPECT_EQ(message, "cropFITS: AOI lies outside the 35-pixel buffer of rows of 4");

    EXPECT_EQ(destination.width, 3);
    EXPECT_EQ(destination.pixels, std::vector<uint16_t>(3, 9));
    EXPECT_EQ(destination.cardCount, 0);

    // cropping an image into itself: refused, the image kept whole
    FitsImage image;
    makeCropSource(&image, 7, 5);
    const std::vector<char> cards = image.cards;
    const std::vector<uint16_t> pixels = image.pixels;
    EXPECT_EQ(cropFITS(&image, &image, 3, 4, 4, 1, &message), -1);
    EXPECT_EQ(message, "cropFITS: destination must be another image than the source");
    EXPECT_EQ(image.cards, cards);
    EXPECT_EQ(image.pixels, pixels);
    EXPECT_EQ(image.width, 7);
}
