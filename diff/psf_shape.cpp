#include "diff/psf_shape.hpp"

#include <algorithm>
#include <cmath>

namespace newstars {

namespace {

constexpr double UNBOUNDED = 1e300;

// Intrinsic variance of an axis measured as measured through a window of variance window.
double intrinsicAxis(double measured, double window)
{
    return measured < window ? measured * window / (window - measured) : UNBOUNDED;
}

// The intrinsic moments from the windowed ones; false when an axis is unbounded.
bool intrinsicMoments(double a, double b, double c, double window, double* xx, double* yy,
                      double* xy)
{
    const double mean = (a + b) / 2, spread = std::sqrt((a - b) * (a - b) / 4 + c * c);
    const double major = intrinsicAxis(mean + spread, window);
    const double minor = intrinsicAxis(mean - spread, window);
    if (major >= UNBOUNDED || minor >= UNBOUNDED || !(minor > 0))
        return false;
    const double angle = 0.5 * std::atan2(2 * c, a - b);
    const double cs = std::cos(angle), sn = std::sin(angle);
    *xx = major * cs * cs + minor * sn * sn;
    *yy = major * sn * sn + minor * cs * cs;
    *xy = (major - minor) * sn * cs;
    return true;
}

double medianOf(std::vector<double> values)
{
    const size_t half = values.size() / 2;
    std::sort(values.begin(), values.end());
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

} // namespace

double relativeElongation(double a, double b, double c, double window, const PsfMoments& psf)
{
    if (psf.stars <= 0) {
        const double mean = (a + b) / 2, spread = std::sqrt((a - b) * (a - b) / 4 + c * c);
        const double major = intrinsicAxis(mean + spread, window);
        const double minor = intrinsicAxis(mean - spread, window);
        return minor > 0 ? std::min(std::sqrt(major / minor), 99.0) : 99;
    }
    double m11 = 0, m22 = 0, m12 = 0;
    if (!intrinsicMoments(a, b, c, window, &m11, &m22, &m12))
        return 99;
    // det(M - l P) = 0: det(P) l^2 - (m11 p22 + m22 p11 - 2 m12 p12) l + det(M) = 0.
    const double qa = psf.xx * psf.yy - psf.xy * psf.xy;
    const double qb = m11 * psf.yy + m22 * psf.xx - 2 * m12 * psf.xy;
    const double qc = m11 * m22 - m12 * m12;
    if (!(qa > 0))
        return 99;
    const double root = std::sqrt(std::max(qb * qb - 4 * qa * qc, 0.0));
    const double larger = (qb + root) / (2 * qa);
    const double smaller = (qb - root) / (2 * qa);
    if (!(smaller > 0) || !std::isfinite(larger))
        return 99;
    return std::min(std::sqrt(larger / smaller), 99.0);
}

void measurePsfMoments(const FloatImage& image, const std::vector<uint8_t>& mask,
                       double background, const std::vector<int32_t>& xs,
                       const std::vector<int32_t>& ys, double window, int32_t minimumStars,
                       PsfMoments* moments)
{
    *moments = PsfMoments{};
    const int32_t w = image.width, h = image.height;
    const size_t n = w > 0 && h > 0 ? static_cast<size_t>(w) * static_cast<size_t>(h) : 0;
    if (n == 0 || image.pixels.size() != n || mask.size() != n || !(window > 0) ||
        xs.size() != ys.size())
        return;
    const double variance = window * window;
    const double radius = 3 * window;
    const int reach = static_cast<int>(std::ceil(radius)) + 2;
    std::vector<double> mxx, myy, mxy;
    for (size_t k = 0; k < xs.size(); ++k) {
        const int32_t px = xs[k], py = ys[k];
        if (px - reach < 0 || py - reach < 0 || px + reach >= w || py + reach >= h)
            continue;
        bool usable = true;
        for (int32_t y = py - reach; y <= py + reach && usable; ++y) {
            for (int32_t x = px - reach; x <= px + reach; ++x) {
                if (mask[static_cast<size_t>(y) * w + x] & (MASK_UNUSABLE | MASK_COSMIC)) {
                    usable = false;
                    break;
                }
            }
        }
        if (!usable)
            continue;
        // Windowed centroid, then the windowed moments about it.
        double xc = px, yc = py;
        double sw = 0, a = 0, b = 0, c = 0;
        for (int round = 0; round < 20; ++round) {
            double sx = 0, sy = 0;
            sw = a = b = c = 0;
            for (int32_t y = py - reach; y <= py + reach; ++y) {
                for (int32_t x = px - reach; x <= px + reach; ++x) {
                    const double dx = x - xc, dy = y - yc, r2 = dx * dx + dy * dy;
                    if (r2 > radius * radius)
                        continue;
                    const double value =
                        std::max(image.pixels[static_cast<size_t>(y) * w + x] - background, 0.0);
                    const double g = std::exp(-r2 / (2 * variance)) * value;
                    sw += g;
                    sx += g * dx;
                    sy += g * dy;
                    a += g * dx * dx;
                    b += g * dy * dy;
                    c += g * dx * dy;
                }
            }
            if (!(sw > 0))
                break;
            const double nx = xc + sx / sw, ny = yc + sy / sw;
            const bool settled = std::fabs(nx - xc) < 1e-4 && std::fabs(ny - yc) < 1e-4;
            if (std::fabs(nx - px) > 2 || std::fabs(ny - py) > 2) {
                sw = 0;
                break;
            }
            xc = nx;
            yc = ny;
            if (settled)
                break;
        }
        double xx = 0, yy = 0, xy = 0;
        if (!(sw > 0) || !intrinsicMoments(a / sw, b / sw, c / sw, variance, &xx, &yy, &xy) ||
            !std::isfinite(xx) || !std::isfinite(yy) || !std::isfinite(xy))
            continue;
        mxx.push_back(xx);
        myy.push_back(yy);
        mxy.push_back(xy);
    }
    if (static_cast<int32_t>(mxx.size()) < std::max(minimumStars, 1))
        return;
    moments->xx = medianOf(mxx);
    moments->yy = medianOf(myy);
    moments->xy = medianOf(mxy);
    moments->stars = static_cast<int32_t>(mxx.size());
}

} // namespace newstars
