#pragma once
// Registration that does not rely on many stars or on exact coordinates: the offset (and,
// for a turned header, the turn) between the star lists of two images found by letting
// every pair of stars vote, and a refinement that falls back from an affine fit to a shift
// to the world coordinates alone as fewer stars remain.

#include <vector>

#include "diff/diff_image.hpp"
#include "diff/pixel_map.hpp"

namespace newstars {

// How the test image's pixels were mapped onto the reference's in the end.
enum class RegistrationKind {
    Fitted,      // the world-coordinate map corrected by the full star fit (affine by default)
    Shift,       // corrected by a shift only: too few stars for the full fit
    Coordinates, // the world-coordinate map alone: too few stars for a shift
};

// The name of a kind as the catalogue records it: a full fit by its correction order
// ("shift" for 0, "affine" for 1, "quadratic" for 2), "shift", "coordinates".
const char* registrationKindText(RegistrationKind kind, int correctionOrder);

// How the pipeline registers when the map from the coordinates does not fit the stars at
// once (see subtractImages).
struct RegistrationOptions {
    double acceptRms = 0.5;   // reference pixels: a star fit on the coordinates' map as good
                              // as this is taken without a search
    double searchRadius = 10; // largest offset of the coordinates searched, reference pixels
                              // (the frames' stated uncertainty, several pixels)
    double maxTurn = 0.105;   // largest turn of the coordinates searched, radians (6 degrees)
    double voteTolerance = 1.5; // reference pixels
    double matchRadius = 2;     // after the offset is found, reference pixels
    double leastPeak = 10;      // sky deviations a star's peak needs in both images
};

// What voteShift searches.
struct ShiftSearch {
    double radius = 10;       // largest offset looked for, reference pixels (> 0)
    double tolerance = 1.5;   // offsets this close (reference pixels) vote together (> 0)
    double maxTurn = 0;       // largest turn looked for, radians (0: offsets only)
    double centreU = 0;       // the turn is about this reference position (the mapped
    double centreV = 0;       // centre of the test image)
    double turnReach = 512;   // reference pixels from the centre to the farthest star: sets
                              // the step of the turns tried (moves of tolerance / 2 there)
};

// The offset found: a reference position (u, v) mapped from the test image goes to
// centre + R(turn) ((u, v) - centre) + (du, dv).
struct ShiftVote {
    double du = 0, dv = 0; // reference pixels
    double turn = 0;       // radians, counter-clockwise in pixel coordinates
    int votes = 0;         // test positions within the tolerance of a reference position
    double spread = 0;     // rms distance of those to their reference positions
};

// Finds the offset (and turn) that brings the most of the mapped test positions (mu, mv)
// within search.tolerance of a reference position (ru, rv), among offsets up to
// search.radius and turns up to search.maxTurn. Each test position votes once per offset
// cell with every reference position within search.radius (after the turn) of it; the best
// cell's offsets are averaged and the votes counted again around that mean. Among turns,
// ties of votes go to the smaller spread, then the smaller turn; among offsets, to the
// smaller offset. A turn is taken only when it gathers at least
// twice the votes of the best offset without a turn, and 3 more: with few stars a turn
// gives chance coincidences room. Ok with *vote (votes 0, offset 0 when no pair lies
// within the radius); BadInput for sizes that differ or search figures out of range;
// OutOfMemory.
DiffStatus voteShift(const std::vector<double>& mu, const std::vector<double>& mv,
                     const std::vector<double>& ru, const std::vector<double>& rv,
                     const ShiftSearch& search, ShiftVote* vote);

// Composes the vote's offset and turn onto *map (its output side), keeping its order.
void applyShiftVote(const ShiftVote& vote, const ShiftSearch& search, PixelMap* map);

// Refines *map on the pairs with the fallbacks: the correction of correctionOrder (0 to 2)
// by refinePixelMap when that succeeds; else a shift, the median offset of the pairs with
// those beyond 3 times the median distance from it (at least 1 pixel) clipped and the rest
// averaged, when at least 2 pairs remain; else nothing. *kind says which; *fit holds the
// pairs kept, clipped and their rms after the correction (the figures before it when the
// map is left as it was). BadInput for an order out of range.
DiffStatus refineWithFallback(const std::vector<PositionPair>& pairs, int correctionOrder,
                              PixelMap* map, MapFit* fit, RegistrationKind* kind);

// The largest distance (reference pixels) between two maps at the corners and the centre
// of a width x height test image.
double largestMapDifference(const PixelMap& a, const PixelMap& b, int32_t width, int32_t height);

} // namespace newstars
