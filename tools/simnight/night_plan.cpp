#include "night_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/angles.hpp"
#include "base/statistics.hpp"
#include "night_random.hpp"

using newstars::PI;

namespace {
constexpr double DEGREE = PI / 180;
constexpr int64_t NIGHT_START = 1772323200; // 2026-03-01 00:00:00 UTC
constexpr int64_t DAY = 86400;
using newstars::FWHM_PER_SIGMA;
// Faintest catalogue star: total flux in a test exposure, about one noise unit at the peak.
constexpr double FAINT_FLUX = 300;
// Span of the number-count law in magnitudes, and its slope: 2.5 times as many stars
// per magnitude, i.e. log10(2.5) per magnitude.
constexpr double MAGNITUDE_SPAN = 9;
constexpr double COUNT_SLOPE = 0.3979400086720376;

// Stream identifiers, so that each part of the night draws from its own stream.
enum Stream : uint64_t {
    FIELD = 1,
    IMAGE = 2,
    CATALOGUE = 3,
    SATURATED = 4,
    PAIRS = 5,
    GALAXIES = 21,
    SEEING = 22,
    HALOS = 23
};

// Total flux of a star drawn from counts growing 2.5 times per magnitude up to the
// faint limit: inverse of N(<m) proportional to 10^(slope m).
double drawStarFlux(NightRandom* random)
{
    const double q = std::pow(10.0, -COUNT_SLOPE * MAGNITUDE_SPAN);
    const double u = uniformRandom(random);
    const double magnitudesBrighter = -std::log10(u * (1 - q) + q) / COUNT_SLOPE;
    return FAINT_FLUX * std::pow(10.0, 0.4 * magnitudesBrighter);
}

// Galaxies in the middle of the field, each from its own stream: exponential and
// de Vaucouleurs-like profiles and between, half-light radii of 1.5 to 6 arcseconds,
// total fluxes of 3e4 to 6e5 ADU in a test exposure.
void addGalaxies(const NightOptions& options, uint64_t index, ObjectPlan* object)
{
    NightRandom random;
    seedNightRandom(&random, streamSeed(options.seed, GALAXIES, index, 0));
    const double halfDec = 0.3 * std::min(options.width, options.height) * object->scale;
    const double halfRa = halfDec / std::cos(object->dec * DEGREE);
    for (int k = 0; k < options.galaxies; ++k) {
        SkyGalaxy g;
        g.ra = uniformBetween(&random, object->ra - halfRa, object->ra + halfRa) * DEGREE;
        g.dec = uniformBetween(&random, object->dec - halfDec, object->dec + halfDec) * DEGREE;
        g.flux = 3e4 * std::pow(20.0, uniformRandom(&random));
        g.index = uniformRandom(&random) < 0.5 ? 1.0 : uniformBetween(&random, 1.5, 4.0);
        g.radius = uniformBetween(&random, 1.5, 6.0);
        g.axisRatio = uniformBetween(&random, 0.4, 1.0);
        g.angle = uniformBetween(&random, 0, PI);
        object->galaxies.push_back(g);
    }
    // Bright extended galaxies (fluxes of 1e6 to 5e6 ADU, half-light radii of 12 to 30
    // arcseconds, indices 2 to 4), drawn out to 300 pixels: their halos cover much of the
    // box, and their cores saturate in the reference.
    seedNightRandom(&random, streamSeed(options.seed, HALOS, index, 0));
    for (int k = 0; k < options.halos; ++k) {
        SkyGalaxy g;
        g.ra = uniformBetween(&random, object->ra - halfRa, object->ra + halfRa) * DEGREE;
        g.dec = uniformBetween(&random, object->dec - halfDec, object->dec + halfDec) * DEGREE;
        g.flux = 1e6 * std::pow(5.0, uniformRandom(&random));
        g.index = uniformBetween(&random, 2.0, 4.0);
        g.radius = uniformBetween(&random, 12.0, 30.0);
        g.axisRatio = uniformBetween(&random, 0.6, 1.0);
        g.angle = uniformBetween(&random, 0, PI);
        g.reach = 300;
        object->galaxies.push_back(g);
    }
}

// A sky position drawn from the middle of the field, where the sky box lies.
void drawCentralPosition(const ObjectPlan& object, const NightOptions& options, NightRandom* random,
                         SkyStar* star)
{
    const double halfDec = 0.3 * std::min(options.width, options.height) * object.scale;
    const double halfRa = halfDec / std::cos(object.dec * DEGREE);
    star->ra = uniformBetween(random, object.ra - halfRa, object.ra + halfRa) * DEGREE;
    star->dec = uniformBetween(random, object.dec - halfDec, object.dec + halfDec) * DEGREE;
}

// Stars saturated in the reference only (peak 1.2 to 1.5 times the room above the
// reference sky there, which leaves them below 0.85 of saturation in every test image:
// at least 2.25 times less exposure, seeing at most 1.52 times sharper), and close pairs (3 to 5
// pixels apart, peaks 50 to 300 times the faintest star's), each from a stream of its own.
void addSpecialStars(const NightOptions& options, const ImagePlan& reference, uint64_t index,
                     ObjectPlan* object)
{
    NightRandom random;
    seedNightRandom(&random, streamSeed(options.seed, SATURATED, index, 0));
    const double referenceNorm = 2 * PI * reference.psfSigma * reference.psfSigma;
    for (int k = 0; k < options.saturatedInReference; ++k) {
        SkyStar star;
        drawCentralPosition(*object, options, &random, &star);
        const double peak = uniformBetween(&random, 1.2, 1.5) * (65535 - reference.sky);
        star.flux = peak * referenceNorm / reference.fluxScale;
        star.kind = SATURATED_IN_REFERENCE;
        object->stars.push_back(star);
    }
    seedNightRandom(&random, streamSeed(options.seed, PAIRS, index, 0));
    for (int k = 0; k < options.closePairs; ++k) {
        SkyStar first, second;
        drawCentralPosition(*object, options, &random, &first);
        const double separation = uniformBetween(&random, 3, 5) * object->scale * DEGREE;
        const double angle = uniformBetween(&random, 0, 2 * PI);
        second.dec = first.dec + separation * std::sin(angle);
        second.ra = first.ra + separation * std::cos(angle) / std::cos(first.dec);
        first.flux = FAINT_FLUX * uniformBetween(&random, 50, 300);
        second.flux = FAINT_FLUX * uniformBetween(&random, 50, 300);
        first.kind = second.kind = PAIR_MEMBER;
        const int64_t at = static_cast<int64_t>(object->stars.size());
        first.partner = at + 1;
        second.partner = at;
        object->stars.push_back(first);
        object->stars.push_back(second);
    }
}

void setPointing(ImagePlan* image, const ObjectPlan& object, const NightOptions& options,
                 double offsetPixels, double rotation, NightRandom* random)
{
    const double offsetDec = uniformBetween(random, -offsetPixels, offsetPixels) * object.scale;
    const double offsetRa = uniformBetween(random, -offsetPixels, offsetPixels) * object.scale /
                            std::cos(object.dec * DEGREE);
    image->crval1 = object.ra + offsetRa;
    image->crval2 = object.dec + offsetDec;
    image->crpix1 = options.width / 2 + uniformBetween(random, -3, 3);
    image->crpix2 = options.height / 2 + uniformBetween(random, -3, 3);
    image->cdelt1 = -object.scale;
    image->cdelt2 = object.scale;
    image->crota2 = uniformBetween(random, -rotation, rotation);
}
} // namespace

