#include "search/difference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base/angles.hpp"
#include "base/statistics.hpp"
#include "base/text.hpp"
#include "diff/difference.hpp"
#include "diff/score.hpp"
#include "search/options.hpp"
#include "search/report.hpp"
#include "vet/stamps.hpp"
#include "wcs/world_frame.hpp"

namespace newstars {

int takeMethodOptions(std::vector<char*>* arguments, SearchRun* run, std::string* message)
{
    while (arguments->size() > 1 && (*arguments)[1] != nullptr) {
        const int argc = static_cast<int>(arguments->size());
        const char* value = nullptr;
        int used = 0;
        if (optionValue(argc, arguments->data(), "--method", &value, &used)) {
            if (value != nullptr && std::strcmp(value, "catalog") == 0) {
                run->method = SearchMethod::Catalog;
            } else if (value != nullptr && std::strcmp(value, "difference") == 0) {
                run->method = SearchMethod::Difference;
            } else {
                *message = "--method takes catalog or difference";
                return -1;
            }
        } else if (optionValue(argc, arguments->data(), "--threshold", &value, &used)) {
            char* end = nullptr;
            const double threshold = value != nullptr ? std::strtod(value, &end) : 0;
            if (value == nullptr || end == value || *end != '\0' || !std::isfinite(threshold) ||
                !(threshold > 0)) {
                *message = "--threshold takes a number above 0";
                return -1;
            }
            run->differenceThreshold = threshold;
        } else if (optionValue(argc, arguments->data(), "--min-score", &value, &used)) {
            char* end = nullptr;
            const double score = value != nullptr ? std::strtod(value, &end) : -1;
            if (value == nullptr || end == value || *end != '\0' || !(score >= 0 && score <= 1)) {
                *message = "--min-score takes a number from 0 to 1";
                return -1;
            }
            run->minScore = score;
        } else if (optionValue(argc, arguments->data(), "--background-cell", &value, &used)) {
            char* end = nullptr;
            const long cell = value != nullptr ? std::strtol(value, &end, 10) : -1;
            if (value == nullptr || end == value || *end != '\0' ||
                !(cell == 0 || (cell >= 16 && cell <= 4096))) {
                *message = "--background-cell takes 0 or a whole number of pixels from 16 to 4096";
                return -1;
            }
            run->backgroundCell = static_cast<int>(cell);
        } else {
            break;
        }
        arguments->erase(arguments->begin() + 1, arguments->begin() + 1 + used);
    }
    return 0;
}

// Electrons per ADU from the GAIN card, 0 (estimate from the sky) without a usable one.
static double headerGain(const FitsImage* image)
{
    double gain = 0;
    if (getRealCard(image, "GAIN", &gain) != 0 || !std::isfinite(gain) || !(gain > 0))
        return 0;
    return gain;
}

// Gains (electrons per ADU) a detector's GAIN card may plausibly hold; beyond them the
// noise model, and so every detection's significance, would be off by orders of magnitude.
static constexpr double LEAST_GAIN = 1e-3;
static constexpr double GREATEST_GAIN = 1e3;

// Whether the image's GAIN card, when it has one, is plausible; when not, puts
// "NAME: GAIN VALUE is not a plausible gain ..." in the log.
static bool plausibleGain(const FitsImage* image, const char* name, ImageLog* log)
{
    double gain = 0;
    if (getRealCard(image, "GAIN", &gain) != 0)
        return true;
    if (std::isfinite(gain) && gain >= LEAST_GAIN && gain <= GREATEST_GAIN)
        return true;
    logError(log, "%s: GAIN %g is not a plausible gain (%g to %g electrons per ADU)\n",
             printableText(name).c_str(), gain, LEAST_GAIN, GREATEST_GAIN);
    return false;
}

// Stars of an image (pixel positions) that lie inside the box shrunk by margin.
static int countInBox(const WorldFrame& frame, const StarList& stars, const SearchBox& box,
                      double margin)
{
    const size_t n = std::min(stars.x.size(), stars.y.size());
    std::vector<double> ra(n), dec(n);
    std::vector<unsigned char> placed(n);
    pixelsToSky(frame, n, stars.x.data(), stars.y.data(), ra.data(), dec.data(), placed.data());
    int count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (placed[i] && inSearchBox(&box, ra[i], dec[i], margin))
            ++count;
    }
    return count;
}

