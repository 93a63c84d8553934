#include "diff/kernel_fit.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <new>

#include "base/statistics.hpp"
#include "diff/pixel_map.hpp"

namespace newstars {

static double power(double x, int n)
{
    double r = 1;
    for (int k = 0; k < n; ++k)
        r *= x;
    return r;
}

// The 1-D factor of a raw basis function: (a / h)^n exp(-a^2 / (2 sigma^2)), a = -h..h.
static std::vector<double> factor1d(int h, double sigma, int n)
{
    std::vector<double> f(static_cast<size_t>(2 * h + 1));
    for (int a = -h; a <= h; ++a)
        f[static_cast<size_t>(a + h)] =
            power(static_cast<double>(a) / h, n) * std::exp(-a * a / (2 * sigma * sigma));
    return f;
}

DiffStatus makeKernelBasis(const KernelFitOptions& options, KernelSolution* kernel)
{
    const size_t gaussians = options.sigmas.size();
    if (gaussians == 0 || options.degrees.size() != gaussians || options.halfWidth < 1 ||
        options.halfWidth > 30)
        return DiffStatus::BadInput;
    for (size_t g = 0; g < gaussians; ++g) {
        if (!(options.sigmas[g] > 0) || options.degrees[g] < 0 || options.degrees[g] > 6)
            return DiffStatus::BadInput;
    }
    KernelSolution k;
    const int h = options.halfWidth;
    const size_t side = static_cast<size_t>(2 * h + 1);
    k.halfWidth = h;
    k.sigmas = options.sigmas;
    k.degrees = options.degrees;
    for (size_t g = 0; g < gaussians; ++g) {
        for (int d = 0; d <= options.degrees[g]; ++d) {
            for (int j = 0; j <= d; ++j) {
                const std::vector<double> fx = factor1d(h, options.sigmas[g], d - j);
                const std::vector<double> fy = factor1d(h, options.sigmas[g], j);
                std::vector<double> raw(side * side);
                double sum = 0;
                for (size_t b = 0; b < side; ++b) {
                    for (size_t a = 0; a < side; ++a) {
                        raw[b * side + a] = fx[a] * fy[b];
                        sum += raw[b * side + a];
                    }
                }
                if (k.basis.empty()) {
                    for (double& value : raw)
                        value /= sum;
                    k.termSum.push_back(sum);
                    k.termNorm.push_back(1);
                } else {
                    const std::vector<double>& first = k.basis[0];
                    double norm = 0;
                    for (size_t q = 0; q < raw.size(); ++q) {
                        raw[q] -= sum * first[q];
                        norm += raw[q] * raw[q];
                    }
                    norm = std::sqrt(norm);
                    if (!(norm > 1e-12))
                        continue;
                    for (double& value : raw)
                        value /= norm;
                    k.termSum.push_back(sum);
                    k.termNorm.push_back(norm);
                }
                k.basis.push_back(std::move(raw));
                k.termGaussian.push_back(static_cast<int>(g));
                k.termPowerX.push_back(d - j);
                k.termPowerY.push_back(j);
            }
        }
    }
    *kernel = std::move(k);
    return DiffStatus::Ok;
}

namespace {

// One star's stamp reduced to its normal equations over the basis and the background.
struct Stamp {
    double x = 0, y = 0;     // centre
    Eigen::MatrixXd normal;  // C^T W C
    Eigen::VectorXd right;   // C^T W t
    double targetSquare = 0; // t^T W t
    int pixels = 0;
    bool used = true;
};

// Spatial terms at an image position.
void spatialTerms(const KernelSolution& k, double x, double y, double* terms)
{
    polynomialTerms(k.spatialOrder, (x - k.centreX) / k.scale, (y - k.centreY) / k.scale, terms);
}

// Builds the stamp's normal equations. false when the stamp reaches a masked pixel or
// the image edge.
bool buildStamp(const FloatImage& source, const FloatImage& target, const uint8_t* mask,
                const NoiseModel& sourceNoise, const NoiseModel& targetNoise,
                const KernelSolution& k, int32_t cx, int32_t cy, int rs, Stamp* stamp)
{
    const int h = k.halfWidth;
    const int reach = rs + h;
    const int32_t w = target.width;
    if (cx - reach < 0 || cy - reach < 0 || cx + reach >= w || cy + reach >= target.height)
        return false;
    if (mask != nullptr) {
        for (int32_t y = cy - reach; y <= cy + reach; ++y) {
            for (int32_t x = cx - reach; x <= cx + reach; ++x) {
                if (mask[static_cast<size_t>(y) * w + x] != 0)
                    return false;
            }
        }
    }
    const int side = 2 * rs + 1;
    const int tall = 2 * reach + 1;
    const size_t n = static_cast<size_t>(side) * side;
    const size_t basisCount = k.basis.size();
    Eigen::MatrixXd design(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(basisCount + 1));
    // The x pass of every (Gaussian, power) pair, then the y pass of each term.
    std::vector<double> row(static_cast<size_t>(side) * tall);
    std::vector<double> raw(n);
    std::vector<double> first(n);
    int lastGaussian = -1, lastPowerX = -1;
    for (size_t term = 0; term < basisCount; ++term) {
        const int g = k.termGaussian[term];
        const int px = k.termPowerX[term];
        if (g != lastGaussian || px != lastPowerX) {
            const std::vector<double> fx = factor1d(h, k.sigmas[static_cast<size_t>(g)], px);
            for (int yy = 0; yy < tall; ++yy) {
                const float* src =
                    source.pixels.data() + static_cast<size_t>(cy - reach + yy) * w + (cx - rs);
                for (int xx = 0; xx < side; ++xx) {
                    double sum = 0;
                    for (int a = -h; a <= h; ++a)
                        sum += fx[static_cast<size_t>(a + h)] * src[xx - a];
                    row[static_cast<size_t>(yy) * side + xx] = sum;
                }
            }
            lastGaussian = g;
            lastPowerX = px;
        }
        const std::vector<double> fy =
            factor1d(h, k.sigmas[static_cast<size_t>(g)], k.termPowerY[term]);
        for (int yy = 0; yy < side; ++yy) {
            for (int xx = 0; xx < side; ++xx) {
                double sum = 0;
                for (int b = -h; b <= h; ++b)
                    sum += fy[static_cast<size_t>(b + h)] *
                           row[static_cast<size_t>(yy + h - b) * side + xx];
                raw[static_cast<size_t>(yy) * side + xx] = sum;
            }
        }
        for (size_t q = 0; q < n; ++q) {
            double value = 0;
            if (term == 0) {
                value = raw[q] / k.termSum[0];
                first[q] = value;
            } else {
                value = (raw[q] - k.termSum[term] * first[q]) / k.termNorm[term];
            }
            design(static_cast<Eigen::Index>(q), static_cast<Eigen::Index>(term)) = value;
        }
    }
    Eigen::VectorXd t(static_cast<Eigen::Index>(n)), weight(static_cast<Eigen::Index>(n));
    for (int yy = 0; yy < side; ++yy) {
        for (int xx = 0; xx < side; ++xx) {
            const size_t at = static_cast<size_t>(cy - rs + yy) * w + (cx - rs + xx);
            const double tv = target.pixels[at], sv = source.pixels[at];
            const double variance = std::max(tv, 0.0) / targetNoise.gain +
                                    targetNoise.readNoise * targetNoise.readNoise +
                                    std::max(sv, 0.0) / sourceNoise.gain +
                                    sourceNoise.readNoise * sourceNoise.readNoise;
            const Eigen::Index q = yy * side + xx;
            design(q, static_cast<Eigen::Index>(basisCount)) = 1;
            t(q) = tv;
            weight(q) = variance > 0 ? 1 / variance : 0;
        }
    }
    const Eigen::MatrixXd weighted = weight.asDiagonal() * design;
    stamp->normal = design.transpose() * weighted;
    stamp->right = weighted.transpose() * t;
    stamp->targetSquare = t.dot(weight.asDiagonal() * t);
    stamp->pixels = static_cast<int>(n);
    stamp->x = cx;
    stamp->y = cy;
    return true;
}

// Solves normal x = right with the first `fixed` unknowns held at values (fixed 0: plain).
// false when the system left is singular or the solution not finite.
bool solveHolding(const Eigen::MatrixXd& normal, const Eigen::VectorXd& right, Eigen::Index fixed,
                  const Eigen::VectorXd& values, Eigen::VectorXd* solution)
{
    const Eigen::Index n = normal.rows();
    if (fixed == 0) {
        Eigen::LDLT<Eigen::MatrixXd> solver(normal);
        *solution = solver.solve(right);
        return solver.info() == Eigen::Success && solution->allFinite();
    }
    const Eigen::Index free = n - fixed;
    const Eigen::VectorXd rest =
        right.tail(free) - normal.block(fixed, 0, free, fixed) * values.head(fixed);
    Eigen::LDLT<Eigen::MatrixXd> solver(normal.block(fixed, fixed, free, free));
    const Eigen::VectorXd part = solver.solve(rest);
    if (solver.info() != Eigen::Success || !part.allFinite())
        return false;
    solution->resize(n);
    solution->head(fixed) = values.head(fixed);
    solution->tail(free) = part;
    return true;
}

// Chi-square of a stamp at coefficients a.
double stampChi(const Stamp& stamp, const Eigen::VectorXd& a)
{
    return (stamp.targetSquare - 2 * a.dot(stamp.right) + a.dot(stamp.normal * a)) / stamp.pixels;
}

// Drops the stamps whose chi-square per pixel lies beyond the median by limit robust
// deviations. Returns the number dropped.
int rejectOutliers(std::vector<Stamp>* stamps, const std::vector<double>& chi, double limit)
{
    std::vector<double> values;
    for (size_t s = 0; s < stamps->size(); ++s) {
        if ((*stamps)[s].used)
            values.push_back(chi[s]);
    }
    if (values.size() < 3)
        return 0;
    std::vector<double> deviations = values;
    const double median = medianInPlace(&deviations, MedianSide::Upper);
    for (double& v : deviations)
        v = std::fabs(v - median);
    const double spread = std::max(
        ROBUST_SIGMA_PER_MAD * medianInPlace(&deviations, MedianSide::Upper), 0.02 * median);
    int dropped = 0;
    for (size_t s = 0; s < stamps->size(); ++s) {
        if ((*stamps)[s].used && chi[s] > median + limit * spread) {
            (*stamps)[s].used = false;
            ++dropped;
        }
    }
    return dropped;
}

} // namespace

DiffStatus fitKernel(const FloatImage& source, const FloatImage& target, const uint8_t* mask,
                     const NoiseModel& sourceNoise, const NoiseModel& targetNoise,
                     const std::vector<int32_t>& centreX, const std::vector<int32_t>& centreY,
                     const KernelFitOptions& options, KernelSolution* kernel)
{
    if (source.width != target.width || source.height != target.height || target.width < 1 ||
        target.height < 1 || centreX.size() != centreY.size() || options.spatialOrder < 0 ||
        options.spatialOrder > 2 || options.stampHalfSize < 1 || options.minStamps < 1 ||
        !(sourceNoise.gain > 0) || !(targetNoise.gain > 0) || !(options.fixedSum >= 0) ||
        !std::isfinite(options.fixedSum))
        return DiffStatus::BadInput;
    const bool holdSum = options.fixedSum > 0;
    KernelSolution k;
    if (DiffStatus s = makeKernelBasis(options, &k); s != DiffStatus::Ok)
        return s;
    k.centreX = (target.width - 1) / 2.0;
    k.centreY = (target.height - 1) / 2.0;
    k.scale = std::max(target.width, target.height) / 2.0;
    std::vector<Stamp> stamps;
    try {
        for (size_t s = 0; s < centreX.size(); ++s) {
            Stamp stamp;
            if (buildStamp(source, target, mask, sourceNoise, targetNoise, k, centreX[s],
                           centreY[s], options.stampHalfSize, &stamp))
                stamps.push_back(std::move(stamp));
        }
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    const size_t unknownsPerTerm = k.basis.size() + 1;
    int rejected = 0;
    // Each stamp alone: a kernel constant over the stamp.
    std::vector<double> chi(stamps.size(), 0);
    const Eigen::VectorXd held = Eigen::VectorXd::Constant(1, options.fixedSum);
    for (size_t s = 0; s < stamps.size(); ++s) {
        Eigen::VectorXd a;
        if (!solveHolding(stamps[s].normal, stamps[s].right, holdSum ? 1 : 0, held, &a)) {
            stamps[s].used = false;
            ++rejected;
            continue;
        }
        // At the free least-squares solution the two forms agree; the shorter is kept there.
        chi[s] = holdSum ? stampChi(stamps[s], a)
                         : (stamps[s].targetSquare - a.dot(stamps[s].right)) / stamps[s].pixels;
    }
    rejected += rejectOutliers(&stamps, chi, options.rejectSigmas);

    Eigen::VectorXd solution;
    int order = options.spatialOrder;
    for (int round = 0; round < 4; ++round) {
        int used = 0;
        for (const Stamp& stamp : stamps)
            used += stamp.used ? 1 : 0;
        if (used < std::max(options.minStamps, 1))
            return DiffStatus::TooFewStars;
        while (order > 0 && used < 8 * polynomialTermCount(order))
            --order;
        k.spatialOrder = order;
        const int terms = polynomialTermCount(order);
        const Eigen::Index unknowns = static_cast<Eigen::Index>(unknownsPerTerm) * terms;
        Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(unknowns, unknowns);
        Eigen::VectorXd right = Eigen::VectorXd::Zero(unknowns);
        for (const Stamp& stamp : stamps) {
            if (!stamp.used)
                continue;
            double p[10];
            spatialTerms(k, stamp.x, stamp.y, p);
            for (size_t a = 0; a < unknownsPerTerm; ++a) {
                for (int m = 0; m < terms; ++m) {
                    const Eigen::Index row = static_cast<Eigen::Index>(a) * terms + m;
                    right(row) += stamp.right(static_cast<Eigen::Index>(a)) * p[m];
                    for (size_t b = 0; b < unknownsPerTerm; ++b) {
                        const double nab = stamp.normal(static_cast<Eigen::Index>(a),
                                                        static_cast<Eigen::Index>(b));
                        for (int q = 0; q < terms; ++q)
                            normal(row, static_cast<Eigen::Index>(b) * terms + q) +=
                                nab * p[m] * p[q];
                    }
                }
            }
        }
        // The sum's terms come first: its constant term holds the sum, the others 0.
        Eigen::VectorXd sumTerms = Eigen::VectorXd::Zero(terms);
        sumTerms(0) = options.fixedSum;
        if (!solveHolding(normal, right, holdSum ? terms : 0, sumTerms, &solution))
            return DiffStatus::SingularFit;
        double total = 0;
        for (size_t s = 0; s < stamps.size(); ++s) {
            double p[10];
            spatialTerms(k, stamps[s].x, stamps[s].y, p);
            Eigen::VectorXd a(static_cast<Eigen::Index>(unknownsPerTerm));
            for (size_t b = 0; b < unknownsPerTerm; ++b) {
                double sum = 0;
                for (int m = 0; m < terms; ++m)
                    sum += solution(static_cast<Eigen::Index>(b) * terms + m) * p[m];
                a(static_cast<Eigen::Index>(b)) = sum;
            }
            chi[s] = stampChi(stamps[s], a);
            if (stamps[s].used)
                total += chi[s];
        }
        k.chiSquare = total / used;
        k.stampsUsed = used;
        if (round == 3)
            break;
        const int dropped = rejectOutliers(&stamps, chi, options.rejectSigmas);
        if (dropped == 0)
            break;
        rejected += dropped;
    }
    k.stampsRejected = rejected;
    k.coefficients.assign(solution.data(), solution.data() + solution.size());
    *kernel = std::move(k);
    return DiffStatus::Ok;
}

// Coefficient of basis k (the background for k = basis count) at (x, y).
static double coefficientAt(const KernelSolution& kernel, size_t k, double x, double y)
{
    const int terms = polynomialTermCount(kernel.spatialOrder);
    double p[10];
    spatialTerms(kernel, x, y, p);
    double sum = 0;
    for (int m = 0; m < terms; ++m)
        sum += kernel.coefficients[k * static_cast<size_t>(terms) + static_cast<size_t>(m)] * p[m];
    return sum;
}

void kernelAt(const KernelSolution& kernel, double x, double y, std::vector<double>* values)
{
    const size_t side = static_cast<size_t>(2 * kernel.halfWidth + 1);
    values->assign(side * side, 0.0);
    for (size_t k = 0; k < kernel.basis.size(); ++k) {
        const double a = coefficientAt(kernel, k, x, y);
        const std::vector<double>& b = kernel.basis[k];
        for (size_t q = 0; q < b.size(); ++q)
            (*values)[q] += a * b[q];
    }
}

double backgroundAt(const KernelSolution& kernel, double x, double y)
{
    return coefficientAt(kernel, kernel.basis.size(), x, y);
}

double kernelSumAt(const KernelSolution& kernel, double x, double y)
{
    return coefficientAt(kernel, 0, x, y);
}

} // namespace newstars

namespace newstars {

void brightPixelStamps(const FloatImage& image, const uint8_t* mask, double level, double sigma,
                       double least, int reach, int maxCount, std::vector<int32_t>* centreX,
                       std::vector<int32_t>* centreY)
{
    centreX->clear();
    centreY->clear();
    const int32_t w = image.width, h = image.height;
    if (reach < 1 || maxCount < 1 || w <= 2 * reach || h <= 2 * reach || !(sigma > 0))
        return;
    const double lowest = level + least * sigma;
    struct Peak {
        float value;
        int32_t x, y;
    };
    std::vector<Peak> peaks;
    for (int32_t y = reach; y < h - reach; ++y) {
        for (int32_t x = reach; x < w - reach; ++x) {
            const size_t at = static_cast<size_t>(y) * w + x;
            const float value = image.pixels[at];
            if (!(value >= lowest) || (mask != nullptr && mask[at] != 0))
                continue;
            // A local maximum of its 5 x 5 square (the first of equal values wins).
            bool highest = true;
            for (int dy = -2; dy <= 2 && highest; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    const float other = image.pixels[static_cast<size_t>(y + dy) * w + (x + dx)];
                    if (other > value || (other == value && (dy < 0 || (dy == 0 && dx < 0)))) {
                        highest = false;
                        break;
                    }
                }
            }
            if (highest)
                peaks.push_back({value, x, y});
        }
    }
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Peak& a, const Peak& b) { return a.value > b.value; });
    for (const Peak& p : peaks) {
        if (static_cast<int>(centreX->size()) >= maxCount)
            break;
        bool clear = true;
        if (mask != nullptr) {
            for (int dy = -reach; dy <= reach && clear; ++dy) {
                const uint8_t* row = mask + static_cast<size_t>(p.y + dy) * w + p.x;
                for (int dx = -reach; dx <= reach; ++dx) {
                    if (row[dx] != 0) {
                        clear = false;
                        break;
                    }
                }
            }
        }
        // Stamps apart by their whole width, so that no pixel counts twice.
        for (size_t k = 0; k < centreX->size() && clear; ++k) {
            if (std::abs((*centreX)[k] - p.x) <= 2 * reach &&
                std::abs((*centreY)[k] - p.y) <= 2 * reach)
                clear = false;
        }
        if (!clear)
            continue;
        centreX->push_back(p.x);
        centreY->push_back(p.y);
    }
}

} // namespace newstars