double skyNoise(double sky)
{
    return std::sqrt(sky / NIGHT_GAIN + NIGHT_READ_NOISE * NIGHT_READ_NOISE);
}

double supernovaPeakSigmas(int night)
{
    const double t = night - 3;
    return 40 * std::exp(-t * t / 8);
}

std::vector<ObjectPlan> planNight(const NightOptions& options)
{
    const double area = static_cast<double>(options.width) * static_cast<double>(options.height);
    const double areaFactor = area / (1024.0 * 1024.0);
    const double starsPerImage =
        options.starsPerImage >= 0 ? static_cast<double>(options.starsPerImage) : 1500 * areaFactor;
    const int cosmicPerTest = options.cosmicPerTest >= 0 ? options.cosmicPerTest
                                                         : static_cast<int>(20 * areaFactor + 0.5);
    const int64_t nightDay = static_cast<int64_t>(options.seed % 300);
    int testCounter = 0;

    std::vector<ObjectPlan> objects(static_cast<size_t>(options.objects));
    for (int i = 0; i < options.objects; ++i) {
        ObjectPlan& object = objects[static_cast<size_t>(i)];
        NightRandom random;
        seedNightRandom(&random, streamSeed(options.seed, FIELD, static_cast<uint64_t>(i), 0));
        char name[16];
        std::snprintf(name, sizeof name, "FLD%02d", i + 1);
        object.name = name;
        object.ra = uniformBetween(&random, 15, 345);
        object.dec = uniformBetween(&random, -25, 65);
        object.scale = uniformBetween(&random, 0.6, 0.8) / 3600;

        ImagePlan& reference = object.referenceImage;
        NightRandom imageRandom;
        seedNightRandom(&imageRandom, streamSeed(options.seed, IMAGE, static_cast<uint64_t>(i), 0));
        reference.fileName = object.name + "_r.fts";
        reference.reference = true;
        reference.compressed = options.compress && i % 2 == 1;
        setPointing(&reference, object, options, options.width / 128.0, 0.5, &imageRandom);
        reference.psfSigma = uniformBetween(&imageRandom, 2.4, 3.2) / FWHM_PER_SIGMA;
        reference.fluxScale = 2.5 * uniformBetween(&imageRandom, 0.9, 1.0);
        reference.sky = 2.5 * uniformBetween(&imageRandom, 500, 1200);
        reference.exposureMs = 300000;
        reference.observed = NIGHT_START + (nightDay - 200 - 30 * i) * DAY + 3 * 3600 + 60 * i;
        reference.cosmicRays = static_cast<int>(50 * areaFactor + 0.5);

        for (int j = 0; j < options.imagesPerObject; ++j) {
            ImagePlan test;
            seedNightRandom(&imageRandom, streamSeed(options.seed, IMAGE, static_cast<uint64_t>(i),
                                                     static_cast<uint64_t>(j) + 1));
            test.fileName = object.name + "_" + std::to_string(j + 1) + ".fts";
            test.compressed = options.compress && j % 2 == 1;
            test.injected = testCounter % 3 != 2;
            setPointing(&test, object, options, options.width / 48.0, 1.5, &imageRandom);
            test.psfSigma = uniformBetween(&imageRandom, 2.6, 4.2) / FWHM_PER_SIGMA;
            if (options.seeingMix && j % 2 == 1) {
                NightRandom seeing;
                seedNightRandom(&seeing, streamSeed(options.seed, SEEING, static_cast<uint64_t>(i),
                                                    static_cast<uint64_t>(j)));
                test.psfSigma = reference.psfSigma * uniformBetween(&seeing, 0.65, 0.85);
            }
            if (options.sharpTestFwhm > 0 && j % 2 == 1)
                test.psfSigma = options.sharpTestFwhm / FWHM_PER_SIGMA;
            test.fluxScale = uniformBetween(&imageRandom, 0.8, 1.0);
            test.sky = uniformBetween(&imageRandom, 600, 1800);
            test.exposureMs = 120000;
            test.observed =
                options.cadence > 0
                    ? NIGHT_START + (nightDay + options.night - 1) * DAY + 5400 + 180 * i +
                          int64_t{60} * options.cadence * j
                    : NIGHT_START + (nightDay + options.night - 1) * DAY + 5400 + 180 * testCounter;
            test.cosmicRays = cosmicPerTest;
            object.testImages.push_back(test);
            ++testCounter;
        }
        if (reference.compressed)
            reference.fileName.back() = 'h';
        for (ImagePlan& test : object.testImages) {
            if (test.compressed)
                test.fileName.back() = 'h';
        }

        // Catalogue: a rectangle of right ascension and declination covering every
        // pointing with room to spare, filled at the density that puts starsPerImage
        // stars on one image, plus a few stars bright enough to saturate.
        NightRandom catalogueRandom;
        seedNightRandom(&catalogueRandom,
                        streamSeed(options.seed, CATALOGUE, static_cast<uint64_t>(i), 0));
        const double halfDec = 0.78 * std::max(options.width, options.height) * object.scale;
        const double edgeDec = std::min(89.0, std::fabs(object.dec) + halfDec);
        const double halfRa = halfDec / std::cos(edgeDec * DEGREE);
        const double rectangleArea = (2 * halfRa * std::cos(object.dec * DEGREE)) * (2 * halfDec);
        const double imageArea = area * object.scale * object.scale;
        const int64_t count = static_cast<int64_t>(starsPerImage * rectangleArea / imageArea + 0.5);
        const int64_t bright =
            starsPerImage > 0
                ? static_cast<int64_t>((2 + starsPerImage / 750) * rectangleArea / imageArea + 0.5)
                : 0;
        object.stars.resize(static_cast<size_t>(count + bright));
        for (int64_t k = 0; k < count + bright; ++k) {
            SkyStar& star = object.stars[static_cast<size_t>(k)];
            star.ra =
                uniformBetween(&catalogueRandom, object.ra - halfRa, object.ra + halfRa) * DEGREE;
            star.dec =
                uniformBetween(&catalogueRandom, object.dec - halfDec, object.dec + halfDec) *
                DEGREE;
            if (k < count) {
                star.flux = drawStarFlux(&catalogueRandom);
            } else {
                // Peak from 1.2 to 12 times saturation under middling seeing.
                const double sigma = 3.2 / FWHM_PER_SIGMA;
                star.flux =
                    65535 * uniformBetween(&catalogueRandom, 1.2, 12) * 2 * PI * sigma * sigma;
            }
        }
        addSpecialStars(options, reference, static_cast<uint64_t>(i), &object);
    }
    for (int i = 0; i < options.objects; ++i)
        addGalaxies(options, static_cast<uint64_t>(i), &objects[static_cast<size_t>(i)]);
    return objects;
}
