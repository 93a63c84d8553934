#include "night_render.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/angles.hpp"

void initNightFrame(NightFrame* frame, int32_t width, int32_t height, double sky)
{
    frame->width = width;
    frame->height = height;
    frame->signal.assign(static_cast<size_t>(width) * static_cast<size_t>(height),
                         static_cast<float>(sky));
}

void addGaussianSource(NightFrame* frame, double x, double y, double peak, double sigma)
{
    if (!(peak > 0.02) || !(sigma > 0))
        return;
    const double radius = std::ceil(sigma * std::sqrt(2 * std::log(peak / 0.02)));
    if (!(x + radius >= 0 && y + radius >= 0 && x - radius <= frame->width - 1 &&
          y - radius <= frame->height - 1)) {
        return; // wholly outside (or a position that is not a number)
    }
    const int32_t x0 = static_cast<int32_t>(std::max(0.0, std::ceil(x - radius)));
    const int32_t x1 = static_cast<int32_t>(std::min(frame->width - 1.0, std::floor(x + radius)));
    const int32_t y0 = static_cast<int32_t>(std::max(0.0, std::ceil(y - radius)));
    const int32_t y1 = static_cast<int32_t>(std::min(frame->height - 1.0, std::floor(y + radius)));
    const double scale = -1 / (2 * sigma * sigma);
    std::vector<double> across(static_cast<size_t>(x1 - x0 + 1));
    for (int32_t i = x0; i <= x1; ++i) {
        const double d = i - x;
        across[static_cast<size_t>(i - x0)] = std::exp(d * d * scale);
    }
    for (int32_t j = y0; j <= y1; ++j) {
        const double d = j - y;
        const double rowPeak = peak * std::exp(d * d * scale);
        float* row =
            frame->signal.data() + static_cast<size_t>(j) * static_cast<size_t>(frame->width);
        for (int32_t i = x0; i <= x1; ++i) {
            row[i] += static_cast<float>(rowPeak * across[static_cast<size_t>(i - x0)]);
        }
    }
}

double moffatAlpha(double fwhm, double beta)
{
    return fwhm / (2 * std::sqrt(std::pow(2.0, 1 / beta) - 1));
}

double moffatNorm(double alpha, double beta)
{
    return newstars::PI * alpha * alpha / (beta - 1);
}

void addMoffatSource(NightFrame* frame, double x, double y, double peak, double alpha, double beta)
{
    if (!(peak > 0.02) || !(alpha > 0) || !(beta > 1))
        return;
    // peak (1 + r^2 / alpha^2)^-beta = 0.02 at r = alpha sqrt((peak / 0.02)^(1 / beta) - 1).
    const double radius =
        std::min(200.0, std::ceil(alpha * std::sqrt(std::pow(peak / 0.02, 1 / beta) - 1)));
    if (!(x + radius >= 0 && y + radius >= 0 && x - radius <= frame->width - 1 &&
          y - radius <= frame->height - 1)) {
        return;
    }
    const int32_t x0 = static_cast<int32_t>(std::max(0.0, std::ceil(x - radius)));
    const int32_t x1 = static_cast<int32_t>(std::min(frame->width - 1.0, std::floor(x + radius)));
    const int32_t y0 = static_cast<int32_t>(std::max(0.0, std::ceil(y - radius)));
    const int32_t y1 = static_cast<int32_t>(std::min(frame->height - 1.0, std::floor(y + radius)));
    const double perAlpha2 = 1 / (alpha * alpha);
    for (int32_t j = y0; j <= y1; ++j) {
        const double dy = j - y;
        float* row =
            frame->signal.data() + static_cast<size_t>(j) * static_cast<size_t>(frame->width);
        for (int32_t i = x0; i <= x1; ++i) {
            const double dx = i - x;
            const double r2 = dx * dx + dy * dy;
            if (r2 > radius * radius)
                continue;
            row[i] += static_cast<float>(peak * std::pow(1 + r2 * perAlpha2, -beta));
        }
    }
}

