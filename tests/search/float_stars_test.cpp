// The stars of images held as float values in the catalogue comparison: the same sky
// positions as the 16-bit image of the same whole numbers, the SATURATE card as the
// saturation level, stars beside pixels without data flagged, and values that do not
// cover the image refused; vetting rejects candidates the finder flags as no-data.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "search/compare.hpp"
#include "search/vetting.hpp"
#include "stars/star_field.hpp"
#include "test_support.hpp"

using namespace newstars;

namespace {

const int WIDTH = 300, HEIGHT = 240;

// An image of the star field (16-bit pixels) or of its values as floats (BITPIX -32),
// with sky cards and the given extra cards.
FitsImage fieldImage(const std::vector<uint16_t>& field, bool asFloat,
                     const std::vector<std::string>& extraCards)
{
    FitsImage image;
    image.bitpix = asFloat ? -32 : 16;
    image.width = WIDTH;
    image.height = HEIGHT;
    std::vector<std::string> cards = linearSkyCards(150, 0, 150, 120);
    cards.insert(cards.end(), extraCards.begin(), extraCards.end());
    for (const std::string& card : cards)
        EXPECT_EQ(addCard(&image, card.c_str()), 0);
    if (asFloat) {
        image.values.assign(field.begin(), field.end());
        image.noData.assign(field.size(), PIXEL_HAS_DATA);
    } else {
        image.pixels = field;
    }
    return image;
}

std::vector<uint16_t> starField()
{
    std::vector<uint16_t> field(static_cast<size_t>(WIDTH) * HEIGHT);
    makeStarField(field.data(), WIDTH, HEIGHT, 120, 31);
    addGaussianStar(field.data(), WIDTH, HEIGHT, 60.4, 170.6, 150000, 1.5); // saturated
    return field;
}

TEST(FindSkyStars, FloatValuesGiveTheStarsOfTheirSixteenBitImage)
{
    const std::vector<uint16_t> field = starField();
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        int change; // stars against the 16-bit image: 0 the same, 1 more, -1 fewer
    };
    const std::vector<Case> cases = {
        {"SATURATE 65535", {realCard("SATURATE", 65535)}, 0},
        {"no SATURATE: nothing saturates", {}, 1},
        {"SATURATE not a number", {stringCard("SATURATE", "65535")}, 1},
        {"SATURATE lower", {realCard("SATURATE", 3000)}, -1},
    };
    StarFinderWorkspace workspace;
    const FitsImage sixteen = fieldImage(field, false, {});
    std::vector<SkyPosition> expected;
    std::string note, error;
    ASSERT_EQ(
        findSkyStars(&sixteen, "field.fts", WcsMode::Auto, &workspace, &expected, &note, &error),
        0);
    ASSERT_GT(expected.size(), 50u);
    for (const Case& c : cases) {
        const FitsImage image = fieldImage(field, true, c.cards);
        std::vector<SkyPosition> sky;
        ASSERT_EQ(findSkyStars(&image, "field.fts", WcsMode::Auto, &workspace, &sky, &note, &error),
                  0)
            << c.name;
        EXPECT_EQ(note, "") << c.name;
        if (c.change == 0) {
            ASSERT_EQ(sky.size(), expected.size()) << c.name;
            for (size_t i = 0; i < sky.size(); ++i) {
                EXPECT_EQ(sky[i].ra, expected[i].ra) << c.name << ", star " << i;
                EXPECT_EQ(sky[i].dec, expected[i].dec) << c.name << ", star " << i;
            }
        } else if (c.change > 0) {
            EXPECT_GT(sky.size(), expected.size()) << c.name;
        } else {
            EXPECT_LT(sky.size(), expected.size()) << c.name;
        }
    }
}

