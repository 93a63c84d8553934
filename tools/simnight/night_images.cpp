#include "night_images.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/angles.hpp"
#include "base/process.hpp"
#include "base/statistics.hpp"
#include "fits/fits_write.hpp"
#include "night_galaxy.hpp"
#include "night_movers.hpp"
#include "night_random.hpp"
#include "night_render.hpp"
#include "wcs/world_coords.hpp"

using namespace newstars;

namespace {
constexpr double ARCSECOND = PI / 180 / 3600;
constexpr int EDGE = 48;         // pixels kept clear at the image edges
constexpr double BOX_MARGIN = 5; // arcseconds between injected sources and the box border

enum Stream : uint64_t {
    DETECTOR = 11,
    NOISE = 12,
    COSMIC = 13,
    INJECT = 14,
    TRACKS = 15,
    COMPACT = 16,
    SKY_PATTERN = 17,
    ON_GALAXIES = 31,
    ON_STARS = 32,
    NIGHT = 33,
    SUPERNOVA = 34,
    SATURATED_NEW = 35,
    ELONGATION = 36
};

// One line of causes.txt: where a false candidate may come from in one test image.
struct CauseRecord {
    const char* cause = "";
    std::string object;
    std::string image;
    double ra0 = 0, dec0 = 0, ra1 = 0, dec1 = 0; // radians
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;       // pixels
};

// A segment of the test image as a cause record; false when a pixel position does not
// convert to the sky.
bool pixelCause(const char* cause, const std::string& object, const FitsImage* header, double x0,
                double y0, double x1, double y1, std::vector<CauseRecord>* causes)
{
    CauseRecord r;
    r.cause = cause;
    r.object = object;
    if (pixelToSky(header, x0, y0, &r.ra0, &r.dec0) != 0 ||
        pixelToSky(header, x1, y1, &r.ra1, &r.dec1) != 0)
        return false;
    r.x0 = x0;
    r.y0 = y0;
    r.x1 = x1;
    r.y1 = y1;
    causes->push_back(r);
    return true;
}

// A star as it falls on one image: pixel position and peak above the sky.
struct PlacedStar {
    double x = 0;
    double y = 0;
    double peak = 0;
};

bool insideImage(const NightOptions& options, double x, double y, double edge)
{
    return x >= edge && y >= edge && x <= options.width - 1 - edge &&
           y <= options.height - 1 - edge;
}

bool clearOf(const std::vector<PlacedStar>& stars, double x, double y, double radius)
{
    for (const PlacedStar& s : stars) {
        const double dx = s.x - x, dy = s.y - y;
        if (dx * dx + dy * dy < radius * radius)
            return false;
    }
    return true;
}

bool clearOfHotPixels(const std::vector<HotPixel>& hot, double x, double y, double radius)
{
    for (const HotPixel& h : hot) {
        const double dx = h.x - x, dy = h.y - y;
        if (dx * dx + dy * dy < radius * radius)
            return false;
    }
    return true;
}

std::string joinPath(const std::string& directory, const std::string& name)
{
    return directory.empty() ? name : directory + "/" + name;
}

// Writes the image to path; 0, or -1 with the reason in *message. The pixels are left in
// file form.
int writeImageFile(const std::string& path, FitsImage* image, std::string* message)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    std::string reason;
    if (writeFitsImage(fd, image, &reason, 0) != 0) {
        close(fd);
        *message = path + ": " + reason;
        return -1;
    }
    if (close(fd) != 0) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

// Writes the rendered image (16-bit pixels in memory form) as 32-bit floating point
// (BITPIX -32, no BZERO, SATURATE 65535): each value the pixel's physical value, NaN in the
// first nanColumns columns (an area without data). 0, or -1 with the reason in *message.
int writeFloatImageFile(const std::string& path, FitsImage* image, int32_t nanColumns,
                        std::string* message)
{
    const size_t n = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
    if (image->pixels.size() != n) {
        *message = path + ": no pixels";
        return -1;
    }
    image->bitpix = -32;
    setIntCard(image, "BITPIX", -32);
    deleteCard(image, "BZERO");
    setRealCard(image, "SATURATE", 65535.0, 6);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    std::string reason;
    if (writeFitsHeader(image, fd, &reason) != 0) {
        close(fd);
        *message = path + ": " + reason;
        return -1;
    }
    const size_t bytes = (n * 4 + 2879) / 2880 * 2880;
    std::vector<unsigned char> data(bytes, 0);
    for (size_t i = 0; i < n; ++i) {
        const bool empty = static_cast<int32_t>(i % static_cast<size_t>(image->width)) < nanColumns;
        const float value = empty ? std::numeric_limits<float>::quiet_NaN()
                                  : static_cast<float>(image->pixels[i]);
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        for (int b = 0; b < 4; ++b)
            data[i * 4 + static_cast<size_t>(b)] = static_cast<unsigned char>(bits >> (24 - 8 * b));
    }
    size_t done = 0;
    while (done < bytes) {
        const ssize_t written = write(fd, data.data() + done, bytes - done);
        if (written <= 0) {
            *message = path + ": " + (written < 0 ? std::strerror(errno) : "short write");
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(written);
    }
    if (close(fd) != 0) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

// Runs fpack on the .fts file at path (no shell) and renames its output to the .fth
// name. 0 on success (the .fts file is then removed), 1 when fpack cannot be started,
// -1 when it ran and failed (the .fts file stays).
int compressImageFile(const std::string& path, const std::string& compressedPath)
{
    const std::string packed = path + ".fz";
    unlink(packed.c_str());
    int status = 0;
    if (runProgram({"fpack", path}, &status) != 0)
        return 1;
    const bool ran =
        WIFEXITED(status) && WEXITSTATUS(status) != 127; // 127: the child could not run fpack
    if (!ran || WEXITSTATUS(status) != 0 || rename(packed.c_str(), compressedPath.c_str()) != 0) {
        unlink(packed.c_str());
        return ran || !WIFEXITED(status) ? -1 : 1;
    }
    unlink(path.c_str());
    return 0;
}

// Draws the position of one new source in the test image: inside the box (by at least
// BOX_MARGIN) or outside it, in clear sky. false when none is found in many tries.
bool placeInjection(const NightOptions& options, const ObjectPlan& object, const FitsImage* header,
                    const std::vector<PlacedStar>& stars, const std::vector<PlacedStar>& injected,
                    const std::vector<HotPixel>& hot, bool inBox, NightRandom* random,
                    InjectedSource* source)
{
    const NightBox& box = object.box;
    const double south = boxDec(box.southDec) + BOX_MARGIN * ARCSECOND;
    const double north = boxDec(box.northDec) - BOX_MARGIN * ARCSECOND;
    const double widen = BOX_MARGIN * ARCSECOND / std::cos((south + north) / 2);
    for (int attempt = 0; attempt < 10000; ++attempt) {
        double ra = 0, dec = 0, x = 0, y = 0;
        if (inBox) {
            ra = uniformBetween(random, boxRa(box.westRa) + widen, boxRa(box.eastRa) - widen);
            dec = uniformBetween(random, south, north);
            if (!insideBox(box, ra, dec, -BOX_MARGIN))
                continue;
        } else {
            const double px = uniformBetween(random, EDGE, options.width - 1 - EDGE);
            const double py = uniformBetween(random, EDGE, options.height - 1 - EDGE);
            if (pixelToSky(header, px, py, &ra, &dec) != 0)
                continue;
            if (insideBox(box, ra, dec, BOX_MARGIN))
                continue;
        }
        if (skyToPixel(header, ra, dec, &x, &y) != 0 || !insideImage(options, x, y, EDGE))
            continue;
        if (!clearOf(stars, x, y, 10) || !clearOf(injected, x, y, 12) ||
            !clearOfHotPixels(hot, x, y, 6))
            continue;
        source->ra = ra;
        source->dec = dec;
        source->x = x;
        source->y = y;
        source->inBox = inBox;
        return true;
    }
    return false;
}

// Pixel offsets to arcseconds east and north around (x, y) of the header (see addGalaxy).
// false when the neighbourhood does not convert.
bool localArcsecMatrix(const FitsImage* header, double x, double y, double toArcsec[4])
{
    double ra0 = 0, dec0 = 0, ra1 = 0, dec1 = 0, ra2 = 0, dec2 = 0;
    if (pixelToSky(header, x, y, &ra0, &dec0) != 0 ||
        pixelToSky(header, x + 1, y, &ra1, &dec1) != 0 ||
        pixelToSky(header, x, y + 1, &ra2, &dec2) != 0)
        return false;
    const double c = std::cos(dec0) / ARCSECOND;
    toArcsec[0] = (ra1 - ra0) * c;
    toArcsec[1] = (ra2 - ra0) * c;
    toArcsec[2] = (dec1 - dec0) / ARCSECOND;
    toArcsec[3] = (dec2 - dec0) / ARCSECOND;
    return true;
}

// Tries to put a new source on a galaxy of the object (within one half-light radius of its
// centre) or beside a star of the image (0.3 to 1.5 pixels from it, the star's peak 10 noise
// units to a third of the room below saturation), inside the box and away from other
// sources. false when none is found in many tries.
bool placeOnHost(const NightOptions& options, const ObjectPlan& object, const FitsImage* header,
                 const std::vector<PlacedStar>& stars, const std::vector<PlacedStar>& injected,
                 bool onGalaxy, double sky, double sigma, NightRandom* random,
                 InjectedSource* source)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        double ra = 0, dec = 0, x = 0, y = 0;
        if (onGalaxy) {
            if (object.galaxies.empty())
                return false;
            const SkyGalaxy& g =
                object
                    .galaxies[uniformIndex(random, static_cast<uint32_t>(object.galaxies.size()))];
            const double r = uniformRandom(random) * g.radius * ARCSECOND;
            const double a = uniformBetween(random, 0, 2 * PI);
            dec = g.dec + r * std::cos(a);
            ra = g.ra + r * std::sin(a) / std::cos(g.dec);
            if (skyToPixel(header, ra, dec, &x, &y) != 0)
                continue;
            if (!clearOf(stars, x, y, 10))
                continue;
        } else {
            if (stars.empty())
                return false;
            const PlacedStar& host =
                stars[uniformIndex(random, static_cast<uint32_t>(stars.size()))];
            if (host.peak < 10 * sigma || host.peak > (65535 - sky) / 3)
                continue;
            const double r = uniformBetween(random, 0.3, 1.5);
            const double a = uniformBetween(random, 0, 2 * PI);
            x = host.x + r * std::cos(a);
            y = host.y + r * std::sin(a);
            if (pixelToSky(header, x, y, &ra, &dec) != 0)
                continue;
        }
        if (!insideBox(object.box, ra, dec, -BOX_MARGIN) || !insideImage(options, x, y, EDGE) ||
            !clearOf(injected, x, y, 12))
            continue;
        source->ra = ra;
        source->dec = dec;
        source->x = x;
        source->y = y;
        source->inBox = true;
        source->where = onGalaxy ? "galaxy" : "star";
        return true;
    }
    return false;
}

// Total flux of a point spread of unit peak in the image of the plan: Gaussian, or Moffat
// of the options' index.
double pointSpreadNorm(const NightOptions& options, const ImagePlan& plan)
{
    if (options.moffatBeta > 1)
        return moffatNorm(moffatAlpha(FWHM_PER_SIGMA * plan.psfSigma, options.moffatBeta),
                          options.moffatBeta);
    return 2 * PI * plan.psfSigma * plan.psfSigma;
}

// Adds a point source of the given peak (ADU) at (x, y) with the plan's point spread,
// stretched along angle (radians from the x axis) when the options make it elongated.
void addPointSource(const NightOptions& options, const ImagePlan& plan, NightFrame* frame, double x,
                    double y, double peak, double angle)
{
    if (options.elongation > 1) {
        const double beta = options.moffatBeta > 1 ? options.moffatBeta : 0;
        const double alpha = beta > 1 ? moffatAlpha(FWHM_PER_SIGMA * plan.psfSigma, beta) : 0;
        addStretchedSource(frame, x, y, peak, plan.psfSigma, alpha, beta, options.elongation,
                           angle);
    } else if (options.moffatBeta > 1)
        addMoffatSource(frame, x, y, peak,
                        moffatAlpha(FWHM_PER_SIGMA * plan.psfSigma, options.moffatBeta),
                        options.moffatBeta);
    else
        addGaussianSource(frame, x, y, peak, plan.psfSigma);
}

// The direction (radians) of an image's sky gradient, from its own stream.
double gradientAngle(const NightOptions& options, uint64_t objectIndex, uint64_t imageIndex)
{
    NightRandom random;
    seedNightRandom(&random, streamSeed(options.seed, SKY_PATTERN, objectIndex, imageIndex));
    return uniformBetween(&random, 0, 2 * PI);
}

// Renders the image of the plan into header->pixels: sky, catalogue stars, new sources
// (test images marked injected), noise, hot pixels and cosmic rays. The new sources are
// appended to *sources with the image's listed name, and for a test image the causes of
// false candidates to *causes when it is given and the sightings of the field's movers to
// *sightings.
void renderImage(const NightOptions& options, const ObjectPlan& object, const ImagePlan& plan,
                 int objectIndex, int imageIndex, const std::vector<HotPixel>& hot,
                 FitsImage* header, NightFrame* frame, std::vector<InjectedSource>* sources,
                 std::vector<CauseRecord>* causes, std::vector<MoverSighting>* sightings)
{
    const bool logCauses = causes != nullptr && !plan.reference;
    const ImagePlan& reference = object.referenceImage;
    const double referenceNorm = pointSpreadNorm(options, reference);
    const double sigma = skyNoise(plan.sky);
    const double psfNorm = pointSpreadNorm(options, plan);
    const double reach = 8 * plan.psfSigma + 20;
    initNightFrame(frame, options.width, options.height, plan.sky);
    const uint64_t streamA = static_cast<uint64_t>(objectIndex);
    const uint64_t streamB = static_cast<uint64_t>(imageIndex);
    // The test images of a later night of a sequence draw their noise and hits afresh.
    const uint64_t noiseSeed = plan.reference || options.night <= 1
                                   ? options.seed
                                   : streamSeed(options.seed, NIGHT,
                                                static_cast<uint64_t>(options.night), 0);
    const double gradient = options.skyGradient;
    const double bowl = plan.reference ? options.skyBowl : 0;
    const double angle = gradient != 0 ? gradientAngle(options, streamA, streamB) : 0;
    // An elongated point spread lies in one direction for every image of the field.
    double psfAngle = 0;
    if (options.elongation > 1) {
        NightRandom random;
        seedNightRandom(&random, streamSeed(options.seed, ELONGATION, streamA, 0));
        psfAngle = uniformBetween(&random, 0, PI);
    }
    if (gradient != 0 || bowl != 0)
        addSkyPattern(frame, plan.sky, gradient, angle, bowl);
    // An injected source's sky and noise where it lies, its peak drawn in those noise units.
    const auto localSky = [&](InjectedSource* source) {
        if (gradient == 0 && bowl == 0)
            return;
        source->sky = skyPatternAt(options.width, options.height, plan.sky, gradient, angle, bowl,
                                   source->x, source->y);
        const double local = skyNoise(source->sky);
        source->peak *= local / source->sigma;
        source->sigma = local;
    };
    std::vector<PlacedStar> visible;
    for (const SkyStar& star : object.stars) {
        double x = 0, y = 0;
        if (skyToPixel(header, star.ra, star.dec, &x, &y) != 0)
            continue;
        if (!(x >= -reach && y >= -reach && x <= options.width + reach &&
              y <= options.height + reach))
            continue;
        const double peak = star.flux * plan.fluxScale / psfNorm;
        addPointSource(options, plan, frame, x, y, peak, psfAngle);
        if (peak > 0.5 * sigma)
            visible.push_back({x, y, peak});
        if (logCauses && peak > 0.5 * sigma && x >= 0 && y >= 0 && x <= options.width - 1 &&
            y <= options.height - 1) {
            const size_t index = static_cast<size_t>(&star - object.stars.data());
            const bool saturatedHere = peak + plan.sky >= 65535;
            const bool saturatedInReference =
                star.flux * reference.fluxScale / referenceNorm + reference.sky >= 65535;
            const char* cause = saturatedHere              ? "saturated"
                                : saturatedInReference     ? "saturated-ref"
                                : star.kind == PAIR_MEMBER ? "pair"
                                                           : "star";
            double x1 = x, y1 = y;
            if (star.kind == PAIR_MEMBER && !saturatedHere && !saturatedInReference) {
                const SkyStar& other = object.stars[static_cast<size_t>(star.partner)];
                if (star.partner < static_cast<int64_t>(index) ||
                    skyToPixel(header, other.ra, other.dec, &x1, &y1) != 0)
                    continue;
            }
            pixelCause(cause, object.name, header, x, y, x1, y1, causes);
        }
    }
    for (const SkyGalaxy& galaxy : object.galaxies) {
        double x = 0, y = 0, toArcsec[4];
        if (skyToPixel(header, galaxy.ra, galaxy.dec, &x, &y) == 0 &&
            localArcsecMatrix(header, x, y, toArcsec))
            addGalaxy(frame, x, y, toArcsec, galaxy, plan.fluxScale, plan.psfSigma,
                      options.moffatBeta);
    }

    if (plan.injected) {
        NightRandom random;
        seedNightRandom(&random, streamSeed(options.seed, INJECT, streamA, streamB));
        std::vector<PlacedStar> injected;
        const int inBoxCount = (options.injectPerImage * 4 + 4) / 5;
        for (int k = 0; k < options.injectPerImage; ++k) {
            InjectedSource source;
            source.object = object.name;
            source.image = plan.fileName;
            source.sky = plan.sky;
            source.sigma = sigma;
            // Peaks spread evenly in logarithm from 5 to 400 noise units.
            source.peak = sigma * 5 * std::exp(uniformRandom(&random) * std::log(80.0));
            if (!placeInjection(options, object, header, visible, injected, hot, k < inBoxCount,
                                &random, &source)) {
                continue;
            }
            localSky(&source);
            addPointSource(options, plan, frame, source.x, source.y, source.peak, psfAngle);
            injected.push_back({source.x, source.y, source.peak});
            sources->push_back(source);
        }
        for (int host = 0; host < 2; ++host) {
            const bool onGalaxy = host == 0;
            NightRandom hostRandom;
            seedNightRandom(&hostRandom, streamSeed(options.seed, onGalaxy ? ON_GALAXIES : ON_STARS,
                                                    streamA, streamB));
            for (int k = 0; k < (onGalaxy ? options.onGalaxies : options.onStars); ++k) {
                InjectedSource source;
                source.object = object.name;
                source.image = plan.fileName;
                source.sky = plan.sky;
                source.sigma = sigma;
                source.peak = sigma * 5 * std::exp(uniformRandom(&hostRandom) * std::log(80.0));
                if (!placeOnHost(options, object, header, visible, injected, onGalaxy, plan.sky,
                                 sigma, &hostRandom, &source))
                    continue;
                localSky(&source);
                addPointSource(options, plan, frame, source.x, source.y, source.peak, psfAngle);
                injected.push_back({source.x, source.y, source.peak});
                sources->push_back(source);
            }
        }
        // Bright new sources whose cores the detector clips at saturation, in clear sky in
        // the box, farther from stars and other sources than the faint ones (wider wings).
        NightRandom bright;
        seedNightRandom(&bright, streamSeed(options.seed, SATURATED_NEW, streamA, streamB));
        for (int k = 0; k < options.saturatedNew; ++k) {
            InjectedSource source;
            source.object = object.name;
            source.image = plan.fileName;
            source.sky = plan.sky;
            source.sigma = sigma;
            source.where = "saturated";
            source.peak =
                (65535 - plan.sky) * 1.5 * std::exp(uniformRandom(&bright) * std::log(20 / 1.5));
            bool placed = false;
            for (int attempt = 0; attempt < 100 && !placed; ++attempt) {
                placed = placeInjection(options, object, header, visible, injected, hot, true,
                                        &bright, &source) &&
                         clearOf(visible, source.x, source.y, 16) &&
                         clearOf(injected, source.x, source.y, 24);
            }
            if (!placed)
                continue;
            addPointSource(options, plan, frame, source.x, source.y, source.peak, psfAngle);
            injected.push_back({source.x, source.y, source.peak});
            sources->push_back(source);
        }
    }

    if (options.supernova && !plan.reference) {
        // One place per field, the same in every test image and on every night.
        NightRandom random;
        seedNightRandom(&random, streamSeed(options.seed, SUPERNOVA, streamA, 0));
        const NightBox& box = object.box;
        const double south = boxDec(box.southDec) + 4 * BOX_MARGIN * ARCSECOND;
        const double north = boxDec(box.northDec) - 4 * BOX_MARGIN * ARCSECOND;
        const double widen = 4 * BOX_MARGIN * ARCSECOND / std::cos((south + north) / 2);
        InjectedSource source;
        source.object = object.name;
        source.image = plan.fileName;
        source.sky = plan.sky;
        source.sigma = sigma;
        source.ra = uniformBetween(&random, boxRa(box.westRa) + widen, boxRa(box.eastRa) - widen);
        source.dec = uniformBetween(&random, south, north);
        source.inBox = true;
        source.where = "supernova";
        if (skyToPixel(header, source.ra, source.dec, &source.x, &source.y) == 0 &&
            insideImage(options, source.x, source.y, EDGE)) {
            source.peak = sigma * supernovaPeakSigmas(options.night);
            localSky(&source);
            addPointSource(options, plan, frame, source.x, source.y, source.peak, psfAngle);
            sources->push_back(source);
        }
    }
    if (!plan.reference && !object.movers.empty())
        addMovers(options, object, plan, header, sigma, psfNorm,
                  [&](double x, double y, double peak) {
                      addPointSource(options, plan, frame, x, y, peak, psfAngle);
                  },
                  sightings);

    NightRandom noise;
    seedNightRandom(&noise, streamSeed(noiseSeed, NOISE, streamA, streamB));
    digitizeFrame(frame, NIGHT_GAIN, NIGHT_READ_NOISE, &noise, &header->pixels);
    addHotPixels(hot, options.width, options.height, &header->pixels);
    NightRandom cosmic;
    seedNightRandom(&cosmic, streamSeed(noiseSeed, COSMIC, streamA, streamB));
    std::vector<CosmicHit> hits;
    addCosmicRays(plan.cosmicRays, &cosmic, options.width, options.height, &header->pixels, &hits);
    if (!plan.reference && options.longTracks > 0) {
        NightRandom tracks;
        seedNightRandom(&tracks, streamSeed(noiseSeed, TRACKS, streamA, streamB));
        addLongTracks(options.longTracks, &tracks, options.width, options.height, &header->pixels,
                      &hits);
    }
    if (options.compactCosmic > 0) {
        NightRandom compact;
        seedNightRandom(&compact, streamSeed(noiseSeed, COMPACT, streamA, streamB));
        addCompactCosmicRays(options.compactCosmic, &compact, options.width, options.height,
                             &header->pixels, &hits);
    }
    if (logCauses) {
        for (const CosmicHit& h : hits) {
            pixelCause(h.length == 1 ? "cosmic" : "track", object.name, header, h.x0, h.y0, h.x1,
                       h.y1, causes);
        }
        for (const HotPixel& h : hot) {
            if (h.x >= 0 && h.y >= 0 && h.x < options.width && h.y < options.height)
                pixelCause("hot", object.name, header, h.x, h.y, h.x, h.y, causes);
        }
    }
}

// Writes the image, compressed when the plan says so and fpack works; *listedName gets
// the name under which it ended up. *fpackMissing is set when fpack cannot be started.
int storeImage(const NightOptions& options, const ImagePlan& plan, FitsImage* image,
               bool* fpackMissing, std::string* listedName, std::string* message)
{
    std::string plainName = plan.fileName;
    plainName.back() = 's';
    const std::string plainPath = joinPath(options.directory, plainName);
    if (options.floatOutput) {
        // Floating-point images stay uncompressed (fpack would quantize them).
        *listedName = plainName;
        return writeFloatImageFile(plainPath, image, plan.reference ? 0 : options.nanColumns,
                                   message);
    }
    if (writeImageFile(plainPath, image, message) != 0)
        return -1;
    *listedName = plainName;
    if (plan.compressed && !*fpackMissing) {
        const int result = compressImageFile(plainPath, joinPath(options.directory, plan.fileName));
        if (result == 0) {
            *listedName = plan.fileName;
        } else if (result == 1) {
            *fpackMissing = true;
            std::fprintf(stderr, "simnight: fpack not found; writing every image uncompressed\n");
        } else {
            std::fprintf(stderr, "simnight: fpack failed on %s; keeping it uncompressed\n",
                         plainPath.c_str());
        }
    }
    return 0;
}

int writeTextFile(const std::string& path, const std::string& text, std::string* message)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

std::string formatCauseLine(const CauseRecord& c)
{
    char line[320];
    std::snprintf(line, sizeof line,
                  "%-13s %-8s %-12s %12.8f %12.7f %12.8f %12.7f %9.3f %9.3f %9.3f %9.3f\n", c.cause,
                  c.object.c_str(), c.image.c_str(), c.ra0 * 12 / PI, c.dec0 * 180 / PI,
                  c.ra1 * 12 / PI, c.dec1 * 180 / PI, c.x0, c.y0, c.x1, c.y1);
    return line;
}

std::string formatTruthLine(const InjectedSource& s)
{
    char line[256];
    std::snprintf(
        line, sizeof line, "%-8s %-12s %12.8f %12.7f %9.1f %7.1f %6.2f %9.3f %9.3f %d%s%s\n",
        s.object.c_str(), s.image.c_str(), s.ra * 12 / PI, radiansToDegrees(s.dec), s.peak, s.sky,
        s.sigma, s.x, s.y, s.inBox ? 1 : 0, *s.where != '\0' ? " " : "", s.where);
    return line;
}
} // namespace

