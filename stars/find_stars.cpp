#include "stars/find_stars.hpp"
#include "stars/find_stars_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <utility>

#include "stars/threshold_pretest.hpp"

namespace newstars {

using namespace finder;

static inline const uint16_t* pixelAt(const uint16_t* image, int width, int x, int y)
{
    return image + static_cast<ptrdiff_t>(y) * width + x;
}

static inline uint16_t* pixelAt(uint16_t* image, int width, int x, int y)
{
    return image + static_cast<ptrdiff_t>(y) * width + x;
}

int histogramMedian(const uint32_t* histogram, int64_t n)
{
    const int64_t half = n / 2;
    int64_t running = 0;
    int median = 0;
    for (; median < 65535; ++median) {
        running += histogram[median];
        if (running >= half)
            break;
    }
    return median;
}

void computeRegionStats(const uint16_t* pixels, int width, int x0, int y0, int w, int h,
                        RegionStats* stats)
{
    stats->histogram.assign(65536, 0);
    stats->sum = 0;
    stats->sumOfSquares = 0;
    if (w < 1 || h < 1) {
        stats->mean = stats->median = stats->minimum = stats->maximum = 0;
        stats->sigma = 0;
        return;
    }
    uint32_t* histogram = stats->histogram.data();
    double sum = 0, sumOfSquares = 0;
    uint16_t largest = 0;
    int brightestX = -1, brightestY = -1;
    for (int row = 0; row < h; ++row) {
        const uint16_t* p = pixelAt(pixels, width, x0, y0 + row);
        for (int col = 0; col < w; ++col) {
            const uint16_t v = p[col];
            ++histogram[v];
            sum += v;
            sumOfSquares += static_cast<double>(v) * v;
            if (v > largest) {
                largest = v;
                brightestX = col;
                brightestY = row;
            }
        }
    }
    if (brightestX >= 0) {
        stats->brightestX = brightestX + x0;
        stats->brightestY = brightestY + y0;
    }
    stats->sum = sum;
    stats->sumOfSquares = sumOfSquares;

    const int64_t n = static_cast<int64_t>(w) * h;
    const double count = static_cast<double>(n);
    stats->mean = static_cast<uint16_t>(sum / count + 0.5);
    stats->sigma = 0;
    if (n > 1) {
        const double variance = (sumOfSquares - sum * sum / count) / (count - 1);
        if (variance > 0)
            stats->sigma = std::sqrt(variance);
    }

    int low = 0;
    while (histogram[low] == 0)
        ++low;
    int high = 65535;
    while (histogram[high] == 0)
        --high;
    stats->minimum = static_cast<uint16_t>(low);
    stats->maximum = static_cast<uint16_t>(high);

    stats->median = static_cast<uint16_t>(histogramMedian(histogram, n));
}

int clipSpike(uint16_t* image, int width, int x, int y, uint16_t threshold)
{
    const uint16_t* above = pixelAt(image, width, x, y - 1);
    const uint16_t* here = pixelAt(image, width, x, y);
    const uint16_t* below = pixelAt(image, width, x, y + 1);
    if (above[-1] > threshold || above[0] > threshold || above[1] > threshold ||
        here[-1] > threshold || here[1] > threshold || below[-1] > threshold ||
        below[0] > threshold || below[1] > threshold) {
        return -1;
    }
    image[static_cast<ptrdiff_t>(y) * width + x] = threshold;
    return 0;
}

int climbToPeak(const uint16_t* image, int width, int x, int y, int maxDistance, int* peakX,
                int* peakY, uint16_t* peak)
{
    static constexpr int STEP_X[8] = {1, 0, -1, 1, -1, 1, 0, -1};
    static constexpr int STEP_Y[8] = {1, 1, 1, 0, 0, -1, -1, -1};
    int cx = x, cy = y;
    uint16_t current = *pixelAt(image, width, cx, cy);
    for (;;) {
        int best = -1;
        uint16_t bestValue = current;
        for (int k = 0; k < 8; ++k) {
            const uint16_t v = *pixelAt(image, width, cx + STEP_X[k], cy + STEP_Y[k]);
            if (v > bestValue) {
                bestValue = v;
                best = k;
            }
        }
        if (best < 0)
            break;
        cx += STEP_X[best];
        cy += STEP_Y[best];
        current = bestValue;
        if (std::abs(cx - x) > maxDistance || std::abs(cy - y) > maxDistance)
            return -1;
    }
    *peakX = cx;
    *peakY = cy;
    *peak = current;
    return 0;
}

static RingOffsets makeRingOffsets()
{
    RingOffsets rings;
    for (int r = 2; r <= 4; ++r) {
        for (int dy = -r; dy <= r; ++dy) {
            for (int dx = -r; dx <= r; ++dx) {
                const int d2 = dx * dx + dy * dy;
                if (d2 >= r * r && d2 < (r + 1) * (r + 1)) {
                    const int k = rings.count[r - 2]++;
                    rings.dx[r - 2][k] = dx;
                    rings.dy[r - 2][k] = dy;
                }
            }
        }
    }
    return rings;
}

const RingOffsets& coreRings()
{
    static const RingOffsets rings = makeRingOffsets();
    return rings;
}

int coreRadius(const uint16_t* image, int width, int x, int y, uint16_t peak)
{
    const RingOffsets& rings = coreRings();
    for (int r = 2; r <= 4; ++r) {
        const int n = rings.count[r - 2];
        // Integer sums are exact and equal to the running double sums.
        uint64_t s = 0, q = 0;
        for (int k = 0; k < n; ++k) {
            const uint64_t v =
                *pixelAt(image, width, x + rings.dx[r - 2][k], y + rings.dy[r - 2][k]);
            s += v;
            q += v * v;
        }
        const double sum = static_cast<double>(s), squares = static_cast<double>(q);
        const double count = n;
        const double deviation = std::sqrt(std::fabs(squares - sum * sum / count) / (count - 1));
        const double level = sum / count + 5 * deviation;
        if (peak > level)
            return r;
    }
    return 5;
}

// Vertex of the parabola through three equally spaced samples around position c.
static double parabolaVertex(int c, uint16_t before, uint16_t centre, uint16_t after)
{
    const double denominator = static_cast<double>(after) - 2.0 * centre + before;
    if (denominator == 0)
        return c;
    return c + 0.5 - (static_cast<double>(after) - centre) / denominator;
}

// subpixelPeak for the pixel at here, in rows of width pixels, whose image position is
// (x, y).
static void refinePeak(const uint16_t* here, int width, int x, int y, double* refinedX,
                       double* refinedY)
{
    *refinedX = parabolaVertex(x, here[-1], here[0], here[1]);
    *refinedY = parabolaVertex(y, here[-width], here[0], here[width]);
}

void subpixelPeak(const uint16_t* image, int width, int x, int y, double* refinedX,
                  double* refinedY)
{
    refinePeak(pixelAt(image, width, x, y), width, x, y, refinedX, refinedY);
}

// Sum and sum of squares of a threshold window. Integer sums are exact, so they equal
// the running double sums whatever the order of additions and removals.
struct WindowSums {
    int64_t sum = 0, squares = 0;
};

static void addToWindow(WindowSums* window, int64_t value)
{
    window->sum += value;
    window->squares += value * value;
}

static WindowSums sumWindow(const uint16_t* first)
{
    WindowSums window;
    for (int i = 0; i < WINDOW; ++i)
        addToWindow(&window, first[i]);
    return window;
}

// Moves a window n pixels to the right: the n pixels from leaving on leave it, the n
// pixels from entering on join it.
static void slideWindow(WindowSums* window, const uint16_t* leaving, const uint16_t* entering,
                        int n)
{
    for (int i = 0; i < n; ++i) {
        addToWindow(window, entering[i]);
        window->sum -= leaving[i];
        window->squares -= static_cast<int64_t>(leaving[i]) * leaving[i];
    }
}

// Mean + 5 sample deviations of a window.
static double windowLevel(const WindowSums& window)
{
    const double sum = static_cast<double>(window.sum);
    const double squares = static_cast<double>(window.squares);
    const double deviation = std::sqrt(std::fabs(squares - sum * sum / WINDOW) / (WINDOW - 1));
    return sum / WINDOW + 5 * deviation;
}

// std::min(windowLevel(left), windowLevel(right)), the two levels worked out side by side
// in the two halves of one vector register where the processor has them (each half
// rounds exactly as the scalar operations do).
static double smallerWindowLevel(const WindowSums& left, const WindowSums& right)
{
#if defined(__SSE2__)
    const __m128d sum = _mm_set_pd(static_cast<double>(right.sum), static_cast<double>(left.sum));
    const __m128d squares =
        _mm_set_pd(static_cast<double>(right.squares), static_cast<double>(left.squares));
    const __m128d spread =
        _mm_sub_pd(squares, _mm_div_pd(_mm_mul_pd(sum, sum), _mm_set1_pd(WINDOW)));
    const __m128d magnitude = _mm_andnot_pd(_mm_set1_pd(-0.0), spread);
    const __m128d deviation = _mm_sqrt_pd(_mm_div_pd(magnitude, _mm_set1_pd(WINDOW - 1)));
    const __m128d level =
        _mm_add_pd(_mm_div_pd(sum, _mm_set1_pd(WINDOW)), _mm_mul_pd(_mm_set1_pd(5), deviation));
    double levels[2];
    _mm_storeu_pd(levels, level);
    return std::min(levels[0], levels[1]);
#else
    return std::min(windowLevel(left), windowLevel(right));
#endif
}

void initAcceptedStars(AcceptedStars* accepted, int width, int height)
{
    accepted->cellsX = ((width - 1) >> GRID_SHIFT) + 1;
    accepted->cellsY = ((height - 1) >> GRID_SHIFT) + 1;
    accepted->cellHead.assign(static_cast<size_t>(accepted->cellsX) * accepted->cellsY, -1);
    accepted->next.clear();
    accepted->keyX.clear();
    accepted->keyY.clear();
}

bool isDuplicate(const AcceptedStars& accepted, int px, int py)
{
    const int cx0 = std::max(px - DUPLICATE_RADIUS, 0) >> GRID_SHIFT;
    const int cx1 = std::min((px + DUPLICATE_RADIUS) >> GRID_SHIFT, accepted.cellsX - 1);
    const int cy0 = std::max(py - DUPLICATE_RADIUS, 0) >> GRID_SHIFT;
    const int cy1 = std::min((py + DUPLICATE_RADIUS) >> GRID_SHIFT, accepted.cellsY - 1);
    for (int cy = cy0; cy <= cy1; ++cy) {
        for (int cx = cx0; cx <= cx1; ++cx) {
            for (int32_t i = accepted.cellHead[static_cast<size_t>(cy) * accepted.cellsX + cx];
                 i >= 0; i = accepted.next[i]) {
                if (std::abs(accepted.keyX[i] - px) <= DUPLICATE_RADIUS &&
                    std::abs(accepted.keyY[i] - py) <= DUPLICATE_RADIUS) {
                    return true;
                }
            }
        }
    }
    return false;
}

void rememberStar(AcceptedStars* accepted, double x, double y)
{
    const int kx = static_cast<int>(x), ky = static_cast<int>(y);
    const auto index = static_cast<int32_t>(accepted->keyX.size());
    accepted->keyX.push_back(kx);
    accepted->keyY.push_back(ky);
    int32_t& head = accepted->cellHead[static_cast<size_t>(ky >> GRID_SHIFT) * accepted->cellsX +
                                       (kx >> GRID_SHIFT)];
    accepted->next.push_back(head);
    head = index;
}

// Overwrites the BORDER-pixel band along all four edges with value.
static void fillBorder(uint16_t* image, int width, int height, uint16_t value)
{
    for (int y = 0; y < height; ++y) {
        uint16_t* row = image + static_cast<ptrdiff_t>(y) * width;
        if (y < BORDER || y >= height - BORDER) {
            std::fill(row, row + width, value);
        } else {
            std::fill(row, row + BORDER, value);
            std::fill(row + width - BORDER, row + width, value);
        }
    }
}

// Median + 5 sigma of the statistics of the 10-row strip through the middle of the image
// (columns BORDER to width - BORDER - 1, rows height / 2 on), truncated; a value above
// 65535 becomes 65535 (keeping its low 16 bits would make the band dark).
static uint16_t borderFillValue(const RegionStats& stats)
{
    const double fill = stats.median + 5 * stats.sigma;
    return static_cast<uint16_t>(std::min(fill, 65535.0));
}

// Largest 19 a^2 that leaves a value clearly below a window's level (see
// clearlyBelowLevel).
static int64_t levelBound(const WindowSums& window)
{
    // b = 20 Q - S^2 = 380 deviation^2, exact in 64 bits (at most 20 * 20 * 65535^2).
    const int64_t b = WINDOW * window.squares - window.sum * window.sum;
    const int64_t bound = 500 * b;
    return bound - (bound >> 16) - 64;
}

// Whether value lies clearly below the window's level, mean + 5 deviations, decided in
// exact integers: with a = 20 value - S, value < level exactly when a <= 0 or
// 19 a^2 < 500 b. The margins in levelBound (b / 2^16 and 64) exceed by far the rounding
// of the level computed in double precision (chiefly that of S^2/20, some 1e-5 before the
// square root), so a value clearly below is also at or below the double level. Values not
// clearly below are compared with the double level itself.
static bool clearlyBelowLevel(int64_t value, const WindowSums& window, int64_t bound)
{
    const int64_t a = WINDOW * value - window.sum;
    return (a <= 0) | (19 * a * a < bound);
}

// Examines a pixel above its threshold at (x, y): clips it when it is a lone spike
// (returns true), otherwise appends the star it leads to, if any, to *found (false).
// work holds the working image from row top on.
static bool examineCandidate(uint16_t* work, int top, int width, int x, int y, uint16_t threshold,
                             AcceptedStars* accepted, StarList* found, int64_t* requested)
{
    if (clipSpike(work, width, x, y - top, threshold) == 0)
        return true;
    int px = 0, py = 0;
    uint16_t peak = 0;
    if (climbToPeak(work, width, x, y - top, CLIMB_LIMIT, &px, &py, &peak) != 0)
        return false;
    if (peak == 65535)
        return false;
    py += top;
    if (isDuplicate(*accepted, px, py))
        return false;
    if (coreRadius(work, width, px, py - top, peak) > 4)
        return false;
    double sx = 0, sy = 0;
    refinePeak(pixelAt(work, width, px, py - top), width, px, py, &sx, &sy);
    *requested = static_cast<int64_t>(found->x.size() + 1) * 8;
    found->x.push_back(sx);
    found->y.push_back(sy);
    found->peak.push_back(peak);
    found->peakValue.push_back(peak);
    found->flags.push_back(0);
    rememberStar(accepted, sx, sy);
    return false;
}

// Scans the interior of the working copy and appends the stars accepted to *found.
// The threshold windows slide along the row four pixels per refresh. *requested is kept
// at the byte count of the allocation under way.
static void scanForStars(uint16_t* work, int width, int height, AcceptedStars* accepted,
                         StarList* found, int64_t* requested)
{
    for (int y = BORDER; y < height - BORDER; ++y) {
        uint16_t* row = work + static_cast<ptrdiff_t>(y) * width;
        WindowSums left, right;               // the windows, following clipped spikes
        WindowSums refreshLeft, refreshRight; // the windows as at the last refresh
        int64_t boundLeft = 0, boundRight = 0;
        bool thresholdKnown = false;
        double threshold = 0;
        for (int x = BORDER; x < width - BORDER; ++x) {
            if (x % 4 == 0) {
                if (x == BORDER) {
                    left = sumWindow(row + x - WINDOW);
                    right = sumWindow(row + x + 1);
                } else {
                    // Pixels left of x no longer change; the right window's sums follow
                    // every spike clipped inside it (below).
                    slideWindow(&left, row + x - 4 - WINDOW, row + x - 4, 4);
                    slideWindow(&right, row + x - 3, row + x + WINDOW - 3, 4);
                }
                refreshLeft = left;
                refreshRight = right;
                thresholdKnown = false;
                boundLeft = levelBound(left);
                boundRight = levelBound(right);
            }
            const uint16_t v = row[x];
            if (!thresholdKnown) {
                // The threshold is the smaller level: v is no candidate when below both.
                if (clearlyBelowLevel(v, refreshLeft, boundLeft) &
                    clearlyBelowLevel(v, refreshRight, boundRight)) {
                    continue;
                }
                threshold = std::min(windowLevel(refreshLeft), windowLevel(refreshRight));
                thresholdKnown = true;
            }
            if (!(v > threshold))
                continue;
            const auto clipped = static_cast<uint16_t>(threshold);
            if (examineCandidate(work, 0, width, x, y, clipped, accepted, found, requested) &&
                x % 4 != 0) {
                // The pixel lies in the right window of the last refresh.
                right.sum += static_cast<int64_t>(clipped) - v;
                right.squares +=
                    static_cast<int64_t>(clipped) * clipped - static_cast<int64_t>(v) * v;
            }
        }
    }
}

// The groups of four pixels, from column BORDER on, that a row of width pixels holds.
static int groupsPerRow(int width)
{
    return (width - BORDER - 1) / 4 - BORDER / 4 + 1;
}

// First group at or after j whose bit is set in flags, or count when none is.
static int nextFlaggedGroup(const uint64_t* flags, int j, int count)
{
    int word = j >> 6;
    uint64_t bits = flags[word] & (~uint64_t{0} << (j & 63));
    while (bits == 0) {
        if (++word << 6 >= count)
            return count;
        bits = flags[word];
    }
    return std::min(word * 64 + __builtin_ctzll(bits), count);
}

// Rows of the working image that the scan of one row may read on either side: the
// climb (CLIMB_LIMIT and one neighbour), then the core rings (4) around its end.
static constexpr int ROW_REACH = CLIMB_LIMIT + 4;
// Rows held at a time by the band the vector scan works in.
static constexpr int BAND_ROWS = 64;

// Consecutive rows of the working image, border filled: image rows top .. top + count - 1,
// row r at rows + (r - top) * width; room for capacity rows.
struct RowBand {
    uint16_t* rows = nullptr;
    int capacity = 0;
    int top = 0, count = 0;
};

// Makes image rows first .. last present in the band (last - first < band->capacity,
// first within or just after the rows present), keeping the rows from first on as
// they are, clipped pixels included; new rows come from pixels with the border filled.
static void extendBand(RowBand* band, const uint16_t* pixels, int width, int height, uint16_t fill,
                       int first, int last)
{
    const size_t rowBytes = static_cast<size_t>(width) * sizeof(uint16_t);
    if (last >= band->top + band->capacity) {
        const int keep = band->top + band->count - first;
        std::memmove(band->rows, pixelAt(band->rows, width, 0, first - band->top),
                     static_cast<size_t>(keep) * rowBytes);
        band->top = first;
        band->count = keep;
    }
    for (int r = band->top + band->count; r <= last; ++r) {
        uint16_t* row = pixelAt(band->rows, width, 0, r - band->top);
        if (r < BORDER || r >= height - BORDER) {
            std::fill(row, row + width, fill);
        } else {
            std::memcpy(row, pixelAt(pixels, width, 0, r), rowBytes);
            std::fill(row, row + BORDER, fill);
            std::fill(row + width - BORDER, row + width, fill);
        }
        ++band->count;
    }
}

// The same scan as scanForStars on the caller's pixels, through a band of rows instead
// of a whole working copy, with the groups of four pixels judged first, a row at a time,
// by a vector kernel (see threshold_pretest.hpp). A row holds its original pixels until
// its own scan, which clips only pixels of that row, so the kernel sees the windows the
// scan would see, except the left windows of the five groups after a clipped pixel:
// those groups, and every group the kernel flags, are scanned pixel by pixel with
// windows summed from the current row. bandRows holds min(BAND_ROWS, height) rows.
static void scanForStarsPretested(const uint16_t* pixels, int width, int height, uint16_t fill,
                                  bool avx2, AcceptedStars* accepted, StarList* found,
                                  int64_t* requested, std::vector<uint16_t>* bandRows,
                                  std::vector<double>* scratch, std::vector<uint64_t>* flags)
{
    const int firstGroup = BORDER / 4;
    const int groupCount = groupsPerRow(width);
    const size_t flagWords = static_cast<size_t>((groupCount + 3 + 63) / 64);
    RowBand band;
    band.capacity = std::min(BAND_ROWS, height);
    band.rows = bandRows->data();
    *requested = static_cast<int64_t>(pretestScratchSize(groupCount)) * 8;
    scratch->resize(static_cast<size_t>(pretestScratchSize(groupCount)));
    flags->resize(flagWords);
    for (int y = BORDER; y < height - BORDER; ++y) {
        extendBand(&band, pixels, width, height, fill, y - ROW_REACH,
                   std::min(y + ROW_REACH, height - 1));
        uint16_t* row = pixelAt(band.rows, width, 0, y - band.top);
        std::fill(flags->begin(), flags->end(), 0);
#if defined(__x86_64__)
        // The kernel's reads past the row stay in row y + 1, which the band holds.
        if (avx2)
            pretestRowAvx2(row, firstGroup, groupCount, scratch->data(), flags->data());
        else
            pretestRowSse2(row, firstGroup, groupCount, scratch->data(), flags->data());
#else
        (void)avx2;
        std::fill(flags->begin(), flags->end(), ~uint64_t{0});
#endif
        int stale = -1; // groups up to this one have a clipped pixel in their left window
        for (int j = 0; j < groupCount; ++j) {
            if (j > stale) {
                j = nextFlaggedGroup(flags->data(), j, groupCount);
                if (j == groupCount)
                    break;
            }
            const int x0 = BORDER + 4 * j;
            const WindowSums left = sumWindow(row + x0 - WINDOW);
            const WindowSums right = sumWindow(row + x0 + 1);
            const int64_t boundLeft = levelBound(left), boundRight = levelBound(right);
            bool thresholdKnown = false;
            double threshold = 0;
            for (int x = x0; x < std::min(x0 + 4, width - BORDER); ++x) {
                const uint16_t v = row[x];
                if (!thresholdKnown) {
                    if (clearlyBelowLevel(v, left, boundLeft) &
                        clearlyBelowLevel(v, right, boundRight)) {
                        continue;
                    }
                    threshold = smallerWindowLevel(left, right);
                    thresholdKnown = true;
                }
                if (!(v > threshold))
                    continue;
                if (examineCandidate(band.rows, band.top, width, x, y,
                                     static_cast<uint16_t>(threshold), accepted, found,
                                     requested)) {
                    stale = (x + WINDOW) / 4 - firstGroup;
                }
            }
        }
    }
}

bool finderKernelAvailable(FinderKernel kernel)
{
    switch (kernel) {
    case FinderKernel::Automatic:
    case FinderKernel::Portable:
        return true;
#if defined(__x86_64__)
    case FinderKernel::Sse2:
        return true;
    case FinderKernel::Avx2:
        return pretestAvx2Supported();
#else
    case FinderKernel::Sse2:
    case FinderKernel::Avx2:
        return false;
#endif
    }
    return false;
}

// The kernel findStars runs for the one asked for: Automatic, or one unavailable, gives
// the fastest available.
static FinderKernel kernelToRun(FinderKernel asked)
{
    if (asked != FinderKernel::Automatic && finderKernelAvailable(asked))
        return asked;
    if (finderKernelAvailable(FinderKernel::Avx2))
        return FinderKernel::Avx2;
    if (finderKernelAvailable(FinderKernel::Sse2))
        return FinderKernel::Sse2;
    return FinderKernel::Portable;
}

int findStars(const uint16_t* pixels, int width, int height, StarList* stars,
              StarFinderWorkspace* workspace, std::string* message)
{
    const int64_t pixelCount = (width > 0 && height > 0) ? static_cast<int64_t>(width) * height : 0;
    int64_t requested = pixelCount * 2;
    try {
        StarList found;
        int count = 0;
        if (pixels != nullptr && width >= MIN_SIDE && height >= MIN_SIDE) {
            const FinderKernel kernel = kernelToRun(workspace->kernel);
            const bool wholeCopy = kernel == FinderKernel::Portable;
            std::vector<uint16_t>& work = workspace->work;
            if (wholeCopy) {
                work.assign(pixels, pixels + pixelCount);
            } else {
                requested = static_cast<int64_t>(std::min(BAND_ROWS, height)) * width * 2;
                work.resize(static_cast<size_t>(std::min(BAND_ROWS, height)) * width);
            }
            requested = 8;
            found.x.reserve(1);
            found.y.reserve(1);
            found.peak.reserve(1);
            found.peakValue.reserve(1);
            found.flags.reserve(1);
            requested = 65536 * 4;
            RegionStats strip;
            strip.histogram = std::move(workspace->histogram);
            computeRegionStats(pixels, width, BORDER, height / 2, width - 2 * BORDER, 10, &strip);
            workspace->histogram = std::move(strip.histogram);
            const uint16_t fill = borderFillValue(strip);
            if (wholeCopy)
                fillBorder(work.data(), width, height, fill);
            AcceptedStars accepted;
            accepted.cellHead = std::move(workspace->cellHead);
            accepted.next = std::move(workspace->next);
            accepted.keyX = std::move(workspace->keyX);
            accepted.keyY = std::move(workspace->keyY);
            requested = (pixelCount >> (2 * GRID_SHIFT)) * 4;
            initAcceptedStars(&accepted, width, height);
            if (wholeCopy) {
                scanForStars(work.data(), width, height, &accepted, &found, &requested);
            } else {
                scanForStarsPretested(pixels, width, height, fill, kernel == FinderKernel::Avx2,
                                      &accepted, &found, &requested, &work, &workspace->rowSums,
                                      &workspace->rowFlags);
            }
            workspace->cellHead = std::move(accepted.cellHead);
            workspace->next = std::move(accepted.next);
            workspace->keyX = std::move(accepted.keyX);
            workspace->keyY = std::move(accepted.keyY);
            count = static_cast<int>(found.x.size());
        } else {
            requested = 8;
            found.x.reserve(1);
            found.y.reserve(1);
            found.peak.reserve(1);
            found.peakValue.reserve(1);
            found.flags.reserve(1);
        }
        std::swap(*stars, found);
        return count;
    } catch (const std::exception&) {
        if (message != nullptr)
            *message = "findStars(): Can not malloc " + std::to_string(requested);
        return -1;
    }
}

int findStars(const uint16_t* pixels, int width, int height, StarList* stars, std::string* message)
{
    StarFinderWorkspace workspace;
    return findStars(pixels, width, height, stars, &workspace, message);
}

} // namespace newstars
