#pragma once
// The difference-imaging pipeline for one test image and its reference: register,
// resample, match the point spread, subtract, detect.

#include <cstdint>
#include <functional>
#include <vector>

#include "base/shared_threads.hpp"
#include "diff/convolve.hpp"
#include "diff/cosmic_rays.hpp"
#include "diff/detect.hpp"
#include "diff/diff_image.hpp"
#include "diff/image_plane.hpp"
#include "diff/kernel_fit.hpp"
#include "diff/pixel_map.hpp"
#include "diff/register.hpp"
#include "stars/find_stars.hpp"

namespace newstars {

// How the kernel's sum, the flux scale between the images, is found.
enum class KernelScale {
    Fitted,    // with the rest of the kernel, on its stamps
    Apertures, // measured in large apertures (apertureFluxScale) and held while the kernel's
               // shape is fitted; fitted as above when too few apertures are usable
};

// Settings of the pipeline. Kernel sizes, stamp sizes and the detection's point spread
// are chosen from the images' measured seeing unless fixedKernel is set.
struct DifferenceOptions {
    int correctionOrder = 1;        // order of the star fit refining the map (0 to 2)
    double matchRadius = 4;         // reference pixels between a reference star and the mapped
                                    // position of the test star it matches (none other within 2x)
    int maxRegistrationStars = 400; // brightest test stars tried for matching
    int maxStamps = 150;            // stamps of the kernel fit, brightest first
    int spatialOrder = 1;           // of the kernel's variation over the image (0 to 2)
    bool fixedKernel = false;       // use kernel.sigmas, degrees, halfWidth, stampHalfSize
    KernelFitOptions kernel;
    KernelScale kernelScale = KernelScale::Fitted;
    ApertureScaleOptions apertureScale; // its radius 10 times the blurrier image's deviation
                                        // (10 to 40 pixels) unless fixedKernel
    int tileSize = 256; // pixels over which the kernel is held constant
    ConvolveMethod method = ConvolveMethod::Auto;
    double testGain = 0; // electrons per ADU; <= 0: estimated from the sky
    double referenceGain = 0;
    DetectOptions detect; // psfSigma is set from the images
    // Cosmic-ray hits and hot pixels by their edges (findCosmicRays) in both images, beside
    // the sharp-pixel test. The gain and read noise come from each image's noise model,
    // the saturation from its plane, and the object limit is the larger of this one's and
    // 1.5 times what a point source of the image's measured width reaches
    // (pointSourceFineRatio). Off: the sharp-pixel test alone.
    bool findCosmicRays = true;
    CosmicRayOptions cosmicRays;
    RegistrationOptions registration;
    // The smooth background of each image taken out before anything else (see
    // makePlane16) when the 16-bit images are given; callers that make the planes
    // themselves pass the same options to makeImagePlane. Off: the sky as it is.
    bool flattenBackground = true;
    BackgroundOptions background;
    // The difference's own smooth residue (a sky that the kernel's polynomial background
    // does not follow, the flux scale's error times a galaxy's halo) taken out before
    // detection by subtractResidualBackground, unusable and cosmic-ray pixels left out.
    bool subtractResidualBackground = true;
    BackgroundOptions residualBackground{DEFAULT_RESIDUAL_CELL};
    // Threads on which resampling, convolution, subtraction and detection run their bands
    // and tiles (null: the calling thread alone). The result is the same whatever they are.
    SharedThreads* threads = nullptr;
};

// Seconds elapsed in each step (the steps that run on threads take less than their
// processor time).
struct DifferenceTimings {
    double stars = 0;        // star finding in both images, sky estimates
    double registration = 0; // matching stars, refining the map
    double resampling = 0;
    double kernelFit = 0; // seeing measurement, stamps, fit
    double convolution = 0;
    double subtraction = 0; // difference, noise and masks
    double detection = 0;
};

// Where the kernel's stamps came from.
enum class KernelStamps {
    IsolatedStars,   // bright, unsaturated, isolated, point-like stars matched in both images
    MatchedStars,    // every unsaturated matched star (too few of the above)
    BrightPixels,    // the brightest unmasked peaks of the convolved image, stars or not
    FewBrightPixels, // the same, 1 or 2 usable: a smaller basis held constant over the image
};

// The name of each as the catalogue records it: "isolated-stars", "matched-stars",
// "bright-pixels", "few-bright-pixels".
const char* kernelStampsText(KernelStamps stamps);

// Everything the pipeline found out.
struct DifferenceResult {
    PixelMap map;                     // test pixel -> reference pixel, after refinement
    MapFit registration;              // the star fit (rms in reference pixels)
    bool registrationRefined = false; // false: too few stars, the initial map was kept
    RegistrationKind registrationKind = RegistrationKind::Coordinates;
    ShiftVote vote;              // the offset search's result (votes 0 when not searched)
    double coordinateError = 0;  // largest distance between the initial and the final map
                                 // over the test image, reference pixels
    double testSigma = 0;             // Gaussian deviation of each image's point spread, test
    double referenceSigma = 0;        // pixels (the reference's after resampling)
    bool referenceConvolved = true;   // which image the kernel was applied to
    bool seeingFromFewStars = false;  // fewer than 3 isolated matched stars: measured on all
    KernelSolution kernel;
    KernelStamps kernelStamps = KernelStamps::IsolatedStars;
    double fluxScale = 1; // reference flux per test flux (at the image centre)
    int scaleApertures = 0; // apertures that measured the flux scale (0: fitted)
    NoiseModel testNoise, referenceNoise;
    SkyEstimate testSky, referenceSky;
    StarList testStars, referenceStars; // every star the finder found in each image
    std::vector<DifferenceSource> sources;
    double noiseScale = 1;     // the S/N map's own deviation (see detectSources)
    FloatImage difference;     // test - matched reference, test ADU
    FloatImage variance;       // its per-pixel variance
    FloatImage reference;      // the matched reference in test ADU (sky included)
    std::vector<uint8_t> mask; // MASK_* bits per pixel
    int64_t testCosmicPixels = 0;      // pixels of each image taken for cosmic-ray hits or
    int64_t referenceCosmicPixels = 0; // hot pixels and replaced or masked (reference: on
                                       // its own grid, before resampling)
    DifferenceTimings timings;
};

// Runs the pipeline on a test image and its reference (planes, see image_plane.hpp: their
// values, pixels without data, saturation level, sky and stars) with initialMap taking
// test pixels to reference pixels (e.g. from samplePixelMap through the two
// world-coordinate frames). inside() limits where sources
// are reported (empty: everywhere). Both images must be at least 65 pixels on each side;
// they are only read. Steps: stars and sky of both; the map refined on matched bright
// stars (kept as given when too few match); cosmic-ray hits and hot pixels of both images
// found (options.findCosmicRays, and the sharp-pixel test), the reference's replaced by
// their surroundings, the test image's MASK_COSMIC; the reference resampled onto the test grid;
// the seeing of both measured and the kernel fitted to turn the sharper into the blurrier
// (the test image cleaned of its hits first when it is the one convolved); the difference
// and its noise in test units; the difference's smooth residue taken out
// (options.subtractResidualBackground); detection. The result depends only on the inputs (no
// state is kept between calls; calls may run on several threads at once).
// Pixels without data in the test image, and test pixels whose resampling reaches
// reference pixels without data, are MASK_NO_DATA: no star on them or within 16 pixels
// registers or measures the seeing, no kernel stamp reaches them, they count in no sky,
// noise or sum, the kernel's reach around them is MASK_EDGE, and a detection with any of
// them in its core is rejected as masked.
// Ok with *result filled; BadInput; OutOfMemory;
// NoOverlap when fewer than a tenth of the test pixels have data in both images; TooFewStars
// or SingularFit when the kernel cannot be fitted. *result untouched on failure.
DiffStatus subtractImages(const ImagePlane& test, const ImagePlane& reference,
                          const PixelMap& initialMap, const DifferenceOptions& options,
                          const std::function<bool(double x, double y)>& inside,
                          DifferenceResult* result);

// The same, taking the planes' values over: each plane's values are released (or become
// the pipeline's own) as soon as the pipeline is done with them, so that the pair holds
// fewer image-sized planes at once. The planes keep their sizes, saturation, sky, stars and
// peaks; their values are left empty (on failure they may be). BadInput when both are
// one plane.
DiffStatus subtractPlanes(ImagePlane* test, ImagePlane* reference, const PixelMap& initialMap,
                          const DifferenceOptions& options,
                          const std::function<bool(double x, double y)>& inside,
                          DifferenceResult* result);

// The same on two 16-bit images (SATURATION counts as saturated), their planes made by
// makePlane16 (that time counted in timings.stars).
DiffStatus subtractImages(const uint16_t* test, int32_t testWidth, int32_t testHeight,
                          const uint16_t* reference, int32_t referenceWidth,
                          int32_t referenceHeight, const PixelMap& initialMap,
                          const DifferenceOptions& options,
                          const std::function<bool(double x, double y)>& inside,
                          DifferenceResult* result);

// Gaussian deviation and centre of the star near (x, y) by adaptive second moments with
// the local background (median of an annulus) removed: true with *cx, *cy, *sigma; false
// when the star is too close to the edge or has no positive flux.
bool measureStarShape(const FloatImage& image, double x, double y, double* cx, double* cy,
                      double* sigma);

} // namespace newstars
