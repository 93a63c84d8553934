// The star finder on float values with a no-data mask (see findStarsInValues in
// find_stars.hpp): the algorithm of find_stars.cpp step for step, on a working copy of
// float values, one pixel at a time. Every sum is taken in double precision in a fixed
// order; on whole numbers below 2^26 or so those sums are exact, which is what makes the
// stars the same bit for bit as the 16-bit finder's.

#include "stars/find_stars.hpp"
#include "stars/find_stars_internal.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>
#include <utility>

#include "fits/fits_image.hpp"

namespace newstars {

using namespace finder;

namespace {

// Fewest pixels with data that let a threshold window count, and a core ring.
constexpr int WINDOW_MINIMUM = WINDOW / 2;
constexpr int RING_MINIMUM = 2;
// Half the side of the square that holds a star's aperture (dx^2 + dy^2 < 25).
constexpr int APERTURE_REACH = 4;

// Largest float at or below v.
float floatAtOrBelow(double v)
{
    constexpr double largest = std::numeric_limits<float>::max();
    if (v >= largest)
        return std::numeric_limits<float>::max();
    if (v < -largest)
        return -std::numeric_limits<float>::infinity();
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v)
        f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

bool isWholeNumber(float v)
{
    // Every float of magnitude 2^23 or more is a whole number.
    return std::fabs(v) >= 8388608.0f || v == static_cast<float>(static_cast<int32_t>(v));
}

// Mean + 5 sample deviations of n values of sum and sum of squares, in the operations
// and order of the 16-bit finder's windowLevel (n >= 2).
double meanPlusFiveDeviations(double sum, double squares, double n)
{
    const double deviation = std::sqrt(std::fabs(squares - sum * sum / n) / (n - 1));
    return sum / n + 5 * deviation;
}

// Vertex of the parabola through three equally spaced samples around position c, as
// the 16-bit finder computes it.
double parabolaVertex(int c, double before, double centre, double after)
{
    const double denominator = after - 2.0 * centre + before;
    if (denominator == 0)
        return c;
    return c + 0.5 - (after - centre) / denominator;
}

// One search: the working copy (values, 0 where the mask says no data), the caller's
// image for the flags, and what has been found.
struct ValueSearch {
    float* work = nullptr;
    uint8_t* mask = nullptr; // 1: no data
    int width = 0, height = 0;
    bool wholeNumbers = false;
    double saturation = 0;
    const PixelView* values = nullptr;
    const PixelView* noData = nullptr;
    AcceptedStars* accepted = nullptr;
    StarList* found = nullptr;
    int64_t* requested = nullptr;
    double* blockSums = nullptr;
    double* blockSquares = nullptr;
    int32_t* blockCounts = nullptr;
};

size_t indexOf(int width, int x, int y)
{
    return static_cast<size_t>(y) * width + x;
}

// The element of type T at, in this machine's byte order or the other.
template <typename T, bool SWAPPED> T loadElement(const unsigned char* at)
{
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, at, sizeof(T));
    if constexpr (SWAPPED)
        std::reverse(bytes, bytes + sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

// The element at as a float value: false when it holds none (not finite; for other types,
// beyond the range of single precision, as the image reader takes them). Other types
// than float go through double and are rounded once.
template <typename T, bool SWAPPED> bool loadValue(const unsigned char* at, float* value)
{
    const T element = loadElement<T, SWAPPED>(at);
    if constexpr (std::is_same_v<T, float>) {
        *value = element;
        return std::isfinite(element);
    } else {
        const double v = static_cast<double>(element);
        if (!(std::fabs(v) <= FLT_MAX))
            return false;
        *value = static_cast<float>(v);
        return true;
    }
}

// Calls f with a value of the view's element type and the byte order as a constant.
template <typename F> decltype(auto) withElementType(const PixelView& view, F&& f)
{
    auto order = [&](auto element) -> decltype(auto) {
        if (view.byteSwapped)
            return f(element, std::true_type{});
        return f(element, std::false_type{});
    };
    switch (view.type) {
    case PixelType::Int8: return order(int8_t{});
    case PixelType::UInt8: return order(uint8_t{});
    case PixelType::Int16: return order(int16_t{});
    case PixelType::UInt16: return order(uint16_t{});
    case PixelType::Int32: return order(int32_t{});
    case PixelType::UInt32: return order(uint32_t{});
    case PixelType::Int64: return order(int64_t{});
    case PixelType::UInt64: return order(uint64_t{});
    case PixelType::Float64: return order(double{});
    case PixelType::Float32: break;
    }
    return order(float{});
}

const unsigned char* elementAt(const PixelView& view, int x, int y)
{
    return static_cast<const unsigned char*>(view.data) + y * view.rowStride +
           x * view.columnStride;
}

bool callerHasNoData(const ValueSearch& s, size_t i)
{
    const int x = static_cast<int>(i % static_cast<size_t>(s.width));
    const int y = static_cast<int>(i / static_cast<size_t>(s.width));
    if (s.noData != nullptr) {
        const bool marked = withElementType(*s.noData, [&](auto element, auto swapped) {
            using T = decltype(element);
            return loadElement<T, decltype(swapped)::value>(elementAt(*s.noData, x, y)) != T{};
        });
        if (marked)
            return true;
    }
    return withElementType(*s.values, [&](auto element, auto swapped) {
        float value = 0;
        return !loadValue<decltype(element), decltype(swapped)::value>(
            elementAt(*s.values, x, y), &value);
    });
}

// Copies row y of the caller's values and mask into the working copy (0 and no data
// where the caller has none). False when a value with data is not a whole number.
bool copyRow(const ValueSearch& s, int y)
{
    float* row = s.work + indexOf(s.width, 0, y);
    uint8_t* rowMask = s.mask + indexOf(s.width, 0, y);
    withElementType(*s.values, [&](auto element, auto swapped) {
        using T = decltype(element);
        const unsigned char* at = elementAt(*s.values, 0, y);
        for (int x = 0; x < s.width; ++x, at += s.values->columnStride) {
            float value = 0;
            const bool has = loadValue<T, decltype(swapped)::value>(at, &value);
            rowMask[x] = has ? PIXEL_HAS_DATA : PIXEL_NO_DATA;
            row[x] = has ? value : 0.0f;
        }
    });
    if (s.noData != nullptr) {
        withElementType(*s.noData, [&](auto element, auto swapped) {
            using T = decltype(element);
            const unsigned char* at = elementAt(*s.noData, 0, y);
            for (int x = 0; x < s.width; ++x, at += s.noData->columnStride) {
                if (loadElement<T, decltype(swapped)::value>(at) != T{}) {
                    rowMask[x] = PIXEL_NO_DATA;
                    row[x] = 0.0f;
                }
            }
        });
    }
    bool whole = true;
    for (int x = 0; x < s.width; ++x) {
        if (rowMask[x] == PIXEL_HAS_DATA && !isWholeNumber(row[x]))
            whole = false;
    }
    return whole;
}

// Sums block m (pixels 4m .. 4m + 3) of a row; pixels without data hold 0 in the
// working copy, so only the count needs the mask.
void sumBlock(const ValueSearch& s, const float* row, const uint8_t* rowMask, int m)
{
    double sum = 0, squares = 0;
    int32_t count = 0;
    for (int i = 4 * m; i < 4 * m + 4; ++i) {
        const double v = row[i];
        sum += v;
        squares += v * v;
        count += rowMask[i] == 0;
    }
    s.blockSums[m] = sum;
    s.blockSquares[m] = squares;
    s.blockCounts[m] = count;
}

// The first of the 8 neighbours of pixel i holding data and a value above level, or
// none: the spike test of clipSpike with pixels without data left out.
bool neighbourAbove(const ValueSearch& s, size_t i, float level)
{
    const size_t w = static_cast<size_t>(s.width);
    const size_t around[8] = {i - w - 1, i - w,     i - w + 1, i - 1,
                              i + 1,     i + w - 1, i + w,     i + w + 1};
    for (const size_t n : around) {
        if (s.mask[n] == 0 && s.work[n] > level)
            return true;
    }
    return false;
}

// climbToPeak on the working copy, never stepping onto a pixel without data.
bool climb(const ValueSearch& s, int x, int y, int* peakX, int* peakY, float* peak)
{
    static constexpr int STEP_X[8] = {1, 0, -1, 1, -1, 1, 0, -1};
    static constexpr int STEP_Y[8] = {1, 1, 1, 0, 0, -1, -1, -1};
    int cx = x, cy = y;
    float current = s.work[indexOf(s.width, cx, cy)];
    for (;;) {
        int best = -1;
        float bestValue = current;
        for (int k = 0; k < 8; ++k) {
            const size_t n = indexOf(s.width, cx + STEP_X[k], cy + STEP_Y[k]);
            if (s.mask[n] == 0 && s.work[n] > bestValue) {
                bestValue = s.work[n];
                best = k;
            }
        }
        if (best < 0)
            break;
        cx += STEP_X[best];
        cy += STEP_Y[best];
        current = bestValue;
        if (std::abs(cx - x) > CLIMB_LIMIT || std::abs(cy - y) > CLIMB_LIMIT)
            return false;
    }
    *peakX = cx;
    *peakY = cy;
    *peak = current;
    return true;
}

// coreRadius on the working copy, each ring's statistics over its pixels with data; a
// ring with fewer than RING_MINIMUM of them does not end the core.
int valueCoreRadius(const ValueSearch& s, int x, int y, float peak)
{
    const RingOffsets& rings = coreRings();
    for (int r = 2; r <= 4; ++r) {
        double sum = 0, squares = 0;
        int n = 0;
        for (int k = 0; k < rings.count[r - 2]; ++k) {
            const size_t i = indexOf(s.width, x + rings.dx[r - 2][k], y + rings.dy[r - 2][k]);
            if (s.mask[i] != 0)
                continue;
            const double v = s.work[i];
            sum += v;
            squares += v * v;
            ++n;
        }
        if (n < RING_MINIMUM)
            continue;
        if (peak > meanPlusFiveDeviations(sum, squares, n))
            return r;
    }
    return 5;
}

// Whether one of the 8 neighbours of pixel i holds no data.
bool besideNoData(const ValueSearch& s, size_t i)
{
    const size_t w = static_cast<size_t>(s.width);
    return (s.mask[i - w - 1] | s.mask[i - w] | s.mask[i - w + 1] | s.mask[i - 1] | s.mask[i + 1] |
            s.mask[i + w - 1] | s.mask[i + w] | s.mask[i + w + 1]) != 0;
}

// Refines one axis of the peak at pixel i, its neighbours step away.
double refineAxis(const ValueSearch& s, size_t i, size_t step, int c)
{
    return parabolaVertex(c, s.work[i - step], s.work[i], s.work[i + step]);
}

uint8_t apertureFlags(const ValueSearch& s, int x, int y)
{
    for (int dy = -APERTURE_REACH; dy <= APERTURE_REACH; ++dy) {
        for (int dx = -APERTURE_REACH; dx <= APERTURE_REACH; ++dx) {
            if (dx * dx + dy * dy < (APERTURE_REACH + 1) * (APERTURE_REACH + 1) &&
                callerHasNoData(s, indexOf(s.width, x + dx, y + dy))) {
                return STAR_NEAR_NO_DATA;
            }
        }
    }
    return 0;
}

uint16_t roundedPeak(float peak)
{
    return static_cast<uint16_t>(
        std::floor(std::clamp(static_cast<double>(peak), 0.0, 65535.0) + 0.5));
}

// examineCandidate of the 16-bit finder: clips a lone spike at (x, y) to clip (returns
// true), otherwise appends the star it leads to, if any (false).
bool examineCandidate(const ValueSearch& s, int x, int y, float clip)
{
    const size_t i = indexOf(s.width, x, y);
    if (!neighbourAbove(s, i, clip)) {
        s.work[i] = clip;
        return true;
    }
    int px = 0, py = 0;
    float peak = 0;
    if (!climb(s, x, y, &px, &py, &peak))
        return false;
    if (peak >= s.saturation)
        return false;
    // A maximum beside a pixel without data may be the flank of a star hidden there.
    if (besideNoData(s, indexOf(s.width, px, py)))
        return false;
    if (isDuplicate(*s.accepted, px, py))
        return false;
    if (valueCoreRadius(s, px, py, peak) > 4)
        return false;
    const size_t p = indexOf(s.width, px, py);
    const double sx = refineAxis(s, p, 1, px);
    const double sy = refineAxis(s, p, static_cast<size_t>(s.width), py);
    StarList* found = s.found;
    *s.requested = static_cast<int64_t>(found->x.size() + 1) * 8;
    found->x.push_back(sx);
    found->y.push_back(sy);
    found->peak.push_back(roundedPeak(peak));
    found->peakValue.push_back(peak);
    found->flags.push_back(apertureFlags(s, px, py));
    rememberStar(s.accepted, sx, sy);
    return false;
}

// The scan of the 16-bit finder: groups of four pixels from column BORDER on, each
// judged against the windows of 20 pixels left of its first pixel and 20 right of it,
// summed from blocks of four (sums of current values, clipped spikes included).
void scan(const ValueSearch& s)
{
    const int width = s.width;
    const int firstBlock = BORDER / 4 - WINDOW / 4;
    const int lastBlock = (width - BORDER - 1) / 4 + WINDOW / 4;
    for (int y = BORDER; y < s.height - BORDER; ++y) {
        float* row = s.work + indexOf(width, 0, y);
        const uint8_t* rowMask = s.mask + indexOf(width, 0, y);
        for (int m = firstBlock; m <= lastBlock; ++m)
            sumBlock(s, row, rowMask, m);
        for (int x0 = BORDER; x0 < width - BORDER; x0 += 4) {
            const int m = x0 / 4;
            double leftSum = 0, leftSquares = 0;
            int32_t leftCount = 0;
            for (int b = m - WINDOW / 4; b < m; ++b) {
                leftSum += s.blockSums[b];
                leftSquares += s.blockSquares[b];
                leftCount += s.blockCounts[b];
            }
            double rightSum = 0, rightSquares = 0;
            int32_t rightCount = 0;
            const int rightPixels[4] = {x0 + 1, x0 + 2, x0 + 3, x0 + WINDOW};
            for (const int x : rightPixels) {
                const double v = row[x];
                rightSum += v;
                rightSquares += v * v;
                rightCount += rowMask[x] == 0;
            }
            for (int b = m + 1; b < m + WINDOW / 4; ++b) {
                rightSum += s.blockSums[b];
                rightSquares += s.blockSquares[b];
                rightCount += s.blockCounts[b];
            }
            const bool left = leftCount >= WINDOW_MINIMUM, right = rightCount >= WINDOW_MINIMUM;
            if (!left && !right)
                continue;
            const double leftLevel =
                left ? meanPlusFiveDeviations(leftSum, leftSquares, leftCount) : 0;
            const double rightLevel =
                right ? meanPlusFiveDeviations(rightSum, rightSquares, rightCount) : 0;
            const double threshold =
                left && right ? std::min(leftLevel, rightLevel) : (left ? leftLevel : rightLevel);
            bool clipped = false;
            for (int x = x0; x < std::min(x0 + 4, width - BORDER); ++x) {
                if (!(row[x] > threshold) || rowMask[x] != 0)
                    continue;
                const float clip =
                    floatAtOrBelow(s.wholeNumbers ? std::floor(threshold) : threshold);
                clipped |= examineCandidate(s, x, y, clip);
            }
            if (clipped)
                sumBlock(s, row, rowMask, m);
        }
    }
}

// The border fill of the 16-bit finder on the working copy: the median + 5 sample
// deviations of the data in the strip of rows height / 2 .. height / 2 + 9, columns
// BORDER .. width - BORDER - 1, rounded down (to a whole number for whole-number
// images), at most saturation. False when the strip holds no data.
bool stripFill(const ValueSearch& s, std::vector<float>* strip, float* fill)
{
    strip->clear();
    double sum = 0, squares = 0;
    for (int y = s.height / 2; y < s.height / 2 + 10; ++y) {
        for (int x = BORDER; x < s.width - BORDER; ++x) {
            const size_t i = indexOf(s.width, x, y);
            if (s.mask[i] != 0)
                continue;
            const float v = s.work[i];
            strip->push_back(v);
            sum += v;
            squares += static_cast<double>(v) * v;
        }
    }
    const size_t n = strip->size();
    if (n == 0)
        return false;
    // The smallest value with at least n / 2 values at or below it.
    const size_t k = n / 2 >= 1 ? n / 2 - 1 : 0;
    std::nth_element(strip->begin(), strip->begin() + static_cast<ptrdiff_t>(k), strip->end());
    const double median = (*strip)[k];
    double sigma = 0;
    if (n > 1) {
        const double count = static_cast<double>(n);
        const double variance = (squares - sum * sum / count) / (count - 1);
        if (variance > 0)
            sigma = std::sqrt(variance);
    }
    double level = median + 5 * sigma;
    if (s.wholeNumbers)
        level = std::floor(level);
    *fill = floatAtOrBelow(std::min(level, s.saturation));
    return true;
}

void fillBorder(const ValueSearch& s, float fill, uint8_t noData)
{
    for (int y = 0; y < s.height; ++y) {
        float* row = s.work + indexOf(s.width, 0, y);
        uint8_t* rowMask = s.mask + indexOf(s.width, 0, y);
        const bool whole = y < BORDER || y >= s.height - BORDER;
        for (const auto& [from, to] : {std::pair{0, whole ? s.width : BORDER},
                                       std::pair{whole ? s.width : s.width - BORDER, s.width}}) {
            std::fill(row + from, row + to, fill);
            std::fill(rowMask + from, rowMask + to, noData);
        }
    }
}

} // namespace

int findStarsInValues(const float* values, const uint8_t* noData, int width, int height,
                      double saturation, StarList* stars, StarFinderWorkspace* workspace,
                      std::string* message)
{
    const ptrdiff_t w = width > 0 ? width : 0;
    const PixelView valueView{values, PixelType::Float32, false, w * 4, 4};
    const PixelView maskView{noData, PixelType::UInt8, false, w, 1};
    return findStarsInView(valueView, noData != nullptr ? &maskView : nullptr, width, height,
                           saturation, stars, workspace, message);
}

int findStarsInView(const PixelView& values, const PixelView* noData, int width, int height,
                    double saturation, StarList* stars, StarFinderWorkspace* workspace,
                    std::string* message)
{
    const int64_t pixelCount = (width > 0 && height > 0) ? static_cast<int64_t>(width) * height : 0;
    constexpr int64_t LARGEST = std::numeric_limits<int64_t>::max();
    int64_t requested = pixelCount <= LARGEST / 4 ? pixelCount * 4 : LARGEST;
    try {
        StarList found;
        int count = 0;
        if (values.data != nullptr && width >= MIN_SIDE && height >= MIN_SIDE) {
            const auto n = static_cast<size_t>(pixelCount);
            workspace->values.resize(n);
            requested = pixelCount;
            workspace->noData.resize(n);
            ValueSearch s;
            s.work = workspace->values.data();
            s.mask = workspace->noData.data();
            s.width = width;
            s.height = height;
            s.saturation =
                std::isnan(saturation) ? std::numeric_limits<double>::infinity() : saturation;
            s.values = &values;
            s.noData = noData != nullptr && noData->data != nullptr ? noData : nullptr;
            s.wholeNumbers = true;
            for (int y = 0; y < height; ++y) {
                if (!copyRow(s, y))
                    s.wholeNumbers = false;
            }
            requested = static_cast<int64_t>(width) * 40;
            workspace->strip.reserve(static_cast<size_t>(width) * 10);
            float fill = 0;
            const bool stripHasData = stripFill(s, &workspace->strip, &fill);
            fillBorder(s, stripHasData ? fill : 0.0f,
                       stripHasData ? PIXEL_HAS_DATA : PIXEL_NO_DATA);
            requested = static_cast<int64_t>(width / 4 + 1) * 20;
            const size_t blocks = static_cast<size_t>(width / 4 + 1);
            workspace->blockSums.resize(blocks);
            workspace->blockSquares.resize(blocks);
            workspace->blockCounts.resize(blocks);
            s.blockSums = workspace->blockSums.data();
            s.blockSquares = workspace->blockSquares.data();
            s.blockCounts = workspace->blockCounts.data();
            requested = 8;
            found.x.reserve(1);
            found.y.reserve(1);
            found.peak.reserve(1);
            found.peakValue.reserve(1);
            found.flags.reserve(1);
            AcceptedStars accepted;
            accepted.cellHead = std::move(workspace->cellHead);
            accepted.next = std::move(workspace->next);
            accepted.keyX = std::move(workspace->keyX);
            accepted.keyY = std::move(workspace->keyY);
            requested = (pixelCount >> (2 * GRID_SHIFT)) * 4;
            initAcceptedStars(&accepted, width, height);
            s.accepted = &accepted;
            s.found = &found;
            s.requested = &requested;
            scan(s);
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

void copyViewValues(const PixelView& values, const PixelView* noData, int width, int height,
                    const float* noDataValue, float* outValues, uint8_t* outNoData)
{
    if (values.data == nullptr || width < 1 || height < 1)
        return;
    for (int y = 0; y < height; ++y) {
        float* row = outValues + indexOf(width, 0, y);
        uint8_t* rowMask = outNoData + indexOf(width, 0, y);
        withElementType(values, [&](auto element, auto swapped) {
            using T = decltype(element);
            const unsigned char* at = elementAt(values, 0, y);
            for (int x = 0; x < width; ++x, at += values.columnStride) {
                float value = 0;
                const bool has = loadValue<T, decltype(swapped)::value>(at, &value) &&
                                 (noDataValue == nullptr || value != *noDataValue);
                rowMask[x] = has ? PIXEL_HAS_DATA : PIXEL_NO_DATA;
                row[x] = has ? value : 0.0f;
            }
        });
        if (noData == nullptr || noData->data == nullptr)
            continue;
        withElementType(*noData, [&](auto element, auto swapped) {
            using T = decltype(element);
            const unsigned char* at = elementAt(*noData, 0, y);
            for (int x = 0; x < width; ++x, at += noData->columnStride) {
                if (loadElement<T, decltype(swapped)::value>(at) != T{}) {
                    rowMask[x] = PIXEL_NO_DATA;
                    row[x] = 0.0f;
                }
            }
        });
    }
}

} // namespace newstars
