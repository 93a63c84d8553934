#include "search/moving.hpp"

#include <algorithm>
#include <cmath>

#include "base/angles.hpp"
#include "base/text.hpp"
#include "fits/observation_time.hpp"
#include "search/output_files.hpp"
#include "search/report.hpp"
#include "sky/sexagesimal.hpp"

namespace newstars {

TrackImage trackImage(const FitsImage& test, const char* objectName, const char* testName)
{
    TrackImage image;
    image.field = objectName;
    image.image = baseName(testName);
    ObservationTime time;
    if (readObservationTime(test, &time) == 0 && time.hasTime) {
        image.minutes = time.mjd * 1440.0 + static_cast<double>(test.exposureMs) / 120000.0;
        image.timed = std::isfinite(image.minutes);
    }
    return image;
}

void addImageCandidates(const TrackImage& image, CandidateList* candidates, NightCandidates* night)
{
    if (candidates->lines.empty())
        return;
    const int32_t index = static_cast<int32_t>(night->images.size());
    night->images.push_back(image);
    for (size_t k = 0; k < candidates->lines.size(); ++k) {
        night->lines.push_back(std::move(candidates->lines[k]));
        night->imageOf.push_back(index);
        // A line without its position cannot be linked; it keeps a place that no field
        // shares with it.
        night->positions.push_back(k < candidates->positions.size()
                                       ? candidates->positions[k]
                                       : SkyPosition{std::nan(""), std::nan("")});
    }
}

std::string trackLine(const std::string& object, int32_t track, const MovingTrack& motion,
                      const TrackImage& first, const SkyPosition& firstAt,
                      const TrackImage& last, const SkyPosition& lastAt)
{
    auto place = [](const SkyPosition& at) {
        return fs_sexa(radiansToDegrees(at.ra) / 15, 2, 36000) + " " +
               fs_sexa(radiansToDegrees(at.dec), 3, 3600);
    };
    return formatText("%-12s %4d %2d %9.3f %5.1f %-12s %s %-12s %s", reportText(object.c_str()).c_str(),
                      static_cast<int>(track), static_cast<int>(motion.detections.size()),
                      motion.rate, motion.positionAngle >= 359.95 ? 0.0 : motion.positionAngle, reportText(first.image.c_str()).c_str(),
                      place(firstAt).c_str(), reportText(last.image.c_str()).c_str(),
                      place(lastAt).c_str());
}

void linkNight(const NightCandidates& night, double toleranceArcsec, LinkedNight* linked)
{
    *linked = LinkedNight{};
    // Fields numbered in order of first appearance, by their exact object name.
    std::vector<std::string> fields;
    std::vector<TrackDetection> detections;
    std::vector<size_t> lineOf;
    for (size_t k = 0; k < night.lines.size(); ++k) {
        const TrackImage& image = night.images[static_cast<size_t>(night.imageOf[k])];
        const SkyPosition& at = night.positions[k];
        if (!image.timed || !std::isfinite(at.ra) || !std::isfinite(at.dec))
            continue;
        size_t field = 0;
        while (field < fields.size() && fields[field] != image.field)
            ++field;
        if (field == fields.size())
            fields.push_back(image.field);
        TrackDetection d;
        d.field = static_cast<int32_t>(field);
        d.exposure = night.imageOf[k];
        d.minutes = image.minutes;
        d.ra = at.ra;
        d.dec = at.dec;
        detections.push_back(d);
        lineOf.push_back(k);
    }
    TrackRules rules;
    rules.tolerance = toleranceArcsec > 0 ? toleranceArcsec : 1.0;
    rules.minMotion = 3 * rules.tolerance;
    rules.maxRate = LINK_MAX_RATE;
    std::vector<MovingTrack> tracks = linkMovingTracks(detections, rules);
    // Numbered in report order: by the line of the first detection.
    std::sort(tracks.begin(), tracks.end(), [&lineOf](const MovingTrack& a, const MovingTrack& b) {
        return lineOf[static_cast<size_t>(a.detections.front())] <
               lineOf[static_cast<size_t>(b.detections.front())];
    });
    std::vector<char> taken(night.lines.size(), 0);
    for (size_t t = 0; t < tracks.size(); ++t) {
        const MovingTrack& track = tracks[t];
        const int32_t number = static_cast<int32_t>(t + 1);
        TrackCells cells;
        cells.track = number;
        cells.rate = track.rate;
        cells.angle = track.positionAngle;
        for (int32_t d : track.detections) {
            const size_t line = lineOf[static_cast<size_t>(d)];
            taken[line] = 1;
            const TrackImage& image = night.images[static_cast<size_t>(night.imageOf[line])];
            linked->members.push_back(
                {image.image, night.positions[line].ra, night.positions[line].dec, cells});
        }
        const size_t firstLine = lineOf[static_cast<size_t>(track.detections.front())];
        const size_t lastLine = lineOf[static_cast<size_t>(track.detections.back())];
        linked->trackLines.push_back(
            trackLine(fields[static_cast<size_t>(track.field)], number, track,
                      night.images[static_cast<size_t>(night.imageOf[firstLine])],
                      night.positions[firstLine],
                      night.images[static_cast<size_t>(night.imageOf[lastLine])],
                      night.positions[lastLine]));
    }
    for (size_t k = 0; k < night.lines.size(); ++k) {
        if (!taken[k])
            linked->lines.push_back(night.lines[k]);
    }
}

void writeTrackLines(const std::vector<std::string>& lines, FILE* out)
{
    std::fputs(CANDIDATES_HEADING, out);
    for (const std::string& line : lines) {
        std::fputs(line.c_str(), out);
        std::fputc('\n', out);
    }
}

std::vector<TrackCells> trackCellsOfRows(const std::vector<std::string>& images,
                                         const std::vector<double>& ra,
                                         const std::vector<double>& dec,
                                         const std::vector<TrackMember>& members)
{
    const double limit = degreesToRadians(0.01 / 3600);
    std::vector<TrackCells> cells(images.size());
    for (size_t k = 0; k < images.size() && k < ra.size() && k < dec.size(); ++k) {
        const double rowRa = degreesToRadians(ra[k]), rowDec = degreesToRadians(dec[k]);
        for (const TrackMember& m : members) {
            if (m.image != images[k])
                continue;
            const double dRa = std::remainder(m.ra - rowRa, degreesToRadians(360.0)) * std::cos(rowDec);
            if (std::hypot(dRa, m.dec - rowDec) <= limit) {
                cells[k] = m.cells;
                break;
            }
        }
    }
    return cells;
}

int writeTrackCatalogue(const VetOptions& options, SearchMethod method,
                        const std::vector<CatalogRow>& catalogRows,
                        const std::vector<DifferenceRow>& differenceRows,
                        const std::vector<TrackMember>& members, std::string* catalogue,
                        std::string* message)
{
    std::vector<std::string> images;
    std::vector<double> ra, dec;
    auto take = [&](const auto& rows) {
        for (const auto& row : rows) {
            images.push_back(row.image);
            ra.push_back(row.ra);
            dec.push_back(row.dec);
        }
    };
    if (method == SearchMethod::Difference)
        take(differenceRows);
    else
        take(catalogRows);
    if (addTrackColumns(catalogue, trackCellsOfRows(images, ra, dec, members), message) != 0)
        return -1;
    if (options.catalogText != nullptr)
        *options.catalogText = *catalogue;
    if (!options.catalogPath.empty() &&
        writeOutputFile(options.catalogPath, catalogue->data(), catalogue->size(), message) != 0)
        return -1;
    return 0;
}

} // namespace newstars
