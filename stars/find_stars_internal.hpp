#pragma once
// The star finder's steps, each on its own: for the finder, star measurement and tests.
// Not part of the library's public interface; conventions as in stars/find_stars.hpp.

#include <cstdint>
#include <vector>

namespace newstars {

// Statistics of a rectangle of pixels.
struct RegionStats {
    uint16_t mean = 0;    // mean value, rounded to nearest
    uint16_t median = 0;  // smallest value v with at least n/2 pixels <= v (n/2 truncated)
    uint16_t minimum = 0; // smallest value present
    uint16_t maximum = 0; // largest value present
    int32_t brightestX = 0, brightestY = 0; // first pixel (in scan order) holding the maximum
    double sigma = 0; // sample standard deviation, 0 when the variance is not positive
    double sum = 0, sumOfSquares = 0;
    std::vector<uint32_t> histogram; // 65536 counters, one per pixel value
};

// The median of n pixel values counted in a 65536-entry histogram: the first value
// at which the running count reaches n / 2 (integer division), 65535 at most.
int histogramMedian(const uint32_t* histogram, int64_t n);

// Fills *stats for the rectangle of w columns and h rows whose first pixel is at
// column x0, row y0 of an image with rows of width pixels. brightestX/Y are image
// coordinates and are left untouched when every pixel of the rectangle is 0. An
// empty rectangle (w or h < 1) gives all zeros. The rectangle must lie in the image.
void computeRegionStats(const uint16_t* pixels, int width, int x0, int y0, int w, int h,
                        RegionStats* stats);

// Returns 0 when none of the eight neighbours of (x, y) exceeds threshold, after
// overwriting the pixel at (x, y) with threshold (an isolated spike such as a cosmic-ray
// hit); -1 otherwise, image unchanged. The pixel's own value is not examined.
// All eight neighbours must lie in the image.
int clipSpike(uint16_t* image, int width, int x, int y, uint16_t threshold);

// Walks uphill from (x, y), each step to the strictly brightest of the eight neighbours
// (first in the order (+1,+1), (0,+1), (-1,+1), (+1,0), (-1,0), (+1,-1), (0,-1), (-1,-1)
// among equals), until no neighbour is brighter. Returns 0 with the local maximum's
// position and value in *peakX, *peakY, *peak; -1 (outputs untouched) as soon as the
// walk goes more than maxDistance from (x, y) in x or in y. The caller keeps every
// pixel within maxDistance + 1 of (x, y) inside the image.
int climbToPeak(const uint16_t* image, int width, int x, int y, int maxDistance, int* peakX,
                int* peakY, uint16_t* peak);

// Returns the first ring radius r of 2, 3, 4 (the pixels at offsets with
// r^2 <= dx^2 + dy^2 < (r+1)^2 around (x, y)) whose mean + 5 sample deviations lies
// strictly below peak; 5 when none does. Reads pixels up to 4 away from (x, y).
int coreRadius(const uint16_t* image, int width, int x, int y, uint16_t peak);

// Refines the integer peak position (x, y) to the vertex of the parabola through the
// pixel and its two neighbours along each axis; an axis whose three pixels have a zero
// second difference keeps the integer coordinate. Writes *refinedX and *refinedY.
void subpixelPeak(const uint16_t* image, int width, int x, int y, double* refinedX,
                  double* refinedY);

} // namespace newstars
