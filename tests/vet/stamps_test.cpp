// Tests of the cutout stamps: the PNG file read back with libpng's own reader.

#include <png.h>

#include <gtest/gtest.h>

#include <cmath>

#include "support/files.hpp"
#include "vet/stamps.hpp"
#include "vet_scene.hpp"

using namespace newstars;

namespace {

// Reads a PNG file back with libpng: its size and 8-bit RGB pixels.
bool readPng(const std::string& path, int* width, int* height, std::vector<uint8_t>* rgb)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0)
        return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr) == 0)
        return false;
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return true;
}

TEST(Stamps, PngOpensAtTheStatedSizeWithThePanelsInPlace)
{
    Scene scene;
    addSource(&scene.testSignal, 200, 200, 3000, 1.3, 1.3); // a new source
    const FitsImage test = digitize(scene.testSignal, 5);
    const FitsImage reference = digitize(scene.referenceSignal, 6);
    const PixelMapping toReference = [](double x, double y, double* rx, double* ry) {
        *rx = x + SCENE_SHIFT_X;
        *ry = y + SCENE_SHIFT_Y;
        return true;
    };
    struct Case {
        int32_t cx, cy, zoom, gap;
    };
    const Case cases[] = {{200, 200, 4, 4}, {2, 397, 1, 0}, {20, 20, 3, 2}};
    ScratchDirectory dir;
    for (const Case& c : cases) {
        Stamp stamp;
        cutStamp(test, reference, c.cx, c.cy, toReference, 2.0, &stamp);
        int32_t width = 0, height = 0;
        const std::vector<uint8_t> rgb = renderStamp(stamp, c.zoom, c.gap, &width, &height);
        EXPECT_EQ(width, 3 * 31 * c.zoom + 2 * c.gap);
        EXPECT_EQ(height, 31 * c.zoom);
        const std::string path = dir.file("stamp.png");
        std::string message;
        ASSERT_EQ(writePngImage(path.c_str(), rgb, width, height, &message), 0) << message;
        int readWidth = 0, readHeight = 0;
        std::vector<uint8_t> pixels;
        ASSERT_TRUE(readPng(path, &readWidth, &readHeight, &pixels)) << c.cx;
        EXPECT_EQ(readWidth, width);
        EXPECT_EQ(readHeight, height);
        EXPECT_EQ(pixels, rgb) << c.cx;
        const auto grey = [&](int panel, int column, int row) {
            const size_t k =
                (static_cast<size_t>(row) * width + panel * (31 * c.zoom + c.gap) + column) * 3;
            return pixels[k];
        };
        const int centre = 15 * c.zoom;
        if (c.cx == 200) {
            // The new source is white in the test and the difference, sky in the reference.
            EXPECT_EQ(grey(1, centre, centre), 255);
            EXPECT_GT(grey(2, centre, centre), 200);
            EXPECT_LT(grey(0, centre, centre), 100);
        }
        if (c.cx == 20) {
            // A star of the grid at (20.x, 20.x) in both, at half the flux in the reference:
            // it cancels in the difference.
            EXPECT_GT(grey(0, centre, centre), 80);
            EXPECT_GT(grey(1, centre, centre), 200);
            EXPECT_LT(grey(2, centre, centre), 150);
        }
    }
    std::string message;
    EXPECT_EQ(
        writePngImage(dir.file("none/x.png").c_str(), std::vector<uint8_t>(3, 0), 1, 1, &message),
        -1);
    EXPECT_FALSE(message.empty());
}

