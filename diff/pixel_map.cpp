#include "diff/pixel_map.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

namespace newstars {

int polynomialTermCount(int order)
{
    return (order + 1) * (order + 2) / 2;
}

void polynomialTerms(int order, double s, double t, double* terms)
{
    int k = 0;
    terms[k++] = 1;
    for (int degree = 1; degree <= order; ++degree) {
        for (int j = 0; j <= degree; ++j) {
            double term = 1;
            for (int a = 0; a < degree - j; ++a)
                term *= s;
            for (int b = 0; b < j; ++b)
                term *= t;
            terms[k++] = term;
        }
    }
}

void mapPosition(const PixelMap& map, double x, double y, double* u, double* v)
{
    double terms[10];
    polynomialTerms(map.order, (x - map.centreX) / map.scale, (y - map.centreY) / map.scale, terms);
    const int n = polynomialTermCount(map.order);
    double su = 0, sv = 0;
    for (int k = 0; k < n; ++k) {
        su += map.u[k] * terms[k];
        sv += map.v[k] * terms[k];
    }
    *u = su;
    *v = sv;
}

double mapAreaFactor(const PixelMap& map, double x, double y)
{
    const double h = 0.5;
    double u1, v1, u2, v2, u3, v3, u4, v4;
    mapPosition(map, x + h, y, &u1, &v1);
    mapPosition(map, x - h, y, &u2, &v2);
    mapPosition(map, x, y + h, &u3, &v3);
    mapPosition(map, x, y - h, &u4, &v4);
    const double dudx = (u1 - u2) / (2 * h), dvdx = (v1 - v2) / (2 * h);
    const double dudy = (u3 - u4) / (2 * h), dvdy = (v3 - v4) / (2 * h);
    return std::fabs(dudx * dvdy - dudy * dvdx);
}

// Least-squares coefficients of one output over the pairs listed in use.
static bool solveLeastSquares(const Eigen::MatrixXd& design, const Eigen::VectorXd& values,
                              Eigen::VectorXd* solution)
{
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(design);
    if (qr.rank() < design.cols())
        return false;
    *solution = qr.solve(values);
    return solution->allFinite();
}

DiffStatus samplePixelMap(const PixelMapping& mapping, int32_t width, int32_t height, int order,
                          PixelMap* map, double* maxError)
{
    if (order < 1 || order > 3 || width < 2 || height < 2)
        return DiffStatus::BadInput;
    const int grid = 9;
    std::vector<PositionPair> points;
    for (int j = 0; j < grid; ++j) {
        for (int i = 0; i < grid; ++i) {
            PositionPair p;
            p.x = (width - 1) * static_cast<double>(i) / (grid - 1);
            p.y = (height - 1) * static_cast<double>(j) / (grid - 1);
            if (mapping(p.x, p.y, &p.u, &p.v) && std::isfinite(p.u) && std::isfinite(p.v))
                points.push_back(p);
        }
    }
    const int terms = polynomialTermCount(order);
    if (points.size() * 3 < static_cast<size_t>(grid * grid) * 2 ||
        points.size() < static_cast<size_t>(terms))
        return DiffStatus::MappingFailed;
    PixelMap result;
    result.order = order;
    result.centreX = (width - 1) / 2.0;
    result.centreY = (height - 1) / 2.0;
    result.scale = std::max(width, height) / 2.0;
    Eigen::MatrixXd design(static_cast<Eigen::Index>(points.size()), terms);
    Eigen::VectorXd us(design.rows()), vs(design.rows());
    for (size_t k = 0; k < points.size(); ++k) {
        double row[10];
        polynomialTerms(order, (points[k].x - result.centreX) / result.scale,
                        (points[k].y - result.centreY) / result.scale, row);
        for (int c = 0; c < terms; ++c)
            design(static_cast<Eigen::Index>(k), c) = row[c];
        us(static_cast<Eigen::Index>(k)) = points[k].u;
        vs(static_cast<Eigen::Index>(k)) = points[k].v;
    }
    Eigen::VectorXd cu, cv;
    if (!solveLeastSquares(design, us, &cu) || !solveLeastSquares(design, vs, &cv))
        return DiffStatus::MappingFailed;
    result.u.assign(cu.data(), cu.data() + terms);
    result.v.assign(cv.data(), cv.data() + terms);
    double worst = 0;
    for (const PositionPair& p : points) {
        double u = 0, v = 0;
        mapPosition(result, p.x, p.y, &u, &v);
        worst = std::max(worst, std::hypot(u - p.u, v - p.v));
    }
    *map = result;
    *maxError = worst;
    return DiffStatus::Ok;
}

void pairOffsets(const PixelMap& map, const std::vector<PositionPair>& pairs,
                 std::vector<double>* du, std::vector<double>* dv)
{
    du->resize(pairs.size());
    dv->resize(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k) {
        double u = 0, v = 0;
        mapPosition(map, pairs[k].x, pairs[k].y, &u, &v);
        (*du)[k] = pairs[k].u - u;
        (*dv)[k] = pairs[k].v - v;
    }
}

DiffStatus refinePixelMap(const std::vector<PositionPair>& pairs, int correctionOrder,
                          PixelMap* map, MapFit* fit)
{
    if (correctionOrder < 0 || correctionOrder > 2)
        return DiffStatus::BadInput;
    const int terms = polynomialTermCount(correctionOrder);
    const size_t n = pairs.size();
    std::vector<double> du, dv;
    pairOffsets(*map, pairs, &du, &dv);
    auto errorOf = [&](size_t k, const double* cu, const double* cv) {
        double row[10];
        polynomialTerms(correctionOrder, (pairs[k].x - map->centreX) / map->scale,
                        (pairs[k].y - map->centreY) / map->scale, row);
        double eu = du[k], ev = dv[k];
        for (int c = 0; c < terms && cu != nullptr; ++c) {
            eu -= cu[c] * row[c];
            ev -= cv[c] * row[c];
        }
        return std::hypot(eu, ev);
    };
    auto rmsOf = [&](const std::vector<char>& use, const double* cu, const double* cv) {
        double sum = 0;
        int count = 0;
        for (size_t k = 0; k < n; ++k) {
            if (!use[k])
                continue;
            const double e = errorOf(k, cu, cv);
            sum += e * e;
            ++count;
        }
        return count > 0 ? std::sqrt(sum / count) : 0.0;
    };
    std::vector<char> use(n, 1);
    fit->used = static_cast<int>(n);
    fit->rejected = 0;
    fit->rms = rmsOf(use, nullptr, nullptr);
    const size_t needed = static_cast<size_t>(std::max(6, 3 * terms));
    Eigen::VectorXd cu, cv;
    int rejected = 0;
    for (int round = 0; round < 4; ++round) {
        size_t used = 0;
        for (char u : use)
            used += u ? 1 : 0;
        if (used < needed)
            return DiffStatus::TooFewStars;
        Eigen::MatrixXd design(static_cast<Eigen::Index>(used), terms);
        Eigen::VectorXd eu(design.rows()), ev(design.rows());
        Eigen::Index r = 0;
        for (size_t k = 0; k < n; ++k) {
            if (!use[k])
                continue;
            double row[10];
            polynomialTerms(correctionOrder, (pairs[k].x - map->centreX) / map->scale,
                            (pairs[k].y - map->centreY) / map->scale, row);
            for (int c = 0; c < terms; ++c)
                design(r, c) = row[c];
            eu(r) = du[k];
            ev(r) = dv[k];
            ++r;
        }
        if (!solveLeastSquares(design, eu, &cu) || !solveLeastSquares(design, ev, &cv))
            return DiffStatus::SingularFit;
        if (round == 3)
            break;
        const double rms = rmsOf(use, cu.data(), cv.data());
        const double limit = std::max(3 * rms, 0.1);
        bool changed = false;
        for (size_t k = 0; k < n; ++k) {
            if (!use[k])
                continue;
            if (errorOf(k, cu.data(), cv.data()) > limit) {
                use[k] = 0;
                ++rejected;
                changed = true;
            }
        }
        if (!changed)
            break;
    }
    if (map->order < correctionOrder) {
        map->order = correctionOrder;
        map->u.resize(static_cast<size_t>(terms), 0.0);
        map->v.resize(static_cast<size_t>(terms), 0.0);
    }
    for (int c = 0; c < terms; ++c) {
        map->u[static_cast<size_t>(c)] += cu(c);
        map->v[static_cast<size_t>(c)] += cv(c);
    }
    size_t used = 0;
    for (char u : use)
        used += u ? 1 : 0;
    fit->used = static_cast<int>(used);
    fit->rejected = rejected;
    fit->rms = rmsOf(use, cu.data(), cv.data());
    return DiffStatus::Ok;
}

} // namespace newstars
