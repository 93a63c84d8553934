#pragma once

namespace newstars {

// Celestial projections between an image's pixel grid and the sky: reference point
// (CRVAL1, CRVAL2) at reference pixel (CRPIX1, CRPIX2), increments CDELT1, CDELT2 per
// pixel, rotation CROTA2. All angles in degrees; pixel positions in the same index
// convention as CRPIX1 and CRPIX2 (no offset of one is added, no axis is flipped).
//
// Projection code: the first four characters select the projection, compared
// case-sensitively: "-SIN" orthographic, "-TAN" gnomonic, "-ARC" zenithal equidistant,
// "-NCP" north celestial pole, "-GLS" global sinusoidal, "-MER" Mercator, "-AIT" Aitoff,
// "-STG" stereographic; further characters are ignored. Anything else (a shorter code,
// lower case, empty, or a null pointer) selects the linear default, where the offsets
// are simply added to the reference values.
//
// The outcomes of both functions, as they return them.
enum ProjectionStatus : int {
    PROJECTION_OK = 0,
    PROJECTION_OUTSIDE = 1,        // outside the domain, at a singular point, or not finite
    PROJECTION_ZERO_INCREMENT = 2, // a zero CDELT1 or CDELT2 (pixelToSky: or a value not
                                   // finite; skyToPixel: or MER at declination -90)
    PROJECTION_OPPOSITE_POINT = 3, // AIT at the point opposite the reference meridian
};

// A short text for a projection status ("outside the projection", ...); "unknown
// projection status" for any other value.
const char* projectionStatusText(int status);

// Both functions are pure and re-entrant. The degree factor is 0.01745329252 and the
// full turn 6.28318530717959 (not their full-precision values); results depend on them.

// Pixel position (x, y) to right ascension and declination in degrees.
//   PROJECTION_OK  success: *ra within half a turn of CRVAL1 and non-negative (for
//      CRVAL1 above -180; a value of 360 or more is not reduced), *dec never wrapped.
//   PROJECTION_OUTSIDE  the offset lies outside the projection's domain, hits a singular
//      point or gives no finite position: *ra = CRVAL1 + dx, *dec = CRVAL2 + dy, the
//      rotated offsets in degrees (not normalised).
//   PROJECTION_ZERO_INCREMENT  CDELT1 or CDELT2 is zero, or a reference value, increment
//      or rotation is not finite: no position, the outputs untouched.
// A reference declination of +-90 degrees (or beyond) is taken as the pole itself by
// ARC and STG (the short degree factor would put it just beyond); ARC then gives the
// reference pixel the reference point.
ProjectionStatus projectionPixelToSky(double x, double y, double crval1, double crval2,
                                      double crpix1, double crpix2, double cdelt1, double cdelt2,
                                      double crota2, const char* code, double* ra, double* dec);

// Right ascension and declination in degrees to pixel position (*x, *y). The input
// right ascension is first moved by 360 degrees towards CRVAL1 when more than 180
// degrees away from it.
//   PROJECTION_OK  success.
//   PROJECTION_OUTSIDE  the position lies outside the projection's domain (SIN far
//      hemisphere, TAN 90 degrees or more away, NCP with CRVAL2 = 0, GLS/STG at or beyond
//      a pole, GLS with CRVAL2 beyond a pole, AIT 180 degrees or more from CRVAL1 in right
//      ascension, STG antipode) or gives no finite position.
//   PROJECTION_ZERO_INCREMENT  CDELT1 or CDELT2 is zero (*x = *y = 0); or MER at or too
//      near declination -90.
//   PROJECTION_OPPOSITE_POINT  AIT at or too near the singular point opposite the
//      reference meridian.
// On failures other than a zero increment, *x and *y hold the linear estimate: the
// rotated offsets from the reference point divided by the increments, plus CRPIX.
ProjectionStatus projectionSkyToPixel(double ra, double dec, double crval1, double crval2,
                                      double crpix1, double crpix2, double cdelt1, double cdelt2,
                                      double crota2, const char* code, double* x, double* y);

// A projection prepared once from the reference values, for many conversions: the
// values, the selected projection and everything derived from them alone (sines and
// cosines of the rotation and of the reference declination, the Mercator and Aitoff
// scales). Conversions through it give, bit for bit, what the one-shot functions above
// give for the same values.
struct ProjectionFrame {
    double crval1 = 0, crval2 = 0, crpix1 = 0, crpix2 = 0;
    double cdelt1 = 0, cdelt2 = 0, crota2 = 0;
    int projection = 0;            // 0 linear, 1..8 in the order of the codes above
    bool usable = false;           // increments non-zero and every value finite
    double cr = 1, sr = 0;         // cosine and sine of the rotation
    double ra0 = 0, dec0 = 0;      // reference point, radians (dec0 at most a quarter turn
                                   // from the equator for ARC and STG)
    double cos0 = 1, sin0 = 0;     // of dec0
    bool atPole = false;           // dec0 clamped to a pole (ARC and STG)
    double g1 = 0, g2 = 0, g3 = 0; // Mercator or Aitoff scale; 0 for the others
};

// Fills *frame from the header values (angles in degrees) and the projection code, as
// the one-shot functions read them. Never fails: frame->usable tells whether
// projectionFramePixelToSky can give positions.
void prepareProjection(double crval1, double crval2, double crpix1, double crpix2, double cdelt1,
                       double cdelt2, double crota2, const char* code, ProjectionFrame* frame);

// projectionPixelToSky and projectionSkyToPixel through a prepared frame: the same
// statuses, the same outputs.
ProjectionStatus projectionFramePixelToSky(const ProjectionFrame& frame, double x, double y,
                                           double* ra, double* dec);
ProjectionStatus projectionFrameSkyToPixel(const ProjectionFrame& frame, double ra, double dec,
                                           double* x, double* y);

} // namespace newstars