double boxRa(int64_t tenthsOfSecond)
{
    return degreesToRadians(static_cast<double>(tenthsOfSecond) / 36000 * 15);
}

double boxDec(int64_t arcseconds)
{
    return degreesToRadians(static_cast<double>(arcseconds) / 3600);
}

bool insideBox(const NightBox& box, double ra, double dec, double margin)
{
    const double m = margin * ARCSECOND;
    const double mRa = m / std::cos(dec);
    return ra >= boxRa(box.westRa) - mRa && ra <= boxRa(box.eastRa) + mRa &&
           dec >= boxDec(box.southDec) - m && dec <= boxDec(box.northDec) + m;
}

std::string formatBoxRa(int64_t tenthsOfSecond)
{
    const int64_t u = tenthsOfSecond;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%lld", static_cast<long long>(u / 36000),
                  static_cast<long long>(u / 600 % 60), static_cast<long long>(u / 10 % 60),
                  static_cast<long long>(u % 10));
    return text;
}

std::string formatBoxDec(int64_t arcseconds)
{
    const int64_t a = arcseconds < 0 ? -arcseconds : arcseconds;
    char text[32];
    std::snprintf(text, sizeof text, "%s%02lld:%02lld:%02lld", arcseconds < 0 ? "-" : "",
                  static_cast<long long>(a / 3600), static_cast<long long>(a / 60 % 60),
                  static_cast<long long>(a % 60));
    return text;
}