void addStretchedSource(NightFrame* frame, double x, double y, double peak, double sigma,
                        double alpha, double beta, double ratio, double angle)
{
    const bool moffat = beta > 1;
    if (!(peak > 0.02) || !(ratio >= 1) || (moffat ? !(alpha > 0) : !(sigma > 0)))
        return;
    // The round profile's reach, stretched along the long axis.
    const double round =
        moffat ? std::min(200.0, alpha * std::sqrt(std::pow(peak / 0.02, 1 / beta) - 1))
               : sigma * std::sqrt(2 * std::log(peak / 0.02));
    const double radius = std::ceil(round * std::sqrt(ratio));
    if (!(x + radius >= 0 && y + radius >= 0 && x - radius <= frame->width - 1 &&
          y - radius <= frame->height - 1)) {
        return;
    }
    const int32_t x0 = static_cast<int32_t>(std::max(0.0, std::ceil(x - radius)));
    const int32_t x1 = static_cast<int32_t>(std::min(frame->width - 1.0, std::floor(x + radius)));
    const int32_t y0 = static_cast<int32_t>(std::max(0.0, std::ceil(y - radius)));
    const int32_t y1 = static_cast<int32_t>(std::min(frame->height - 1.0, std::floor(y + radius)));
    const double c = std::cos(angle), s = std::sin(angle);
    const double along = 1 / ratio, across = ratio; // on the squares of u and v
    for (int32_t j = y0; j <= y1; ++j) {
        const double dy = j - y;
        float* row =
            frame->signal.data() + static_cast<size_t>(j) * static_cast<size_t>(frame->width);
        for (int32_t i = x0; i <= x1; ++i) {
            const double dx = i - x;
            const double u = c * dx + s * dy, v = -s * dx + c * dy;
            const double r2 = u * u * along + v * v * across;
            if (r2 > round * round)
                continue;
            const double value = moffat ? peak * std::pow(1 + r2 / (alpha * alpha), -beta)
                                        : peak * std::exp(-r2 / (2 * sigma * sigma));
            row[i] += static_cast<float>(value);
        }
    }
}

double skyPatternAt(int32_t width, int32_t height, double sky, double gradient, double angle,
                    double bowl, double x, double y)
{
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    const double c = std::cos(angle), s = std::sin(angle);
    const double reach = std::fabs(c) * cx + std::fabs(s) * cy;
    const double g = reach > 0 ? ((x - cx) * c + (y - cy) * s) / reach : 0;
    const double halfDiagonal2 = cx * cx + cy * cy;
    const double rho2 =
        halfDiagonal2 > 0 ? ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / halfDiagonal2 : 0;
    return sky * (1 + gradient * g + bowl * (2 * rho2 - 1));
}

void addSkyPattern(NightFrame* frame, double sky, double gradient, double angle, double bowl)
{
    for (int32_t j = 0; j < frame->height; ++j) {
        float* row =
            frame->signal.data() + static_cast<size_t>(j) * static_cast<size_t>(frame->width);
        for (int32_t i = 0; i < frame->width; ++i) {
            const double level =
                skyPatternAt(frame->width, frame->height, sky, gradient, angle, bowl, i, j);
            row[i] += static_cast<float>(level - sky);
        }
    }
}

void digitizeFrame(const NightFrame* frame, double gain, double readNoise, NightRandom* random,
                   std::vector<uint16_t>* pixels)
{
    pixels->resize(frame->signal.size());
    const double readVariance = readNoise * readNoise;
    for (size_t k = 0; k < frame->signal.size(); ++k) {
        const double expected = frame->signal[k];
        double value = 0;
        if (expected * gain < 30) {
            value = static_cast<double>(poissonRandom(random, expected * gain)) / gain +
                    readNoise * normalRandom(random);
        } else {
            value = expected + std::sqrt(expected / gain + readVariance) * normalRandom(random);
        }
        value += 0.5;
        (*pixels)[k] = value <= 0 ? 0 : value >= 65535 ? 65535 : static_cast<uint16_t>(value);
    }
}

std::vector<HotPixel> makeHotPixels(int32_t width, int32_t height, int count, NightRandom* random)
{
    std::vector<HotPixel> hot(static_cast<size_t>(std::max(count, 0)));
    for (HotPixel& h : hot) {
        h.x = static_cast<int32_t>(uniformIndex(random, static_cast<uint32_t>(width)));
        h.y = static_cast<int32_t>(uniformIndex(random, static_cast<uint32_t>(height)));
        // Log-uniform excess from 2000 ADU to well past saturation.
        h.excess = static_cast<int32_t>(2000 * std::exp(uniformRandom(random) * std::log(40.0)));
    }
    return hot;
}

static void addClipped(std::vector<uint16_t>* pixels, size_t index, int32_t excess)
{
    const int32_t value = (*pixels)[index] + excess;
    (*pixels)[index] = static_cast<uint16_t>(std::min(value, 65535));
}

