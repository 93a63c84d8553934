#include "stars/measure_star.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "stars/find_stars_internal.hpp"

namespace newstars {

static uint16_t pixelAt(const uint16_t* pixels, int width, int x, int y)
{
    return pixels[static_cast<ptrdiff_t>(y) * width + x];
}

// Sum and count of the pixels at offsets r2min <= dx^2 + dy^2 < r2max around (cx, cy).
struct RingSum {
    double sum = 0;
    double count = 0;
};

static RingSum sumAnnulus(const uint16_t* pixels, int width, int cx, int cy, int64_t r2min,
                          int64_t r2max, int reach)
{
    RingSum ring;
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            const int64_t d2 = static_cast<int64_t>(dx) * dx + static_cast<int64_t>(dy) * dy;
            if (d2 < r2min || d2 >= r2max)
                continue;
            ring.sum += pixelAt(pixels, width, cx + dx, cy + dy);
            ring.count += 1;
        }
    }
    return ring;
}

// The brightest pixel of the (2s + 1)^2 box around (x, y), the first in scan order among
// equals. false when every pixel of the box is 0 (or the box is empty).
static bool brightestInBox(const uint16_t* pixels, int width, int x, int y, int s, int* px, int* py,
                           int32_t* peak)
{
    uint16_t best = 0;
    bool found = false;
    for (int row = y - s; row <= y + s; ++row) {
        for (int col = x - s; col <= x + s; ++col) {
            const uint16_t v = pixelAt(pixels, width, col, row);
            if (v > best) {
                best = v;
                *px = col;
                *py = row;
                found = true;
            }
        }
    }
    *peak = best;
    return found;
}

// Grows rings around (px, py) until the mean ring value drops by less than the fraction
// of the ring inside it. true with the radius, flux and pixel count stored in *result;
// false with the reason in *message.
static bool growStar(const uint16_t* pixels, int width, int px, int py, const MeasureParams* params,
                     StarMeasurement* result, std::string* message)
{
    int64_t flux = result->peak;
    int64_t count = 1;
    double previousMean = static_cast<double>(flux / count);
    for (int r = 1; r < params->maxRadius; ++r) {
        const RingSum ring = sumAnnulus(pixels, width, px, py, static_cast<int64_t>(r) * r,
                                        static_cast<int64_t>(r + 1) * (r + 1), r);
        const double ringMean = ring.sum / ring.count;
        // A profile already down to 0 cannot fall further: the star ends there.
        const bool ends = previousMean == 0 ||
                          (previousMean - ringMean) / previousMean < params->flatteningFraction;
        if (ends) {
            if (flux > INT32_MAX || count > INT32_MAX) {
                *message = "Star flux exceeds 32-bit range";
                return false;
            }
            result->radius = r;
            result->flux = static_cast<int32_t>(flux);
            result->pixelCount = static_cast<int32_t>(count);
            return true;
        }
        flux = static_cast<int64_t>(static_cast<double>(flux) + ring.sum);
        count = static_cast<int64_t>(static_cast<double>(count) + ring.count);
        previousMean = ringMean;
    }
    *message = "Star occupies entire radius";
    return false;
}

// Median, mean and sigma of the noise annulus, radius^2 <= d^2 < (R - 1)^2 around
// (px, py). false with the reason in *message when it holds fewer than 2 pixels.
static bool measureBackground(const uint16_t* pixels, int width, int px, int py, int radius,
                              int maxRadius, StarMeasurement* result, std::string* message)
{
    const int reach = maxRadius - 2;
    const int64_t r2min = static_cast<int64_t>(radius) * radius;
    const int64_t r2max = static_cast<int64_t>(maxRadius - 1) * (maxRadius - 1);
    std::vector<uint32_t> histogram(65536, 0);
    double sum = 0, squares = 0;
    int64_t n = 0;
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            const int64_t d2 = static_cast<int64_t>(dx) * dx + static_cast<int64_t>(dy) * dy;
            if (d2 < r2min || d2 >= r2max)
                continue;
            const uint16_t v = pixelAt(pixels, width, px + dx, py + dy);
            ++histogram[v];
            sum += v;
            squares += static_cast<double>(v) * v;
            ++n;
        }
    }
    if (n < 2) {
        *message = "No pixels in noise annulus";
        return false;
    }
    const double count = static_cast<double>(n);
    result->backgroundMean = static_cast<int32_t>(sum / count + 0.5);
    result->backgroundSigma =
        static_cast<int32_t>(std::sqrt(std::fabs(squares - sum * sum / count) / (count - 1)));
    result->backgroundMedian = histogramMedian(histogram.data(), n);
    return true;
}

