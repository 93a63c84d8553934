#include "night_galaxy.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/angles.hpp"
#include "base/statistics.hpp"

namespace {
using newstars::PI;
// Samples per pixel side: the core of a steep profile changes much within one pixel, so
// that a pixel's value is its mean over a fine grid near the centre.
int subsamples(double distance)
{
    return distance < 2.5 ? 21 : distance < 6 ? 7 : distance < 12 ? 3 : 1;
}
} // namespace

void addGalaxy(NightFrame* frame, double x, double y, const double toArcsec[4],
               const SkyGalaxy& galaxy, double fluxScale, double psfSigma, double moffatBeta)
{
    const double pixelArea = std::fabs(toArcsec[0] * toArcsec[3] - toArcsec[1] * toArcsec[2]);
    if (!(pixelArea > 0) || !(psfSigma > 0) || !(galaxy.radius > 0) || !(galaxy.index > 0))
        return;
    const double n = galaxy.index;
    const double b = 2 * n - 1.0 / 3 + 4 / (405 * n) + 46 / (25515 * n * n);
    const double re = galaxy.radius; // arcseconds
    // Surface brightness at the half-light radius, ADU per square arcsecond.
    const double total = galaxy.flux * fluxScale;
    const double ie = total * std::pow(b, 2 * n) /
                      (2 * PI * n * galaxy.axisRatio * re * re * std::exp(b) * std::tgamma(2 * n));
    const double rePixels = re / std::sqrt(pixelArea);
    const bool moffat = moffatBeta > 1;
    const double fwhm = newstars::FWHM_PER_SIGMA * psfSigma;
    const int moffatReach = static_cast<int>(std::ceil(3 * fwhm));
    const int reach = static_cast<int>(std::ceil(std::min(8 * rePixels, galaxy.reach) +
                                                 (moffat ? moffatReach : 4 * psfSigma) + 2));
    const int side = 2 * reach + 1;
    const int cx = static_cast<int>(std::lround(x)), cy = static_cast<int>(std::lround(y));
    if (cx + reach < 0 || cy + reach < 0 || cx - reach >= frame->width ||
        cy - reach >= frame->height)
        return;
    const double sa = std::sin(galaxy.angle), ca = std::cos(galaxy.angle);
    auto brightness = [&](double dx, double dy) {
        const double east = toArcsec[0] * dx + toArcsec[1] * dy;
        const double north = toArcsec[2] * dx + toArcsec[3] * dy;
        const double major = east * sa + north * ca;
        const double minor = (east * ca - north * sa) / galaxy.axisRatio;
        const double r = std::sqrt(major * major + minor * minor);
        if (r > 8 * re)
            return 0.0;
        return ie * std::exp(-b * (std::pow(r / re, 1 / n) - 1)) * pixelArea;
    };
    std::vector<double> stamp(static_cast<size_t>(side) * side);
    for (int j = 0; j < side; ++j) {
        for (int i = 0; i < side; ++i) {
            const double dx = cx - reach + i - x, dy = cy - reach + j - y;
            const int k = subsamples(std::sqrt(dx * dx + dy * dy));
            double value = 0;
            for (int q = 0; q < k * k; ++q) {
                const double ox = ((q % k) + 0.5) / k - 0.5;
                const double oy = ((q / k) + 0.5) / k - 0.5;
                value += brightness(dx + ox, dy + oy);
            }
            value /= k * k;
            stamp[static_cast<size_t>(j) * side + i] = value;
        }
    }
    if (moffat) {
        // The point spread as a normalised Moffat stamp, in two dimensions.
        const int m = moffatReach, mSide = 2 * m + 1;
        const double alpha = moffatAlpha(fwhm, moffatBeta);
        std::vector<double> psf(static_cast<size_t>(mSide) * mSide);
        double psfSum = 0;
        for (int q = -m; q <= m; ++q)
            for (int a = -m; a <= m; ++a)
                psfSum += psf[static_cast<size_t>(q + m) * mSide + (a + m)] =
                    std::pow(1 + (a * a + q * q) / (alpha * alpha), -moffatBeta);
        for (double& v : psf)
            v /= psfSum;
        for (int j = 0; j < side; ++j) {
            const int fy = cy - reach + j;
            if (fy < 0 || fy >= frame->height)
                continue;
            for (int i = 0; i < side; ++i) {
                const int fx = cx - reach + i;
                if (fx < 0 || fx >= frame->width)
                    continue;
                double value = 0;
                for (int q = -m; q <= m; ++q) {
                    if (j - q < 0 || j - q >= side)
                        continue;
                    const double* in = stamp.data() + static_cast<size_t>(j - q) * side;
                    const double* weights = psf.data() + static_cast<size_t>(q + m) * mSide + m;
                    for (int a = std::max(-m, i - side + 1); a <= std::min(m, i); ++a)
                        value += weights[a] * in[i - a];
                }
                frame->signal[static_cast<size_t>(fy) * frame->width + fx] +=
                    static_cast<float>(value);
            }
        }
        return;
    }
    // The point spread, separably.
    const int r = static_cast<int>(std::ceil(4 * psfSigma));
    std::vector<double> g(static_cast<size_t>(2 * r + 1));
    double sum = 0;
    for (int a = -r; a <= r; ++a) {
        g[static_cast<size_t>(a + r)] = std::exp(-a * a / (2 * psfSigma * psfSigma));
        sum += g[static_cast<size_t>(a + r)];
    }
    for (double& v : g)
        v /= sum;
    std::vector<double> across(stamp.size(), 0.0), blurred(stamp.size(), 0.0);
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i)
            for (int a = -r; a <= r; ++a)
                if (i - a >= 0 && i - a < side)
                    across[static_cast<size_t>(j) * side + i] +=
                        g[static_cast<size_t>(a + r)] *
                        stamp[static_cast<size_t>(j) * side + i - a];
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i)
            for (int a = -r; a <= r; ++a)
                if (j - a >= 0 && j - a < side)
                    blurred[static_cast<size_t>(j) * side + i] +=
                        g[static_cast<size_t>(a + r)] *
                        across[static_cast<size_t>(j - a) * side + i];
    for (int j = 0; j < side; ++j) {
        const int fy = cy - reach + j;
        if (fy < 0 || fy >= frame->height)
            continue;
        for (int i = 0; i < side; ++i) {
            const int fx = cx - reach + i;
            if (fx < 0 || fx >= frame->width)
                continue;
            frame->signal[static_cast<size_t>(fy) * frame->width + fx] +=
                static_cast<float>(blurred[static_cast<size_t>(j) * side + i]);
        }
    }
}
