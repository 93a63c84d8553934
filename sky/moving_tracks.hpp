#pragma once
// Linking the new sources of one field seen on several exposures of a night into the
// tracks of moving objects: detections that lie on one straight line on the sky and
// advance along it at one constant rate.

#include <cstdint>
#include <vector>

namespace newstars {

// One new source on one exposure, as the linking takes it.
struct TrackDetection {
    int32_t field = 0;    // the field (object) it belongs to: only detections of the same
                          // field are linked together
    int32_t exposure = 0; // the exposure (test image) it was found on; one detection per
                          // exposure at most goes into a track
    double minutes = 0;   // time of the exposure's middle, minutes on any common scale
    double ra = 0;        // radians
    double dec = 0;       // radians
};

// What makes a set of detections a track.
//   tolerance      arcseconds: the largest distance of a detection from the fitted
//                  constant-rate line at its time
//   minDetections  detections in a track, on as many exposures of different times; at
//                  least 3 (two positions always lie on a line at a constant rate, so two
//                  would link any pair of unrelated new sources: a smaller value is taken
//                  as 3)
//   minMotion      arcseconds the object must move between its first and last detection
//                  (a new source that stays put, a supernova seen on every exposure, is
//                  not a moving object); the linking takes at least 3 * tolerance
//   maxRate        arcseconds per minute, the fastest motion looked for
struct TrackRules {
    double tolerance = 1.0;
    int32_t minDetections = 3;
    double minMotion = 3.0;
    double maxRate = 100.0;
};

// One track: its detections and the constant-rate motion fitted to them.
struct MovingTrack {
    std::vector<int32_t> detections; // indices into the detection list, in time order
    int32_t field = 0;
    double rate = 0;          // arcseconds per minute on the sky
    double positionAngle = 0; // degrees of the direction of motion, from north through
                              // east, 0 <= angle < 360
    double rms = 0;           // arcseconds, of the detections about the fitted line
};

// Links the detections into tracks. For each field, every pair of detections on two
// exposures of different times whose separation is within maxRate gives a trial motion;
// the detections of the other exposures nearest the positions it predicts (within
// tolerance) join it, a straight constant-rate line is fitted to the set by least
// squares on the tangent plane at the field's first detection, and the set is a
// candidate track when it has minDetections or more on distinct times, every detection
// lies within tolerance of the fitted line and the motion over its span is at least
// minMotion. Candidate tracks are taken best first (most detections, then the smallest
// rms, then the earliest detections) and a candidate sharing a detection with one taken
// is dropped, so that each detection belongs to one track at most. Detections of equal
// times are never in one track. The result depends only on the detections and their
// order, tracks ordered by field and then by their first detection's index.
std::vector<MovingTrack> linkMovingTracks(const std::vector<TrackDetection>& detections,
                                          const TrackRules& rules);

} // namespace newstars
