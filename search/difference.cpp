#include "search/difference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/angles.hpp"
#include "base/text.hpp"
#include "diff/difference.hpp"
#include "search/options.hpp"
#include "sky/sexagesimal.hpp"
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

int compareImagesByDifference(SearchRun* run, const SearchBox& box, const FitsImage* reference,
                              const FitsImage* test, const char* referenceName,
                              const char* testName, const char* objectName, ImageLog* log)
{
    WorldFrame testFrame, referenceFrame;
    if (WcsStatus w = readWorldFrame(*test, run->wcsMode, &testFrame); w != WcsStatus::Ok) {
        logError(log, "%s: %s\n", testName, wcsStatusText(w));
        return -1;
    }
    if (WcsStatus w = readWorldFrame(*reference, run->wcsMode, &referenceFrame);
        w != WcsStatus::Ok) {
        logError(log, "%s: %s\n", referenceName, wcsStatusText(w));
        return -1;
    }
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
    DifferenceResult result;
    if (status == DiffStatus::Ok) {
        const auto inside = [&](double x, double y) {
            double ra = 0, dec = 0;
            return pixelToSky(testFrame, x, y, &ra, &dec) == WcsStatus::Ok &&
                   inSearchBox(&box, ra, dec, margin);
        };
        status =
            subtractImages(test->pixels.data(), test->width, test->height, reference->pixels.data(),
                           reference->width, reference->height, map, options, inside, &result);
    }
    if (status != DiffStatus::Ok) {
        logError(log, "%s: %s\n", testName, diffStatusText(status));
        return -1;
    }

    const char* testBase = baseName(testName);
    int candidateCount = 0;
    for (const DifferenceSource& source : result.sources) {
        double ra = 0, dec = 0;
        if (source.reasons != 0 ||
            pixelToSky(testFrame, source.x, source.y, &ra, &dec) != WcsStatus::Ok)
            continue;
        std::string raText = fs_sexa(radiansToDegrees(ra) / 15, 2, 36000);
        std::string decText = fs_sexa(radiansToDegrees(dec), 3, 3600);
        std::string line =
            formatText("%-12s %-12s %s %s", objectName, testBase, raText.c_str(), decText.c_str());
        addCandidate(&run->candidates, line.c_str());
        ++candidateCount;
    }
    const int referenceCount = countInBox(referenceFrame, result.referenceStars, box, 0);
    const int testCount = countInBox(testFrame, result.testStars, box, margin);
    std::string date, time;
    observationTime(test, &date, &time, log);
    logOutput(log, "%-12s %-12s %-12s %s %s %3d %3d %3d\n", objectName, baseName(referenceName),
              testBase, date.c_str(), time.c_str(), referenceCount, testCount, candidateCount);
    return 0;
}

} // namespace newstars
