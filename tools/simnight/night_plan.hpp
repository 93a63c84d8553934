#pragma once
// What a simulated night holds: its options, the fields (objects) with their star
// catalogues and sky boxes, each image's pointing and conditions, and the injected
// new sources that the search should find.

#include <cstdint>
#include <string>
#include <vector>

// The generator's settings.
struct NightOptions {
    uint64_t seed = 1;
    int32_t width = 1024;       // pixels per row
    int32_t height = 1024;      // rows
    int objects = 3;            // fields, each with one reference image
    int imagesPerObject = 2;    // test images per field
    int64_t starsPerImage = -1; // catalogue stars falling on one image; -1: 1500 per 1024 x 1024
    int injectPerImage = 10;    // new sources in each test image that gets any
    std::string directory;      // where everything is written
    bool compress = true;       // compress some images with fpack when it is on the PATH
    int galaxies = 0;           // galaxies per field, in its middle where the sky box lies
    int onGalaxies = 0;         // new sources on galaxies per injected test image
    int onStars = 0;            // new sources on stars per injected test image
    bool seeingMix = false;     // every second test image sharper than its reference
    // The cases a real night adds, each in a stream of its own (defaults leave a night as
    // it always was):
    int cosmicPerTest = -1;       // cosmic-ray hits per test image; -1: 20 per 1024 x 1024
    int longTracks = 0;           // extra cosmic-ray tracks of 6 to 15 pixels per test image
    int hotPixels = -1;           // hot pixels of the detector; -1: 30 per 1024 x 1024
    int saturatedInReference = 0; // stars per field saturated in the reference only
    int closePairs = 0;           // pairs of stars 3 to 5 pixels apart per field
    int compactCosmic = 0;        // compact hits (clumps of 1 to 10 pixels) per image, in
                                  // the references and the test images alike
    double sharpTestFwhm = 0;     // > 0: every second test image has this seeing (pixels)
    bool causes = false; // also write causes.txt, where every false candidate may come from
    // World coordinates of the reference images written wrong, their pixels as always:
    double headerOffset = 0; // pixels the header places the sky off (CRPIX moved by 0.6 and
                             // 0.8 of it along x and y)
    double headerTurn = 0;   // degrees added to CROTA2
    // Point spreads and skies that are not the plain ones (0: off):
    double moffatBeta = 0;  // > 1: Moffat point spreads of this index, FWHM as the Gaussian's
    double skyGradient = 0; // every image's sky runs linearly from 1 - F to 1 + F of its
                            // level across the frame, in a direction of its own
    double skyBowl = 0;     // the reference's sky from 1 - F of its level at the centre to
                            // 1 + F in the corners
    int halos = 0;          // bright extended galaxies per field (their halos reach far)
    // A sequence of nights: night K (from 1) is night 1 of the seed K - 1 days later, its
    // fields, references and pointings the same, its test images' noise and cosmic rays
    // their own. The injected sources come back at the same places every night.
    int night = 1;
    bool supernova = false; // one supernova per field in every test image, at one place in
                            // its sky box, rising to its brightest on night 3 and fading
    double elongation = 0;  // > 1: point spreads of stars and new sources stretched to this
                            // axis ratio (area kept), one direction per field
    bool floatOutput = false; // images written as 32-bit floating point (BITPIX -32)
    int nanColumns = 0;       // with floatOutput: the first columns of each test image NaN
    int saturatedNew = 0;   // new sources per injected test image whose cores saturate (peak
                            // 1.5 to 20 times the room above the sky), in clear sky in the box
    int movers = 0;         // moving objects per field, absent from the reference
    int cadence = 0;        // > 0: minutes between a field's test images (0: 3 minutes,
                            // the night's images one after the other)
};