// Arcseconds per pixel of a frame at pixel (x, y): the geometric mean of the arcs one
// pixel along each axis; NaN where the frame gives no sky position.
static double pixelScale(const WorldFrame& frame, double x, double y)
{
    double ra = 0, dec = 0, raX = 0, decX = 0, raY = 0, decY = 0;
    if (pixelToSky(frame, x, y, &ra, &dec) != WcsStatus::Ok ||
        pixelToSky(frame, x + 1, y, &raX, &decX) != WcsStatus::Ok ||
        pixelToSky(frame, x, y + 1, &raY, &decY) != WcsStatus::Ok)
        return std::nan("");
    return radiansToDegrees(std::sqrt(skyArc(ra, dec, raX, decX) * skyArc(ra, dec, raY, decY))) *
           3600;
}

// The registration and matching figures of one image for the catalogue's header.
static ImageRegistration registrationEntry(const DifferenceResult& result,
                                           const WorldFrame& referenceFrame, int32_t width,
                                           int32_t height, const char* testBase,
                                           const char* referenceBase)
{
    ImageRegistration g;
    g.image = testBase;
    g.reference = referenceBase;
    g.refined = result.registrationRefined;
    g.registration =
        registrationKindText(result.registrationKind, DifferenceOptions{}.correctionOrder);
    g.coordinateOffset = result.coordinateError;
    g.stars = result.registration.used;
    g.clipped = result.registration.rejected;
    g.rmsPixels = result.registration.rms;
    double u = 0, v = 0;
    mapPosition(result.map, (width - 1) / 2.0, (height - 1) / 2.0, &u, &v);
    g.rmsArcsec = g.rmsPixels * pixelScale(referenceFrame, u, v);
    g.testFwhm = FWHM_PER_SIGMA * result.testSigma;
    g.referenceFwhm = FWHM_PER_SIGMA * result.referenceSigma;
    g.referenceConvolved = result.referenceConvolved;
    g.kernelStamps = result.kernel.stampsUsed;
    g.kernelRejected = result.kernel.stampsRejected;
    g.kernelChiSquare = result.kernel.chiSquare;
    g.kernelFrom = kernelStampsText(result.kernelStamps);
    g.fluxScale = result.fluxScale;
    g.noiseScale = result.noiseScale;
    g.testCosmicPixels = result.testCosmicPixels;
    g.referenceCosmicPixels = result.referenceCosmicPixels;
    return g;
}

// Registration figures beyond which the subtraction is plainly wrong: star-fit residuals
// of well registered pairs measure 0.03 to 0.15 pixel (simulated nights, DECam), those of
// maps a turned header left wrong 0.9 to 1.5 pixels, with 200 to 450 false candidates per
// 1024 x 1024 image against 0 to 11; a kernel that matches the point spreads leaves a
// chi-square per pixel of 0.2 to 1.6, one that could not (a registration off by pixels over
// most of the image) about 100.
static constexpr double WRONG_REGISTRATION_RMS = 0.75;  // reference pixels
static constexpr double WRONG_KERNEL_CHI_SQUARE = 20.0; // per pixel

// The offset of the world coordinates searched, reference pixels: three times the
// uncertainty the two headers state (CRDER1/2, random, and CSYER1/2, systematic, degrees,
// added in quadrature), at least the default (several pixels) and at most a quarter of the
// smaller side of the test image.
static double shiftSearchRadius(const FitsImage& test, const FitsImage& reference,
                                const WorldFrame& referenceFrame, int32_t width, int32_t height)
{
    const double least = RegistrationOptions{}.searchRadius;
    double sum = 0;
    for (const FitsImage* image : {&test, &reference}) {
        for (const char* card : {"CRDER1", "CRDER2", "CSYER1", "CSYER2"}) {
            double value = 0;
            if (getRealCard(image, card, &value) == 0 && std::isfinite(value) && value > 0 &&
                value < 1)
                sum += value * value;
        }
    }
    const double scale = pixelScale(referenceFrame, 0, 0); // arcseconds per reference pixel
    double radius = least;
    if (sum > 0 && std::isfinite(scale) && scale > 0)
        radius = std::max(least, 3 * std::sqrt(sum / 2) * 3600 / scale);
    return std::min(radius, std::max(least, std::min(width, height) / 4.0));
}

