#pragma once
// Matching star positions on the sky: which test positions have a reference position
// closer than a tolerance.

#include <vector>

namespace newstars {

// A star's position on the sky, radians.
struct SkyPosition {
    double ra = 0;
    double dec = 0;
};

// Cosine of the angular distance between a test and a reference position by the
// spherical law of cosines, clamped to [-1, 1].
//   deltaRa         test minus reference right ascension, radians
//   polarDistance   pi/2 minus the reference declination, radians
//   sinDec, cosDec  sine and cosine of the test declination
double separationCosine(double deltaRa, double polarDistance, double sinDec, double cosDec);

// For each test position, whether some reference position lies at a distance strictly
// below tolerance (radians), the distance being the arc cosine of separationCosine.
// Both lists hold only positions inside the search box. (*matched)[j] becomes 1 for a
// matched test position j, 0 otherwise.
// matchStarsPlain tries every pair; matchStars looks only at the reference positions
// an index of declinations can put within reach, and gives the same answers.
void matchStarsPlain(const std::vector<SkyPosition>& reference,
                     const std::vector<SkyPosition>& test, double tolerance,
                     std::vector<char>* matched);
void matchStars(const std::vector<SkyPosition>& reference, const std::vector<SkyPosition>& test,
                double tolerance, std::vector<char>* matched);

} // namespace newstars