// A moving object: where it is at t0, how fast and where it goes, how bright it is.
struct MoverPlan {
    int id = 0;       // from 1 over the night
    double ra0 = 0;   // radians at t0
    double dec0 = 0;
    double t0 = 0;    // seconds since 1970 UTC
    double rate = 0;  // arcseconds per minute
    double angle = 0; // radians east of north
    double flux = 0;  // total ADU in a test exposure of flux scale 1
};

// The peak of a supernova on a night, in noise units of the image's sky.
double supernovaPeakSigmas(int night);

// One galaxy: a Sersic profile of index n, half-light radius (arcseconds) along its major
// axis, axis ratio and position angle (radians, from north through east), and total flux in
// ADU for a test exposure.
struct SkyGalaxy {
    double ra = 0; // radians
    double dec = 0;
    double flux = 0;
    double index = 1;
    double radius = 1;
    double axisRatio = 1;
    double angle = 0;
    double reach = 80; // pixels at most from the centre that the profile is drawn to
};

// What a catalogue star was put there for.
enum StarKind { ORDINARY_STAR = 0, SATURATED_IN_REFERENCE = 1, PAIR_MEMBER = 2 };

// One catalogue star: sky position (radians) and total flux in ADU for a test exposure.
struct SkyStar {
    double ra = 0;
    double dec = 0;
    double flux = 0;
    StarKind kind = ORDINARY_STAR;
    int64_t partner = -1; // for a pair member, the index of the other member
};

// The searched rectangle of sky, in the whole units the reference table is written in:
// right ascension in tenths of a second of time, declination in arcseconds.
struct NightBox {
    int64_t eastRa = 0;   // ERA
    int64_t northDec = 0; // NDec
    int64_t westRa = 0;   // WRA
    int64_t southDec = 0; // SDec
};

// Pointing and conditions of one image.
struct ImagePlan {
    std::string fileName; // as listed in the table or file of files, no directory
    bool reference = false;
    bool compressed = false; // to be written as .fth
    bool injected = false;   // receives new sources
    double crval1 = 0;       // degrees
    double crval2 = 0;
    double crpix1 = 0; // pixels, same convention as star positions
    double crpix2 = 0;
    double cdelt1 = 0; // degrees per pixel (negative: east to the left)
    double cdelt2 = 0;
    double crota2 = 0;    // degrees
    double psfSigma = 0;  // pixels
    double sky = 0;       // ADU
    double fluxScale = 0; // exposure and transparency relative to a test exposure
    int32_t exposureMs = 0;
    int64_t observed = 0; // seconds since 1970 UTC
    int cosmicRays = 0;
};

// One field of the night with everything that belongs to it.
struct ObjectPlan {
    std::string name;
    double ra = 0; // field centre, degrees
    double dec = 0;
    double scale = 0; // degrees per pixel
    ImagePlan referenceImage;
    std::vector<ImagePlan> testImages;
    std::vector<SkyStar> stars;
    std::vector<SkyGalaxy> galaxies;
    NightBox box;
    std::vector<MoverPlan> movers;
};

// A new point source put into one test image.
struct InjectedSource {
    std::string object;
    std::string image; // file name as listed
    double ra = 0;     // radians
    double dec = 0;
    double peak = 0;  // ADU above the sky at the centre
    double sky = 0;   // the image's sky level, ADU
    double sigma = 0; // the image's sky noise, ADU
    double x = 0;     // pixel position in the test image
    double y = 0;
    bool inBox = false;     // inside the object's sky box
    const char* where = ""; // "galaxy" or "star" for a source put on one, "supernova",
                            // "saturated" for one whose core saturates, "" in clear sky
};

// Gain (electrons per ADU) and read noise (ADU) of the simulated camera.
inline constexpr double NIGHT_GAIN = 2.0;
inline constexpr double NIGHT_READ_NOISE = 4.0;

// Sky noise of an image of the given sky level, ADU.
double skyNoise(double sky);

// Plans every field: pointing and conditions of each image and the star catalogue;
// the box is set later by chooseSkyBox. Depends only on the options.
std::vector<ObjectPlan> planNight(const NightOptions& options);
