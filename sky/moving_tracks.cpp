#include "sky/moving_tracks.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace newstars {

namespace {

constexpr double PI_VALUE = 3.14159265358979323846;
constexpr double ARCSEC_PER_RADIAN = 180.0 * 3600.0 / PI_VALUE;

// A detection on the field's tangent plane: arcseconds east (xi) and north (eta).
struct PlanePoint {
    int32_t index = 0; // into the caller's detections
    double xi = 0, eta = 0;
};

// The detections of one time, sorted by eta for the window searches.
struct TimeGroup {
    double minutes = 0;
    std::vector<PlanePoint> points;
};

// Gnomonic projection about (ra0, dec0), arcseconds. Points more than 90 degrees away
// (which a field never holds) land far off rather than being refused.
void toPlane(double ra, double dec, double ra0, double dec0, double* xi, double* eta)
{
    const double dra = ra - ra0;
    const double d = std::sin(dec) * std::sin(dec0) + std::cos(dec) * std::cos(dec0) * std::cos(dra);
    const double den = d > 1e-6 ? d : 1e-6;
    *xi = std::cos(dec) * std::sin(dra) / den * ARCSEC_PER_RADIAN;
    *eta = (std::sin(dec) * std::cos(dec0) - std::cos(dec) * std::sin(dec0) * std::cos(dra)) / den *
           ARCSEC_PER_RADIAN;
}

// Index in group of the point nearest (xi, eta) within radius, or -1.
int nearestWithin(const TimeGroup& group, double xi, double eta, double radius)
{
    const auto& p = group.points;
    auto first = std::lower_bound(p.begin(), p.end(), eta - radius,
                                  [](const PlanePoint& a, double v) { return a.eta < v; });
    int best = -1;
    double bestDistance = radius * radius;
    for (auto it = first; it != p.end() && it->eta <= eta + radius; ++it) {
        const double dx = it->xi - xi, dy = it->eta - eta;
        const double d2 = dx * dx + dy * dy;
        if (d2 <= bestDistance &&
            (best < 0 || d2 < bestDistance || it->index < p[static_cast<size_t>(best)].index)) {
            bestDistance = d2;
            best = static_cast<int>(it - p.begin());
        }
    }
    return best;
}

// The constant-rate line through a set of points and times by least squares:
// position (x0, y0) at time t0 (the mean time) and velocity (vx, vy) per minute.
struct LineFit {
    double t0 = 0, x0 = 0, y0 = 0, vx = 0, vy = 0;
};

LineFit fitLine(const std::vector<const PlanePoint*>& points, const std::vector<double>& times)
{
    LineFit fit;
    const double n = static_cast<double>(points.size());
    for (size_t k = 0; k < points.size(); ++k) {
        fit.t0 += times[k];
        fit.x0 += points[k]->xi;
        fit.y0 += points[k]->eta;
    }
    fit.t0 /= n;
    fit.x0 /= n;
    fit.y0 /= n;
    double stt = 0, stx = 0, sty = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        const double dt = times[k] - fit.t0;
        stt += dt * dt;
        stx += dt * (points[k]->xi - fit.x0);
        sty += dt * (points[k]->eta - fit.y0);
    }
    if (stt > 0) {
        fit.vx = stx / stt;
        fit.vy = sty / stt;
    }
    return fit;
}

// A candidate track: the point chosen in each time group (-1: none) and its fit.
struct Candidate {
    std::vector<int32_t> detections; // caller's indices, in time order
    LineFit fit;
    double rms = 0;
};

// Collects, for the motion fit predicts, the nearest point within radius of each
// group; fills the chosen points and times in time order.
void collect(const std::vector<TimeGroup>& groups, const LineFit& fit, double radius,
             std::vector<const PlanePoint*>* points, std::vector<double>* times)
{
    points->clear();
    times->clear();
    for (const TimeGroup& g : groups) {
        const double dt = g.minutes - fit.t0;
        const int k = nearestWithin(g, fit.x0 + fit.vx * dt, fit.y0 + fit.vy * dt, radius);
        if (k >= 0) {
            points->push_back(&g.points[static_cast<size_t>(k)]);
            times->push_back(g.minutes);
        }
    }
}