TEST(FindSkyStars, StarsBesidePixelsWithoutDataAreFlagged)
{
    std::vector<uint16_t> field(static_cast<size_t>(WIDTH) * HEIGHT);
    makeStarField(field.data(), WIDTH, HEIGHT, 0, 7);
    addGaussianStar(field.data(), WIDTH, HEIGHT, 100.3, 80.6, 5000, 1.5);
    addGaussianStar(field.data(), WIDTH, HEIGHT, 200.4, 160.2, 5000, 1.5);
    FitsImage image = fieldImage(field, true, {});
    // No data in columns 203 on of rows 100 to 199: beside the second star.
    for (int y = 100; y < 200; ++y) {
        for (int x = 203; x < WIDTH; ++x) {
            const size_t i = static_cast<size_t>(y) * WIDTH + x;
            image.values[i] = 0;
            image.noData[i] = PIXEL_NO_DATA;
        }
    }
    StarFinderWorkspace workspace;
    std::vector<SkyPosition> sky;
    std::string note, error;
    PlacedStars placed;
    ASSERT_EQ(
        findSkyStars(&image, "masked.fts", WcsMode::Auto, &workspace, &sky, &note, &error, &placed),
        0);
    ASSERT_EQ(placed.found.x.size(), 2u);
    EXPECT_NEAR(placed.found.x[0], 100.3, 0.2);
    EXPECT_EQ(placed.found.flags[0], 0);
    EXPECT_NEAR(placed.found.x[1], 200.4, 0.2);
    EXPECT_EQ(placed.found.flags[1], STAR_NEAR_NO_DATA);
}

TEST(FindSkyStars, ValuesThatDoNotCoverTheImageAreRefused)
{
    const std::vector<uint16_t> field = starField();
    struct Case {
        const char* name;
        size_t values, noData;
    };
    const size_t n = field.size();
    const Case cases[] = {
        {"values short", n - 1, n},
        {"values long", n + 1, n},
        {"mask short", n, n - 1},
        {"no values", 0, 0},
    };
    for (const Case& c : cases) {
        FitsImage image = fieldImage(field, true, {});
        image.values.resize(c.values);
        image.noData.resize(c.noData);
        StarFinderWorkspace workspace;
        std::vector<SkyPosition> sky = {{1, 2}};
        std::string note = "kept", error;
        EXPECT_EQ(findSkyStars(&image, "bad.fts", WcsMode::Auto, &workspace, &sky, &note, &error),
                  -1)
            << c.name;
        EXPECT_EQ(error, "findStars(): pixel values do not cover the image\nbad.fts: Can not find "
                         "stars\n")
            << c.name;
        EXPECT_EQ(note, "kept") << c.name;
        EXPECT_EQ(sky.size(), 1u) << c.name;
    }
}

} // namespace

TEST(VetComparison, CandidatesBesidePixelsWithoutDataAreRejectedAsNoData)
{
    // Two unmatched test stars alike but for the finder's flag, and a matched one.
    std::vector<uint16_t> field(static_cast<size_t>(WIDTH) * HEIGHT);
    makeStarField(field.data(), WIDTH, HEIGHT, 0, 3);
    addGaussianStar(field.data(), WIDTH, HEIGHT, 100, 80, 5000, 1.5);
    addGaussianStar(field.data(), WIDTH, HEIGHT, 200, 160, 5000, 1.5);
    const FitsImage test = fieldImage(field, false, {});
    const FitsImage reference = fieldImage(std::vector<uint16_t>(field.size(), 1000), false, {});
    const StarList referenceStars;
    struct Case {
        uint8_t flags;
        uint32_t reason;
    };
    const Case cases[] = {{0, 0}, {STAR_NEAR_NO_DATA, VET_NO_DATA}};
    for (const Case& c : cases) {
        const std::vector<ComparedStar> stars = {{100, 80, 0, 0, false, c.flags},
                                                 {200, 160, 0, 0, false, 0},
                                                 {150, 120, 0, 0, true, c.flags}};
        ComparisonView view;
        view.reference = &reference;
        view.test = &test;
        view.referenceStars = &referenceStars;
        view.testStars = &stars;
        VetOptions options;
        options.vet = true;
        ImageVetting result;
        std::string message;
        ASSERT_EQ(vetComparison(options, view, &result, &message), 0) << message;
        ASSERT_EQ(result.rows.size(), 2u);
        EXPECT_EQ(result.rows[0].vetting.reasons & VET_NO_DATA, c.reason);
        EXPECT_EQ(result.rows[1].vetting.reasons & VET_NO_DATA, 0u);
        if (c.reason != 0) {
            EXPECT_EQ(result.kept[0], 0);
            EXPECT_NE(formatCatalogEcsv(result.rows).find(",rejected,no-data,"), std::string::npos);
        }
    }
}
