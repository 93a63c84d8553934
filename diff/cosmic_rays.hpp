#pragma once
// Cosmic-ray hits and hot pixels found by the sharpness of their edges: the Laplacian of
// the image sampled twice as finely, against the image's noise, keeping what is sharper
// than any point source and not the fine structure of stars.
//
// The steps, repeated until a round finds nothing new or the rounds run out:
//   L+  each pixel split into 2 x 2, the Laplacian (4 centre - 4 neighbours) taken on that
//       grid, negative values set to 0, the 2 x 2 averaged back;
//   N   the noise of a pixel, sqrt(max(m5, 0) / gain + readNoise^2) with m5 the median of
//       the 5 x 5 square around it (of the first round's image);
//   S   L+ / (2 N), and S' = S - the 5 x 5 median of S (smooth structure removed);
//   F   the fine structure, (m3 - m7(m3)) / N with m3 the 3 x 3 median and m7 the 7 x 7
//       median of m3, at least 0.01;
//   a pixel is a hit when S' > sigmaClip and S' / F > objectLimit; then every eight-
//       neighbour of a hit with S' > sigmaClip is one, and every eight-neighbour of those
//       with S' > sigmaFraction * sigmaClip;
//   the hits are replaced by the median of the 5 x 5 square's pixels that are neither
//   hits nor excluded, for the next round.

#include <cstdint>
#include <functional>
#include <vector>

#include "base/shared_threads.hpp"
#include "diff/diff_image.hpp"

namespace newstars {

// Settings of findCosmicRays.
struct CosmicRayOptions {
    double sigmaClip = 4.5;     // S' a hit needs, noise units
    double sigmaFraction = 0.3; // of sigmaClip, what the second growth step needs
    double objectLimit = 5;     // S' / F a hit needs: above what point sources give
    int iterations = 4;         // rounds, 1 to 10
    double gain = 1;            // electrons per ADU, > 0 (infinite: read noise alone)
    double readNoise = 0;       // ADU, >= 0; gain and read noise may not both leave no noise
    double saturation = 0;      // values at or above it are never hits, nor pixels within
                                // 5 of them along each axis (a saturated star's rim);
                                // infinity: no saturation level
    int bandRows = 512;         // rows searched at a time, each band with the rows around
                                // it that every round's steps reach (the hits are the same
                                // as the whole image's at once; the work memory is that of
                                // a band); 0: the whole image at once
    SharedThreads* threads = nullptr; // bands searched on these at once, each thread
                                      // holding a band's work (null: one band at a time on
                                      // the calling thread); the hits are the same
};

// Finds the cosmic-ray hits and hot pixels of an image.
//   values     width x height values (ADU, sky included), row after row
//   exclude    per pixel, nonzero where the value is not to be used (no data, or masked by
//              the caller); null: every pixel is usable. Excluded pixels, pixels whose
//              3 x 3 square reaches an excluded one or the image's edge, and those near
//              saturation (see saturation) are never hits; excluded pixels count in no
//              median.
//   options    see CosmicRayOptions
//   hits       resized to width x height: 1 at every hit, 0 elsewhere
//   count      when not null, the number of hits
// Ok; BadInput (width or height below 8, null values, size beyond memory's reach, options
// out of range, a value that is not finite at a usable pixel); OutOfMemory. *hits and
// *count untouched on failure. Deterministic; no state kept between calls. Work memory
// some 34 bytes per pixel of a band (options.bandRows plus the rows around it), besides
// *hits.
DiffStatus findCosmicRays(const float* values, const uint8_t* exclude, int32_t width,
                          int32_t height, const CosmicRayOptions& options,
                          std::vector<uint8_t>* hits, int64_t* count);

// Clears every group of hits (pixels of hits joined through their eight neighbours) that
// has a pixel (x, y) where onSource(x, y) holds: e.g. where the other image of a pair shows
// a star, which a hit (there in one image only) never does. hits holds width x height
// bytes (nonzero: hit), as findCosmicRays gives them. Returns the number of pixels cleared;
// 0 and nothing changed when the sizes do not agree. Groups are visited in row order.
int64_t dropHitsOnSources(std::vector<uint8_t>* hits, int32_t width, int32_t height,
                          const std::function<bool(int32_t x, int32_t y)>& onSource);

// The S' / F ratio that a noiseless, bright Gaussian point source of the given deviation
// (pixels, 0.3 to 20) reaches at the 3 x 3 pixels around its centre, the largest over
// centrings on a 0.1-pixel grid within a pixel and over two renderings: integrated over
// each pixel, and sampled at pixel centres (sharper; as simulations draw them). An object
// limit above it keeps such sources from being taken for hits (noise in the fine
// structure still lets a faint one through now and then). 0 for a deviation out of range.
double pointSourceFineRatio(double psfSigma);

} // namespace newstars