// Tries the trial motion from a to b; fills *candidate and returns true when it makes a
// track under the rules.
bool tryPair(const std::vector<TimeGroup>& groups, const PlanePoint& a, double ta,
             const PlanePoint& b, double tb, const TrackRules& rules, int32_t minDetections,
             double minMotion, Candidate* candidate)
{
    LineFit trial;
    trial.t0 = ta;
    trial.x0 = a.xi;
    trial.y0 = a.eta;
    trial.vx = (b.xi - a.xi) / (tb - ta);
    trial.vy = (b.eta - a.eta) / (tb - ta);
    std::vector<const PlanePoint*> points;
    std::vector<double> times;
    // Extrapolating the pair carries its errors along: the first gathering is looser,
    // the second uses the fit of what the first found.
    collect(groups, trial, 2 * rules.tolerance, &points, &times);
    if (static_cast<int32_t>(points.size()) < minDetections)
        return false;
    LineFit fit = fitLine(points, times);
    collect(groups, fit, rules.tolerance, &points, &times);
    if (static_cast<int32_t>(points.size()) < minDetections)
        return false;
    fit = fitLine(points, times);
    double sum = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        const double dt = times[k] - fit.t0;
        const double dx = points[k]->xi - (fit.x0 + fit.vx * dt);
        const double dy = points[k]->eta - (fit.y0 + fit.vy * dt);
        const double d2 = dx * dx + dy * dy;
        if (d2 > rules.tolerance * rules.tolerance)
            return false;
        sum += d2;
    }
    const double rate = std::hypot(fit.vx, fit.vy);
    if (rate > rules.maxRate || rate * (times.back() - times.front()) < minMotion)
        return false;
    candidate->detections.clear();
    for (const PlanePoint* p : points)
        candidate->detections.push_back(p->index);
    candidate->fit = fit;
    candidate->rms = std::sqrt(sum / static_cast<double>(points.size()));
    return true;
}

// The motion of a track measured about its own middle detection, so that the position
// angle is counted from the north at the object rather than at the field's origin.
void measureTrack(const std::vector<TrackDetection>& detections, MovingTrack* track)
{
    const TrackDetection& middle =
        detections[static_cast<size_t>(track->detections[track->detections.size() / 2])];
    std::vector<PlanePoint> plane(track->detections.size());
    std::vector<const PlanePoint*> points;
    std::vector<double> times;
    for (size_t k = 0; k < track->detections.size(); ++k) {
        const TrackDetection& d = detections[static_cast<size_t>(track->detections[k])];
        toPlane(d.ra, d.dec, middle.ra, middle.dec, &plane[k].xi, &plane[k].eta);
        points.push_back(&plane[k]);
        times.push_back(d.minutes);
    }
    const LineFit fit = fitLine(points, times);
    double sum = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        const double dt = times[k] - fit.t0;
        sum += std::pow(plane[k].xi - (fit.x0 + fit.vx * dt), 2) +
               std::pow(plane[k].eta - (fit.y0 + fit.vy * dt), 2);
    }
    track->rms = std::sqrt(sum / static_cast<double>(points.size()));
    track->rate = std::hypot(fit.vx, fit.vy);
    double angle = std::atan2(fit.vx, fit.vy) * 180.0 / PI_VALUE;
    if (angle < 0)
        angle += 360.0;
    track->positionAngle = angle >= 360.0 ? 0.0 : angle;
}

