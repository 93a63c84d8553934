#include "search/compare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "base/angles.hpp"
#include "base/text.hpp"
#include "diff/saturated.hpp"
#include "fits/observation_time.hpp"
#include "search/report.hpp"
#include "wcs/world_frame.hpp"
#include "stars/find_stars.hpp"

namespace newstars {

void addCandidate(CandidateList* list, const char* line)
{
    list->lines.emplace_back(line);
}

void addCandidate(CandidateList* list, const char* line, double ra, double dec)
{
    list->lines.emplace_back(line);
    list->positions.push_back({ra, dec});
}

// The stars of an image: of its 16-bit pixels, or of its values and no-data mask, with the
// SATURATE card's number (when it holds one) as the saturation level. -1 with the reason
// in *message when the search fails or the values do not cover the image.
static int findImageStars(const FitsImage* image, StarFinderWorkspace* workspace, StarList* stars,
                          std::string* message)
{
    if (!hasFloatPixels(image))
        return findStars(image->pixels.data(), image->width, image->height, stars, workspace,
                         message);
    const size_t n = image->width > 0 && image->height > 0
                         ? static_cast<size_t>(image->width) * static_cast<size_t>(image->height)
                         : 0;
    if (image->values.size() != n || (!image->noData.empty() && image->noData.size() != n)) {
        *message = "findStars(): pixel values do not cover the image";
        return -1;
    }
    double saturation = std::numeric_limits<double>::infinity();
    std::string text;
    double level = 0;
    if (getStringCard(image, "SATURATE", &text) != 0 &&
        getRealCard(image, "SATURATE", &level) == 0 && std::isfinite(level))
        saturation = level;
    return findStarsInValues(image->values.data(),
                             image->noData.empty() ? nullptr : image->noData.data(), image->width,
                             image->height, saturation, stars, workspace, message);
}

int findSkyStars(const FitsImage* image, const char* name, WcsMode mode,
                 StarFinderWorkspace* workspace, std::vector<SkyPosition>* sky, std::string* note,
                 std::string* error, PlacedStars* placedStars)
{
    StarList stars;
    std::string message;
    int count = findImageStars(image, workspace, &stars, &message);
    if (count < 0) {
        *error = formatText("%s\n%s: Can not find stars\n", message.c_str(),
                            printableText(name).c_str());
        return -1;
    }
    size_t n = std::min({static_cast<size_t>(count), stars.x.size(), stars.y.size()});
    sky->clear();
    note->clear();
    WorldFrame frame;
    std::string detail;
    WcsStatus status = readWorldFrame(*image, mode, &frame, &detail);
    if (status != WcsStatus::Ok) {
        *note = formatText("%s: %s: %zu star%s left out\n", printableText(name).c_str(),
                           wcsProblemText(status, detail).c_str(), n, n == 1 ? "" : "s");
        if (placedStars != nullptr) {
            *placedStars = PlacedStars{};
            placedStars->found = std::move(stars);
        }
        return 0;
    }
    std::vector<double> ra(n), dec(n);
    std::vector<unsigned char> placed(n);
    size_t placedCount =
        pixelsToSky(frame, n, stars.x.data(), stars.y.data(), ra.data(), dec.data(), placed.data());
    // Cards set aside: said once per image, before anything else about it.
    if (!detail.empty())
        *note = formatText("%s: %s\n", printableText(name).c_str(), detail.c_str());
    if (placedCount < n)
        *note += formatText("%s: %s: %zu star%s left out\n", printableText(name).c_str(),
                            wcsStatusText(WcsStatus::OutsideDomain), n - placedCount,
                            n - placedCount == 1 ? "" : "s");
    sky->reserve(placedCount);
    for (size_t i = 0; i < n; ++i) {
        if (placed[i])
            sky->push_back({ra[i], dec[i]});
    }
    if (placedStars != nullptr) {
        PlacedStars p;
        for (size_t i = 0; i < n; ++i) {
            if (placed[i]) {
                p.x.push_back(stars.x[i]);
                p.y.push_back(stars.y[i]);
                p.flags.push_back(i < stars.flags.size() ? stars.flags[i] : 0);
            }
        }
        p.found = std::move(stars);
        p.frame = std::move(frame);
        p.cardsSetAside = detail;
        *placedStars = std::move(p);
    }
    return 0;
}

// The positions of sky that lie inside box shrunk by margin, in their order.
static std::vector<SkyPosition> inBox(const std::vector<SkyPosition>& sky, const SearchBox& box,
                                      double margin)
{
    std::vector<SkyPosition> inside;
    for (const SkyPosition& p : sky) {
        if (inSearchBox(&box, p.ra, p.dec, margin))
            inside.push_back(p);
    }
    return inside;
}

// The value of a string card of the test image, or "????????" with a message naming it.
static std::string observationCard(const FitsImage* test, const char* testName,
                                   const char* keyword, ImageLog* log)
{
    std::string value = "????????";
    if (getStringCard(test, keyword, &value) < 0) {
        logError(log, "%s: No %s field in test image\n", printableText(testName).c_str(),
                 keyword);
        value = "????????";
    }
    return value;
}

// Splits an ISO date with its time ("2026-03-02T01:30:00.5": four-digit year, two-digit
// month, day, hours, minutes and seconds, an optional fraction of a second) into the
// date and the time. False, outputs untouched, for any other text.
static bool splitIsoDateTime(const std::string& text, std::string* date, std::string* time)
{
    static const char PATTERN[] = "dddd-dd-ddTdd:dd:dd";
    const size_t length = sizeof PATTERN - 1;
    if (text.size() < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (PATTERN[i] == 'd' ? !digit : text[i] != PATTERN[i])
            return false;
    }
    if (text.size() > length) {
        if (text[length] != '.' || text.size() == length + 1)
            return false;
        for (size_t i = length + 1; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
        }
    }
    *date = text.substr(0, 10);
    *time = text.substr(11);
    return true;
}

void observationTime(const FitsImage* test, const char* testName, std::string* date,
                     std::string* time, ImageLog* log)
{
    std::string text;
    const char* card = nullptr;
    if (findCard(test, "TIME-OBS", &card) != 0 && getStringCard(test, "DATE-OBS", &text) == 0 &&
        splitIsoDateTime(text, date, time))
        return;
    // Without DATE-OBS the time comes from MJD-OBS or DATE-BEG, where a header has them.
    ObservationTime observed;
    if (findCard(test, "DATE-OBS", &card) != 0 && readObservationTime(*test, &observed) == 0 &&
        observed.hasTime) {
        formatObservationTime(observed, date, time);
        return;
    }
    *date = observationCard(test, testName, "DATE-OBS", log);
    *time = observationCard(test, testName, "TIME-OBS", log);
}

// The saturation level of an image: 65535 for 16-bit pixels, the SATURATE card's number
// for values (infinity without one).
static double saturationLevel(const FitsImage* image)
{
    if (!hasFloatPixels(image))
        return 65535;
    std::string text;
    double level = 0;
    if (getStringCard(image, "SATURATE", &text) != 0 &&
        getRealCard(image, "SATURATE", &level) == 0 && std::isfinite(level))
        return level;
    return std::numeric_limits<double>::infinity();
}

// Whether a pixel of the image within radius of (x, y) is saturated (with data).
static bool saturatedNear(const FitsImage* image, double level, double x, double y, double radius)
{
    const size_t n = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
    const bool values = hasFloatPixels(image);
    if (values ? image->values.size() != n : image->pixels.size() != n)
        return false;
    const double x0 = std::max(std::ceil(x - radius), 0.0);
    const double x1 = std::min(std::floor(x + radius), image->width - 1.0);
    const double y0 = std::max(std::ceil(y - radius), 0.0);
    const double y1 = std::min(std::floor(y + radius), image->height - 1.0);
    if (!(x0 <= x1 && y0 <= y1))
        return false;
    for (int32_t v = static_cast<int32_t>(y0); v <= static_cast<int32_t>(y1); ++v) {
        for (int32_t u = static_cast<int32_t>(x0); u <= static_cast<int32_t>(x1); ++u) {
            const size_t i = static_cast<size_t>(v) * static_cast<size_t>(image->width) +
                             static_cast<size_t>(u);
            if (values ? image->values[i] >= level &&
                             (image->noData.empty() || image->noData[i] == PIXEL_HAS_DATA)
                       : image->pixels[i] >= 65535)
                return true;
        }
    }
    return false;
}

// The saturated cores of the test image that may be new sources: their centroids placed on
// the sky through the test frame, inside the box (shrunk by margin), with no reference star
// within the tolerance (the finder reports no star whose peak saturates, in either image)
// and, where the reference frame places them, no saturated reference pixel within the
// core's radius and 2 pixels (a star saturated in both images is no candidate).
static std::vector<ComparedStar> saturatedTestCores(const FitsImage* test, const WorldFrame& frame,
                                                    const SearchBox& box, double margin,
                                                    const std::vector<SkyPosition>& referenceStars,
                                                    double tolerance, const FitsImage* reference,
                                                    const WorldFrame* referenceFrame)
{
    std::vector<SaturatedCore> cores;
    if (!hasFloatPixels(test)) {
        if (test->pixels.size() !=
                static_cast<size_t>(test->width) * static_cast<size_t>(test->height) ||
            findSaturatedCores(test->pixels.data(), test->width, test->height, 100000, &cores) !=
                DiffStatus::Ok)
            return {};
    } else {
        const size_t n = static_cast<size_t>(test->width) * static_cast<size_t>(test->height);
        const double level = saturationLevel(test);
        if (test->values.size() != n || (!test->noData.empty() && test->noData.size() != n) ||
            !std::isfinite(level) ||
            findSaturatedCores(test->values.data(),
                               test->noData.empty() ? nullptr : test->noData.data(), test->width,
                               test->height, level, {}, 100000, &cores) != DiffStatus::Ok)
            return {};
    }
    std::vector<ComparedStar> found;
    std::vector<SkyPosition> sky;
    const double referenceLevel = saturationLevel(reference);
    for (const SaturatedCore& c : cores) {
        ComparedStar s;
        s.x = c.x;
        s.y = c.y;
        s.saturated = true;
        if (pixelToSky(frame, c.x, c.y, &s.ra, &s.dec) != WcsStatus::Ok ||
            !inSearchBox(&box, s.ra, s.dec, margin))
            continue;
        double u = 0, v = 0;
        if (referenceFrame != nullptr &&
            skyToPixel(*referenceFrame, s.ra, s.dec, &u, &v) == WcsStatus::Ok &&
            saturatedNear(reference, referenceLevel, u, v, std::sqrt(c.pixels / PI) + 2))
            continue;
        found.push_back(s);
        sky.push_back({s.ra, s.dec});
    }
    std::vector<char> matched;
    matchStars(referenceStars, sky, tolerance, &matched);
    std::vector<ComparedStar> unmatched;
    for (size_t k = 0; k < found.size(); ++k) {
        if (!matched[k])
            unmatched.push_back(found[k]);
    }
    return unmatched;
}

void reportComparison(SearchRun* run, const SearchBox& box,
                      const std::vector<SkyPosition>& referenceSky,
                      const std::vector<SkyPosition>& testSky, const FitsImage* test,
                      const char* referenceName, const char* testName, const char* objectName,
                      ImageLog* log, const FitsImage* reference, const PlacedStars* referencePlaced,
                      const PlacedStars* testPlaced)
{
    const double margin = run->tolerance / box.cosMidDec;
    const std::vector<SkyPosition> referenceStars = inBox(referenceSky, box, 0);
    const std::vector<SkyPosition> testStars = inBox(testSky, box, margin);

    std::vector<char> matched;
    matchStars(referenceStars, testStars, run->tolerance, &matched);
    const bool filtered = run->filter && reference != nullptr && referencePlaced != nullptr &&
                          testPlaced != nullptr && testPlaced->x.size() == testSky.size();
    std::vector<char> keep;
    std::vector<ComparedStar> saturated; // new sources whose cores saturate, after the stars
    if (filtered) {
        // The test stars inside the box with their pixel positions, as inBox keeps them.
        std::vector<ComparedStar> compared;
        for (size_t i = 0, j = 0; i < testSky.size(); ++i) {
            const SkyPosition& p = testSky[i];
            if (inSearchBox(&box, p.ra, p.dec, margin)) {
                const uint8_t flags = i < testPlaced->flags.size() ? testPlaced->flags[i] : 0;
                compared.push_back(
                    {testPlaced->x[i], testPlaced->y[i], p.ra, p.dec, matched[j] != 0, flags});
                ++j;
            }
        }
        if (run->saturatedCandidates && testPlaced->frame)
            saturated = saturatedTestCores(
                test, *testPlaced->frame, box, margin, referenceStars, run->tolerance, reference,
                referencePlaced->frame ? &*referencePlaced->frame : nullptr);
        compared.insert(compared.end(), saturated.begin(), saturated.end());
        keep.assign(static_cast<size_t>(std::count(matched.begin(), matched.end(), 0)) +
                        saturated.size(),
                    1);
        ComparisonView view;
        view.reference = reference;
        view.test = test;
        view.objectName = objectName;
        view.referenceName = referenceName;
        view.testName = testName;
        view.referenceStars = &referencePlaced->found;
        view.testStars = &compared;
        view.referenceFrame = referencePlaced->frame ? &*referencePlaced->frame : nullptr;
        view.testFrame = testPlaced->frame ? &*testPlaced->frame : nullptr;
        run->filter(view, &keep);
    }

    int candidateCount = 0;
    size_t candidateIndex = 0;
    for (size_t j = 0; j < testStars.size(); ++j) {
        if (matched[j])
            continue;
        if (filtered) {
            const bool kept = candidateIndex >= keep.size() || keep[candidateIndex] != 0;
            ++candidateIndex;
            if (!kept)
                continue;
        }
        addCandidate(
            &run->candidates,
            candidateLine(objectName, testName, testStars[j].ra, testStars[j].dec).c_str(),
            testStars[j].ra, testStars[j].dec);
        ++candidateCount;
    }
    for (const ComparedStar& s : saturated) {
        const bool kept = candidateIndex >= keep.size() || keep[candidateIndex] != 0;
        ++candidateIndex;
        if (!kept)
            continue;
        addCandidate(&run->candidates, candidateLine(objectName, testName, s.ra, s.dec).c_str());
        ++candidateCount;
    }

    std::string date, time;
    observationTime(test, testName, &date, &time, log);
    logOutput(log, "%s",
              summaryLine(objectName, referenceName, testName, date.c_str(), time.c_str(),
                          static_cast<int>(referenceStars.size()),
                          static_cast<int>(testStars.size()), candidateCount)
                  .c_str());
}

int compareImages(SearchRun* run, const SearchBox& box, const FitsImage* reference,
                  const FitsImage* test, const char* referenceName, const char* testName,
                  const char* objectName)
{
    StarFinderWorkspace workspace;
    std::vector<SkyPosition> referenceSky, testSky;
    std::string note, error;
    const bool filtered = static_cast<bool>(run->filter);
    PlacedStars referencePlaced, testPlaced;
    if (findSkyStars(reference, referenceName, run->wcsMode, &workspace, &referenceSky, &note,
                     &error, filtered ? &referencePlaced : nullptr) != 0) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    std::fputs(note.c_str(), stderr);
    if (findSkyStars(test, testName, run->wcsMode, &workspace, &testSky, &note, &error,
                     filtered ? &testPlaced : nullptr) != 0) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    std::fputs(note.c_str(), stderr);
    ImageLog log;
    reportComparison(run, box, referenceSky, testSky, test, referenceName, testName, objectName,
                     &log, reference, &referencePlaced, &testPlaced);
    writeImageLog(log);
    return 0;
}

} // namespace newstars
