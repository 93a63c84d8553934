#include "night_movers.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/angles.hpp"
#include "base/statistics.hpp"
#include "night_images.hpp"
#include "night_random.hpp"
#include "night_recover.hpp"
#include "wcs/world_coords.hpp"

using namespace newstars;

namespace {
constexpr double ARCSECOND = PI / 180 / 3600;
constexpr uint64_t MOVERS_STREAM = 41;
constexpr double MOVER_MARGIN = 5;         // arcseconds inside the box border
constexpr double SEEN_SNR = 10;
constexpr double MATCH_ARCSEC = 2.5;

// Distance in arcseconds between two positions given in hours and degrees.
double distanceArcsec(double raHours0, double decDegrees0, double raHours1, double decDegrees1)
{
    const double dRa = std::remainder((raHours1 - raHours0) * 15, 360.0) *
                       std::cos(degreesToRadians(0.5 * (decDegrees0 + decDegrees1)));
    return std::hypot(dRa, decDegrees1 - decDegrees0) * 3600;
}
} // namespace

std::vector<MoverPlan> planMovers(const NightOptions& options, const ObjectPlan& object,
                                  uint64_t objectIndex, int* nextId)
{
    std::vector<MoverPlan> movers;
    if (options.movers <= 0 || object.testImages.empty())
        return movers;
    NightRandom random;
    seedNightRandom(&random, streamSeed(options.seed, MOVERS_STREAM, objectIndex,
                                            static_cast<uint64_t>(options.night)));
    const ImagePlan& first = object.testImages.front();
    const ImagePlan& last = object.testImages.back();
    const double t0 = 0.5 * static_cast<double>(first.observed + last.observed) +
                      0.5 * first.exposureMs / 1000.0;
    const double south = boxDec(object.box.southDec) + MOVER_MARGIN * ARCSECOND;
    const double north = boxDec(object.box.northDec) - MOVER_MARGIN * ARCSECOND;
    const double middleDec = 0.5 * (south + north);
    const double raMargin = MOVER_MARGIN * ARCSECOND / std::cos(middleDec);
    const double west = boxRa(object.box.westRa) + raMargin;
    const double east = boxRa(object.box.eastRa) - raMargin;
    // A middling test image: sky 1200 ADU, seeing 3.4 pixels.
    const double sigma = skyNoise(1200);
    const double psf = 3.4 / FWHM_PER_SIGMA;
    for (int k = 0; k < options.movers; ++k) {
        MoverPlan m;
        m.id = (*nextId)++;
        m.t0 = t0;
        m.rate = 0.1 * std::exp(uniformRandom(&random) * std::log(1000.0));
        m.angle = uniformBetween(&random, 0, 2 * PI);
        m.ra0 = uniformBetween(&random, west, east);
        m.dec0 = uniformBetween(&random, south, north);
        const double peak = sigma * 6 * std::exp(uniformRandom(&random) * std::log(100.0 / 6));
        m.flux = peak * 2 * PI * psf * psf;
        movers.push_back(m);
    }
    return movers;
}

void moverPosition(const MoverPlan& mover, double seconds, double* ra, double* dec)
{
    // Distance along the great circle that leaves (ra0, dec0) at the position angle.
    const double d = mover.rate * (seconds - mover.t0) / 60 * ARCSECOND;
    const double sinDec = std::sin(mover.dec0) * std::cos(d) +
                          std::cos(mover.dec0) * std::sin(d) * std::cos(mover.angle);
    *dec = std::asin(std::clamp(sinDec, -1.0, 1.0));
    const double y = std::sin(mover.angle) * std::sin(d) * std::cos(mover.dec0);
    const double x = std::cos(d) - std::sin(mover.dec0) * sinDec;
    *ra = mover.ra0 + std::atan2(y, x);
}

