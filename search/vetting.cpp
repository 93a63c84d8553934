#include "search/vetting.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/angles.hpp"
#include "base/atomic_file.hpp"
#include "base/file_descriptor.hpp"
#include "base/text.hpp"
#include "vet/page.hpp"
#include "vet/stamps.hpp"

namespace newstars {

namespace {

// Test pixel position to the reference pixel position of the same sky position.
bool testToReference(const ComparisonView& view, double x, double y, double* refX, double* refY)
{
    double ra = 0, dec = 0;
    return view.testFrame != nullptr && view.referenceFrame != nullptr &&
           pixelToSky(*view.testFrame, x, y, &ra, &dec) == WcsStatus::Ok &&
           skyToPixel(*view.referenceFrame, ra, dec, refX, refY) == WcsStatus::Ok;
}

// Writes text to path whole, or leaves path as it was. 0, or -1 with the reason.
int writeWholeFile(const std::string& path, const std::string& text, std::string* message)
{
    return writeOutputFile(path, text.data(), text.size(), message);
}

// Makes the stamp directory when it is missing; it must be a directory.
int prepareDirectory(const std::string& path, std::string* message)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *message = path + ": not a directory";
        return -1;
    }
    return checkOutputDirectory(path, message);
}

} // namespace

bool vettingWanted(const VetOptions& options)
{
    return options.vet || !options.catalogPath.empty() || options.catalogText != nullptr ||
           !options.regionsPath.empty() || !options.stampsDirectory.empty() ||
           pageStampsWanted(options) || !options.historyPath.empty();
}

bool pageStampsWanted(const VetOptions& options)
{
    return !options.pageDirectory.empty() || !options.regionsDirectory.empty();
}

