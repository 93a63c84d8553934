#pragma once
// New sources whose cores saturate in the test image: the saturation mask keeps them from
// the matched filter, so they are found as groups of saturated test pixels instead, judged
// by the wings around the clipped core and by the flux the difference still holds there.

#include <cstdint>
#include <functional>
#include <vector>

#include "diff/detect.hpp"
#include "diff/diff_image.hpp"

namespace newstars {

// One group of saturated test pixels (8-connected), measured before the test image is
// subtracted.
struct SaturatedCore {
    double x = 0, y = 0;             // centroid of its pixels, test pixels
    int32_t pixels = 0;              // saturated pixels in it
    bool referenceSaturated = false; // the reference is saturated on it or beside it
    bool noData = false;             // a pixel without data on it or beside it
    double ring1 = 0;                // median of the unsaturated test pixels 1 pixel from it
    double ring2 = 0;                // (chessboard distance), and 2 pixels from it; ADU (NaN
                                     // when there are none)
    double xx = 0, yy = 0, xy = 0;   // second moments of its pixels about the centroid
};

// Finds the groups of test values at or above saturation (noData may be null: every pixel
// has data; mask, of the image's size or empty, holds MASK_SATURATED where the reference
// resampled onto the test grid is saturated, before the test image's own saturation is
// marked). Groups larger than maxPixels are passed over (a
// saturated galaxy core or bleed trail is no point source). Ok with *cores replaced in
// the order of their first pixel (rows, then columns); BadInput; OutOfMemory.
DiffStatus findSaturatedCores(const float* test, const uint8_t* noData, int32_t width,
                              int32_t height, double saturation,
                              const std::vector<uint8_t>& mask, int32_t maxPixels,
                              std::vector<SaturatedCore>* cores);

// The same on 16-bit pixels, 65535 saturated, every pixel with data, and no reference.
DiffStatus findSaturatedCores(const uint16_t* test, int32_t width, int32_t height,
                              int32_t maxPixels, std::vector<SaturatedCore>* cores);

// What a saturated core is measured against.
struct SaturatedSourceOptions {
    double psfSigma = 1.5;      // Gaussian deviation of the test image's point spread, pixels
    double differenceSigma = 1.5; // and of the difference image's
    double testSky = 0;         // the test image's sky level, ADU
    double testSkySigma = 1;    // and its deviation
    double saturation = 65535;  // the test image's saturation level
    double threshold = 5;       // S/N the difference flux needs
    double wingFraction = 0.1;  // the wings 1 pixel out at least this fraction of what a
                                // point spread clipped to the core's size has there
    double brightening = 0.25;  // difference flux over the reference flux at least this
    double maskReach = 0;       // pixels the saturation mask reaches beyond the core
    double referenceBackground = 0; // sky level of the matched reference
    double noiseScale = 1;      // robust deviation of the S/N map (flux errors scaled by it)
};

// Adds to *sources a detection flagged saturated for each core that is a new or brightened
// point source: not saturated in the reference, no missing data beside it, wings 1 pixel
// out as a point spread's (not a hot pixel's or a cosmic-ray hit's bare spike, see
// wingFraction) and above 3 sky deviations, and on the difference within 3 point-spread
// difference deviations of the core's edge a flux (a lower bound: the core is clipped) of at least
// threshold errors and brightening times the matched reference's flux there. Its flux,
// error, S/N (also as peakSnr), reference flux and magnitude change come from those sums;
// elongation from the core's second moments; sharpness and dipole are NaN. Detections
// already in *sources within the mask's reach of the core (the clipped source's own wings)
// are dropped. Positions inside() refuses are passed over. The list stays in the order of
// rows, then columns, of the positions rounded to pixels.
void addSaturatedSources(const std::vector<SaturatedCore>& cores, const FloatImage& difference,
                         const FloatImage& variance, const FloatImage& reference,
                         const std::vector<uint8_t>& mask, const SaturatedSourceOptions& options,
                         const std::function<bool(double x, double y)>& inside,
                         std::vector<DifferenceSource>* sources);

} // namespace newstars
