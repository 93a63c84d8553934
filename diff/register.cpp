#include "diff/register.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "diff/cell_grid.hpp"

namespace newstars {

const char* registrationKindText(RegistrationKind kind, int correctionOrder)
{
    switch (kind) {
    case RegistrationKind::Fitted:
        return correctionOrder <= 0 ? "shift" : correctionOrder == 1 ? "affine" : "quadratic";
    case RegistrationKind::Shift:
        return "shift";
    case RegistrationKind::Coordinates:
        break;
    }
    return "coordinates";
}

namespace {

// The test positions turned by angle about the search's centre.
void turnPositions(const std::vector<double>& mu, const std::vector<double>& mv, double angle,
                   const ShiftSearch& search, std::vector<double>* tu, std::vector<double>* tv)
{
    const double c = std::cos(angle), s = std::sin(angle);
    tu->resize(mu.size());
    tv->resize(mv.size());
    for (size_t i = 0; i < mu.size(); ++i) {
        const double du = mu[i] - search.centreU, dv = mv[i] - search.centreV;
        (*tu)[i] = search.centreU + c * du - s * dv;
        (*tv)[i] = search.centreV + s * du + c * dv;
    }
}

// Test positions with a reference position within tolerance of position + (du, dv), and
// the mean offset of those nearest reference positions.
int countNear(const std::vector<double>& tu, const std::vector<double>& tv,
              const std::vector<double>& ru, const std::vector<double>& rv, const CellGrid& grid,
              double du, double dv, double tolerance, double* meanU, double* meanV,
              double* spread)
{
    int votes = 0;
    double su = 0, sv = 0, squares = 0;
    for (size_t i = 0; i < tu.size(); ++i) {
        const double u = tu[i] + du, v = tv[i] + dv;
        double best = tolerance;
        double bu = 0, bv = 0;
        bool found = false;
        grid.visitNear(u, v, [&](uint32_t j) {
            const double d = std::hypot(ru[j] - u, rv[j] - v);
            if (d <= best) {
                best = d;
                bu = ru[j] - tu[i];
                bv = rv[j] - tv[i];
                found = true;
            }
            return true;
        });
        if (found) {
            ++votes;
            su += bu;
            sv += bv;
            squares += best * best;
        }
    }
    *spread = votes > 0 ? std::sqrt(squares / votes) : 0;
    *meanU = votes > 0 ? su / votes : du;
    *meanV = votes > 0 ? sv / votes : dv;
    return votes;
}

// The best offset for positions already turned: votes per offset cell, the best 2 x 2
// block of cells, then the count around its mean (twice refined).
ShiftVote voteOffsets(const std::vector<double>& tu, const std::vector<double>& tv,
                      const std::vector<double>& ru, const std::vector<double>& rv,
                      const CellGrid& wide, const CellGrid& near, const ShiftSearch& search)
{
    const double r = search.radius, tol = search.tolerance;
    const int cells = static_cast<int>(std::ceil(2 * r / tol)) + 1;
    std::vector<int> count(static_cast<size_t>(cells) * cells, 0);
    std::vector<int64_t> lastVoter(count.size(), -1);
    for (size_t i = 0; i < tu.size(); ++i) {
        wide.visitNear(tu[i], tv[i], [&](uint32_t j) {
            const double du = ru[j] - tu[i], dv = rv[j] - tv[i];
            if (!(std::hypot(du, dv) <= r))
                return true;
            const int bx = std::clamp(static_cast<int>((du + r) / tol), 0, cells - 1);
            const int by = std::clamp(static_cast<int>((dv + r) / tol), 0, cells - 1);
            const size_t at = static_cast<size_t>(by) * cells + bx;
            if (lastVoter[at] != static_cast<int64_t>(i)) {
                lastVoter[at] = static_cast<int64_t>(i);
                ++count[at];
            }
            return true;
        });
    }
    // The 2 x 2 block with the most votes; ties to the block nearest a zero offset.
    int bestVotes = 0, bestX = 0, bestY = 0;
    double bestDistance = 1e300;
    for (int by = 0; by + 1 < cells; ++by) {
        for (int bx = 0; bx + 1 < cells; ++bx) {
            int votes = 0;
            for (int y = by; y <= by + 1; ++y)
                for (int x = bx; x <= bx + 1; ++x)
                    votes += count[static_cast<size_t>(y) * cells + x];
            const double cu = (bx + 1) * tol - r, cv = (by + 1) * tol - r;
            const double distance = std::hypot(cu, cv);
            if (votes > bestVotes || (votes == bestVotes && votes > 0 && distance < bestDistance)) {
                bestVotes = votes;
                bestX = bx;
                bestY = by;
                bestDistance = distance;
            }
        }
    }
    ShiftVote vote;
    if (bestVotes == 0)
        return vote;
    double du = (bestX + 1) * tol - r, dv = (bestY + 1) * tol - r;
    // Counted with twice the tolerance around the block's centre, then with the tolerance
    // around the mean of those offsets, twice.
    double mu = du, mv = dv, spread = 0;
    countNear(tu, tv, ru, rv, near, du, dv, 2 * tol, &mu, &mv, &spread);
    int votes = 0;
    for (int round = 0; round < 2; ++round) {
        du = mu;
        dv = mv;
        votes = countNear(tu, tv, ru, rv, near, du, dv, tol, &mu, &mv, &spread);
    }
    vote.du = mu;
    vote.dv = mv;
    vote.votes = votes;
    vote.spread = spread;
    return vote;
}

} // namespace

DiffStatus voteShift(const std::vector<double>& mu, const std::vector<double>& mv,
                     const std::vector<double>& ru, const std::vector<double>& rv,
                     const ShiftSearch& search, ShiftVote* vote)
{
    if (mu.size() != mv.size() || ru.size() != rv.size() || !(search.radius > 0) ||
        !(search.tolerance > 0) || !std::isfinite(search.radius) ||
        search.radius / search.tolerance > 1e4 || !(search.maxTurn >= 0) ||
        !(search.maxTurn <= 0.5) || !(search.turnReach > 0) || !std::isfinite(search.turnReach))
        return DiffStatus::BadInput;
    *vote = ShiftVote{};
    if (mu.empty() || ru.empty())
        return DiffStatus::Ok;
    try {
        const CellGrid wide = CellGrid::of(ru, rv, search.radius);
        const CellGrid near = CellGrid::of(ru, rv, 2 * search.tolerance);
        std::vector<double> tu, tv;
        turnPositions(mu, mv, 0, search, &tu, &tv);
        const ShiftVote straight = voteOffsets(tu, tv, ru, rv, wide, near, search);
        ShiftVote best = straight;
        if (search.maxTurn > 0) {
            const double step = 0.5 * search.tolerance / search.turnReach;
            const int steps = static_cast<int>(std::ceil(search.maxTurn / step));
            ShiftVote turned;
            for (int k = 1; k <= steps; ++k) {
                for (int sign : {1, -1}) {
                    const double angle = sign * k * step;
                    turnPositions(mu, mv, angle, search, &tu, &tv);
                    ShiftVote v = voteOffsets(tu, tv, ru, rv, wide, near, search);
                    v.turn = angle;
                    if (v.votes > turned.votes ||
                        (v.votes == turned.votes && v.votes > 0 && v.spread < turned.spread))
                        turned = v;
                }
            }
            if (turned.votes >= 2 * straight.votes && turned.votes >= straight.votes + 3)
                best = turned;
        }
        *vote = best;
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    return DiffStatus::Ok;
}

void applyShiftVote(const ShiftVote& vote, const ShiftSearch& search, PixelMap* map)
{
    const double c = std::cos(vote.turn), s = std::sin(vote.turn);
    const size_t n = std::min(map->u.size(), map->v.size());
    for (size_t k = 0; k < n; ++k) {
        const double u = map->u[k], v = map->v[k];
        map->u[k] = c * u - s * v;
        map->v[k] = s * u + c * v;
    }
    // The constant term: centre + R (p - centre) + d, R already applied to p.
    if (n > 0) {
        map->u[0] += search.centreU - (c * search.centreU - s * search.centreV) + vote.du;
        map->v[0] += search.centreV - (s * search.centreU + c * search.centreV) + vote.dv;
    }
}

DiffStatus refineWithFallback(const std::vector<PositionPair>& pairs, int correctionOrder,
                              PixelMap* map, MapFit* fit, RegistrationKind* kind)
{
    if (correctionOrder < 0 || correctionOrder > 2)
        return DiffStatus::BadInput;
    PixelMap refined = *map;
    if (refinePixelMap(pairs, correctionOrder, &refined, fit) == DiffStatus::Ok) {
        *map = refined;
        *kind = RegistrationKind::Fitted;
        return DiffStatus::Ok;
    }
    refined = *map;
    if (correctionOrder > 0 && refinePixelMap(pairs, 0, &refined, fit) == DiffStatus::Ok) {
        *map = refined;
        *kind = RegistrationKind::Shift;
        return DiffStatus::Ok;
    }
    // Few pairs: the median offset, the pairs far from it clipped, the rest averaged.
    const size_t n = pairs.size();
    std::vector<double> du, dv;
    pairOffsets(*map, pairs, &du, &dv);
    auto rmsAbout = [&](double cu, double cv, const std::vector<char>& use) {
        double sum = 0;
        int count = 0;
        for (size_t k = 0; k < n; ++k) {
            if (use[k]) {
                sum += (du[k] - cu) * (du[k] - cu) + (dv[k] - cv) * (dv[k] - cv);
                ++count;
            }
        }
        return count > 0 ? std::sqrt(sum / count) : 0.0;
    };
    std::vector<char> use(n, 1);
    fit->used = static_cast<int>(n);
    fit->rejected = 0;
    fit->rms = rmsAbout(0, 0, use);
    *kind = RegistrationKind::Coordinates;
    if (n < 2)
        return DiffStatus::Ok;
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const size_t h = values.size() / 2;
        return values.size() % 2 == 1 ? values[h] : 0.5 * (values[h - 1] + values[h]);
    };
    const double mu = median(du), mv = median(dv);
    std::vector<double> distance(n);
    for (size_t k = 0; k < n; ++k)
        distance[k] = std::hypot(du[k] - mu, dv[k] - mv);
    const double limit = std::max(1.0, 3 * median(distance));
    double su = 0, sv = 0;
    int used = 0;
    for (size_t k = 0; k < n; ++k) {
        use[k] = distance[k] <= limit ? 1 : 0;
        if (use[k]) {
            su += du[k];
            sv += dv[k];
            ++used;
        }
    }
    if (used < 2)
        return DiffStatus::Ok;
    const double shiftU = su / used, shiftV = sv / used;
    map->u[0] += shiftU;
    map->v[0] += shiftV;
    fit->used = used;
    fit->rejected = static_cast<int>(n) - used;
    fit->rms = rmsAbout(shiftU, shiftV, use);
    *kind = RegistrationKind::Shift;
    return DiffStatus::Ok;
}

double largestMapDifference(const PixelMap& a, const PixelMap& b, int32_t width, int32_t height)
{
    const double xs[] = {0, (width - 1) / 2.0, static_cast<double>(width - 1)};
    const double ys[] = {0, (height - 1) / 2.0, static_cast<double>(height - 1)};
    double worst = 0;
    for (double x : xs) {
        for (double y : ys) {
            double ua = 0, va = 0, ub = 0, vb = 0;
            mapPosition(a, x, y, &ua, &va);
            mapPosition(b, x, y, &ub, &vb);
            worst = std::max(worst, std::hypot(ua - ub, va - vb));
        }
    }
    return worst;
}

} // namespace newstars