int vetComparison(const VetOptions& options, const ComparisonView& view, ImageVetting* result,
                  std::string* message)
{
    const FitsImage& test = *view.test;
    const FitsImage& reference = *view.reference;
    result->kept.clear();
    result->rows.clear();
    result->stampsWritten = 0;

    // The matched stars, thinned evenly to what the statistics use before the (costlier)
    // mapping to reference pixels.
    std::vector<const ComparedStar*> matchedStars;
    for (const ComparedStar& s : *view.testStars) {
        if (s.matched)
            matchedStars.push_back(&s);
    }
    const size_t limit = static_cast<size_t>(std::max(options.params.maximumStars, 1));
    const size_t step = matchedStars.empty() ? 1 : (matchedStars.size() + limit - 1) / limit;
    std::vector<MatchedStar> matched;
    for (size_t i = 0; i < matchedStars.size(); i += step) {
        const ComparedStar& s = *matchedStars[i];
        MatchedStar m{s.x, s.y, 0, 0};
        if (testToReference(view, s.x, s.y, &m.referenceX, &m.referenceY))
            matched.push_back(m);
    }
    ReferenceStarIndex referenceIndex;
    indexReferenceStars(*view.referenceStars, &referenceIndex);
    StarStatistics statistics;
    measureStarStatistics(test, reference, matched, options.params, &statistics);

    const char* testBase = baseName(view.testName);
    const char* referenceBase = baseName(view.referenceName);
    const ObservedAt observed = observedAt(test);
    for (const ComparedStar& s : *view.testStars) {
        if (s.matched)
            continue;
        CandidatePosition position{s.x, s.y, false, 0, 0};
        position.hasReference = view.referenceFrame != nullptr &&
                                skyToPixel(*view.referenceFrame, s.ra, s.dec, &position.referenceX,
                                           &position.referenceY) == WcsStatus::Ok;
        CatalogRow row;
        row.object = view.objectName;
        row.image = testBase;
        row.reference = referenceBase;
        row.number = static_cast<int32_t>(result->rows.size()) + 1;
        row.ra = std::fmod(radiansToDegrees(s.ra), 360.0);
        if (row.ra < 0)
            row.ra += 360;
        row.dec = radiansToDegrees(s.dec);
        row.stars = statistics;
        row.observed = observed;
        vetCandidate(test, reference, referenceIndex, statistics, position, options.params,
                     &row.vetting);
        // A star the finder flagged is rejected as no-data whatever reach vetting's own
        // test has.
        if ((s.flags & STAR_NEAR_NO_DATA) != 0)
            row.vetting.reasons |= VET_NO_DATA;
        row.vetting.saturated = s.saturated;
        result->kept.push_back(options.vet && row.vetting.reasons != 0 ? 0 : 1);
        result->rows.push_back(row);
    }

    const PixelMapping toReference = [&](double x, double y, double* rx, double* ry) {
        return testToReference(view, x, y, rx, ry);
    };
    const double minimumDeviation = hasFloatPixels(&test) ? 0.0 : 1.0;
    if (pageStampsWanted(options)) {
        const SkyMapping toSky = [&](double x, double y, double* ra, double* dec) {
            return view.testFrame != nullptr &&
                   pixelToSky(*view.testFrame, x, y, ra, dec) == WcsStatus::Ok;
        };
        for (CatalogRow& row : result->rows) {
            StampOrientation orientation;
            orientStamp(toSky, row.vetting.x, row.vetting.y, &orientation);
            row.page.orientation = orientation;
            if (options.pageDirectory.empty())
                continue;
            Stamp stamp;
            cutStamp(test, reference, static_cast<int32_t>(std::lround(row.vetting.x)),
                     static_cast<int32_t>(std::lround(row.vetting.y)), toReference,
                     statistics.fluxScale, &stamp);
            if (makePageStamp(stamp, false, minimumDeviation, orientation, &row.page, message) !=
                0) {
                *message = std::string(testBase) + ": " + *message;
                return -1;
            }
        }
    }

    if (options.stampsDirectory.empty() || result->rows.empty())
        return 0;
    if (prepareDirectory(options.stampsDirectory, message) != 0)
        return -1;
    for (const CatalogRow& row : result->rows) {
        Stamp stamp;
        cutStamp(test, reference, static_cast<int32_t>(std::lround(row.vetting.x)),
                 static_cast<int32_t>(std::lround(row.vetting.y)), toReference,
                 statistics.fluxScale, &stamp);
        int32_t width = 0, height = 0;
        const std::vector<uint8_t> rgb =
            renderStamp(stamp, STAMP_ZOOM, STAMP_GAP, &width, &height, minimumDeviation);
        const std::string path =
            options.stampsDirectory + "/" + testBase + "_" + std::to_string(row.number) + ".png";
        if (writeStampFile(options, path, rgb, width, height, message) != 0)
            return -1;
        ++result->stampsWritten;
    }
    return 0;
}

int writeStampFile(const VetOptions& options, const std::string& path,
                   const std::vector<uint8_t>& rgb, int32_t width, int32_t height,
                   std::string* message)
{
    if (namesOneOf(path, options.inputFiles)) {
        *message = path + ": names an input of the run";
        return -1;
    }
    std::vector<uint8_t> png;
    if (encodePngImage(rgb, width, height, &png, message) != 0) {
        *message = path + ": " + *message;
        return -1;
    }
    return writeOutputFile(path, png.data(), png.size(), message);
}

int prepareVetOutputs(const VetOptions& options, std::string* message)
{
    for (const std::string* path : {&options.catalogPath, &options.regionsPath}) {
        if (!path->empty() && checkOutputFile(*path, message) != 0)
            return -1;
    }
    for (const std::string* directory :
         {&options.stampsDirectory, &options.pageDirectory, &options.regionsDirectory}) {
        if (!directory->empty() && prepareDirectory(*directory, message) != 0)
            return -1;
    }
    return 0;
}

void vetIntoSession(VetSession* session, const ComparisonView& view, std::vector<char>* keep)
{
    ImageVetting result;
    std::string message;
    if (vetComparison(session->options, view, &result, &message) != 0)
        std::fprintf(stderr, "newstars: %s\n", message.c_str());
    for (size_t k = 0; k < keep->size() && k < result.kept.size(); ++k)
        (*keep)[k] = result.kept[k];
    session->rows.insert(session->rows.end(), result.rows.begin(), result.rows.end());
}

