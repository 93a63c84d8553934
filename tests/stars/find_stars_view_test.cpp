// The star finder on pixels where another program holds them: every element type, byte
// order and layout gives the stars of the same values as a contiguous float image.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/find_stars.hpp"
#include "stars/star_field.hpp"

using namespace newstars;

namespace {

constexpr int WIDTH = 300, HEIGHT = 220;

// Where the elements of an image go in memory.
enum class Layout { Rows, Columns, RowsUpsideDown, EveryOtherElement };

// The image stored as elements of T in layout, byte-swapped when asked; *view describes it.
template <typename T>
std::vector<unsigned char> store(const std::vector<double>& values, Layout layout, bool swapped,
                                 PixelType type, PixelView* view)
{
    const size_t size = sizeof(T);
    const size_t spacing = layout == Layout::EveryOtherElement ? 2 : 1;
    std::vector<unsigned char> bytes(values.size() * size * spacing);
    view->type = type;
    view->byteSwapped = swapped;
    const auto s = static_cast<ptrdiff_t>(size);
    switch (layout) {
    case Layout::Rows:
        view->columnStride = s, view->rowStride = s * WIDTH;
        view->data = bytes.data();
        break;
    case Layout::Columns:
        view->columnStride = s * HEIGHT, view->rowStride = s;
        view->data = bytes.data();
        break;
    case Layout::RowsUpsideDown: // row 0 stored last
        view->columnStride = s, view->rowStride = -s * WIDTH;
        view->data = bytes.data() + (HEIGHT - 1) * s * WIDTH;
        break;
    case Layout::EveryOtherElement:
        view->columnStride = 2 * s, view->rowStride = 2 * s * WIDTH;
        view->data = bytes.data();
        break;
    }
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            const T element = static_cast<T>(values[static_cast<size_t>(y) * WIDTH + x]);
            unsigned char raw[sizeof(T)];
            std::memcpy(raw, &element, size);
            if (swapped)
                std::reverse(raw, raw + size);
            auto* at = static_cast<unsigned char*>(const_cast<void*>(view->data)) +
                       y * view->rowStride + x * view->columnStride;
            std::memcpy(at, raw, size);
        }
    }
    return bytes;
}

void expectSameStars(const StarList& found, const StarList& expected, const std::string& name)
{
    ASSERT_EQ(found.x.size(), expected.x.size()) << name;
    for (size_t i = 0; i < found.x.size(); ++i) {
        EXPECT_EQ(found.x[i], expected.x[i]) << name << " star " << i;
        EXPECT_EQ(found.y[i], expected.y[i]) << name << " star " << i;
        EXPECT_EQ(found.peakValue[i], expected.peakValue[i]) << name << " star " << i;
        EXPECT_EQ(found.flags[i], expected.flags[i]) << name << " star " << i;
    }
}

TEST(FindStarsInView, EveryTypeByteOrderAndLayoutGivesTheStarsOfTheValues)
{
    std::vector<uint16_t> pixels(WIDTH * HEIGHT);
    makeStarField(pixels.data(), WIDTH, HEIGHT, 40, 11);
    addGaussianStar(pixels.data(), WIDTH, HEIGHT, 192.4, 108.7, 8000, 1.4); // beside the block
    std::vector<double> values(pixels.begin(), pixels.end());
    // A block without data beside some stars, by the mask.
    std::vector<uint8_t> mask(values.size(), PIXEL_HAS_DATA);
    for (int y = 90; y < 130; ++y)
        for (int x = 140; x < 190; ++x)
            mask[static_cast<size_t>(y) * WIDTH + x] = PIXEL_NO_DATA;
    const std::vector<float> contiguous(values.begin(), values.end());
    StarFinderWorkspace workspace;
    StarList expected;
    const double saturation = 65535;
    ASSERT_GT(findStarsInValues(contiguous.data(), mask.data(), WIDTH, HEIGHT, saturation,
                                &expected, &workspace),
              10);
    ASSERT_TRUE(std::any_of(expected.flags.begin(), expected.flags.end(),
                            [](uint8_t f) { return f != 0; }));

    struct Case {
        const char* name;
        PixelType type;
        bool swapped;
        Layout layout;
        PixelType maskType;
        Layout maskLayout;
    };
    const Case cases[] = {
        {"float rows", PixelType::Float32, false, Layout::Rows, PixelType::UInt8, Layout::Rows},
        {"float swapped", PixelType::Float32, true, Layout::Rows, PixelType::UInt8, Layout::Rows},
        {"float columns", PixelType::Float32, false, Layout::Columns, PixelType::UInt8,
         Layout::Columns},
        {"float upside down", PixelType::Float32, true, Layout::RowsUpsideDown, PixelType::Int32,
         Layout::Rows},
        {"double swapped, spaced", PixelType::Float64, true, Layout::EveryOtherElement,
         PixelType::UInt8, Layout::EveryOtherElement},
        {"uint16", PixelType::UInt16, false, Layout::Rows, PixelType::Float32, Layout::Columns},
        {"uint16 swapped columns", PixelType::UInt16, true, Layout::Columns, PixelType::UInt8,
         Layout::Rows},
        {"int32 swapped", PixelType::Int32, true, Layout::Rows, PixelType::UInt8, Layout::Rows},
        {"uint32", PixelType::UInt32, false, Layout::Columns, PixelType::UInt8, Layout::Rows},
        {"int64 swapped", PixelType::Int64, true, Layout::RowsUpsideDown, PixelType::UInt64,
         Layout::RowsUpsideDown},
        {"uint64", PixelType::UInt64, false, Layout::Rows, PixelType::Int8, Layout::Rows},
    };
    std::vector<double> maskValues(mask.begin(), mask.end());
    for (const Case& c : cases) {
        PixelView view, maskView;
        std::vector<unsigned char> data, maskData;
        auto storeAs = [&](PixelType type, bool swapped, Layout layout,
                           const std::vector<double>& from, PixelView* into) {
            switch (type) {
            case PixelType::Int8: return store<int8_t>(from, layout, swapped, type, into);
            case PixelType::UInt8: return store<uint8_t>(from, layout, swapped, type, into);
            case PixelType::Int16: return store<int16_t>(from, layout, swapped, type, into);
            case PixelType::UInt16: return store<uint16_t>(from, layout, swapped, type, into);
            case PixelType::Int32: return store<int32_t>(from, layout, swapped, type, into);
            case PixelType::UInt32: return store<uint32_t>(from, layout, swapped, type, into);
            case PixelType::Int64: return store<int64_t>(from, layout, swapped, type, into);
            case PixelType::UInt64: return store<uint64_t>(from, layout, swapped, type, into);
            case PixelType::Float64: return store<double>(from, layout, swapped, type, into);
            case PixelType::Float32: break;
            }
            return store<float>(from, layout, swapped, type, into);
        };
        data = storeAs(c.type, c.swapped, c.layout, values, &view);
        maskData = storeAs(c.maskType, false, c.maskLayout, maskValues, &maskView);
        StarList found;
        ASSERT_GT(findStarsInView(view, &maskView, WIDTH, HEIGHT, saturation, &found, &workspace),
                  0)
            << c.name;
        expectSameStars(found, expected, c.name);
    }
}