void buildImageHeader(FitsImage* image, const ObjectPlan& object, const ImagePlan& plan,
                      const NightOptions& options)
{
    image->bitpix = 16;
    image->width = options.width;
    image->height = options.height;
    image->exposureMs = plan.exposureMs;
    setDefaultCards(image);
    setStringCard(image, "OBJECT", object.name.c_str());
    setObservationTime(image, plan.observed);
    setStringCard(image, "IMAGETYP", plan.reference ? "reference" : "test");
    setStringCard(image, "CTYPE1", "RA---TAN");
    setRealCard(image, "CRVAL1", plan.crval1, 13);
    setRealCard(image, "CRPIX1", plan.crpix1, 12);
    setRealCard(image, "CDELT1", plan.cdelt1, 12);
    setStringCard(image, "CTYPE2", "DEC--TAN");
    setRealCard(image, "CRVAL2", plan.crval2, 13);
    setRealCard(image, "CRPIX2", plan.crpix2, 12);
    setRealCard(image, "CDELT2", plan.cdelt2, 12);
    setRealCard(image, "CROTA2", plan.crota2, 12);
    setRealCard(image, "EQUINOX", 2000.0, 6);
    setRealCard(image, "GAIN", NIGHT_GAIN, 6);
    setRealCard(image, "RDNOISE", NIGHT_READ_NOISE, 6);
    setCommentCard(image, "COMMENT",
                   ("Simulated by simnight, seed " + std::to_string(options.seed)).c_str());
}