void addMovers(const NightOptions& options, const ObjectPlan& object, const ImagePlan& plan,
               const FitsImage* header, double sigma, double psfNorm,
               const std::function<void(double x, double y, double peak)>& addSource,
               std::vector<MoverSighting>* sightings)
{
    const double start = static_cast<double>(plan.observed);
    const double exposure = plan.exposureMs / 1000.0;
    for (const MoverPlan& m : object.movers) {
        double ra0 = 0, dec0 = 0, ra1 = 0, dec1 = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        moverPosition(m, start, &ra0, &dec0);
        moverPosition(m, start + exposure, &ra1, &dec1);
        if (skyToPixel(header, ra0, dec0, &x0, &y0) != 0 ||
            skyToPixel(header, ra1, dec1, &x1, &y1) != 0)
            continue;
        const double length = std::hypot(x1 - x0, y1 - y0);
        const double reach = 8 * plan.psfSigma + 20;
        const double peak = m.flux * plan.fluxScale / psfNorm;
        const int steps = std::max(1, static_cast<int>(std::ceil(length / 0.5)));
        const bool near = std::min(x0, x1) <= options.width + reach &&
                          std::max(x0, x1) >= -reach &&
                          std::min(y0, y1) <= options.height + reach && std::max(y0, y1) >= -reach;
        if (near && steps <= 100000) {
            for (int k = 0; k < steps; ++k) {
                double ra = 0, dec = 0, x = 0, y = 0;
                moverPosition(m, start + exposure * (k + 0.5) / steps, &ra, &dec);
                if (skyToPixel(header, ra, dec, &x, &y) == 0)
                    addSource(x, y, peak / steps);
            }
        }
        MoverSighting s;
        double ra = 0, dec = 0;
        moverPosition(m, start + 0.5 * exposure, &ra, &dec);
        if (skyToPixel(header, ra, dec, &s.x, &s.y) != 0 || !(s.x >= 0 && s.y >= 0) ||
            !(s.x <= options.width - 1 && s.y <= options.height - 1))
            continue;
        s.id = m.id;
        s.object = object.name;
        s.image = plan.fileName;
        s.raHours = radiansToDegrees(std::remainder(ra, 2 * PI) < 0 ? ra + 2 * PI : ra) / 15;
        if (s.raHours >= 24)
            s.raHours -= 24;
        s.decDegrees = radiansToDegrees(dec);
        s.rate = m.rate;
        s.angle = radiansToDegrees(m.angle);
        // The peak of a Gaussian smeared along the trail: the fraction of its flux within
        // the trail's length seen from its middle.
        const double sp = plan.psfSigma;
        const double trailed =
            length > 1e-9 ? peak * sp * std::sqrt(2 * PI) / length *
                                std::erf(length / (2 * std::sqrt(2.0) * sp))
                          : peak;
        s.snr = trailed / sigma;
        s.inBox = insideBox(object.box, ra, dec, -MOVER_MARGIN);
        sightings->push_back(s);
    }
}

std::string formatMoverLine(const MoverSighting& s)
{
    char line[320];
    std::snprintf(line, sizeof line,
                  "%7d %-8s %-12s %12.8f %12.7f %10.4f %6.2f %6.1f %9.3f %9.3f %d\n", s.id,
                  s.object.c_str(), s.image.c_str(), s.raHours, s.decDegrees, s.rate, s.angle,
                  s.snr, s.x, s.y, s.inBox ? 1 : 0);
    return line;
}

int readMoverFile(const char* path, std::vector<MoverSighting>* sightings, std::string* message)
{
    std::ifstream in(path);
    if (!in) {
        *message = std::string(path) + ": " + std::strerror(errno);
        return -1;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        MoverSighting s;
        int inBox = 0;
        if (!(fields >> s.id >> s.object >> s.image >> s.raHours >> s.decDegrees >> s.rate >>
              s.angle >> s.snr >> s.x >> s.y >> inBox)) {
            *message = std::string(path) + ": bad line: " + line;
            return -1;
        }
        s.inBox = inBox != 0;
        sightings->push_back(s);
    }
    return 0;
}

int readReportTracks(const char* path, std::vector<ReportTrack>* tracks, std::string* message)
{
    std::ifstream in(path);
    if (!in) {
        *message = std::string(path) + ": " + std::strerror(errno);
        return -1;
    }
    std::string line;
    int formFeeds = 0;
    while (std::getline(in, line)) {
        if (line == "\f") {
            ++formFeeds;
            continue;
        }
        if (formFeeds < 2 || line.empty())
            continue;
        std::istringstream fields(line);
        ReportTrack t;
        std::string ra0, dec0, ra1, dec1;
        if (!(fields >> t.object >> t.number >> t.detections >> t.rate >> t.angle >>
              t.firstImage >> ra0 >> dec0 >> t.lastImage >> ra1 >> dec1) ||
            !parseSexagesimalText(ra0, &t.firstRaHours) ||
            !parseSexagesimalText(dec0, &t.firstDecDegrees) ||
            !parseSexagesimalText(ra1, &t.lastRaHours) ||
            !parseSexagesimalText(dec1, &t.lastDecDegrees)) {
            *message = std::string(path) + ": bad track line: " + line;
            return -1;
        }
        tracks->push_back(t);
    }
    return 0;
}