int measureStar(const uint16_t* pixels, int width, int height, const MeasureParams* params, int x,
                int y, int useClimb, StarMeasurement* result, std::string* message)
{
    // Every read lies within S + R of (x, y): the centre moves at most S, the walk reads
    // one pixel beyond its positions, the rings reach R - 1 beyond the centre.
    const int64_t margin =
        static_cast<int64_t>(std::max(params->searchHalfWidth, 0)) + std::max(params->maxRadius, 1);
    if (x - margin < 0 || x + margin >= width || y - margin < 0 || y + margin >= height) {
        char text[64];
        std::snprintf(text, sizeof text, "Coordinates [%d,%d] lie outside image", x, y);
        *message = text;
        return -1;
    }

    int px = 0, py = 0;
    bool found = false;
    if (useClimb) {
        uint16_t peak = 0;
        found = climbToPeak(pixels, width, x, y, params->searchHalfWidth, &px, &py, &peak) == 0;
        if (found)
            result->peak = peak;
        // A walk ending on 0 is in an empty area: nothing to measure against.
        found = found && peak > 0;
    } else {
        found =
            brightestInBox(pixels, width, x, y, params->searchHalfWidth, &px, &py, &result->peak);
    }
    if (!found) {
        *message = "No brightest pixel found";
        return -1;
    }

    if (!growStar(pixels, width, px, py, params, result, message))
        return -1;
    if (!measureBackground(pixels, width, px, py, result->radius, params->maxRadius, result,
                           message)) {
        return -1;
    }
    subpixelPeak(pixels, width, px, py, &result->x, &result->y);
    return 0;
}

namespace {

// The pixels of a float image and its mask, read as measureStarValues reads them.
struct ValuePlane {
    const float* values;
    const uint8_t* noData;
    int width;
    float at(int x, int y) const
    {
        return values[static_cast<ptrdiff_t>(y) * width + x];
    }
    bool empty(int x, int y) const
    {
        return noData != nullptr && noData[static_cast<ptrdiff_t>(y) * width + x] != 0;
    }
};

double vertexOf(int c, double before, double centre, double after)
{
    const double denominator = after - 2.0 * centre + before;
    if (denominator == 0)
        return c;
    return c + 0.5 - (after - centre) / denominator;
}

// Sum and count of the pixels at r2min <= d^2 < r2max around (cx, cy); *empty tells
// whether one of them holds no data (left out of the sums).
RingSum sumValueRing(const ValuePlane& plane, int cx, int cy, int64_t r2min, int64_t r2max,
                     int reach, bool* empty)
{
    RingSum ring;
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            const int64_t d2 = static_cast<int64_t>(dx) * dx + static_cast<int64_t>(dy) * dy;
            if (d2 < r2min || d2 >= r2max)
                continue;
            if (plane.empty(cx + dx, cy + dy)) {
                *empty = true;
                continue;
            }
            ring.sum += plane.at(cx + dx, cy + dy);
            ring.count += 1;
        }
    }
    return ring;
}

} // namespace