// The world coordinates of a rendered image written wrong by the options' header offset
// and turn (nothing when both are 0).
static void misplaceHeader(const NightOptions& options, const ImagePlan& plan, FitsImage* image)
{
    if (options.headerOffset == 0 && options.headerTurn == 0)
        return;
    setRealCard(image, "CRPIX1", plan.crpix1 + 0.6 * options.headerOffset, 12);
    setRealCard(image, "CRPIX2", plan.crpix2 + 0.8 * options.headerOffset, 12);
    setRealCard(image, "CROTA2", plan.crota2 + options.headerTurn, 12);
}

int chooseSkyBox(ObjectPlan* object, const std::vector<FitsImage>& headers)
{
    const int samples = 64;
    double halfDec = 0; // degrees
    for (const FitsImage& h : headers) {
        halfDec = std::max(halfDec, (std::min(h.width, h.height) / 2.0 - EDGE) * object->scale);
    }
    for (int attempt = 0; attempt < 200 && halfDec > 0; ++attempt, halfDec *= 0.97) {
        const double halfRa = halfDec / std::cos(degreesToRadians(object->dec));
        NightBox box;
        box.eastRa = static_cast<int64_t>(std::floor((object->ra + halfRa) / 15 * 36000));
        box.westRa = static_cast<int64_t>(std::ceil((object->ra - halfRa) / 15 * 36000));
        box.northDec = static_cast<int64_t>(std::floor((object->dec + halfDec) * 3600));
        box.southDec = static_cast<int64_t>(std::ceil((object->dec - halfDec) * 3600));
        if (box.westRa >= box.eastRa || box.southDec >= box.northDec)
            return -1;
        bool fits = true;
        for (int k = 0; k <= samples && fits; ++k) {
            const double t = static_cast<double>(k) / samples;
            const double raW = boxRa(box.westRa), raE = boxRa(box.eastRa);
            const double decS = boxDec(box.southDec), decN = boxDec(box.northDec);
            const double ra = raW + t * (raE - raW), dec = decS + t * (decN - decS);
            const double border[4][2] = {{ra, decS}, {ra, decN}, {raW, dec}, {raE, dec}};
            for (const FitsImage& h : headers) {
                for (const auto& point : border) {
                    double x = 0, y = 0;
                    if (skyToPixel(&h, point[0], point[1], &x, &y) != 0 ||
                        !(x >= EDGE && y >= EDGE) ||
                        !(x <= h.width - 1 - EDGE && y <= h.height - 1 - EDGE)) {
                        fits = false;
                    }
                }
            }
        }
        if (fits) {
            object->box = box;
            return 0;
        }
    }
    return -1;
}

