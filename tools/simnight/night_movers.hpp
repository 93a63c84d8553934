#pragma once
// Moving objects of a simulated night (asteroids): their paths, how each test image
// shows them (trailed over its exposure), the truth file movers.txt, and the score of a
// report's track lines against it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "night_plan.hpp"

// Draws options.movers moving objects for the field, from a stream of their own: a rate
// spread evenly in logarithm from 0.1 to 100 arcseconds per minute, a direction spread
// evenly, a position at the middle of the field's test exposures spread evenly over its
// sky box (5 arcseconds in from its border), and an unsmeared peak of 6 to 100 sky noise
// units of a middling test image, spread evenly in logarithm; other movers on each night
// of a sequence. Numbered from *nextId on
// (advanced). Call once the box is chosen.
std::vector<MoverPlan> planMovers(const NightOptions& options, const ObjectPlan& object,
                                  uint64_t objectIndex, int* nextId);

// Where a mover is at a time (seconds since 1970): along a great circle from its
// position at t0 at its constant rate. Radians.
void moverPosition(const MoverPlan& mover, double seconds, double* ra, double* dec);

// One mover as one test image shows it, at the middle of the exposure.
struct MoverSighting {
    int id = 0;
    std::string object, image;
    double raHours = 0, decDegrees = 0;
    double rate = 0;  // arcseconds per minute
    double angle = 0; // degrees east of north
    double snr = 0;   // peak of the trailed image over the sky noise
    double x = 0, y = 0;
    bool inBox = false; // inside the object's sky box, 5 arcseconds in from its border
};

// Adds the field's movers to a test image: each drawn as a trail from the start to the
// end of the exposure, by point sources of the plan's point spread (addSource, peak in
// ADU) half a pixel or less apart whose fluxes add up to the mover's; appends a sighting
// per mover whose middle position lies on the image. sigma: the image's sky noise.
void addMovers(const NightOptions& options, const ObjectPlan& object, const ImagePlan& plan,
               const newstars::FitsImage* header, double sigma, double psfNorm,
               const std::function<void(double x, double y, double peak)>& addSource,
               std::vector<MoverSighting>* sightings);

// The line of movers.txt for a sighting:
//   mover object image ra_hours dec_degrees rate angle snr x y inbox
std::string formatMoverLine(const MoverSighting& s);
inline constexpr const char* MOVER_FILE_HEADING =
    "# mover object   image          ra_hours  dec_degrees   rate\"/min  angle    snr"
    "         x         y inbox\n";

// Reads movers.txt. 0, or -1 with the reason in *message.
int readMoverFile(const char* path, std::vector<MoverSighting>* sightings, std::string* message);

// One track line of a report (after its second form-feed line).
struct ReportTrack {
    std::string object, firstImage, lastImage;
    int number = 0, detections = 0;
    double rate = 0, angle = 0;
    double firstRaHours = 0, firstDecDegrees = 0, lastRaHours = 0, lastDecDegrees = 0;
};

// Reads the track lines of a report. 0 (none when the report has no track section), or
// -1 with the reason in *message.
int readReportTracks(const char* path, std::vector<ReportTrack>* tracks, std::string* message);

// How the tracks found the movers. A mover is seen when at least 3 of its sightings are
// inside the box at a trailed peak of 10 sky noise units or more. A track matches a mover
// when its object is the mover's and its first and last positions lie within 2.5
// arcseconds (the report's rounding allowed for) of the mover's sightings on those images.
struct TrackScore {
    int movers = 0;
    int seen = 0;
    int seenLinked = 0;     // seen movers matched by exactly one track
    int seenRateGood = 0;   // ... whose rate is within 5 % of the mover's
    int otherLinked = 0;    // movers not seen so but matched by a track
    int tracks = 0;
    int falseTracks = 0;    // matching no mover
    int fields = 0;         // fields with test images in movers.txt or tracks in the report
    double worstRateError = 0; // largest |rate / true - 1| over the matched tracks
    std::vector<std::string> missed; // lines on the seen movers not linked
};
TrackScore scoreTracks(const std::vector<MoverSighting>& sightings,
                       const std::vector<ReportTrack>& tracks);

// The score as text, a line per figure.
std::string formatTrackScore(const TrackScore& score);
