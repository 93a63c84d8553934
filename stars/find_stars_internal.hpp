#pragma once
// The star finder's steps, each on its own: for the finder, star measurement and tests.
// Not part of the library's public interface; conventions as in stars/find_stars.hpp.

#include <cstdint>
#include <vector>

#include "base/statistics.hpp"

namespace newstars {

namespace finder {

// Width of the band along each edge that is filled and never scanned. It keeps every
// read of the thresholds (20 columns), the climb (10 pixels plus one neighbour), the
// core rings (4) and the refinement (1) inside the image.
inline constexpr int BORDER = 32;
// Smallest image side with a non-empty scan area.
inline constexpr int MIN_SIDE = MIN_STAR_IMAGE_SIDE;
static_assert(MIN_SIDE == 2 * BORDER + 1, "the scan area needs one pixel inside the border");
// Pixels on each side of the candidate that set its local threshold.
inline constexpr int WINDOW = 20;
// Largest distance the uphill walk may go from a candidate.
inline constexpr int CLIMB_LIMIT = 10;
// A maximum this close (in x and in y) to an accepted star is the same star.
inline constexpr int DUPLICATE_RADIUS = 4;
// Cells of the grid of accepted stars are 2^GRID_SHIFT = 8 pixels on a side; a duplicate
// search box of 2 * DUPLICATE_RADIUS + 1 pixels then spans at most two cells each way.
inline constexpr int GRID_SHIFT = 3;

} // namespace finder

// Accepted stars by the truncated integer position used in the duplicate test, in a
// grid of cells (constant time per test).
struct AcceptedStars {
    int cellsX = 0, cellsY = 0;
    std::vector<int32_t> cellHead; // first star of each cell, -1 when none
    std::vector<int32_t> next;     // next star of the same cell, -1 at the end
    std::vector<int32_t> keyX, keyY;
};

// Empties *accepted for an image of width x height pixels (both at least 1).
void initAcceptedStars(AcceptedStars* accepted, int width, int height);

// Whether an accepted star's truncated position lies within DUPLICATE_RADIUS of
// (px, py) in both x and y.
bool isDuplicate(const AcceptedStars& accepted, int px, int py);

// Adds the star at (x, y), inside the image, under its truncated position.
void rememberStar(AcceptedStars* accepted, double x, double y);

// Offsets of the rings of radius 2, 3 and 4 (index r - 2) that coreRadius examines:
// r^2 <= dx^2 + dy^2 < (r+1)^2, rows top to bottom, columns left to right.
struct RingOffsets {
    int count[3] = {0, 0, 0};
    int dx[3][32] = {};
    int dy[3][32] = {};
};
const RingOffsets& coreRings();

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
