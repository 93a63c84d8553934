#pragma once
// The sky and noise of an image, and the detection and measurement of new sources on a
// difference image.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/shared_threads.hpp"
#include "diff/diff_image.hpp"
#include "diff/kernel_fit.hpp"
#include "diff/psf_shape.hpp"

namespace newstars {

// Sky level and its pixel-to-pixel deviation, ADU.
struct SkyEstimate {
    double level = 0;
    double sigma = 0;
};

// Sky level and deviation of the unsaturated pixels of a width x height image, from a
// regular sample of at most about a million pixels: the median and ROBUST_SIGMA_PER_MAD
// times the median absolute deviation, then three rounds of 3-deviation clipping around
// the median, the
// deviation taken from the spread of the kept pixels (corrected for the clipping). Ok;
// BadInput for an empty image or one with no unsaturated pixel; *sky untouched on failure.
DiffStatus estimateSky(const uint16_t* pixels, int32_t width, int32_t height, SkyEstimate* sky);

// The same on floating-point values: the pixels counted are those with data (noData null,
// or its byte PIXEL_HAS_DATA) below saturation. For values taken from 16-bit pixels with
// saturation 65535 the result is that of the 16-bit routine.
DiffStatus estimateSky(const float* values, const uint8_t* noData, int32_t width, int32_t height,
                       double saturation, SkyEstimate* sky);

// The noise model of an image from its sky: with gain > 0 (electrons per ADU, e.g. from
// the header) the read noise is what the sky's deviation leaves beyond the sky's photon
// noise, sqrt(max(sigma^2 - level / gain, 0)); with gain <= 0 the sky is taken as photon
// noise alone, gain = level / sigma^2 and no read noise (gain 1 when that is not a
// positive finite number) -- unless the level lies below 3 deviations (a sky-subtracted
// image) while the deviation is a positive number: then the read noise is the deviation and
// the gain infinite (no photon noise counted).
NoiseModel noiseFromSky(const SkyEstimate& sky, double gain);

// Sets bit in the mask at every pixel of the image (16-bit, width x height) that stands far
// sharper above its surroundings than a Gaussian point spread of psfSigma allows, and at
// its eight neighbours: more than 5 skySigma above the faintest pixel of the 5 x 5 square's
// border, with its eight neighbours' mean above that pixel less than half of what the point
// spread gives at a peak. Saturated pixels are left to the saturation mask.
void markSharpPixels(const uint16_t* pixels, int32_t width, int32_t height, double skySigma,
                     double psfSigma, std::vector<uint8_t>* mask, uint8_t bit);

// The same on floating-point values (saturated: at or above saturation); a pixel whose
// 5 x 5 square holds a pixel without data (noData null: none) is never marked. For values
// taken from 16-bit pixels with saturation 65535 the marks are those of the 16-bit routine.
void markSharpPixels(const float* values, const uint8_t* noData, int32_t width, int32_t height,
                     double saturation, double skySigma, double psfSigma,
                     std::vector<uint8_t>* mask, uint8_t bit);

// Why a detection is not kept (bits of DifferenceSource::reasons).
inline constexpr uint32_t REJECT_SHARP = 1;     // sharper than the point spread, or on a
                                                // MASK_COSMIC pixel
inline constexpr uint32_t REJECT_ELONGATED = 2; // longer than wide
inline constexpr uint32_t REJECT_DIPOLE = 4;    // a negative lobe beside it
inline constexpr uint32_t REJECT_MASKED = 8;    // unusable pixels within its core (1.5 point-
                                                // spread deviations, at least 2 pixels)

// The reasons as words joined by ";" in bit order: "sharp", "elongated", "dipole",
// "masked"; empty for none.
std::string differenceReasonText(uint32_t reasons);

// One source found on the difference image.
struct DifferenceSource {
    double x = 0, y = 0; // position, test pixels
    double flux = 0;     // difference flux by a fit of the point spread, test ADU
    double fluxError = 0;
    double snr = 0;             // flux / fluxError
    double peakSnr = 0;         // matched-filter S/N at the detecting pixel
    double referenceFlux = 0;   // the same fit on the flux-scaled reference, test ADU
    double magnitudeChange = 0; // -2.5 log10((reference + difference) / reference); NaN
                                // when the reference flux is below 3 flux errors
    double sharpness = 0;       // nearest pixel over the point-spread model's value there
    double elongation = 0;      // axis ratio from the second moments of the positive pixels
                                // weighted by the point spread, the window's narrowing undone,
                                // relative to the point spread's shape (relativeElongation)
    double dipole = 0;          // within 3 point-spread deviations, the flux of pixels more
                                // than 2 deviations (noise scaled) below 0 over that of pixels
                                // as far above
    uint32_t reasons = 0;       // REJECT_* bits; 0 = kept
    double score = std::numeric_limits<double>::quiet_NaN(); // real-bogus score, 0 to 1
                                // (scoreSources in diff/score.hpp); NaN: not scored
    bool saturated = false;     // its core saturates in the test image (see saturated.hpp)
};

// Detection settings.
struct DetectOptions {
    double threshold = 5;        // matched-filter S/N a detection needs
    double psfSigma = 1.5;       // Gaussian deviation of the difference image's point spread
    double sharpnessLimit = 2.0; // sharper than this is a cosmic ray or hot pixel
    double elongationLimit = 2.0;
    double dipoleLimit = 0.5;
    int maxDetections = 100000;     // strongest peaks kept before measurement
    double referenceBackground = 0; // sky level of the reference given to detectSources
    PsfMoments psfShape; // the difference's point spread; elongation is judged against it
                         // (stars 0: against a round one)
    SharedThreads* threads = nullptr; // run the filtering in bands on these (null: the
                                      // calling thread alone); the result is the same
};

// Detects positive sources on the difference image (difference, its per-pixel variance
// and mask, all of one size; MASK_UNUSABLE pixels carry no weight). The matched filter is
// the Gaussian point spread of options.psfSigma, out to 3 deviations. Its S/N map is
// divided by the map's own robust deviation (ROBUST_SIGMA_PER_MAD times the median
// absolute deviation of a sample of unmasked pixels, held to 0.5 to 3; *noiseScale gets
// it when not null),
// which accounts for the noise the convolution and the resampling correlate; flux errors
// are scaled alike. A detection is a local maximum of the S/N at or above
// options.threshold, the weaker of two within 1.5
// deviations dropped, on an unmasked pixel. Each is then measured: windowed centroid,
// flux by a fit of the point spread, shape scores, and the fit on reference less
// options.referenceBackground (the flux-scaled reference on the test grid; may be null)
// for the magnitude change; the
// REJECT_* reasons are set from the limits. Sources whose position inside() refuses are
// dropped (inside may be empty: the whole image). Ok with *sources replaced, in the order
// of their detecting pixels (rows, then columns); BadInput; OutOfMemory.
DiffStatus detectSources(const FloatImage& difference, const FloatImage& variance,
                         const std::vector<uint8_t>& mask, const FloatImage* reference,
                         const DetectOptions& options,
                         const std::function<bool(double x, double y)>& inside,
                         std::vector<DifferenceSource>* sources, double* noiseScale);

// Filters in with the separable weights (2 r + 1 of them, the same along both axes),
// pixels outside the image counting as 0: out(x, y) = sum of w[a] w[b] in(x + a - r,
// y + b - r). out has the size of in and may not be in.
void filterSeparable(const FloatImage& in, const std::vector<float>& weights, FloatImage* out);

} // namespace newstars
