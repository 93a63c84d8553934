#include "sky/sky_match.hpp"

#include <algorithm>
#include <cmath>

#include "base/angles.hpp"

namespace newstars {

// Extra reach of the declination index beyond the tolerance, radians. Rounding in the
// separation formula moves a computed distance by far less than this (see matchStars).
static constexpr double INDEX_SLACK = 1e-6;

double separationCosine(double deltaRa, double polarDistance, double sinDec, double cosDec)
{
    double cosA = std::cos(deltaRa);
    double sinB = std::sin(polarDistance);
    double cosB = std::cos(polarDistance);
    double x = sinB * cosDec * cosA + sinDec * cosB;
    if (x > 1)
        x = 1;
    if (x < -1)
        x = -1;
    return x;
}

// The distance test of one pair: true when the reference position lies strictly
// closer than tolerance to the test position whose declination has the given sine
// and cosine.
static bool isWithinTolerance(const SkyPosition& test, double sinDec, double cosDec,
                              const SkyPosition& reference, double tolerance)
{
    double d =
        std::acos(separationCosine(test.ra - reference.ra, PI / 2 - reference.dec, sinDec, cosDec));
    return d < tolerance;
}

void matchStarsPlain(const std::vector<SkyPosition>& reference,
                     const std::vector<SkyPosition>& test, double tolerance,
                     std::vector<char>* matched)
{
    matched->assign(test.size(), 0);
    for (size_t j = 0; j < test.size(); ++j) {
        double sinDec = std::sin(test[j].dec);
        double cosDec = std::cos(test[j].dec);
        for (size_t i = 0; i < reference.size(); ++i) {
            if (isWithinTolerance(test[j], sinDec, cosDec, reference[i], tolerance)) {
                (*matched)[j] = 1;
                break;
            }
        }
    }
}

// Angular distance between two right ascensions, folded into [0, pi]. Folding by the
// rounded full turn drifts by about 2.4e-16 radians per turn, which matters only for
// differences far beyond any real sky; above a million radians 0 is returned, so that
// such pairs are never skipped and go through the distance test.
static double raDistance(double a, double b)
{
    double d = std::fabs(a - b);
    if (d > 1e6)
        return 0;
    if (d > PI) {
        d = std::fmod(d, 2 * PI);
        if (d > PI)
            d = 2 * PI - d;
    }
    return d;
}

// A reference position in the declination index, with the cosine of its declination.
struct IndexedPosition {
    SkyPosition position;
    double cosDec;
};

static bool hasDeclinationsOnSphere(const std::vector<SkyPosition>& positions)
{
    for (const SkyPosition& p : positions) {
        if (!(std::fabs(p.dec) <= PI / 2))
            return false;
    }
    return true;
}

// Reference positions sorted by declination make a band search possible. A pair whose
// true angular distance exceeds reach = tolerance + INDEX_SLACK cannot pass the distance
// test: its computed cosine is at most cos(reach) plus a few units of rounding (~1e-15),
// while cos(tolerance) - cos(reach) >= INDEX_SLACK^2 / 2 = 5e-13 for tolerance < 1 rad.
// The true distance is at least the difference of declinations, and at least
// (2 / pi) * min(cos dec) * (difference of right ascensions), from the haversine form,
// so pairs failing either bound are skipped without changing any answer. Everything
// else goes through the same distance test as the plain loop.
void matchStars(const std::vector<SkyPosition>& reference, const std::vector<SkyPosition>& test,
                double tolerance, std::vector<char>* matched)
{
    if (!(tolerance > 0)) {
        // No distance is below zero: nothing can match.
        matched->assign(test.size(), 0);
        return;
    }
    if (tolerance >= 1 || !hasDeclinationsOnSphere(reference) || !hasDeclinationsOnSphere(test)) {
        matchStarsPlain(reference, test, tolerance, matched);
        return;
    }
    matched->assign(test.size(), 0);

    std::vector<IndexedPosition> index;
    index.reserve(reference.size());
    for (const SkyPosition& p : reference)
        index.push_back({p, std::cos(p.dec)});
    std::sort(index.begin(), index.end(), [](const IndexedPosition& a, const IndexedPosition& b) {
        return a.position.dec < b.position.dec;
    });

    double reach = tolerance + INDEX_SLACK;
    double raReach = PI / 2 * reach;
    for (size_t j = 0; j < test.size(); ++j) {
        const SkyPosition& t = test[j];
        double sinDec = std::sin(t.dec);
        double cosDec = std::cos(t.dec);
        double lowest = t.dec - reach;
        double highest = t.dec + reach;
        auto first = std::lower_bound(
            index.begin(), index.end(), lowest,
            [](const IndexedPosition& a, double dec) { return a.position.dec < dec; });
        for (auto it = first; it != index.end() && it->position.dec <= highest; ++it) {
            double cosMin = std::min(cosDec, it->cosDec);
            if (cosMin * raDistance(t.ra, it->position.ra) > raReach)
                continue;
            if (isWithinTolerance(t, sinDec, cosDec, it->position, tolerance)) {
                (*matched)[j] = 1;
                break;
            }
        }
    }
}

} // namespace newstars
