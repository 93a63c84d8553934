#pragma once
// Images of the difference-imaging pipeline: floating-point pixels on one grid, a mask
// byte per pixel, and the statuses the pipeline's routines return.
//
// Pixels are row after row, the pixel at column x, row y (both from 0) being
// pixels[y * width + x]; positions are in pixels with integer values at pixel centres,
// as in the star finder.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/shared_threads.hpp"

namespace newstars {

// A floating-point image, values in ADU of the image it comes from.
struct FloatImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float> pixels;
};

// Mask bits: why a pixel of the difference cannot be trusted.
inline constexpr uint8_t MASK_NO_DATA = 1;   // no reference data (outside its frame)
inline constexpr uint8_t MASK_SATURATED = 2; // saturated in either image, or close to it
inline constexpr uint8_t MASK_EDGE = 4;      // the convolution kernel reaches masked data
inline constexpr uint8_t MASK_COSMIC = 8;    // far sharper than the point spread in the test
                                             // image (cosmic-ray hit, hot pixel), or beside
// The bits that take a pixel out of every fit and sum.
inline constexpr uint8_t MASK_UNUSABLE = MASK_NO_DATA | MASK_SATURATED | MASK_EDGE;

// The value at which a 16-bit pixel counts as saturated.
inline constexpr uint16_t SATURATION = 65535;

enum class DiffStatus {
    Ok = 0,
    BadInput,      // sizes, orders or options out of range
    OutOfMemory,   // a buffer could not be allocated
    MappingFailed, // the pixel mapping refused too many grid points
    TooFewStars,   // too few bright, isolated stars matched in both images
    SingularFit,   // the least-squares system has no unique solution
    NoOverlap,     // the images share no pixels
    ModelFailed,   // the detection score's model could not be loaded or run
};

// The text for a status, for the program to print beside the file name.
const char* diffStatusText(DiffStatus status);

// Sizes the image to width x height pixels of value 0. BadInput for a negative size or a
// pixel count beyond what size_t holds; OutOfMemory; the image untouched on failure.
DiffStatus allocateFloatImage(int32_t width, int32_t height, FloatImage* image);

// Sets the bit in every mask pixel within radius pixels (a square of side 2 radius + 1)
// of a pixel that holds any of the bits of source; mask has width x height pixels.
// radius < 1 changes nothing. Bands of rows, then of columns, run on threads (null: the
// calling thread alone); the mask is the same.
void dilateMask(std::vector<uint8_t>* mask, int32_t width, int32_t height, uint8_t source,
                uint8_t bit, int radius, SharedThreads* threads = nullptr);

} // namespace newstars
