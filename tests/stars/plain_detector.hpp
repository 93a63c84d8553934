#pragma once
// A deliberately plain star detector written from the description of the algorithm
// alone: every threshold summed afresh from its 40 pixels, every duplicate test a scan
// of all stars accepted so far, no shortcut of any kind. findStars must agree with it
// on every star (position bit for bit, peak); the tests and the fuzz target check that.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace plain_detector {

struct PlainStar {
    double x, y;
    uint16_t peak;
};

using Image = std::vector<uint16_t>;

inline uint16_t at(const Image& image, int width, int x, int y)
{
    return image[static_cast<size_t>(y) * width + x];
}

// Background strip: median and sample deviation of rows h/2 .. h/2 + 9, columns 32 .. w - 33.
inline void stripMedianSigma(const Image& image, int width, int height, int* median, double* sigma)
{
    std::vector<uint32_t> histogram(65536, 0);
    double sum = 0, squares = 0;
    const int w = width - 64, h = 10;
    for (int y = height / 2; y < height / 2 + h; ++y) {
        for (int x = 32; x < 32 + w; ++x) {
            const double v = at(image, width, x, y);
            ++histogram[at(image, width, x, y)];
            sum += v;
            squares += v * v;
        }
    }
    const int n = w * h;
    const double variance = (squares - sum * sum / n) / (n - 1);
    *sigma = variance > 0 ? std::sqrt(variance) : 0;
    const int half = n / 2;
    long running = 0;
    *median = 0;
    for (int v = 0; v < 65536; ++v) {
        running += histogram[v];
        if (running >= half) {
            *median = v;
            break;
        }
    }
}

inline double windowLevel(const Image& image, int width, int y, int firstX)
{
    double s = 0, q = 0;
    for (int x = firstX; x < firstX + 20; ++x) {
        const double v = at(image, width, x, y);
        s += v;
        q += v * v;
    }
    const double deviation = std::sqrt(std::fabs(q - s * s / 20) / 19);
    return s / 20 + 5 * deviation;
}

inline bool isSpike(Image& image, int width, int x, int y, uint16_t t)
{
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if ((dx != 0 || dy != 0) && at(image, width, x + dx, y + dy) > t)
                return false;
        }
    }
    image[static_cast<size_t>(y) * width + x] = t;
    return true;
}

inline bool climb(const Image& image, int width, int x0, int y0, int* px, int* py)
{
    static const int order[8][2] = {{1, 1},  {0, 1},  {-1, 1}, {1, 0},
                                    {-1, 0}, {1, -1}, {0, -1}, {-1, -1}};
    int x = x0, y = y0;
    for (;;) {
        int best = at(image, width, x, y), bx = x, by = y;
        for (const auto& o : order) {
            const int v = at(image, width, x + o[0], y + o[1]);
            if (v > best) {
                best = v;
                bx = x + o[0];
                by = y + o[1];
            }
        }
        if (bx == x && by == y)
            break;
        x = bx;
        y = by;
        if (std::abs(x - x0) > 10 || std::abs(y - y0) > 10)
            return false;
    }
    *px = x;
    *py = y;
    return true;
}

inline bool standsClear(const Image& image, int width, int x, int y, uint16_t p)
{
    for (int r = 2; r <= 4; ++r) {
        double n = 0, s = 0, q = 0;
        for (int dy = -r - 1; dy <= r + 1; ++dy) {
            for (int dx = -r - 1; dx <= r + 1; ++dx) {
                const int d2 = dx * dx + dy * dy;
                if (d2 < r * r || d2 >= (r + 1) * (r + 1))
                    continue;
                const double v = at(image, width, x + dx, y + dy);
                n += 1;
                s += v;
                q += v * v;
            }
        }
        const double deviation = std::sqrt(std::fabs(q - s * s / n) / (n - 1));
        if (p > s / n + 5 * deviation)
            return true;
    }
    return false;
}

inline double vertex(double coordinate, double before, double centre, double after)
{
    const double d = after - 2 * centre + before;
    if (d == 0)
        return coordinate;
    return coordinate + 0.5 - (after - centre) / d;
}

inline std::vector<PlainStar> plainFindStars(const Image& pixels, int width, int height)
{
    std::vector<PlainStar> stars;
    if (width < 65 || height < 65)
        return stars;
    Image image = pixels;
    int median = 0;
    double sigma = 0;
    stripMedianSigma(pixels, width, height, &median, &sigma);
    const auto fill = static_cast<uint16_t>(std::min(65535.0, std::trunc(median + 5 * sigma)));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (y < 32 || y >= height - 32 || x < 32 || x >= width - 32) {
                image[static_cast<size_t>(y) * width + x] = fill;
            }
        }
    }
    for (int y = 32; y <= height - 33; ++y) {
        double threshold = 0;
        for (int x = 32; x <= width - 33; ++x) {
            if (x % 4 == 0) {
                threshold = std::min(windowLevel(image, width, y, x - 20),
                                     windowLevel(image, width, y, x + 1));
            }
            if (!(at(image, width, x, y) > threshold))
                continue;
            if (isSpike(image, width, x, y, static_cast<uint16_t>(threshold)))
                continue;
            int px = 0, py = 0;
            if (!climb(image, width, x, y, &px, &py))
                continue;
            const uint16_t p = at(image, width, px, py);
            if (p == 65535)
                continue;
            bool duplicate = false;
            for (const PlainStar& s : stars) {
                const int sx = static_cast<int>(s.x), sy = static_cast<int>(s.y);
                if (std::abs(sx - px) <= 4 && std::abs(sy - py) <= 4) {
                    duplicate = true;
                    break;
                }
            }
            if (duplicate || !standsClear(image, width, px, py, p))
                continue;
            stars.push_back(
                {vertex(px, at(image, width, px - 1, py), p, at(image, width, px + 1, py)),
                 vertex(py, at(image, width, px, py - 1), p, at(image, width, px, py + 1)), p});
        }
    }
    return stars;
}

} // namespace plain_detector
