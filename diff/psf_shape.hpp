#pragma once
// The shape of an image's point spread from its bright stars, and the elongation of a
// source judged against it rather than against a round point spread.

#include <cstdint>
#include <vector>

#include "diff/diff_image.hpp"

namespace newstars {

// Intrinsic second moments of a point spread, pixels squared: a Gaussian of these moments,
// seen through the measuring window, shows what was measured. stars 0: not measured (a
// round point spread is assumed).
struct PsfMoments {
    double xx = 0, yy = 0, xy = 0;
    int32_t stars = 0;
};

// Measures the point spread of image from the stars near (xs[k], ys[k]) (their brightest
// pixels, e.g. the kernel's stamps): for each, the centroid and the second moments of the
// pixels above background within 3 window deviations, weighted by a round Gaussian window
// of deviation window (pixels) centred on the centroid, the window's narrowing undone along
// each principal axis (see relativeElongation); stars with a pixel of mask in
// MASK_UNUSABLE | MASK_COSMIC within that radius, off the image or without a finite
// measure are passed over. *moments gets the median of each moment over the stars
// measured, with stars their number; fewer than minimumStars leave it round (stars 0).
void measurePsfMoments(const FloatImage& image, const std::vector<uint8_t>& mask,
                       double background, const std::vector<int32_t>& xs,
                       const std::vector<int32_t>& ys, double window, int32_t minimumStars,
                       PsfMoments* moments);

// The axis ratio of a source from its second moments (a = xx, b = yy, c = xy) measured
// through a round Gaussian window of variance window: along each principal axis a
// Gaussian of variance q shows q w / (q + w), which is undone (an axis at or beyond the
// window's variance is unbounded). Against a round point spread (psf.stars 0) the ratio
// of the intrinsic axes; against a measured one the square root of the ratio of the roots
// of det(M - lambda P) = 0, M the source's intrinsic moments and P the point spread's, so
// that a source shaped as the point spread has 1. 99 at most; 99 when unbounded or when
// the smaller root is not above 0.
double relativeElongation(double a, double b, double c, double window, const PsfMoments& psf);

} // namespace newstars