// Writes a file of the page or region directories, unless it names an input of the run.
static int writeDirectoryFile(const VetOptions& options, const std::string& directory,
                              const std::string& name, const std::string& text,
                              std::string* message)
{
    const std::string path = directory + "/" + name;
    if (namesOneOf(path, options.inputFiles)) {
        *message = path + ": names an input of the run";
        return -1;
    }
    return writeWholeFile(path, text, message);
}

// The per-image region files and the scanning page the options ask for.
static int writePageOutputs(const VetOptions& options,
                            const std::vector<ImageRegionFile>& regionFiles,
                            const std::vector<PageCandidate>& candidates, const char* method,
                            std::string* message)
{
    if (!options.regionsDirectory.empty()) {
        for (const ImageRegionFile& file : regionFiles) {
            if (writeDirectoryFile(options, options.regionsDirectory, file.name, file.text,
                                   message) != 0)
                return -1;
        }
    }
    if (options.pageDirectory.empty())
        return 0;
    size_t images = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (i == 0 || candidates[i].image != candidates[i - 1].image ||
            candidates[i].number <= candidates[i - 1].number)
            ++images;
    }
    const std::string title = "newstars: " + std::to_string(candidates.size()) +
                              (candidates.size() == 1 ? " candidate" : " candidates") + " in " +
                              std::to_string(images) +
                              (images == 1 ? " test image" : " test images") + ", " + method;
    return writeDirectoryFile(options, options.pageDirectory, PAGE_FILE_NAME,
                              formatScanPage(title, candidates), message);
}

// The catalogue text, with the history's columns when the run keeps a history.
template <typename Row>
static std::string withHistory(const VetOptions& options, const std::vector<Row>& rows,
                               std::string text)
{
    if (options.historyPath.empty())
        return text;
    std::vector<CandidateHistory> histories;
    histories.reserve(rows.size());
    for (const Row& row : rows)
        histories.push_back(row.history);
    addHistoryColumns(histories, &text);
    return text;
}

int writeVetOutputs(const VetOptions& options, const std::vector<CatalogRow>& rows,
                    const std::vector<ImageNote>& notes, double radiusArcsec, std::string* message)
{
    if (options.catalogText != nullptr)
        *options.catalogText = withHistory(options, rows, formatCatalogEcsv(rows, notes));
    if (!options.catalogPath.empty() &&
        writeWholeFile(options.catalogPath,
                       withHistory(options, rows, formatCatalogEcsv(rows, notes)), message) != 0)
        return -1;
    if (!options.regionsPath.empty() &&
        writeWholeFile(options.regionsPath, formatRegionFile(rows, radiusArcsec), message) != 0)
        return -1;
    if (!pageStampsWanted(options))
        return 0;
    return writePageOutputs(
        options,
        options.regionsDirectory.empty() ? std::vector<ImageRegionFile>{}
                                         : formatImageRegionFiles(rows, radiusArcsec),
        options.pageDirectory.empty() ? std::vector<PageCandidate>{} : pageCandidates(rows),
        "star lists compared", message);
}

int writeDifferenceOutputs(const VetOptions& options,
                           const std::vector<ImageRegistration>& registrations,
                           const std::vector<DifferenceRow>& rows, double radiusArcsec,
                           std::string* message)
{
    if (options.catalogText != nullptr)
        *options.catalogText =
            withHistory(options, rows, formatDifferenceCatalogEcsv(registrations, rows));
    if (!options.catalogPath.empty() &&
        writeWholeFile(options.catalogPath,
                       withHistory(options, rows, formatDifferenceCatalogEcsv(registrations, rows)),
                       message) != 0)
        return -1;
    if (!options.regionsPath.empty() &&
        writeWholeFile(options.regionsPath, formatDifferenceRegionFile(rows, radiusArcsec),
                       message) != 0)
        return -1;
    if (!pageStampsWanted(options))
        return 0;
    return writePageOutputs(
        options,
        options.regionsDirectory.empty() ? std::vector<ImageRegionFile>{}
                                         : formatDifferenceImageRegionFiles(rows, radiusArcsec),
        options.pageDirectory.empty() ? std::vector<PageCandidate>{} : pageCandidates(rows),
        "difference imaging", message);
}

} // namespace newstars
