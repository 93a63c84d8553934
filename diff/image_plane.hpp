#pragma once
// An image as the difference-imaging pipeline reads it: floating-point values, the pixels
// that hold no data, the level from which a pixel counts as saturated, its sky and stars.
// A 16-bit image becomes one by taking each pixel value as it is (file value + 32768, the
// star finder's convention), so that every step computes on the same numbers it would on
// the 16-bit pixels.

#include <cstdint>
#include <limits>
#include <vector>

#include "diff/background.hpp"
#include "diff/detect.hpp"
#include "diff/diff_image.hpp"
#include "fits/fits_image.hpp"
#include "stars/find_stars.hpp"

namespace newstars {

// No saturation level: no pixel counts as saturated.
inline constexpr double NO_SATURATION = std::numeric_limits<double>::infinity();

struct ImagePlane {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float> values;      // width x height, row after row; 0 where there is no data
    std::vector<uint8_t> noData;    // PIXEL_NO_DATA per pixel without data; empty: all hold data
    double saturation = SATURATION; // values at or above it are saturated
    SkyEstimate sky;                // of the pixels with data below saturation
    StarList stars;                 // the stars found in it (positions as the finder gives)
    std::vector<double> peaks;      // each star's peak value, in the plane's units
    BackgroundMesh background;      // the smooth background taken out of the values, leaving
                                    // background.medianLevel (no cells: none taken out)
};

// Whether pixel i of the plane holds data.
inline bool planeHasData(const ImagePlane& plane, size_t i)
{
    return plane.noData.empty() || plane.noData[i] == PIXEL_HAS_DATA;
}

// The saturation level of an image: 65535 (SATURATION) for 16-bit pixels; for other types
// the SATURATE card's value rounded to float (the values' precision) when it holds a finite
// number in float's range, else NO_SATURATION.
double imageSaturation(const FitsImage& image);

// Makes the plane of a 16-bit image (width x height pixels, row after row): its values, its
// sky (estimateSky) and its stars (findStars, peaks as the finder gives them).
// With background given, the values' smooth background is fitted first (fitBackgroundMesh,
// kept in plane->background) and replaced by its median level (flattenBackground); the sky
// is then estimated and the stars found (findStarsInValues, saturation 65535) on the
// flattened values.
// Ok; BadInput (sizes, null pixels, no unsaturated pixel, background options out of
// range); OutOfMemory. *plane untouched on failure.
DiffStatus makePlane16(const uint16_t* pixels, int32_t width, int32_t height, ImagePlane* plane,
                       const BackgroundOptions* background = nullptr);

// Makes the plane of an image in memory: 16-bit images as makePlane16; others from values
// and noData (a value that is not finite counts as no data too) with imageSaturation, their
// stars found on those values (findStarsInValues, peaks as peakValue).
// With background given, the background is taken out first as in makePlane16.
// Ok; BadInput (sizes, buffers too short, no unsaturated pixel with data, background options
// out of range); OutOfMemory. *plane untouched on failure.
DiffStatus makeImagePlane(const FitsImage& image, ImagePlane* plane,
                          const BackgroundOptions* background = nullptr);

} // namespace newstars
