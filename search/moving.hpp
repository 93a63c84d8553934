#pragma once
// Moving objects in the search (--link-moving): the candidates of a night's test images
// of one field that lie on a straight line and move along it at a constant rate become
// one track, reported on a line of its own instead of as separate new sources.

#include <cstdio>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "search/compare.hpp"
#include "search/vetting.hpp"
#include "sky/moving_tracks.hpp"
#include "vet/track_columns.hpp"

namespace newstars {

// Fastest motion looked for, arcseconds per minute.
inline constexpr double LINK_MAX_RATE = 100.0;

// Largest distance of a detection from its track's fitted line, arcseconds: several
// times the position error of a source at the finder's threshold, small enough that
// unrelated new sources seldom line up by chance. A track must move at least three
// times as far over its span.
inline constexpr double LINK_TOLERANCE = 1.0;

// A test image as the linking sees it.
struct TrackImage {
    std::string field; // the object, as its candidate lines name it
    std::string image; // the test image's base name
    double minutes = 0; // the middle of the exposure: minutes since MJD 0
    bool timed = false; // false: the header gives no time of day, the image is not linked
};

// The test image's object, base name and the middle of its exposure: the observation
// time (readObservationTime of fits/observation_time.hpp) plus half of EXPTIME.
TrackImage trackImage(const FitsImage& test, const char* objectName, const char* testName);

// The night's candidates in report order, with what the linking needs of each.
struct NightCandidates {
    std::vector<TrackImage> images;     // the test images that gave candidates, in order
    std::vector<std::string> lines;     // the candidate lines
    std::vector<int32_t> imageOf;       // per line: index into images
    std::vector<SkyPosition> positions; // per line: radians
};

// Appends one test image's candidate lines (which must carry their positions) to night.
void addImageCandidates(const TrackImage& image, CandidateList* candidates, NightCandidates* night);

// One candidate taken into a track.
struct TrackMember {
    std::string image;   // test image base name
    double ra = 0, dec = 0; // radians
    TrackCells cells;
};

// The night after linking: the candidate lines left, a report line per track, and
// every candidate taken into a track.
struct LinkedNight {
    std::vector<std::string> lines;
    std::vector<std::string> trackLines;
    std::vector<TrackMember> members;
};

// Links the night's candidates with linkMovingTracks: a field's detections are those of
// its candidate lines whose image has a time, tolerance in arcseconds (a detection's
// largest distance from its track's line; 1 when 0 is given), at most LINK_MAX_RATE.
// Tracks are numbered from 1 in the order of their first detection in the report; the
// candidate lines of their detections are left out of *linked->lines.
void linkNight(const NightCandidates& night, double toleranceArcsec, LinkedNight* linked);

// The report line of one track, without a line end:
//   object  track  detections  rate  angle  first-image ra dec  last-image ra dec
// the object and image names escaped (reportText) in columns of at least 12 characters,
// the track number in 4 columns, the detections in 2, the rate in arcseconds per minute
// as %9.3f, the position angle of the motion in degrees east of north as %5.1f (one that would round to 360 as 0), and the
// first and last detections' positions as the candidate lines give them.
std::string trackLine(const std::string& object, int32_t track, const MovingTrack& motion,
                      const TrackImage& first, const SkyPosition& firstAt,
                      const TrackImage& last, const SkyPosition& lastAt);

// Writes a line holding a single form feed and then the track lines to out, each ended
// by a line end.
void writeTrackLines(const std::vector<std::string>& lines, FILE* out);

// For each catalogue row, given by its image's base name and position in degrees, the
// track cells of the member at the same place (within 0.01 arcsecond; no track there:
// TrackCells{}).
std::vector<TrackCells> trackCellsOfRows(const std::vector<std::string>& images,
                                         const std::vector<double>& ra,
                                         const std::vector<double>& dec,
                                         const std::vector<TrackMember>& members);

// Adds the track columns (addTrackColumns) to the run's catalogue text, whose rows are
// catalogRows (the catalog method) or differenceRows (the difference method), and writes
// it where options say: options.catalogPath (writeOutputFile) and *options.catalogText.
// 0, or -1 with the reason in *message.
int writeTrackCatalogue(const VetOptions& options, SearchMethod method,
                        const std::vector<CatalogRow>& catalogRows,
                        const std::vector<DifferenceRow>& differenceRows,
                        const std::vector<TrackMember>& members, std::string* catalogue,
                        std::string* message);

} // namespace newstars