TrackScore scoreTracks(const std::vector<MoverSighting>& sightings,
                       const std::vector<ReportTrack>& tracks)
{
    TrackScore score;
    std::vector<int> ids;
    std::vector<std::string> fields;
    for (const MoverSighting& s : sightings) {
        if (std::find(ids.begin(), ids.end(), s.id) == ids.end())
            ids.push_back(s.id);
        if (std::find(fields.begin(), fields.end(), s.object) == fields.end())
            fields.push_back(s.object);
    }
    for (const ReportTrack& t : tracks) {
        if (std::find(fields.begin(), fields.end(), t.object) == fields.end())
            fields.push_back(t.object);
    }
    score.movers = static_cast<int>(ids.size());
    score.tracks = static_cast<int>(tracks.size());
    score.fields = static_cast<int>(fields.size());
    // Whether a track's ends are sightings of mover id.
    auto matches = [&sightings](const ReportTrack& t, int id) {
        bool first = false, last = false;
        for (const MoverSighting& s : sightings) {
            if (s.id != id || s.object != t.object)
                continue;
            first = first || (s.image == t.firstImage &&
                              distanceArcsec(s.raHours, s.decDegrees, t.firstRaHours,
                                             t.firstDecDegrees) <= MATCH_ARCSEC);
            last = last || (s.image == t.lastImage &&
                            distanceArcsec(s.raHours, s.decDegrees, t.lastRaHours,
                                           t.lastDecDegrees) <= MATCH_ARCSEC);
        }
        return first && last;
    };
    std::vector<int> matchedBy(tracks.size(), 0);
    for (int id : ids) {
        int seenIn = 0;
        double rate = 0;
        const MoverSighting* any = nullptr;
        for (const MoverSighting& s : sightings) {
            if (s.id != id)
                continue;
            any = &s;
            rate = s.rate;
            seenIn += s.inBox && s.snr >= SEEN_SNR ? 1 : 0;
        }
        int matching = 0;
        const ReportTrack* track = nullptr;
        for (size_t k = 0; k < tracks.size(); ++k) {
            if (matches(tracks[k], id)) {
                ++matching;
                ++matchedBy[k];
                track = &tracks[k];
            }
        }
        const bool seen = seenIn >= 3;
        score.seen += seen ? 1 : 0;
        if (matching == 1) {
            const double error = std::fabs(track->rate / rate - 1);
            score.worstRateError = std::max(score.worstRateError, error);
            if (seen) {
                ++score.seenLinked;
                score.seenRateGood += error <= 0.05 ? 1 : 0;
            } else {
                ++score.otherLinked;
            }
        } else if (seen && any != nullptr) {
            char text[200];
            std::snprintf(text, sizeof text, "mover %d of %s at %.3f\"/min, %d sightings at 10 sigma: %d tracks",
                          id, any->object.c_str(), rate, seenIn, matching);
            score.missed.push_back(text);
        }
    }
    for (int m : matchedBy)
        score.falseTracks += m == 0 ? 1 : 0;
    return score;
}

std::string formatTrackScore(const TrackScore& s)
{
    char text[800];
    std::snprintf(text, sizeof text,
                  "movers %d; seen on 3 or more images at 10 sigma %d; linked into one track %d "
                  "(%.1f %%), rate within 5 %% %d\n"
                  "other movers linked %d; tracks %d, false %d over %d fields (%.2f per field); "
                  "largest rate error %.2f %%\n",
                  s.movers, s.seen, s.seenLinked, s.seen > 0 ? 100.0 * s.seenLinked / s.seen : 0.0,
                  s.seenRateGood, s.otherLinked, s.tracks, s.falseTracks, s.fields,
                  s.fields > 0 ? static_cast<double>(s.falseTracks) / s.fields : 0.0,
                  100 * s.worstRateError);
    std::string out = text;
    for (const std::string& m : s.missed)
        out += "missed: " + m + "\n";
    return out;
}