// One message on standard error when the registration used is not the full star fit, or
// is plainly wrong, or the world coordinates lie farther from the stars than the search
// allowed for: what was used and how well it fitted. False when the registration is
// plainly wrong: the image is then not searched (its difference would hold hundreds of
// false candidates).
static bool reportRegistration(const DifferenceResult& result, const RegistrationOptions& options,
                               const char* testName, ImageLog* log)
{
    const std::string name = printableText(testName);
    const MapFit& fit = result.registration;
    const char* used =
        registrationKindText(result.registrationKind, DifferenceOptions{}.correctionOrder);
    // Without a refinement the rms is the matched stars' distance from the coordinates' map.
    const bool unrefined = result.registrationKind == RegistrationKind::Coordinates;
    if ((fit.used > 0 && fit.rms > WRONG_REGISTRATION_RMS) ||
        !(result.kernel.chiSquare <= WRONG_KERNEL_CHI_SQUARE)) {
        logError(log,
                 "%s: registration plainly wrong: %s map, %d stars, rms %.2f pixels, kernel "
                 "chi-square %.1f (limits %.2f pixels, %.0f): the image is not searched\n",
                 name.c_str(), used, fit.used, fit.rms, result.kernel.chiSquare,
                 WRONG_REGISTRATION_RMS, WRONG_KERNEL_CHI_SQUARE);
        return false;
    }
    if (unrefined) {
        logError(log,
                 "%s: registration not refined on stars (%d pairs fitted): the map from the "
                 "world coordinates alone is used\n",
                 name.c_str(), static_cast<int>(fit.used));
    } else if (result.registrationKind == RegistrationKind::Shift) {
        logError(log,
                 "%s: too few stars for an affine registration: a shift fitted on %d stars "
                 "(rms %.2f pixels) is used\n",
                 name.c_str(), fit.used, fit.rms);
    } else if (result.coordinateError > options.searchRadius) {
        logError(log,
                 "%s: the world coordinates lie %.1f pixels off the stars: the %s fit on %d "
                 "stars (rms %.2f pixels) is used\n",
                 name.c_str(), result.coordinateError, used, fit.used, fit.rms);
    }
    return true;
}

// Whether a detection's score falls below the least a candidate needs (a score that is no
// number counts as below any least above 0). A source whose core saturates is judged by its
// own tests (saturated.hpp), not by a score learnt on unsaturated ones.
static bool lowScore(const DifferenceSource& source, double minScore)
{
    return minScore > 0 && !source.saturated && !(source.score >= minScore);
}

// Writes the stamp of each row from the pipeline's planes; 0, or -1 with the reason.
static int writeDifferenceStamps(const VetOptions& options, const FitsImage& test,
                                 const DifferenceResult& result,
                                 const std::vector<DifferenceRow>& rows, std::string* message)
{
    for (const DifferenceRow& row : rows) {
        Stamp stamp;
        cutMatchedStamp(test, result.reference.pixels, result.difference.pixels, result.mask,
                        MASK_UNUSABLE, static_cast<int32_t>(std::lround(row.x)),
                        static_cast<int32_t>(std::lround(row.y)), &stamp);
        int32_t width = 0, height = 0;
        const std::vector<uint8_t> rgb = renderStamp(stamp, STAMP_ZOOM, STAMP_GAP, &width, &height,
                                                     hasFloatPixels(&test) ? 0.0 : 1.0);
        const std::string path =
            options.stampsDirectory + "/" + row.image + "_" + std::to_string(row.number) + ".png";
        if (writeStampFile(options, path, rgb, width, height, message) != 0)
            return -1;
    }
    return 0;
}

// Makes each row's page stamp (the orientation always, the panels when a page is asked
// for); 0, or -1 with the reason.
static int makeDifferencePageStamps(const VetOptions& options, const FitsImage& test,
                                    const WorldFrame& testFrame, const DifferenceResult& result,
                                    std::vector<DifferenceRow>* rows, std::string* message)
{
    const SkyMapping toSky = [&](double x, double y, double* ra, double* dec) {
        return pixelToSky(testFrame, x, y, ra, dec) == WcsStatus::Ok;
    };
    for (DifferenceRow& row : *rows) {
        StampOrientation orientation;
        orientStamp(toSky, row.x, row.y, &orientation);
        row.page.orientation = orientation;
        if (options.pageDirectory.empty())
            continue;
        Stamp stamp;
        cutMatchedStamp(test, result.reference.pixels, result.difference.pixels, result.mask,
                        MASK_UNUSABLE, static_cast<int32_t>(std::lround(row.x)),
                        static_cast<int32_t>(std::lround(row.y)), &stamp);
        if (makePageStamp(stamp, true, hasFloatPixels(&test) ? 0.0 : 1.0, orientation, &row.page,
                          message) != 0) {
            *message = row.image + ": " + *message;
            return -1;
        }
    }
    return 0;
}