TEST(Stamps, MatchedStampTakesThePlanesAsGivenAndBlanksMaskedPixels)
{
    FitsImage test;
    test.width = 40;
    test.height = 30;
    const size_t count = 40 * 30;
    test.pixels.assign(count, 1000);
    std::vector<float> reference(count), difference(count);
    for (size_t i = 0; i < count; ++i) {
        reference[i] = static_cast<float>(i); // the pixel's own index
        difference[i] = -static_cast<float>(i);
    }
    std::vector<uint8_t> mask(count, 0);
    mask[5 * 40 + 7] = 4;  // unusable
    mask[5 * 40 + 8] = 16; // another bit: kept
    Stamp stamp;
    cutMatchedStamp(test, reference, difference, mask, 1 | 4, 7, 5, &stamp);
    // Stamp pixel (i, j) is image pixel (7 - 15 + i, 5 - 15 + j).
    const auto at = [](int i, int j) { return static_cast<size_t>(j) * 31 + i; };
    struct Case {
        int i, j;
        double difference; // NaN: off the image or masked
    };
    const Case cases[] = {{15, 15, NAN}, {16, 15, -(5 * 40 + 8)},  {9, 10, -1}, {7, 10, NAN},
                          {9, 9, NAN},   {30, 30, -(20 * 40 + 22)}};
    for (const Case& c : cases) {
        const double d = stamp.difference[at(c.i, c.j)];
        if (std::isnan(c.difference))
            EXPECT_TRUE(std::isnan(d)) << c.i << "," << c.j << ": " << d;
        else
            EXPECT_EQ(d, c.difference) << c.i << "," << c.j;
    }
    // The reference panel has its median removed, the difference panel not.
    EXPECT_EQ(stamp.reference[at(8, 10)] - stamp.reference[at(9, 10)], -1);
    EXPECT_EQ(stamp.test[at(20, 20)], 0);
    // Planes of another size: reference and difference panels off.
    cutMatchedStamp(test, {}, {}, {}, 0, 7, 5, &stamp);
    EXPECT_TRUE(std::isnan(stamp.difference[at(16, 15)]));
    EXPECT_EQ(stamp.test[at(16, 15)], 0);
}

// The 16-bit scene image as float values (value - 1000) / 1000, the columns from
// emptyFrom on without data.
FitsImage floatScene(const FitsImage& image16, int32_t emptyFrom)
{
    FitsImage image;
    image.bitpix = -32;
    image.width = image16.width;
    image.height = image16.height;
    image.values.resize(image16.pixels.size());
    image.noData.assign(image16.pixels.size(), PIXEL_HAS_DATA);
    for (size_t i = 0; i < image16.pixels.size(); ++i) {
        const bool empty = static_cast<int32_t>(i % static_cast<size_t>(image.width)) >= emptyFrom;
        image.values[i] = empty ? 0.0f : static_cast<float>((image16.pixels[i] - 1000.0) / 1000);
        image.noData[i] = empty ? PIXEL_NO_DATA : PIXEL_HAS_DATA;
    }
    return image;
}

TEST(Stamps, FloatImagesStretchTheirOwnScaleAndShowPixelsWithoutDataDarkBlue)
{
    Scene scene;
    addSource(&scene.testSignal, 200, 200, 3000, 1.3, 1.3); // a new source
    // Test columns from 210 on hold no data; reference columns from 205 + 3.5 on (test
    // column 205 on through the shift).
    const FitsImage test = floatScene(digitize(scene.testSignal, 5), 210);
    const FitsImage reference = floatScene(digitize(scene.referenceSignal, 6), 209);
    const PixelMapping toReference = [](double x, double y, double* rx, double* ry) {
        *rx = x + SCENE_SHIFT_X;
        *ry = y + SCENE_SHIFT_Y;
        return true;
    };
    Stamp stamp;
    cutStamp(test, reference, 200, 200, toReference, 2.0, &stamp);
    int32_t width = 0, height = 0;
    const std::vector<uint8_t> rgb = renderStamp(stamp, 1, 0, &width, &height, 0.0);
    // Stamp column i is test column 185 + i; picture row 15 is the centre row.
    const auto colour = [&](int panel, int i) {
        const size_t k = (static_cast<size_t>(15) * width + panel * 31 + i) * 3;
        return std::vector<int>{rgb[k], rgb[k + 1], rgb[k + 2]};
    };
    const std::vector<int> darkBlue{0, 0, 96};
    struct Case {
        int panel, i;
        bool empty;
    };
    const Case cases[] = {
        {1, 24, false}, {1, 25, true}, {1, 30, true}, // test: column 209 has data, 210 none
        {0, 18, false}, {0, 20, true}, {0, 30, true}, // reference through the shift
        {2, 19, false}, {2, 20, true}, {2, 25, true}, // the difference: either image empty
    };
    for (const Case& c : cases) {
        if (c.empty)
            EXPECT_EQ(colour(c.panel, c.i), darkBlue) << c.panel << " " << c.i;
        else
            EXPECT_NE(colour(c.panel, c.i), darkBlue) << c.panel << " " << c.i;
    }
    // Values of a few thousandths stretch over the grey scale: the new source is white.
    EXPECT_EQ(colour(1, 15), (std::vector<int>{255, 255, 255}));
}

} // namespace