int measureStarValues(const float* values, const uint8_t* noData, int width, int height,
                      const MeasureParams* params, int x, int y, int useClimb, StarValues* result,
                      std::string* message)
{
    const int64_t margin =
        static_cast<int64_t>(std::max(params->searchHalfWidth, 0)) + std::max(params->maxRadius, 1);
    if (x - margin < 0 || x + margin >= width || y - margin < 0 || y + margin >= height) {
        char text[64];
        std::snprintf(text, sizeof text, "Coordinates [%d,%d] lie outside image", x, y);
        *message = text;
        return -1;
    }
    const ValuePlane plane{values, noData, width};

    // The brightest pixel: uphill from (x, y), or the first brightest of the box.
    int px = x, py = y;
    bool found = false;
    if (useClimb) {
        static constexpr int STEP_X[8] = {1, 0, -1, 1, -1, 1, 0, -1};
        static constexpr int STEP_Y[8] = {1, 1, 1, 0, 0, -1, -1, -1};
        found = !plane.empty(px, py);
        float current = plane.at(px, py);
        while (found) {
            int best = -1;
            float bestValue = current;
            for (int k = 0; k < 8; ++k) {
                const int nx = px + STEP_X[k], ny = py + STEP_Y[k];
                if (!plane.empty(nx, ny) && plane.at(nx, ny) > bestValue) {
                    bestValue = plane.at(nx, ny);
                    best = k;
                }
            }
            if (best < 0)
                break;
            px += STEP_X[best];
            py += STEP_Y[best];
            current = bestValue;
            if (std::abs(px - x) > params->searchHalfWidth ||
                std::abs(py - y) > params->searchHalfWidth)
                found = false;
        }
    } else {
        const int s = params->searchHalfWidth;
        for (int row = y - s; row <= y + s; ++row) {
            for (int col = x - s; col <= x + s; ++col) {
                if (!plane.empty(col, row) && (!found || plane.at(col, row) > plane.at(px, py))) {
                    px = col;
                    py = row;
                    found = true;
                }
            }
        }
    }
    // A brightest pixel not above 0 is an empty or sky-subtracted area: no star there.
    if (!found || !(plane.at(px, py) > 0)) {
        *message = "No brightest pixel found";
        return -1;
    }
    result->peak = plane.at(px, py);

    // Rings grow while their mean keeps falling by the fraction.
    bool empty = false;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            empty = empty || plane.empty(px + dx, py + dy);
    double flux = result->peak, count = 1, previousMean = result->peak;
    int radius = 0;
    for (int r = 1; r < params->maxRadius && radius == 0; ++r) {
        const RingSum ring = sumValueRing(plane, px, py, static_cast<int64_t>(r) * r,
                                          static_cast<int64_t>(r + 1) * (r + 1), r, &empty);
        const double ringMean = ring.count > 0 ? ring.sum / ring.count : 0;
        if (!(previousMean > 0) ||
            (previousMean - ringMean) / previousMean < params->flatteningFraction) {
            radius = r;
            break;
        }
        flux += ring.sum;
        count += ring.count;
        previousMean = ringMean;
    }
    if (empty) {
        *message = "Star reaches pixels without data";
        return -1;
    }
    if (radius == 0) {
        *message = "Star occupies entire radius";
        return -1;
    }
    result->radius = radius;
    result->flux = flux;
    result->pixelCount = static_cast<int32_t>(count);

    // The noise annulus, radius^2 <= d^2 < (R - 1)^2, pixels with data only.
    const int reach = params->maxRadius - 2;
    const int64_t r2min = static_cast<int64_t>(radius) * radius;
    const int64_t r2max = static_cast<int64_t>(params->maxRadius - 1) * (params->maxRadius - 1);
    std::vector<double> annulus;
    double sum = 0, squares = 0;
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            const int64_t d2 = static_cast<int64_t>(dx) * dx + static_cast<int64_t>(dy) * dy;
            if (d2 < r2min || d2 >= r2max || plane.empty(px + dx, py + dy))
                continue;
            const double v = plane.at(px + dx, py + dy);
            annulus.push_back(v);
            sum += v;
            squares += v * v;
        }
    }
    if (annulus.size() < 2) {
        *message = "No pixels in noise annulus";
        return -1;
    }
    const double n = static_cast<double>(annulus.size());
    // The element measureStar's histogram gives: the (n / 2)-th smallest, counted from 1.
    const auto middle = annulus.begin() + static_cast<ptrdiff_t>(annulus.size() / 2 - 1);
    std::nth_element(annulus.begin(), middle, annulus.end());
    result->backgroundMedian = *middle;
    result->backgroundMean = sum / n;
    result->backgroundSigma = std::sqrt(std::fabs(squares - sum * sum / n) / (n - 1));

    result->x = plane.empty(px - 1, py) || plane.empty(px + 1, py)
                    ? px
                    : vertexOf(px, plane.at(px - 1, py), plane.at(px, py), plane.at(px + 1, py));
    result->y = plane.empty(px, py - 1) || plane.empty(px, py + 1)
                    ? py
                    : vertexOf(py, plane.at(px, py - 1), plane.at(px, py), plane.at(px, py + 1));
    return 0;
}

// 2.2 / signal-to-noise of one star, 0 when its background has no spread. false when the
// peak equals the background median of a star with spread.
static bool errorTerm(const StarMeasurement* star, double* term)
{
    if (star->backgroundSigma == 0) {
        *term = 0;
        return true;
    }
    if (star->peak == star->backgroundMedian)
        return false;
    const double signalToNoise =
        (static_cast<double>(star->peak) - star->backgroundMedian) / star->backgroundSigma;
    *term = 2.2 / signalToNoise;
    return true;
}

int compareMeasurements(const StarMeasurement* a, const StarMeasurement* b, double* difference,
                        double* error)
{
    const int64_t netA =
        static_cast<int64_t>(a->flux) - static_cast<int64_t>(a->pixelCount) * a->backgroundMedian;
    const int64_t netB =
        static_cast<int64_t>(b->flux) - static_cast<int64_t>(b->pixelCount) * b->backgroundMedian;
    if (netA <= 0 || netB <= 0)
        return -1;
    double termA = 0, termB = 0;
    if (!errorTerm(a, &termA) || !errorTerm(b, &termB))
        return -1;
    *difference = -2.511886 * std::log10(static_cast<double>(netB) / static_cast<double>(netA));
    *error = std::sqrt(termB * termB + termA * termA);
    return 0;
}

void addShiftedImage(FitsImage* destination, const uint16_t* source, int dx, int dy)
{
    const int64_t width = destination->width, height = destination->height;
    // Source rows and columns whose shifted position lies in the destination.
    const int64_t x0 = std::max<int64_t>(0, -static_cast<int64_t>(dx));
    const int64_t x1 = std::min<int64_t>(width, width - dx);
    const int64_t y0 = std::max<int64_t>(0, -static_cast<int64_t>(dy));
    const int64_t y1 = std::min<int64_t>(height, height - dy);
    uint16_t* target = destination->pixels.data();
    for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1; ++x) {
            uint16_t& to = target[(y + dy) * width + x + dx];
            const int sum = to + source[y * width + x];
            to = static_cast<uint16_t>(std::min(sum, 65535));
        }
    }
}

} // namespace newstars
