#pragma once
// Cutting a rectangular area out of an image.

#include <cstdint>
#include <string>

#include "fits/fits_image.hpp"

namespace newstars {

// Copies the area of w x h pixels whose first pixel is column x, row y (from 0) of
// source into destination, an empty record: destination gets the source's cards in
// order, with NAXIS1 and NAXIS2 rewritten in place to w and h, then CROPX = x and
// CROPY = y (rewritten in place when the source, itself a crop, carries them);
// width w, height h, the area's pixels, and the initFitsImage values in every other
// field. The source is not changed. The source's header must give its size (NAXIS1,
// NAXIS2) and its pixel buffer must hold rows of source->width pixels covering the area.
// 0, or -1 with the reason in *message and destination untouched:
//   the getImageSize message (no usable size cards);
//   "cropFITS: Bad AOI: x=%d w=%d sw=%d" when x < 0, w <= 0 or x + w > NAXIS1;
//   "cropFITS: Bad AOI: y=%d h=%d sh=%d" when y < 0, h <= 0 or y + h > NAXIS2
//   (the horizontal test comes first);
//   "cropFITS: AOI lies outside the %d-pixel buffer of rows of %d" when the pixel
//   buffer does not hold the area;
//   "cropFITS: destination must be another image than the source";
// or -1 with destination emptied: "cropFITS: Could not malloc %d bytes for pixels", or
// CARD_MEMORY_MESSAGE when a card cannot be added.
int cropFITS(const FitsImage* source, FitsImage* destination, int32_t x, int32_t y, int32_t w,
             int32_t h, std::string* message);

} // namespace newstars
