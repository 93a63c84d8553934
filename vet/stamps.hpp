#pragma once
// Cutout stamps of a candidate for the eye: the reference resampled onto the test image's
// pixel grid, the test image, and the test minus the flux-scaled reference, side by side
// in one PNG image under one shared stretch.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"

namespace newstars {

// Pixels on a side of each panel; the candidate's pixel is the centre one.
inline constexpr int32_t STAMP_SIZE = 31;

// Maps a test pixel position to the reference pixel position of the same sky position;
// false when the reference's coordinates give none.
using PixelMapping = std::function<bool(double testX, double testY, double* refX, double* refY)>;

// The three panels of one candidate, STAMP_SIZE x STAMP_SIZE values each, row after row,
// in ADU with each panel's median removed; NaN where the panel leaves its image or the
// image holds no data there (for the reference, where one of the four pixels of the
// interpolation holds none).
struct Stamp {
    std::vector<double> reference; // reference at the test pixel centres
    std::vector<double> test;
    std::vector<double> difference; // test less the reference
};

// Cuts the stamp centred on test pixel (cx, cy), the reference resampled bilinearly and
// the difference test - fluxScale * reference. fluxScale multiplies the reference
// (1 when it is not a positive number). Always fills *stamp.
void cutStamp(const FitsImage& test, const FitsImage& reference, int32_t cx, int32_t cy,
              const PixelMapping& toReference, double fluxScale, Stamp* stamp);

// Cuts the stamp centred on test pixel (cx, cy) from planes already on the test image's
// grid: matchedReference (the reference registered and matched in point spread, in test
// ADU) and difference, test.width x test.height values each, row after row. The test and
// reference panels have their medians removed, the difference panel is as given; pixels
// whose mask byte holds one of the unusable bits are NaN in the reference and difference
// panels (mask may be empty: none). Planes of another size leave those panels NaN.
// Always fills *stamp.
void cutMatchedStamp(const FitsImage& test, const std::vector<float>& matchedReference,
                     const std::vector<float>& difference, const std::vector<uint8_t>& mask,
                     uint8_t unusable, int32_t cx, int32_t cy, Stamp* stamp);

// The stamp as an RGB image, 3 bytes a pixel, row after row: the three panels (reference,
// test, difference) each enlarged zoom times (1 to 16), separated by gap white columns
// (0 to 64). One linear grey stretch for all three, from 3 robust deviations of the test
// panel below zero to the brightest test pixel within 3 pixels of the centre (at least
// 10 deviations above zero); the deviation is at least minimumDeviation (1 ADU for 16-bit
// images, whose values are whole; 0 for physical values of any scale), 1 when it is not a
// positive number. Pixels that are NaN -- off their image, without data, or masked -- are
// dark blue (0, 0, 96).
// *width = 3 * STAMP_SIZE * zoom + 2 * gap, *height = STAMP_SIZE * zoom.
std::vector<uint8_t> renderStamp(const Stamp& stamp, int32_t zoom, int32_t gap, int32_t* width,
                                 int32_t* height, double minimumDeviation = 1.0);

// Encodes an RGB image (3 bytes a pixel, row after row) as an 8-bit PNG through libpng
// into *png. 0, or -1 with the reason in *message (*png then unspecified).
int encodePngImage(const std::vector<uint8_t>& rgb, int32_t width, int32_t height,
                   std::vector<uint8_t>* png, std::string* message);

// Writes an RGB image to path as encodePngImage encodes it, through writeFileAtomically
// (base/atomic_file.hpp): whatever was at path (a symbolic link itself, not its target)
// is replaced only by the whole file. 0, or -1 with the reason in *message, no partial
// file left.
int writePngImage(const char* path, const std::vector<uint8_t>& rgb, int32_t width, int32_t height,
                  std::string* message);

// Maps a test pixel position to the sky (right ascension and declination, radians);
// false when the coordinates give none there.
using SkyMapping = std::function<bool(double x, double y, double* ra, double* dec)>;

// Which way north and east point on a stamp and how large its pixels are, from the test
// image's coordinates at the candidate. Directions are unit vectors along the test image's
// axes (x the column, y the row, both growing away from the first pixel).
struct StampOrientation {
    bool known = false;            // false: the coordinates give no orientation there
    double northX = 0, northY = 0; // toward increasing declination
    double eastX = 0, eastY = 0;   // toward increasing right ascension
    double arcsecPerPixel = 0;     // square root of a pixel's area on the sky
};

// The orientation at test pixel (x, y) from the sky positions of (x, y), (x + 1, y) and
// (x, y + 1). known stays false (the rest 0) when the mapping fails at one of them, when
// the pixel has no area on the sky, or within 1e-9 radians of a pole.
void orientStamp(const SkyMapping& toSky, double x, double y, StampOrientation* orientation);

// A candidate's stamp for the scanning page: each panel as its own PNG image of
// STAMP_SIZE x STAMP_SIZE pixels (empty: the panel is not shown), and its orientation.
struct PageStamp {
    std::vector<uint8_t> reference, test, difference;
    StampOrientation orientation;
};

// One panel as an RGB image, STAMP_SIZE x STAMP_SIZE, row 0 the stamp's last row (north
// up when the image's rows grow northward), under an arcsinh stretch:
//   grey = 255 (asinh(v / d) - asinh(-3)) / (asinh(high / d) - asinh(-3)), clamped,
// with d the test panel's robust deviation (at least minimumDeviation, as renderStamp
// takes it) and high the brightest test pixel of the stamp (at least 10 d). A faint
// source of a few d stays clearly above the sky however bright the star beside it.
// NaN pixels are dark blue (0, 0, 96), as in renderStamp. The stretch is taken from
// stamp.test whichever panel is drawn, so the three panels share it.
std::vector<uint8_t> renderPagePanel(const Stamp& stamp, const std::vector<double>& panel,
                                     double minimumDeviation);

// Renders and encodes the panels of a stamp for the page: reference and test always,
// the difference only when withDifference. 0, or -1 with the reason in *message.
int makePageStamp(const Stamp& stamp, bool withDifference, double minimumDeviation,
                  const StampOrientation& orientation, PageStamp* page, std::string* message);

} // namespace newstars
