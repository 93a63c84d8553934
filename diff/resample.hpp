#pragma once
// Resampling the reference image onto the test image's pixel grid.

#include <cstdint>
#include <vector>

#include "base/shared_threads.hpp"
#include "diff/diff_image.hpp"
#include "diff/pixel_map.hpp"

namespace newstars {

// Fractional positions per pixel at which the Lanczos-3 weights are tabulated; a position
// is rounded to the nearest of them (at most 1/2048 pixel off).
inline constexpr int LANCZOS_STEPS = 1024;

// Resamples the source image (16-bit pixels, sourceWidth x sourceHeight) onto a grid of
// width x height pixels: output pixel (x, y) is the Lanczos-3 interpolation of the source
// at map(x, y), with the six weights of each axis normalised to sum 1, times the area of
// the source that the output pixel covers (mapAreaFactor), so that the flux of a source
// is kept.
//   *output  replaced by the resampled image
//   *mask    replaced by width x height mask bytes: MASK_NO_DATA where any of the 6 x 6
//            source pixels lies outside the source (the output pixel is then 0),
//            MASK_SATURATED where any of them is saturated (SATURATION)
//   *varianceFactor  mean over sub-pixel positions of the sum of the squared weights
//            (both axes): the factor by which resampling lowers the variance of
//            uncorrelated pixel noise; may be null
// Ok; BadInput for sizes below 1 or a source buffer too small; OutOfMemory. Outputs
// untouched on failure.
DiffStatus resampleLanczos3(const uint16_t* source, int32_t sourceWidth, int32_t sourceHeight,
                            const PixelMap& map, int32_t width, int32_t height, FloatImage* output,
                            std::vector<uint8_t>* mask, double* varianceFactor);

// The same from floating-point values: noData (null: every pixel holds data) marks source
// pixels without data, and an output pixel is MASK_NO_DATA (value 0) where any of its 6 x 6
// source pixels holds none; saturated is at or above saturation (infinity: never). Values
// taken from 16-bit pixels with saturation 65535 give the 16-bit routine's output.
// The rows are resampled in bands of RESAMPLE_BAND_ROWS on threads (null: the calling
// thread alone); the output is the same whatever the threads.
DiffStatus resampleLanczos3(const float* source, const uint8_t* noData, double saturation,
                            int32_t sourceWidth, int32_t sourceHeight, const PixelMap& map,
                            int32_t width, int32_t height, FloatImage* output,
                            std::vector<uint8_t>* mask, double* varianceFactor,
                            SharedThreads* threads = nullptr);

// Output rows per band of the resampling.
inline constexpr int32_t RESAMPLE_BAND_ROWS = 32;

// The Lanczos-3 kernel sin(pi d) sin(pi d / 3) / (pi^2 d^2 / 3) for |d| < 3, 1 at d = 0,
// 0 beyond.
double lanczos3(double d);

} // namespace newstars