void addHotPixels(const std::vector<HotPixel>& hot, int32_t width, int32_t height,
                  std::vector<uint16_t>* pixels)
{
    for (const HotPixel& h : hot) {
        if (h.x < 0 || h.x >= width || h.y < 0 || h.y >= height)
            continue;
        addClipped(pixels,
                   static_cast<size_t>(h.y) * static_cast<size_t>(width) + static_cast<size_t>(h.x),
                   h.excess);
    }
}

void addCosmicRays(int count, NightRandom* random, int32_t width, int32_t height,
                   std::vector<uint16_t>* pixels, std::vector<CosmicHit>* hits)
{
    static const int STEP_X[8] = {1, 1, 0, -1, -1, -1, 0, 1};
    static const int STEP_Y[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    for (int n = 0; n < count; ++n) {
        int32_t x = static_cast<int32_t>(uniformIndex(random, static_cast<uint32_t>(width)));
        int32_t y = static_cast<int32_t>(uniformIndex(random, static_cast<uint32_t>(height)));
        const bool track = uniformIndex(random, 4) == 0;
        const int length = track ? 2 + static_cast<int>(uniformIndex(random, 4)) : 1;
        const int direction = static_cast<int>(uniformIndex(random, 8));
        CosmicHit hit{x, y, x, y, 0};
        for (int k = 0; k < length; ++k) {
            if (x < 0 || x >= width || y < 0 || y >= height)
                break;
            const int32_t excess = 300 + static_cast<int32_t>(uniformIndex(random, 5701));
            addClipped(pixels,
                       static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x),
                       excess);
            hit.x1 = x;
            hit.y1 = y;
            ++hit.length;
            x += STEP_X[direction];
            y += STEP_Y[direction];
        }
        if (hits != nullptr && hit.length > 0)
            hits->push_back(hit);
    }
}

void addCompactCosmicRays(int count, NightRandom* random, int32_t width, int32_t height,
                          std::vector<uint16_t>* pixels, std::vector<CosmicHit>* hits)
{
    for (int n = 0; n < count; ++n) {
        int32_t x = static_cast<int32_t>(uniformIndex(random, static_cast<uint32_t>(width)));
        int32_t y = static_cast<int32_t>(uniformIndex(random, static_cast<uint32_t>(height)));
        const int length = 1 + static_cast<int>(uniformIndex(random, 10));
        CosmicHit hit;
        std::vector<std::pair<int32_t, int32_t>> visited;
        for (int k = 0; k < length; ++k) {
            const int32_t excess = 300 + static_cast<int32_t>(uniformIndex(random, 5701));
            const bool again =
                std::find(visited.begin(), visited.end(), std::make_pair(x, y)) != visited.end();
            if (x >= 0 && x < width && y >= 0 && y < height && !again) {
                addClipped(pixels,
                           static_cast<size_t>(y) * static_cast<size_t>(width) +
                               static_cast<size_t>(x),
                           excess);
                if (hit.length == 0) {
                    hit.x0 = x;
                    hit.y0 = y;
                }
                hit.x1 = x;
                hit.y1 = y;
                ++hit.length;
                visited.emplace_back(x, y);
            }
            x += static_cast<int32_t>(uniformIndex(random, 3)) - 1;
            y += static_cast<int32_t>(uniformIndex(random, 3)) - 1;
        }
        if (hits != nullptr && hit.length > 0)
            hits->push_back(hit);
    }
}

void addLongTracks(int count, NightRandom* random, int32_t width, int32_t height,
                   std::vector<uint16_t>* pixels, std::vector<CosmicHit>* hits)
{
    for (int n = 0; n < count; ++n) {
        const double x0 = uniformRandom(random) * width;
        const double y0 = uniformRandom(random) * height;
        const double angle = uniformRandom(random) * 2 * newstars::PI;
        const int length = 6 + static_cast<int>(uniformIndex(random, 10));
        CosmicHit hit;
        int32_t lastX = -1, lastY = -1;
        for (int k = 0; k < length; ++k) {
            const int32_t x = static_cast<int32_t>(std::floor(x0 + k * std::cos(angle)));
            const int32_t y = static_cast<int32_t>(std::floor(y0 + k * std::sin(angle)));
            const int32_t excess = 300 + static_cast<int32_t>(uniformIndex(random, 2701));
            if (x < 0 || x >= width || y < 0 || y >= height || (x == lastX && y == lastY))
                continue;
            addClipped(pixels,
                       static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x),
                       excess);
            if (hit.length == 0) {
                hit.x0 = x;
                hit.y0 = y;
            }
            hit.x1 = x;
            hit.y1 = y;
            ++hit.length;
            lastX = x;
            lastY = y;
        }
        if (hits != nullptr && hit.length > 0)
            hits->push_back(hit);
    }
}
