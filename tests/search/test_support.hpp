#pragma once
// Helpers for the search tests: synthetic star images with sky cards, the scene most
// tests share, and running the built newstars program.

#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/fits_file.hpp"
#include "support/program.hpp"

// A star drawn as a compact symmetric 3 x 3 blob centred on a pixel.
struct TestStar {
    int x;
    int y;
};

// A synthetic image: flat background with stars, and its header cards besides the
// structural ones (SIMPLE, BITPIX, NAXIS, NAXIS1, NAXIS2, BZERO).
struct TestImage {
    int width = 200;
    int height = 200;
    std::vector<std::string> cards;
    std::vector<TestStar> stars;
};

// Cards for a linear sky mapping with 1 arcsecond pixels: the pixel (crpix1, crpix2)
// lies at (ra0Degrees, dec0Degrees); right ascension decreases and declination
// increases with the pixel coordinates. 'RA--' selects the plain linear mapping.
std::vector<std::string> linearSkyCards(double ra0Degrees, double dec0Degrees, double crpix1,
                                        double crpix2);

// An image of 300 x 240 pixels of the given object whose pixel (150, 120) lies at
// (ra0Degrees, dec0Degrees) under linearSkyCards, with DATE-OBS 2026-12-07 and
// TIME-OBS 01:02:03, and the given stars.
TestImage skyImage(const char* object, double ra0Degrees, double dec0Degrees,
                   const std::vector<TestStar>& stars);

// Writes image as a FITS file at path (2880-byte records, 16-bit big-endian pixels).
void writeTestImage(const std::string& path, const TestImage& image);

// Runs the built newstars with the given arguments (argv[0] is the program's path)
// in directory, without a shell, and collects its output. A non-zero addressSpaceLimit
// caps the program's address space (bytes).
ProgramResult runNewstars(const std::string& directory, const std::vector<std::string>& arguments,
                          unsigned long addressSpaceLimit = 0);

// The program's path as given to it as argv[0].
std::string newstarsPath();

// The files most tests share, in directory:
//   ref.fts, ref2.fts   object M31 at (10h, 0 deg), one star at pixel (150, 120)
//   test.fts            object M31, stars at (150, 120) and (180, 120); the second lies
//                       at 9:59:58.0 0:00:00, 30 arcseconds west of the first
//   lower.fts           as test.fts with the object written m31
//   noobject.fts        no OBJECT card
//   short.fts           100 blanks, not a FITS file
// With tolerance 2 and the table line STANDARD_TABLE_LINE, test.fts gives
// STANDARD_SUMMARY and one candidate, STANDARD_CANDIDATE.
void writeStandardScene(const ScratchDirectory& directory);

inline constexpr const char* STANDARD_TABLE_LINE =
    "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fts\n";
inline constexpr const char* STANDARD_SUMMARY =
    "M31          ref.fts      test.fts     2026-12-07 01:02:03   1   2   1\n";
inline constexpr const char* STANDARD_CANDIDATE = "M31          test.fts      9:59:58.0   0:00:00";