namespace newstars {

DiffStatus apertureFluxScale(const FloatImage& source, const FloatImage& target,
                             const uint8_t* mask, const NoiseModel& sourceNoise,
                             const NoiseModel& targetNoise, double sourceLevel, double targetLevel,
                             double sourceSigma, const ApertureScaleOptions& options, double* scale,
                             int* used)
{
    if (source.width != target.width || source.height != target.height || target.width < 1 ||
        target.height < 1 || options.radius < 2 || options.radius > 100 ||
        options.minApertures < 1 || options.maxApertures < 1 || options.maxApertures > 1000 ||
        !(sourceNoise.gain > 0) || !(targetNoise.gain > 0) || !std::isfinite(sourceLevel) ||
        !std::isfinite(targetLevel) || !(sourceSigma > 0) || !std::isfinite(sourceSigma) ||
        !std::isfinite(options.least) || !std::isfinite(options.leastSignal))
        return DiffStatus::BadInput;
    const size_t pixels = static_cast<size_t>(target.width) * static_cast<size_t>(target.height);
    if (source.pixels.size() != pixels || target.pixels.size() != pixels)
        return DiffStatus::BadInput;
    const int r = options.radius;
    std::vector<int32_t> xs, ys;
    try {
        brightPixelStamps(source, mask, sourceLevel, sourceSigma, options.least, r + 1,
                          options.maxApertures, &xs, &ys);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    const int32_t w = target.width;
    const double sourceRead = sourceNoise.readNoise * sourceNoise.readNoise;
    const double targetRead = targetNoise.readNoise * targetNoise.readNoise;
    std::vector<double> ratios, sourceSums, targetSums;
    for (size_t k = 0; k < xs.size(); ++k) {
        double sourceSum = 0, targetSum = 0, variance = 0;
        for (int dy = -r; dy <= r; ++dy) {
            const size_t rowStart = static_cast<size_t>(ys[k] + dy) * w;
            for (int dx = -r; dx <= r; ++dx) {
                if (dx * dx + dy * dy > r * r)
                    continue;
                const size_t at = rowStart + static_cast<size_t>(xs[k] + dx);
                const double sv = source.pixels[at], tv = target.pixels[at];
                sourceSum += sv - sourceLevel;
                targetSum += tv - targetLevel;
                variance += std::max(sv, 0.0) / sourceNoise.gain + sourceRead +
                            std::max(tv, 0.0) / targetNoise.gain + targetRead;
            }
        }
        // Signal of the source against the noise of both sums.
        if (!(sourceSum > 0) || !(sourceSum >= options.leastSignal * std::sqrt(variance)))
            continue;
        const double ratio = targetSum / sourceSum;
        if (std::isfinite(ratio)) {
            ratios.push_back(ratio);
            sourceSums.push_back(sourceSum);
            targetSums.push_back(targetSum);
        }
    }
    if (static_cast<int>(ratios.size()) < options.minApertures)
        return DiffStatus::TooFewStars;
    // Light in one image only (a new source, a variable star, a saturated core) takes an
    // aperture far from the others' ratio: those beyond a tenth of the median ratio are left
    // out. Among the rest, the slope through pairs of apertures, one at least twice the
    // other, in which an error of either sky level, the same in every aperture, cancels:
    // each aperture's median slope to the others, then the median of those (a repeated
    // median), so that every aperture weighs alike.
    std::vector<double> sorted = ratios;
    const double middle = medianInPlace(&sorted, MedianSide::Upper);
    std::vector<double> perAperture, slopes;
    for (size_t i = 0; i < ratios.size(); ++i) {
        if (!(std::fabs(ratios[i] - middle) <= 0.1 * std::fabs(middle)))
            continue;
        slopes.clear();
        for (size_t j = 0; j < ratios.size(); ++j) {
            const double high = std::max(sourceSums[i], sourceSums[j]);
            const double low = std::min(sourceSums[i], sourceSums[j]);
            if (std::fabs(ratios[j] - middle) <= 0.1 * std::fabs(middle) && high > 2 * low)
                slopes.push_back((targetSums[i] - targetSums[j]) /
                                 (sourceSums[i] - sourceSums[j]));
        }
        if (!slopes.empty())
            perAperture.push_back(medianInPlace(&slopes, MedianSide::Upper));
    }
    if (used != nullptr)
        *used = static_cast<int>(ratios.size());
    *scale = perAperture.size() < 2 ? middle : medianInPlace(&perAperture, MedianSide::Upper);
    return DiffStatus::Ok;
}

} // namespace newstars