TEST(FindStarsInView, ValuesBeyondSinglePrecisionHoldNoData)
{
    // A double image whose star sits beside values no float holds: those count as no data
    // (the star is flagged), as the image reader takes them, and NaN does the same.
    std::vector<uint16_t> pixels(WIDTH * HEIGHT);
    makeStarField(pixels.data(), WIDTH, HEIGHT, 0, 3);
    addGaussianStar(pixels.data(), WIDTH, HEIGHT, 150.3, 110.6, 20000, 1.5);
    for (const double odd : {1e39, -1e300, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()}) {
        std::vector<double> values(pixels.begin(), pixels.end());
        values[static_cast<size_t>(113) * WIDTH + 150] = odd;
        PixelView view{values.data(), PixelType::Float64, false, 8 * WIDTH, 8};
        StarFinderWorkspace workspace;
        StarList found;
        ASSERT_EQ(findStarsInView(view, nullptr, WIDTH, HEIGHT, 65535, &found, &workspace), 1)
            << odd;
        EXPECT_EQ(found.flags[0], STAR_NEAR_NO_DATA) << odd;
    }
}

TEST(CopyViewValues, GivesTheReadersValuesAndMaskForEveryLayout)
{
    // A 3 x 2 image: values, an element no float holds, NaN, the no-data value and a
    // masked pixel; each stored in several forms, copied back row after row.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {1.5, -2.0, 1e39, nan, 7.0, 65535.0};
    const std::vector<uint8_t> mask = {0, 0, 0, 0, 0, 3};
    struct Case {
        const char* name;
        PixelType type;
        bool swapped;
        bool columns; // Fortran order
        bool masked;
        bool noDataSeven;
        std::vector<float> expectedValues;
        std::vector<uint8_t> expectedNoData;
    };
    const Case cases[] = {
        {"double rows", PixelType::Float64, false, false, false, false,
         {1.5f, -2.0f, 0, 0, 7.0f, 65535.0f}, {0, 0, 1, 1, 0, 0}},
        {"double swapped columns, mask", PixelType::Float64, true, true, true, false,
         {1.5f, -2.0f, 0, 0, 7.0f, 0}, {0, 0, 1, 1, 0, 1}},
        {"double, no-data value 7", PixelType::Float64, false, false, false, true,
         {1.5f, -2.0f, 0, 0, 0, 65535.0f}, {0, 0, 1, 1, 1, 0}},
        {"float swapped, no-data value 7 and mask", PixelType::Float32, true, false, true, true,
         {1.5f, -2.0f, 0, 0, 0, 0}, {0, 0, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        const size_t size = c.type == PixelType::Float64 ? 8 : 4;
        std::vector<unsigned char> bytes(values.size() * size);
        const auto s = static_cast<ptrdiff_t>(size);
        PixelView view{bytes.data(), c.type, c.swapped, c.columns ? s : 3 * s,
                       c.columns ? 2 * s : s};
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                const double v = values[static_cast<size_t>(y) * 3 + x];
                unsigned char raw[8];
                if (size == 8) {
                    std::memcpy(raw, &v, 8);
                } else {
                    const float f = std::isnan(v) || std::fabs(v) > 1e38 ? static_cast<float>(nan)
                                                                         : static_cast<float>(v);
                    std::memcpy(raw, &f, 4);
                }
                if (c.swapped)
                    std::reverse(raw, raw + size);
                std::memcpy(bytes.data() + y * view.rowStride + x * view.columnStride, raw, size);
            }
        }
        const PixelView maskView{mask.data(), PixelType::UInt8, false, 3, 1};
        const float seven = 7.0f;
        std::vector<float> got(6, -1.0f);
        std::vector<uint8_t> gotNoData(6, 9);
        copyViewValues(view, c.masked ? &maskView : nullptr, 3, 2,
                       c.noDataSeven ? &seven : nullptr, got.data(), gotNoData.data());
        EXPECT_EQ(got, c.expectedValues) << c.name;
        EXPECT_EQ(gotNoData, c.expectedNoData) << c.name;
    }
}

} // namespace