// One round of the linking over the given detections of one field (indices in list
// order): the tracks taken, best first, none sharing a detection.
std::vector<MovingTrack> linkField(const std::vector<TrackDetection>& detections,
                                   const std::vector<int32_t>& members, int32_t field,
                                   const TrackRules& rules, int32_t minDetections, double minMotion)
{
    std::vector<MovingTrack> fieldTracks;
    if (members.empty())
        return fieldTracks;
    const TrackDetection& origin = detections[static_cast<size_t>(members.front())];
    std::map<double, TimeGroup> byTime;
    for (int32_t i : members) {
        const TrackDetection& d = detections[static_cast<size_t>(i)];
        PlanePoint p;
        p.index = i;
        toPlane(d.ra, d.dec, origin.ra, origin.dec, &p.xi, &p.eta);
        TimeGroup& g = byTime[d.minutes];
        g.minutes = d.minutes;
        g.points.push_back(p);
    }
    if (static_cast<int32_t>(byTime.size()) < minDetections)
        return fieldTracks;
    std::vector<TimeGroup> groups;
    for (auto& [minutes, group] : byTime) {
        std::stable_sort(group.points.begin(), group.points.end(),
                         [](const PlanePoint& a, const PlanePoint& b) { return a.eta < b.eta; });
        groups.push_back(std::move(group));
    }

    // Every trial pair; the same set found from several pairs is kept once.
    std::vector<Candidate> candidates;
    std::set<std::vector<int32_t>> seen;
    Candidate candidate;
    for (size_t i = 0; i < groups.size(); ++i) {
        for (size_t j = i + 1; j < groups.size(); ++j) {
            const double dt = groups[j].minutes - groups[i].minutes;
            const double reach = rules.maxRate * dt + rules.tolerance;
            const auto& q = groups[j].points;
            for (const PlanePoint& a : groups[i].points) {
                auto first = std::lower_bound(q.begin(), q.end(), a.eta - reach,
                                              [](const PlanePoint& p, double v) { return p.eta < v; });
                for (auto b = first; b != q.end() && b->eta <= a.eta + reach; ++b) {
                    if (std::hypot(b->xi - a.xi, b->eta - a.eta) > reach)
                        continue;
                    if (!tryPair(groups, a, groups[i].minutes, *b, groups[j].minutes, rules,
                                 minDetections, minMotion, &candidate))
                        continue;
                    if (seen.insert(candidate.detections).second)
                        candidates.push_back(candidate);
                }
            }
        }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.detections.size() != b.detections.size())
            return a.detections.size() > b.detections.size();
        if (a.rms != b.rms)
            return a.rms < b.rms;
        return a.detections < b.detections;
    });
    std::set<int32_t> used;
    for (const Candidate& c : candidates) {
        if (std::any_of(c.detections.begin(), c.detections.end(),
                        [&used](int32_t k) { return used.count(k) > 0; }))
            continue;
        used.insert(c.detections.begin(), c.detections.end());
        MovingTrack track;
        track.detections = c.detections;
        track.field = field;
        measureTrack(detections, &track);
        fieldTracks.push_back(std::move(track));
    }
    return fieldTracks;
}

} // namespace

std::vector<MovingTrack> linkMovingTracks(const std::vector<TrackDetection>& detections,
                                          const TrackRules& rules)
{
    std::vector<MovingTrack> tracks;
    if (!(rules.tolerance > 0) || !std::isfinite(rules.tolerance) || !(rules.maxRate > 0))
        return tracks;
    const int32_t minDetections = std::max<int32_t>(rules.minDetections, 3);
    const double minMotion = std::max(rules.minMotion, 3 * rules.tolerance);

    std::map<int32_t, std::vector<int32_t>> fields;
    for (size_t i = 0; i < detections.size(); ++i) {
        const TrackDetection& d = detections[i];
        if (std::isfinite(d.minutes) && std::isfinite(d.ra) && std::isfinite(d.dec))
            fields[d.field].push_back(static_cast<int32_t>(i));
    }
    for (const auto& [field, all] : fields) {
        // Rounds over the detections no track has taken yet, until one adds no track: a
        // candidate dropped for sharing a detection may still be whole without it.
        std::vector<int32_t> members = all;
        std::vector<MovingTrack> fieldTracks;
        for (;;) {
            std::vector<MovingTrack> found =
                linkField(detections, members, field, rules, minDetections, minMotion);
            if (found.empty())
                break;
            std::set<int32_t> used;
            for (MovingTrack& t : found) {
                used.insert(t.detections.begin(), t.detections.end());
                fieldTracks.push_back(std::move(t));
            }
            std::vector<int32_t> left;
            for (int32_t i : members)
                if (used.count(i) == 0)
                    left.push_back(i);
            members.swap(left);
        }
        std::sort(fieldTracks.begin(), fieldTracks.end(),
                  [](const MovingTrack& a, const MovingTrack& b) {
                      return a.detections.front() < b.detections.front();
                  });
        for (MovingTrack& t : fieldTracks)
            tracks.push_back(std::move(t));
    }
    return tracks;
}

} // namespace newstars
