#include "sky/moving_tracks.hpp"

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace newstars {
namespace {

constexpr double RADIAN_ARCSEC = 3.14159265358979323846 / (180.0 * 3600.0);
constexpr double FIELD_RA = 1.2, FIELD_DEC = 0.6; // radians

// A detection given on the field's tangent plane: arcseconds east and north of its centre.
struct PlaneDetection {
    int32_t field;
    int32_t exposure;
    double minutes;
    double east, north;
};

TrackDetection onSky(const PlaneDetection& p)
{
    TrackDetection d;
    d.field = p.field;
    d.exposure = p.exposure;
    d.minutes = p.minutes;
    // Inverse gnomonic projection about the field centre.
    const double xi = p.east * RADIAN_ARCSEC, eta = p.north * RADIAN_ARCSEC;
    const double den = std::cos(FIELD_DEC) - eta * std::sin(FIELD_DEC);
    d.ra = FIELD_RA + std::atan2(xi, den);
    d.dec = std::atan2(std::sin(FIELD_DEC) + eta * std::cos(FIELD_DEC), std::hypot(xi, den));
    return d;
}

// The detections of an object moving from (east, north) at rate "/min towards the
// position angle (degrees), at the given times, exposure k at times[k].
std::vector<PlaneDetection> mover(int32_t field, double east, double north, double rate,
                                  double angle, const std::vector<double>& times)
{
    std::vector<PlaneDetection> out;
    const double a = angle * 3.14159265358979323846 / 180.0;
    for (size_t k = 0; k < times.size(); ++k) {
        const double t = times[k] - times[0];
        out.push_back({field, static_cast<int32_t>(k), times[k], east + rate * t * std::sin(a),
                       north + rate * t * std::cos(a)});
    }
    return out;
}

std::vector<TrackDetection> allOnSky(const std::vector<PlaneDetection>& plane)
{
    std::vector<TrackDetection> sky;
    for (const PlaneDetection& p : plane)
        sky.push_back(onSky(p));
    return sky;
}

TEST(LinkMovingTracks, LinksStraightConstantRateMotionAndRejectsTheRest)
{
    const std::vector<double> three = {0, 10, 20};
    const std::vector<double> uneven = {0, 4, 15, 31, 40};
    struct Case {
        const char* name;
        std::vector<PlaneDetection> detections;
        int tracks;       // tracks expected
        size_t members;   // detections in the first track
        double rate;      // of the first track, "/min
        double angle;     // its position angle, degrees
    };
    const Case cases[] = {
        {"three exposures, east", mover(0, 0, 0, 1.0, 90, three), 1, 3, 1.0, 90},
        {"five uneven exposures, south-west", mover(0, 100, -50, 10.0, 225, uneven), 1, 5, 10.0,
         225},
        {"slow, north", mover(0, -200, 10, 0.2, 0, {0, 30, 60}), 1, 3, 0.2, 0},
        {"fast, west", mover(0, 300, 0, 60.0, 270, three), 1, 3, 60.0, 270},
        {"curved path", {{0, 0, 0, 0, 0}, {0, 1, 10, 10, 0}, {0, 2, 20, 20, 10}}, 0, 0, 0, 0},
        {"on a line, rate changing",
         {{0, 0, 0, 0, 0}, {0, 1, 10, 10, 0}, {0, 2, 20, 40, 0}},
         0, 0, 0, 0},
        {"two exposures only", mover(0, 0, 0, 2.0, 45, {0, 10}), 0, 0, 0, 0},
        {"fixed new source", mover(0, 50, 50, 0.0, 0, three), 0, 0, 0, 0},
        {"moves less than three tolerances", mover(0, 50, 50, 0.1, 0, three), 0, 0, 0, 0},
        {"faster than the fastest looked for", mover(0, -400, 0, 150.0, 90, three), 0, 0, 0, 0},
        {"split between fields",
         {{0, 0, 0, 0, 0}, {0, 1, 10, 10, 0}, {1, 2, 20, 20, 0}},
         0, 0, 0, 0},
        {"two exposures at one time",
         {{0, 0, 0, 0, 0}, {0, 1, 10, 10, 0}, {0, 2, 10, 10.5, 0}},
         0, 0, 0, 0},
    };
    TrackRules rules;
    for (const Case& c : cases) {
        const std::vector<MovingTrack> tracks = linkMovingTracks(allOnSky(c.detections), rules);
        ASSERT_EQ(static_cast<int>(tracks.size()), c.tracks) << c.name;
        if (c.tracks == 0)
            continue;
        EXPECT_EQ(tracks[0].detections.size(), c.members) << c.name;
        // The motion is straight and uniform on the field's tangent plane; measured about
        // the object, north turns by up to (offset * tan dec) and the rate changes by the
        // square of the offset in radians: 0.1 degree and 1e-4 over these few arcminutes.
        EXPECT_NEAR(tracks[0].rate, c.rate, 1e-4 * c.rate) << c.name;
        const double turn = std::remainder(tracks[0].positionAngle - c.angle, 360.0);
        EXPECT_NEAR(turn, 0, 0.1) << c.name << " " << tracks[0].positionAngle;
        EXPECT_GE(tracks[0].positionAngle, 0) << c.name;
        EXPECT_LT(tracks[0].positionAngle, 360) << c.name;
        EXPECT_LT(tracks[0].rms, 0.01) << c.name;
    }
}

TEST(LinkMovingTracks, KeepsEachDetectionInOneTrackAmongCrossingMovers)
{
    const std::vector<double> times = {0, 5, 10, 15};
    // Two movers whose paths cross, 3" apart on the second exposure (within the first,
    // looser gathering of the trial motion), and a third in another field on the same
    // path as the second.
    std::vector<PlaneDetection> plane = mover(0, -20, 0, 4.0, 90, times);
    for (const PlaneDetection& p : mover(0, 0, -23, 4.0, 0, times))
        plane.push_back(p);
    for (const PlaneDetection& p : mover(2, 0, -23, 4.0, 0, times))         // another field
        plane.push_back(p);
    const std::vector<MovingTrack> tracks = linkMovingTracks(allOnSky(plane), TrackRules{});
    ASSERT_EQ(tracks.size(), 3u);
    const std::vector<std::vector<int32_t>> expected = {
        {0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}};
    for (size_t k = 0; k < tracks.size(); ++k) {
        EXPECT_EQ(tracks[k].detections, expected[k]) << k;
        EXPECT_NEAR(tracks[k].rate, 4.0, 1e-4) << k;
    }
    EXPECT_EQ(tracks[2].field, 2);
}

// Positions measured with noise, among unrelated new sources scattered over the field:
// each mover is found whole at its rate within 5 %, and the scatter (20 sources per
// exposure over 800" x 800", far denser than a night's false candidates) makes fewer
// than one false track per night.
TEST(LinkMovingTracks, FindsNoisyMoversAmongScatteredSources)
{
    std::mt19937_64 random(20261208);
    auto uniform = [&random](double low, double high) {
        return low + (high - low) * static_cast<double>(random() >> 11) * 0x1.0p-53;
    };
    const std::vector<double> times = {0, 6, 12, 18};
    struct Mover {
        double rate, angle;
    };
    const Mover movers[] = {{0.5, 10}, {1.5, 100}, {5, 200}, {12, 300}, {25, 45}};
    int falseTracks = 0;
    const int nights = 5;
    for (int night = 0; night < nights; ++night) {
        std::vector<PlaneDetection> plane;
        for (const Mover& m : movers) {
            for (PlaneDetection p :
                 mover(0, uniform(-200, 200), uniform(-200, 200), m.rate, m.angle, times)) {
                p.east += uniform(-0.2, 0.2);
                p.north += uniform(-0.2, 0.2);
                plane.push_back(p);
            }
        }
        const size_t moverDetections = plane.size();
        for (size_t k = 0; k < times.size(); ++k) {
            for (int n = 0; n < 20; ++n)
                plane.push_back({0, static_cast<int32_t>(k), times[k], uniform(-400, 400),
                                 uniform(-400, 400)});
        }
        const std::vector<MovingTrack> tracks = linkMovingTracks(allOnSky(plane), TrackRules{});
        int whole = 0;
        for (const MovingTrack& t : tracks) {
            const int32_t first = t.detections.front();
            const bool fromMover = static_cast<size_t>(first) < moverDetections;
            const size_t m = static_cast<size_t>(first) / times.size();
            bool same = fromMover;
            for (int32_t d : t.detections)
                same = same && static_cast<size_t>(d) / times.size() == m &&
                       static_cast<size_t>(d) < moverDetections;
            if (!same) {
                ++falseTracks;
                continue;
            }
            ++whole;
            EXPECT_NEAR(t.rate, movers[m].rate, 0.05 * movers[m].rate) << night << " " << m;
        }
        EXPECT_EQ(whole, 5) << night;
    }
    EXPECT_LT(falseTracks, nights);
}

TEST(LinkMovingTracks, RefusesUnusableRulesAndDetections)
{
    const std::vector<TrackDetection> line = allOnSky(mover(0, 0, 0, 2.0, 30, {0, 10, 20}));
    struct Case {
        const char* name;
        TrackRules rules;
        std::vector<TrackDetection> detections;
        size_t tracks;
    };
    std::vector<TrackDetection> withNan = line;
    withNan[1].minutes = std::nan("");
    TrackRules zeroTolerance;
    zeroTolerance.tolerance = 0;
    TrackRules twoAllowed; // asking for two still takes three
    twoAllowed.minDetections = 2;
    const Case cases[] = {
        {"good", TrackRules{}, line, 1},
        {"zero tolerance", zeroTolerance, line, 0},
        {"time not a number", TrackRules{}, withNan, 0},
        {"minimum of two raised to three",
         twoAllowed,
         {line[0], line[1]},
         0},
        {"nothing", TrackRules{}, {}, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(linkMovingTracks(c.detections, c.rules).size(), c.tracks) << c.name;
}

} // namespace
} // namespace newstars
