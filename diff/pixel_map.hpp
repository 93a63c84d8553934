#pragma once
// Polynomial maps from the test image's pixel grid to the reference image's: sampled from
// a caller's exact mapping (through the two world-coordinate frames), refined by a fit to
// the positions of stars found in both images.

#include <cstdint>
#include <functional>
#include <vector>

#include "diff/diff_image.hpp"

namespace newstars {

// (x, y) -> (u, v), each a polynomial of total degree order (1 to 3) in the normalised
// coordinates s = (x - centreX) / scale, t = (y - centreY) / scale. Coefficients follow
// the terms 1, s, t, s^2, s t, t^2, s^3, s^2 t, s t^2, t^3 (as many as the order has).
struct PixelMap {
    int order = 1;
    double centreX = 0, centreY = 0, scale = 1;
    std::vector<double> u{0, 1, 0}; // identity by default
    std::vector<double> v{0, 0, 1};
};

// Number of polynomial terms of total degree up to order: (order + 1)(order + 2) / 2.
int polynomialTermCount(int order);

// The terms 1, s, t, s^2, ... of total degree up to order (0 to 3) into terms[].
void polynomialTerms(int order, double s, double t, double* terms);

// Maps one position. The map must have its coefficient vectors of the order's length.
void mapPosition(const PixelMap& map, double x, double y, double* u, double* v);

// Area of the mapped pixel: |du/dx dv/dy - du/dy dv/dx| at (x, y).
double mapAreaFactor(const PixelMap& map, double x, double y);

// The exact mapping of a caller: true with the reference pixel position of test pixel
// (x, y), false when that position cannot be converted.
using PixelMapping = std::function<bool(double x, double y, double* u, double* v)>;

// Fits a map of the given order (1 to 3) to the mapping sampled on a grid of 9 x 9
// points spanning the width x height test image. Ok with *map replaced and *maxError the
// largest distance, reference pixels, between map and mapping at the grid points;
// BadInput (order, size); MappingFailed when fewer than 2/3 of the points convert or the
// fit is singular. *map and *maxError untouched on failure.
DiffStatus samplePixelMap(const PixelMapping& mapping, int32_t width, int32_t height, int order,
                          PixelMap* map, double* maxError);

// A star position in both images: (x, y) in the test image, (u, v) in the reference.
struct PositionPair {
    double x = 0, y = 0, u = 0, v = 0;
};

// What a refinement did.
struct MapFit {
    int used = 0;     // pairs kept in the last fit
    int rejected = 0; // pairs clipped as outliers
    double rms = 0;   // root mean square of the kept pairs' distances, reference pixels
};

// What each pair's reference position lies off the map's image of its test position,
// reference pixels: du[k] = u_k - U(x_k, y_k), dv[k] likewise (resized to the pairs).
void pairOffsets(const PixelMap& map, const std::vector<PositionPair>& pairs,
                 std::vector<double>* du, std::vector<double>* dv);

// Refines *map by a correction of the given order (0 to 2: shift, affine, quadratic)
// least-squares fitted to the pairs' offsets from the map, clipping pairs beyond 3 times
// the rms (at least 0.1 pixel) in up to 3 rounds. Ok with *map corrected and *fit filled;
// TooFewStars when fewer than 3 times the correction's terms (at least 6) pairs remain;
// SingularFit. *map untouched on failure, *fit filled with the figures before the
// correction.
DiffStatus refinePixelMap(const std::vector<PositionPair>& pairs, int correctionOrder,
                          PixelMap* map, MapFit* fit);

} // namespace newstars
