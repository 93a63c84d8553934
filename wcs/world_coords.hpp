#pragma once
// Pixel positions of an image to sky positions and back, through the world-coordinate
// cards of the image's own header: CRVAL1, CRVAL2 (degrees), CRPIX1, CRPIX2 (pixels),
// CDELT1, CDELT2 (degrees per pixel), CROTA2 (degrees) and CTYPE1. All eight are
// required and read afresh on every call (readClassicCards of wcs/world_frame.hpp).
// CTYPE1 must start with exactly "RA--" (case-sensitive); the rest of it is the
// projection code ("RA---TAN" is "-TAN", "RA--" alone is linear). The first axis is right ascension, the second declination.
// Pixel positions are in the convention of CRPIX1 and CRPIX2, used exactly as passed.

#include "fits/fits_image.hpp"
#include "sky/projections.hpp"

namespace newstars {

// Pixel position (x along NAXIS1, y along NAXIS2) to right ascension and declination in
// radians; the right ascension is non-negative and within half a turn of CRVAL1.
// 0 on success; -1 when a card is missing, CTYPE1 is not a quoted "RA--" type, CDELT1
// or CDELT2 is zero, a value is not finite, or the projection refuses the position.
// The outputs are written only on success.
// When status is not null, *status tells which: -1 for the cards, otherwise the
// projection's ProjectionStatus (PROJECTION_OK on success).
// For many positions of one image, readWorldFrame (wcs/world_frame.hpp) reads the cards
// once and gives the same results.
int pixelToSky(const FitsImage* image, double x, double y, double* ra, double* dec,
               int* status = nullptr);

// Right ascension and declination in radians to a pixel position. 0 on success; -1 on
// failure. A missing card or a wrong CTYPE1 leaves the outputs untouched; a position
// the projection refuses leaves its linear estimate in them, and a zero CDELT1 or
// CDELT2 leaves 0 in both. *status, when status is not null, as for pixelToSky.
int skyToPixel(const FitsImage* image, double ra, double dec, double* x, double* y,
               int* status = nullptr);

} // namespace newstars