int compareImagesByDifference(SearchRun* run, const SearchBox& box, const FitsImage* reference,
                              const FitsImage* test, const char* referenceName,
                              const char* testName, const char* objectName, ImageLog* log,
                              const VetOptions* vetting, DifferenceOutputs* outputs,
                              DifferenceResult* kept)
{
    if (!plausibleGain(test, testName, log) || !plausibleGain(reference, referenceName, log))
        return -1;
    WorldFrame testFrame, referenceFrame;
    std::string testCards, referenceCards;
    if (WcsStatus w = readWorldFrame(*test, run->wcsMode, &testFrame, &testCards);
        w != WcsStatus::Ok) {
        logError(log, "%s: %s\n", reportText(testName).c_str(),
                 reportText(wcsProblemText(w, testCards).c_str()).c_str());
        return -1;
    }
    if (WcsStatus w = readWorldFrame(*reference, run->wcsMode, &referenceFrame, &referenceCards);
        w != WcsStatus::Ok) {
        logError(log, "%s: %s\n", reportText(referenceName).c_str(),
                 reportText(wcsProblemText(w, referenceCards).c_str()).c_str());
        return -1;
    }
    // Cards set aside: one message per image, and a note in the catalogue's entry.
    if (!testCards.empty())
        logError(log, "%s: %s\n", reportText(testName).c_str(),
                 reportText(testCards.c_str()).c_str());
    if (!referenceCards.empty())
        logError(log, "%s: %s\n", reportText(referenceName).c_str(),
                 reportText(referenceCards.c_str()).c_str());
    const PixelMapping mapping = [&](double x, double y, double* u, double* v) {
        double ra = 0, dec = 0;
        return pixelToSky(testFrame, x, y, &ra, &dec) == WcsStatus::Ok &&
               skyToPixel(referenceFrame, ra, dec, u, v) == WcsStatus::Ok;
    };
    PixelMap map;
    double mapError = 0;
    DiffStatus status = samplePixelMap(mapping, test->width, test->height, 3, &map, &mapError);
    const double margin = run->tolerance / box.cosMidDec;
    DifferenceOptions options;
    options.testGain = headerGain(test);
    options.referenceGain = headerGain(reference);
    options.detect.threshold = run->differenceThreshold;
    options.registration.searchRadius =
        shiftSearchRadius(*test, *reference, referenceFrame, test->width, test->height);
    // The planes are made here: their background is taken out as they are made.
    options.flattenBackground = options.subtractResidualBackground = run->backgroundCell > 0;
    options.background.cellSize = run->backgroundCell;
    options.threads = options.background.threads = run->threads;
    DifferenceResult result;
    if (status == DiffStatus::Ok) {
        const auto inside = [&](double x, double y) {
            double ra = 0, dec = 0;
            return pixelToSky(testFrame, x, y, &ra, &dec) == WcsStatus::Ok &&
                   inSearchBox(&box, ra, dec, margin);
        };
        ImagePlane testPlane, referencePlane;
        const BackgroundOptions* flatten =
            options.flattenBackground ? &options.background : nullptr;
        // Both planes at once when there are threads for it; the test image's failure first.
        DiffStatus made[2] = {DiffStatus::Ok, DiffStatus::Ok};
        runItems(options.threads, 2, [&](int k) {
            made[k] = k == 0 ? makeImagePlane(*test, &testPlane, flatten)
                             : makeImagePlane(*reference, &referencePlane, flatten);
        });
        status = made[0] != DiffStatus::Ok ? made[0] : made[1];
        if (status == DiffStatus::Ok)
            status = subtractPlanes(&testPlane, &referencePlane, map, options, inside, &result);
    }
    if (status != DiffStatus::Ok) {
        logError(log, "%s: %s\n", reportText(testName).c_str(), diffStatusText(status));
        return -1;
    }
    if (!reportRegistration(result, options.registration, testName, log))
        return -1;
    std::string scoreMessage;
    if (DiffStatus s = scoreSources(&result, &scoreMessage); s != DiffStatus::Ok) {
        logError(log, "%s: %s%s%s\n", reportText(testName).c_str(), diffStatusText(s),
                 scoreMessage.empty() ? "" : ": ", reportText(scoreMessage.c_str()).c_str());
        return -1;
    }

    const char* testBase = baseName(testName);
    const char* referenceBase = baseName(referenceName);
    const bool rows = vetting != nullptr && outputs != nullptr;
    bool outputFailed = false;
    std::vector<DifferenceRow> detections;
    const ObservedAt observed = rows ? observedAt(*test) : ObservedAt{};
    int candidateCount = 0;
    for (const DifferenceSource& source : result.sources) {
        double ra = 0, dec = 0;
        if (pixelToSky(testFrame, source.x, source.y, &ra, &dec) != WcsStatus::Ok)
            continue;
        if (rows) {
            DifferenceRow row;
            row.object = objectName;
            row.image = testBase;
            row.reference = referenceBase;
            row.number = static_cast<int32_t>(detections.size()) + 1;
            row.observed = observed;
            row.x = source.x;
            row.y = source.y;
            row.ra = std::fmod(radiansToDegrees(ra), 360.0);
            if (row.ra < 0)
                row.ra += 360;
            row.dec = radiansToDegrees(dec);
            mapPosition(result.map, source.x, source.y, &row.referenceX, &row.referenceY);
            row.reasons = differenceReasonText(source.reasons);
            if (lowScore(source, run->minScore))
                row.reasons += row.reasons.empty() ? "score" : ";score";
            row.score = source.score;
            row.flux = source.flux;
            row.fluxError = source.fluxError;
            row.snr = source.snr;
            row.peakSnr = source.peakSnr;
            row.referenceFlux = source.referenceFlux;
            row.magnitudeChange = source.magnitudeChange;
            row.sharpness = source.sharpness;
            row.elongation = source.elongation;
            row.dipole = source.dipole;
            if (source.saturated)
                row.flags = "saturated";
            detections.push_back(std::move(row));
        }
        if (source.reasons != 0 || lowScore(source, run->minScore))
            continue;
        addCandidate(&run->candidates, candidateLine(objectName, testName, ra, dec).c_str(), ra,
                     dec);
        ++candidateCount;
    }
    if (rows) {
        ImageRegistration entry = registrationEntry(result, referenceFrame, test->width,
                                                    test->height, testBase, referenceBase);
        entry.detections = static_cast<int32_t>(detections.size());
        if (!testCards.empty())
            entry.cardsSetAside = std::string(testBase) + ": " + testCards;
        if (!referenceCards.empty())
            entry.cardsSetAside +=
                std::string(testCards.empty() ? "" : "; ") + referenceBase + ": " + referenceCards;
        entry.kept = candidateCount;
        std::string message;
        if (pageStampsWanted(*vetting) &&
            makeDifferencePageStamps(*vetting, *test, testFrame, result, &detections, &message) !=
                0) {
            logError(log, "newstars: %s\n", reportText(message.c_str()).c_str());
            outputFailed = true;
        }
        if (!vetting->stampsDirectory.empty() &&
            writeDifferenceStamps(*vetting, *test, result, detections, &message) != 0) {
            logError(log, "newstars: %s\n", reportText(message.c_str()).c_str());
            outputFailed = true;
        }
        outputs->registrations.push_back(std::move(entry));
        outputs->rows.insert(outputs->rows.end(), std::make_move_iterator(detections.begin()),
                             std::make_move_iterator(detections.end()));
    }
    const int referenceCount = countInBox(referenceFrame, result.referenceStars, box, 0);
    const int testCount = countInBox(testFrame, result.testStars, box, margin);
    std::string date, time;
    observationTime(test, testName, &date, &time, log);
    logOutput(log, "%s",
              summaryLine(objectName, referenceName, testName, date.c_str(), time.c_str(),
                          referenceCount, testCount, candidateCount)
                  .c_str());
    if (kept != nullptr)
        *kept = std::move(result);
    return outputFailed ? -2 : 0;
}

} // namespace newstars
