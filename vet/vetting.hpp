#pragma once
// Vetting candidate new sources: measuring each candidate in the test image and at the
// same sky position in the reference image, comparing its shape with the image's own
// stars, and judging it kept or rejected with the reasons.
//
// Pixels follow the star finder's conventions: unsigned 16-bit, row after row, x the
// column and y the row from 0, integer positions at pixel centres; saturationLevel (65535)
// is saturated. Images of other types are measured on their physical values: pixels
// without data are left out of every sky, saturation is the SATURATE card's value (none
// without one), and no rounding noise is added to the sky's deviation.
// Every routine only reads the images and gives the same bits for the same input.

#include <cstdint>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/find_stars.hpp"

namespace newstars {

// Outcome of a vetting routine.
enum class VetStatus {
    Ok = 0,
    OutsideImage, // the position lies too near an edge (or off the image) to be measured
    NoBackground, // too few unsaturated pixels around the position to estimate the sky
    NoFlux,       // no signal above the local background at the position
};

// The text for a status, without a line end.
const char* vetStatusText(VetStatus status);

// The vetting thresholds and measuring radii. Every threshold is relative to the
// image's own stars (their median and spread) or to noise; none is a pixel value.
// No measurement reaches farther than 64 pixels from its centre, whatever the radii.
struct VetParams {
    double windowSigma = 2.0;      // pixels: Gaussian window of the shape moments
    double backgroundInner = 7.0;  // pixels: inner radius of the local sky annulus
    double backgroundOuter = 12.0; // pixels: outer radius of the local sky annulus
    double apertureFwhm = 1.0;     // aperture radius in units of the stars' median FWHM ...
    double minimumAperture = 2.0;  // ... but at least this many pixels
    double starMinimumSnr = 20;    // stars enter the statistics from this peak S/N up
    int32_t maximumStars = 250;    // at most this many stars (evenly spread over the list)
    int32_t minimumStars = 5;      // fewer usable stars: no shape judged, no flux scale
    // sharp: sharpness below the stars' median by more than sharpSpreads times the
    // stars' spread and the candidate's own noise added in quadrature.
    double sharpSpreads = 5.0;
    // elongated: elongation above the stars' median by more than elongationSpreads times
    // the stars' spread and the candidate's own noise added in quadrature.
    double elongationSpreads = 5.0;
    // saturated-reference: a saturated reference pixel, not a lone spike, within this many
    // stars' FWHM (at least saturationMinimum pixels) of the candidate's reference position.
    double saturationFwhm = 1.5;
    double saturationMinimum = 3.0;
    uint16_t saturationLevel = 65535; // pixel value from which a pixel counts as saturated
    // in-reference: the forced reference flux reaches referenceSnr times its error and
    // the test flux is below brighteningFactor times the reference flux scaled to the test.
    double referenceSnr = 5.0;
    double brighteningFactor = 2.5;
};

// A point source measured around its brightest pixel.
struct SourceShape {
    int32_t peakX = 0, peakY = 0; // brightest pixel within one pixel of the given position
    double background = 0;        // median of the sky annulus, ADU
    double noise = 0;             // robust deviation of the annulus (scaled MAD), ADU
    double peak = 0;              // brightest pixel above the background, ADU
    double snr = 0;               // peak / noise
    double sharpness = 0;         // mean of the 8 neighbours over the peak, background removed
    double fwhm = 0;              // pixels, windowed moments; NaN past a deviation of 2 windows
    double elongation = 0;        // sqrt of the ratio of the moments' principal axes, >= 1
    double elongationError = 0;   // first-order effect of the noise on the elongation
    int32_t skyPixels = 0;        // annulus pixels the sky was taken from
};

// Aperture photometry at a given position: pixels whose centres lie within radius.
struct ApertureFlux {
    double background = 0;  // median of the sky annulus, ADU
    double noise = 0;       // robust deviation of the annulus, ADU
    double flux = 0;        // sum over the aperture minus background, ADU
    double error = 0;       // noise * sqrt(n + (pi/2) n^2 / annulus pixels)
    bool saturated = false; // a pixel at or above the saturation level within the aperture
};

// What the image's matched stars look like; the yardstick for every candidate.
struct StarStatistics {
    int32_t count = 0;          // stars that entered the shape statistics
    double sharpnessMedian = 0; // NaN when count < minimumStars
    double sharpnessSpread = 0; // ROBUST_SIGMA_PER_MAD times the MAD
    double elongationMedian = 0;
    double elongationSpread = 0;
    double fwhmMedian = 0;     // pixels
    double apertureRadius = 0; // pixels, as the params give it from fwhmMedian
    int32_t scaleCount = 0;    // stars that entered the flux scale
    double fluxScale = 0;      // median test / reference aperture flux; NaN without stars
};

// A test star that matched a reference star: its test pixel position and the reference
// pixel position of the same sky position.
struct MatchedStar {
    double x = 0, y = 0;
    double referenceX = 0, referenceY = 0;
};

// The reference stars ordered by row, for nearest-star look-ups (stars whose position is
// not a number are left out).
struct ReferenceStarIndex {
    std::vector<double> x, y;   // reference pixels, y ascending
    std::vector<double> peak;   // peak pixel value as the image holds it
};

// Builds the index from the finder's list (equal rows keep the list's order). Peaks are the
// list's peakValue where it has one per star (the float value of a float image, never a
// 16-bit rounding of it), its 16-bit peak otherwise.
void indexReferenceStars(const StarList& stars, ReferenceStarIndex* index);

// A candidate as the search found it: test pixel position, and the reference pixel
// position of the same sky position when the reference's coordinates give one.
struct CandidatePosition {
    double x = 0, y = 0;
    bool hasReference = false;
    double referenceX = 0, referenceY = 0;
};

// Reasons for a rejection, combined as bits.
enum VetReason : uint32_t {
    VET_SHARP = 1u << 0,               // far sharper than the image's stars (cosmic ray, hot pixel)
    VET_ELONGATED = 1u << 1,           // far longer than wide (track, blended pair)
    VET_SATURATED_REFERENCE = 1u << 2, // a saturated reference pixel close by
    VET_IN_REFERENCE = 1u << 3,        // present in the reference and not much brighter now
    VET_NO_DATA = 1u << 4,             // a pixel without data close by, in either image
};

// Everything measured for one candidate and the verdict.
struct CandidateVetting {
    double x = 0, y = 0;       // test pixel position as the search gave it
    bool measured = false;     // the test shape and flux were measured (else kept unjudged)
    SourceShape shape;         // in the test image
    ApertureFlux testFlux;     // in the test image at (x, y)
    bool hasReference = false; // the caller gave a reference position
    double referenceX = 0, referenceY = 0;
    bool referenceMeasured = false;  // the reference aperture lay inside the reference
    ApertureFlux referenceFlux;      // forced, at (referenceX, referenceY)
    double referenceSnr = 0;         // referenceFlux.flux / referenceFlux.error
    bool referenceSaturated = false; // saturated reference pixel within the saturation radius
    double nearestStarDistance = 0;  // reference pixels to the nearest reference star; NaN: none
    double nearestStarPeak = 0;      // that star's peak pixel value; NaN: none
    uint32_t reasons = 0;            // VetReason bits; 0 means kept
    bool saturated = false;          // the candidate's core saturates in the test image
};

// A spike is a pixel more than 5 noise units above the sky whose eight neighbours have
// a median less than 0.3 of its height above the sky (a cosmic-ray hit, a hot pixel);
// the moments and aperture sums below count a spike as that median.
//
// Measures the point source near (x, y): takes the brightest pixel of the 3 x 3 pixels
// around the nearest pixel, the sky from the unsaturated pixels of the annulus
// backgroundInner <= r <= backgroundOuter around it (those inside the image), and the
// moments within 3 windowSigma under a Gaussian window of windowSigma (spikes outside the
// brightest pixel's 3 x 3 removed). The noise is at least 1 / sqrt(12) ADU (the rounding
// to whole ADU).
// Returns Ok with *shape filled; OutsideImage when the brightest pixel or one of its
// neighbours would lie off the image, NoBackground with fewer than 8 annulus pixels,
// NoFlux when the peak is not above the background. *shape is untouched on failure.
VetStatus measureSourceShape(const FitsImage& image, double x, double y, const VetParams& params,
                             SourceShape* shape);

// Sums the pixels whose centres lie within radius of (x, y), spikes removed, minus the
// annulus median (annulus as for measureSourceShape, centred on the nearest pixel).
// Returns Ok with *flux filled; OutsideImage when a pixel of the aperture would lie off
// the image, NoBackground with fewer than 8 annulus pixels. *flux untouched on failure.
VetStatus measureApertureFlux(const FitsImage& image, double x, double y, double radius,
                              const VetParams& params, ApertureFlux* flux);

// The yardstick from the matched stars (those with a pixel without data within the sky
// annulus's outer radius in either image left out): the shape statistics over those whose peak S/N
// reaches starMinimumSnr, then the flux scale over those whose test and reference
// aperture fluxes both reach starMinimumSnr times their errors, with no saturated pixel.
// Stars that cannot be measured are passed over. Always fills *statistics; medians are
// NaN when fewer than minimumStars stars enter them (the aperture radius is then
// minimumAperture).
void measureStarStatistics(const FitsImage& test, const FitsImage& reference,
                           const std::vector<MatchedStar>& stars, const VetParams& params,
                           StarStatistics* statistics);

// Measures one candidate and judges it against the statistics: reasons are set only for
// measures that could be taken (a candidate too near an edge stays kept, measured false),
// except no-data: a pixel without data within the sky annulus's outer radius (and at least
// the aperture radius + 1) of the candidate in the test image, or of its reference
// position in the reference, rejects it whatever was measured.
// The test aperture takes its sky from the shape measurement; the nearest reference star
// is the first of the index at the least distance.
//   referenceStars  the stars found in the reference, indexed
// Fills *vetting entirely.
void vetCandidate(const FitsImage& test, const FitsImage& reference,
                  const ReferenceStarIndex& referenceStars, const StarStatistics& statistics,
                  const CandidatePosition& candidate, const VetParams& params,
                  CandidateVetting* vetting);

// The reasons as words joined by ";" in bit order: "sharp", "elongated",
// "saturated-reference", "in-reference", "no-data"; empty for none.
std::string vetReasonText(uint32_t reasons);

} // namespace newstars
