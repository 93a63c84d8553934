#pragma once
// Measuring one star: position, radius, flux and background; comparing two measurements
// as a magnitude difference; adding one image into another at an offset.
//
// Pixels follow the star finder's conventions: unsigned 16-bit, row after row, x the
// column and y the row from 0, integer positions at pixel centres.

#include <cstdint>
#include <string>

#include "fits/fits_image.hpp"

namespace newstars {

// How a star is looked for and how far it may reach.
struct MeasureParams {
    int32_t searchHalfWidth =
        0;                 // S: half-size of the search box, or the farthest the uphill walk may go
    int32_t maxRadius = 0; // R: largest ring radius examined, outer limit of the noise annulus
    double flatteningFraction =
        0; // F: relative drop in mean ring brightness below which the star ends
};

// One star measured around its brightest pixel. Ring r of centre (cx, cy) holds the
// pixels (cx + dx, cy + dy) with r^2 <= dx^2 + dy^2 < (r + 1)^2.
struct StarMeasurement {
    double x = 0, y = 0; // sub-pixel position of the brightest pixel
    int32_t peak = 0;    // value of the brightest pixel
    int32_t radius =
        0;            // the ring at which the profile flattened (the star is rings 0 to radius - 1)
    int32_t flux = 0; // sum of the star's pixels, background included
    int32_t pixelCount = 0; // number of pixels in that sum
    int32_t backgroundMedian = 0, backgroundMean = 0, backgroundSigma = 0; // of the noise annulus
};

// Measures the star near (x, y) in an image of width x height pixels.
// With useClimb non-zero the brightest pixel is found by walking uphill from (x, y) at
// most S pixels; otherwise it is the first brightest pixel of the (2S + 1)^2 box around
// (x, y), rows top to bottom. Rings grow from it while the mean ring value keeps falling
// by at least F relative to the ring inside it; the rings from that radius to R - 2 are
// the noise annulus.
// Returns 0 with *result filled, or -1 with one of these in *message (no line end):
//   "Coordinates [x,y] lie outside image"  (x, y) closer than S + R to an edge, with S
//                                          taken as at least 0 and R as at least 1
//                                          (so every pixel read lies inside the image)
//   "No brightest pixel found"    the walk went farther than S, or the brightest pixel is 0
//   "Star occupies entire radius" no ring up to R - 1 ends the star (always when R <= 1)
//   "No pixels in noise annulus"  the annulus holds fewer than 2 pixels
//   "Star flux exceeds 32-bit range"  the star's sum does not fit the result
// After a failure *result may hold the peak and, once the rings have been grown, the
// radius, flux and pixel count. The pixels are only read.
int measureStar(const uint16_t* pixels, int width, int height, const MeasureParams* params, int x,
                int y, int useClimb, StarMeasurement* result, std::string* message);

// One star measured on physical values (any scale, any sign).
struct StarValues {
    double x = 0, y = 0;    // sub-pixel position of the brightest pixel
    double peak = 0;        // value of the brightest pixel
    int32_t radius = 0;     // the ring at which the profile flattened
    double flux = 0;        // sum of the star's pixels, background included
    int32_t pixelCount = 0; // number of pixels in that sum
    double backgroundMedian = 0, backgroundMean = 0, backgroundSigma = 0; // of the noise annulus
};

// measureStar on floating-point values with a mask: noData (null: every pixel holds data)
// has a non-zero byte at each pixel without data. Pixels without data are never the
// brightest, the walk does not step on them, and they are left out of the noise annulus.
// The same steps and messages as measureStar, with these differences:
//   "No brightest pixel found"  the walk went farther than S, or began on a pixel without
//                               data, or the box holds no pixel with data, or the
//                               brightest pixel is not above 0
//   "Star reaches pixels without data"  a ring of the star, or the one that ends it, or a
//                               neighbour of the peak holds a pixel without data
//   a ring whose mean is not above 0 ends the star (sky-subtracted values fall to 0);
//   no flux range limit; the background median is the lower median of the annulus
//   values (as measureStar's), mean and deviation unrounded.
// Values taken from 16-bit pixels give measureStar's status, message, position, peak,
// radius, flux, pixel count and background median (where measureStar does not refuse a
// flux beyond 32 bits).
int measureStarValues(const float* values, const uint8_t* noData, int width, int height,
                      const MeasureParams* params, int x, int y, int useClimb, StarValues* result,
                      std::string* message);

// Compares star b with star a: *difference = -2.511886 log10(net b / net a) in magnitudes
// (positive when b is fainter), net = flux - pixel count x background median; *error
// combines 2.2 / (signal-to-noise) of each star in quadrature, the signal-to-noise being
// (peak - background median) / background sigma. A star with background sigma 0 adds no
// error. Returns 0, or -1 with both outputs untouched when a net flux is 0 or less, or a
// star with non-zero sigma has its peak equal to its background median.
int compareMeasurements(const StarMeasurement* a, const StarMeasurement* b, double* difference,
                        double* error);

// Adds source, shifted by (dx, dy), into destination: each destination pixel
// (x + dx, y + dy) inside the image becomes its value plus source pixel (x, y), or 65535
// when the sum reaches it. source has destination->width x destination->height pixels.
// Destination pixels outside the overlap are unchanged.
void addShiftedImage(FitsImage* destination, const uint16_t* source, int dx, int dy);

} // namespace newstars
