#pragma once
// Making and writing the images of a simulated night, and the three text files that
// go with them: the reference table, the file of files and the truth file.

#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "night_plan.hpp"

// Fills image with an empty 16-bit width x height image of the plan: the default
// cards, OBJECT, the observation time, the world-coordinate cards of a gnomonic
// projection (CTYPE1 'RA---TAN', CTYPE2 'DEC--TAN', CRVAL, CRPIX, CDELT, CROTA2) and
// the exposure. The image must be empty; its pixel buffer is left empty.
void buildImageHeader(newstars::FitsImage* image, const ObjectPlan& object, const ImagePlan& plan,
                      const NightOptions& options);

// Chooses the object's sky box: centred on the field, as large as it can be while every
// point of its border maps at least 48 pixels inside each of the given images (the
// reference first), rounded inward to the table's units. 0, or -1 when no such box is
// found (the images hardly overlap, or a header has no usable coordinates).
int chooseSkyBox(ObjectPlan* object, const std::vector<newstars::FitsImage>& headers);

// Right ascension (radians) and declination of a box corner or edge: the table's units
// converted back.
double boxRa(int64_t tenthsOfSecond);
double boxDec(int64_t arcseconds);

// True when (ra, dec), radians, lies inside the box grown by margin arcseconds on every
// side (a negative margin shrinks it); the margin in right ascension is widened by
// 1 / cos(dec) so that it is the same angle on the sky.
bool insideBox(const NightBox& box, double ra, double dec, double margin);

// Renders, digitises and writes every image of the night into options.directory, then
// writes table.txt, files.txt and truth.txt there, and causes.txt when options.causes is
// set: per test image, one line for each thing there that may give a false candidate,
//   cause object image ra0 dec0 ra1 dec1 x0 y0 x1 y1
// (hours, degrees, pixels; a segment from the first to the second position, both the
// same for a point). Causes: cosmic (a one-pixel hit), track (a longer hit), hot (a hot
// pixel), saturated-ref (a star saturated in the reference but not in this image),
// saturated (a star saturated here), pair (a close pair, from one member to the other),
// star (any other star that shows in this image). With options.movers, movers.txt too:
// a line per moving object per test image it lies on (formatMoverLine of
// night_movers.hpp), the images of a field's movers in list order. Images marked compressed are passed
// through fpack when it can be started (and keep their .fts form when not). 0, or -1
// with the reason in *message.
int writeNight(const NightOptions& options, std::string* message);

// Text of a right ascension in tenths of a second of time as hh:mm:ss.s, and of a
// declination in arcseconds as [-]dd:mm:ss.
std::string formatBoxRa(int64_t tenthsOfSecond);
std::string formatBoxDec(int64_t arcseconds);