int writeNight(const NightOptions& options, std::string* message)
{
    if (!options.directory.empty() && mkdir(options.directory.c_str(), 0755) != 0 &&
        errno != EEXIST) {
        *message = options.directory + ": " + std::strerror(errno);
        return -1;
    }
    std::vector<ObjectPlan> objects = planNight(options);
    const double areaFactor =
        static_cast<double>(options.width) * options.height / (1024.0 * 1024.0);
    NightRandom detector;
    seedNightRandom(&detector, streamSeed(options.seed, DETECTOR, 0, 0));
    const int hotCount =
        options.hotPixels >= 0 ? options.hotPixels : static_cast<int>(30 * areaFactor + 0.5);
    const std::vector<HotPixel> hot =
        makeHotPixels(options.width, options.height, hotCount, &detector);
    std::vector<CauseRecord> causes;
    std::vector<MoverSighting> sightings;
    int nextMover = 1;

    bool fpackMissing = !options.compress;
    std::vector<InjectedSource> sources;
    std::string table = "# object  ERA         NDec       WRA         SDec       reference image\n";
    std::string files = "# test images, one per line\n";
    NightFrame frame;
    for (size_t i = 0; i < objects.size(); ++i) {
        ObjectPlan& object = objects[i];
        std::vector<FitsImage> headers(1 + object.testImages.size());
        buildImageHeader(&headers[0], object, object.referenceImage, options);
        for (size_t j = 0; j < object.testImages.size(); ++j) {
            buildImageHeader(&headers[j + 1], object, object.testImages[j], options);
        }
        if (chooseSkyBox(&object, headers) != 0) {
            *message = "no sky box fits every image of " + object.name;
            return -1;
        }
        object.movers = planMovers(options, object, static_cast<uint64_t>(i), &nextMover);
        for (size_t j = 0; j < headers.size(); ++j) {
            ImagePlan& plan = j == 0 ? object.referenceImage : object.testImages[j - 1];
            const size_t firstSource = sources.size();
            const size_t firstCause = causes.size();
            const size_t firstSighting = sightings.size();
            renderImage(options, object, plan, static_cast<int>(i), static_cast<int>(j), hot,
                        &headers[j], &frame, &sources, options.causes ? &causes : nullptr,
                        &sightings);
            if (plan.reference)
                misplaceHeader(options, plan, &headers[j]);
            std::string listed;
            if (storeImage(options, plan, &headers[j], &fpackMissing, &listed, message) != 0)
                return -1;
            plan.fileName = listed;
            for (size_t k = firstSource; k < sources.size(); ++k)
                sources[k].image = listed;
            for (size_t k = firstCause; k < causes.size(); ++k)
                causes[k].image = listed;
            for (size_t k = firstSighting; k < sightings.size(); ++k)
                sightings[k].image = listed;
            freeFitsImage(&headers[j]);
            if (j > 0)
                files += listed + "\n";
        }
        char line[256];
        std::snprintf(
            line, sizeof line, "%-8s  %s  %s  %s  %s  %s\n", object.name.c_str(),
            formatBoxRa(object.box.eastRa).c_str(), formatBoxDec(object.box.northDec).c_str(),
            formatBoxRa(object.box.westRa).c_str(), formatBoxDec(object.box.southDec).c_str(),
            object.referenceImage.fileName.c_str());
        table += line;
    }

    std::string truth = "# object image        ra_hours    dec_degrees      peak     sky  sigma    "
                        "     x         y inbox\n";
    for (const InjectedSource& s : sources)
        truth += formatTruthLine(s);
    if (writeTextFile(joinPath(options.directory, "table.txt"), table, message) != 0 ||
        writeTextFile(joinPath(options.directory, "files.txt"), files, message) != 0 ||
        writeTextFile(joinPath(options.directory, "truth.txt"), truth, message) != 0) {
        return -1;
    }
    if (options.movers > 0) {
        std::string text = MOVER_FILE_HEADING;
        for (const MoverSighting& m : sightings)
            text += formatMoverLine(m);
        if (writeTextFile(joinPath(options.directory, "movers.txt"), text, message) != 0)
            return -1;
    }
    if (options.causes) {
        std::string text = "# cause       object   image          ra0_hours  dec0_degrees"
                           "    ra1_hours  dec1_degrees        x0        y0        x1        y1\n";
        for (const CauseRecord& c : causes)
            text += formatCauseLine(c);
        if (writeTextFile(joinPath(options.directory, "causes.txt"), text, message) != 0)
            return -1;
    }
    return 0;
}
