#include "diff/detect.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <new>
#include <utility>

#include "base/angles.hpp"
#include "base/statistics.hpp"
#include "base/text.hpp"
#include "diff/cell_grid.hpp"

namespace newstars {

DiffStatus estimateSky(const uint16_t* pixels, int32_t width, int32_t height, SkyEstimate* sky)
{
    if (pixels == nullptr || width < 1 || height < 1)
        return DiffStatus::BadInput;
    std::vector<float> values;
    try {
        values.assign(pixels, pixels + static_cast<size_t>(width) * height);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    return estimateSky(values.data(), nullptr, width, height, SATURATION, sky);
}

DiffStatus estimateSky(const float* pixels, const uint8_t* noData, int32_t width, int32_t height,
                       double saturation, SkyEstimate* sky)
{
    if (pixels == nullptr || width < 1 || height < 1)
        return DiffStatus::BadInput;
    const size_t n = static_cast<size_t>(width) * height;
    const size_t step = std::max<size_t>(1, n / 250007);
    std::vector<float> sample;
    try {
        sample.reserve(n / step + 1);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    for (size_t i = 0; i < n; i += step) {
        if (pixels[i] < saturation && (noData == nullptr || noData[i] == 0))
            sample.push_back(pixels[i]);
    }
    if (sample.empty())
        return DiffStatus::BadInput;
    // Median and robust deviation first, then three rounds of clipping at 3 deviations
    // around the median with the deviation from the kept values' spread (divided by
    // 0.9866, the deviation of a normal distribution cut at 3 deviations): the median
    // absolute deviation of whole numbers is itself a whole or half number and would be
    // several per cent off for a sky deviation of 20 or so.
    std::vector<float> values = sample;
    double level = medianInPlace(&values, MedianSide::Upper);
    for (float& v : values)
        v = std::fabs(v - static_cast<float>(level));
    double sigma = ROBUST_SIGMA_PER_MAD * medianInPlace(&values, MedianSide::Upper);
    for (int round = 0; round < 3 && sigma > 0; ++round) {
        values.clear();
        for (float v : sample) {
            if (std::fabs(v - level) < 3 * sigma)
                values.push_back(v);
        }
        if (values.size() < 2)
            break;
        double sum = 0, squares = 0;
        for (float v : values) {
            sum += v;
            squares += (v - level) * (v - level);
        }
        const double mean = sum / static_cast<double>(values.size());
        const double variance =
            squares / static_cast<double>(values.size()) - (mean - level) * (mean - level);
        level = medianInPlace(&values, MedianSide::Upper);
        sigma = std::sqrt(std::max(variance, 0.0)) / 0.9866;
    }
    sky->level = level;
    sky->sigma = sigma;
    return DiffStatus::Ok;
}

NoiseModel noiseFromSky(const SkyEstimate& sky, double gain)
{
    NoiseModel noise;
    const double variance = sky.sigma * sky.sigma;
    if (gain > 0 && std::isfinite(gain)) {
        noise.gain = gain;
        noise.readNoise = std::sqrt(std::max(variance - std::max(sky.level, 0.0) / gain, 0.0));
    } else if (!(sky.level >= 3 * sky.sigma) && sky.sigma > 0 && std::isfinite(sky.sigma)) {
        // A sky this close to zero was subtracted: it tells nothing of the photon noise,
        // and its scatter is all the noise known.
        noise.gain = std::numeric_limits<double>::infinity();
        noise.readNoise = sky.sigma;
    } else {
        const double g = sky.level / variance;
        noise.gain = g > 0 && std::isfinite(g) ? g : 1;
        noise.readNoise = 0;
    }
    return noise;
}

namespace {

// Rows of the difference per band of the detection's filtering: fixed, so that the bands,
// and the detections, are the same whatever the threads.
constexpr int DETECT_BAND_ROWS = 128;

// The separable filter of filterSeparable one output row at a time, in order, from input
// rows read when first needed: 2 r + 1 rows filtered along x are held, not the image.
class RowFilter {
public:
    // row(y, into) writes input row y (w values) into into. The first output row is first
    // (each row comes out the same whichever row the filter starts from).
    RowFilter(int w, int h, const std::vector<float>& weights,
              std::function<void(int y, float* into)> row, int first = 0)
        : w_(w), h_(h), r_(static_cast<int>(weights.size() / 2)), k_(2 * r_ + 1), y_(first),
          weights_(weights), row_(std::move(row)), ring_(static_cast<size_t>(k_) * w),
          padded_(static_cast<size_t>(w + 2 * r_), 0.0f), out_(static_cast<size_t>(w))
    {
        for (int y = std::max(0, first - r_); y < std::min(first + r_, h_); ++y)
            filterRow(y);
    }

    // The next output row (w values, valid until the next call); rows first to h - 1.
    const float* next()
    {
        const int y = y_++;
        if (y + r_ < h_)
            filterRow(y + r_);
        float* o = out_.data();
        std::fill(o, o + w_, 0.0f);
        for (int b = 0; b < k_; ++b) {
            const int yy = y + b - r_;
            if (yy < 0 || yy >= h_)
                continue;
            const float wb = weights_[static_cast<size_t>(b)];
            const float* p = ring_.data() + static_cast<size_t>(yy % k_) * w_;
            for (int x = 0; x < w_; ++x)
                o[x] += wb * p[x];
        }
        return o;
    }

private:
    // Row y filtered along x into its slot of the ring, y mod (2 r + 1).
    void filterRow(int y)
    {
        row_(y, padded_.data() + r_);
        float* o = ring_.data() + static_cast<size_t>(y % k_) * w_;
        std::fill(o, o + w_, 0.0f);
        for (int a = 0; a < k_; ++a) {
            const float wa = weights_[static_cast<size_t>(a)];
            const float* p = padded_.data() + a;
            for (int x = 0; x < w_; ++x)
                o[x] += wa * p[x];
        }
    }

    int w_, h_, r_, k_;
    int y_;
    const std::vector<float>& weights_;
    std::function<void(int y, float* into)> row_;
    std::vector<float> ring_, padded_, out_;
};

// The value RowFilter gives at (x, y) for the plane with its unusable pixels at 0, by the
// same operations in the same order (the same float), from the pixels around it alone.
float filteredAt(const FloatImage& plane, const std::vector<uint8_t>& mask,
                 const std::vector<float>& weights, int x, int y)
{
    const int r = static_cast<int>(weights.size() / 2), k = 2 * r + 1;
    const int w = plane.width, h = plane.height;
    float o = 0.0f;
    for (int b = 0; b < k; ++b) {
        const int yy = y + b - r;
        if (yy < 0 || yy >= h)
            continue;
        const size_t start = static_cast<size_t>(yy) * w;
        float along = 0.0f;
        for (int a = 0; a < k; ++a) {
            const int xx = x + a - r;
            float value = 0.0f;
            if (xx >= 0 && xx < w && (mask[start + xx] & MASK_UNUSABLE) == 0)
                value = plane.pixels[start + xx];
            along += weights[static_cast<size_t>(a)] * value;
        }
        o += weights[static_cast<size_t>(b)] * along;
    }
    return o;
}

} // namespace

void filterSeparable(const FloatImage& in, const std::vector<float>& weights, FloatImage* out)
{
    const int w = in.width, h = in.height;
    RowFilter filter(w, h, weights, [&](int y, float* into) {
        std::copy(in.pixels.begin() + static_cast<ptrdiff_t>(y) * w,
                  in.pixels.begin() + static_cast<ptrdiff_t>(y + 1) * w, into);
    });
    for (int y = 0; y < h; ++y) {
        const float* o = filter.next();
        std::copy(o, o + w, out->pixels.begin() + static_cast<ptrdiff_t>(y) * w);
    }
}

void markSharpPixels(const uint16_t* pixels, int32_t width, int32_t height, double skySigma,
                     double psfSigma, std::vector<uint8_t>* mask, uint8_t bit)
{
    const std::vector<float> values(pixels, pixels + static_cast<size_t>(width) * height);
    markSharpPixels(values.data(), nullptr, width, height, SATURATION, skySigma, psfSigma, mask,
                    bit);
}

void markSharpPixels(const float* pixels, const uint8_t* noData, int32_t width, int32_t height,
                     double saturation, double skySigma, double psfSigma,
                     std::vector<uint8_t>* mask, uint8_t bit)
{
    const double s2 = psfSigma * psfSigma;
    const double rho = (4 * std::exp(-1 / (2 * s2)) + 4 * std::exp(-1 / s2)) / 8;
    const ptrdiff_t w = width;
    std::vector<size_t> sharp;
    const double excessLimit = 8 * 2.5 * skySigma;
    // Sums of whole numbers below 2^53 are exact in double: 16-bit values give the same
    // sums as integer arithmetic.
    for (ptrdiff_t y = 2; y < height - 2; ++y) {
        const float* row = pixels + y * w;
        for (ptrdiff_t x = 2; x < width - 2; ++x) {
            const double p = row[x];
            if (p >= saturation)
                continue;
            const double neighbourSum = static_cast<double>(row[x - 1]) + row[x + 1] +
                                        row[x - w - 1] + row[x - w] + row[x - w + 1] +
                                        row[x + w - 1] + row[x + w] + row[x + w + 1];
            if (8 * p - neighbourSum < excessLimit)
                continue;
            if (noData != nullptr) {
                bool empty = false;
                for (ptrdiff_t dy = -2; dy <= 2 && !empty; ++dy)
                    for (ptrdiff_t dx = -2; dx <= 2 && !empty; ++dx)
                        empty = noData[(y + dy) * w + x + dx] != 0;
                if (empty)
                    continue;
            }
            const double neighbours = neighbourSum / 8.0;
            double floor = std::numeric_limits<double>::infinity();
            for (ptrdiff_t d = -2; d <= 2; ++d) {
                floor = std::min({floor, static_cast<double>(row[x + d - 2 * w]),
                                  static_cast<double>(row[x + d + 2 * w]),
                                  static_cast<double>(row[x - 2 + d * w]),
                                  static_cast<double>(row[x + 2 + d * w])});
            }
            const double a = p - floor, b = neighbours - floor;
            if (a > 5 * skySigma && b < 0.5 * rho * a)
                sharp.push_back(static_cast<size_t>(y * w + x));
        }
    }
    for (size_t at : sharp) {
        for (ptrdiff_t dy = -1; dy <= 1; ++dy)
            for (ptrdiff_t dx = -1; dx <= 1; ++dx)
                (*mask)[static_cast<size_t>(static_cast<ptrdiff_t>(at) + dy * w + dx)] |= bit;
    }
}

namespace {

struct Peak {
    int32_t x = 0, y = 0;
    float snr = 0;
};

// Measures one detection; false when it has no positive flux to centre on.
void measure(const FloatImage& d, const FloatImage& v, const std::vector<uint8_t>& mask,
             const FloatImage* reference, const DetectOptions& o, const Peak& peak,
             double noiseScale, DifferenceSource* s)
{
    const int w = d.width, h = d.height;
    const double sigma = o.psfSigma;
    const int r = static_cast<int>(std::ceil(3 * sigma));
    const double inv2s2 = 1 / (2 * sigma * sigma);
    double xc = peak.x, yc = peak.y;
    for (int iteration = 0; iteration < 20; ++iteration) {
        const int ix = static_cast<int>(std::lround(xc)), iy = static_cast<int>(std::lround(yc));
        double sw = 0, sx = 0, sy = 0;
        for (int y = std::max(0, iy - r); y <= std::min(h - 1, iy + r); ++y) {
            for (int x = std::max(0, ix - r); x <= std::min(w - 1, ix + r); ++x) {
                const size_t at = static_cast<size_t>(y) * w + x;
                if (mask[at] & MASK_UNUSABLE)
                    continue;
                const double dx = x - xc, dy = y - yc;
                const double wd = std::exp(-(dx * dx + dy * dy) * inv2s2) * d.pixels[at];
                sw += wd;
                sx += wd * dx;
                sy += wd * dy;
            }
        }
        if (!(sw > 0))
            break;
        const double nx = xc + 2 * sx / sw, ny = yc + 2 * sy / sw;
        if (std::fabs(nx - peak.x) > 2 || std::fabs(ny - peak.y) > 2) {
            xc = peak.x;
            yc = peak.y;
            break;
        }
        const bool settled = std::fabs(nx - xc) < 1e-4 && std::fabs(ny - yc) < 1e-4;
        xc = nx;
        yc = ny;
        if (settled)
            break;
    }
    s->x = xc;
    s->y = yc;
    const int ix = static_cast<int>(std::lround(xc)), iy = static_cast<int>(std::lround(yc));
    const double norm = 1 / (2 * PI * sigma * sigma);
    double spp = 0, spd = 0, sppv = 0;
    double mw = 0, mxx = 0, myy = 0, mxy = 0;
    double positive = 0, negative = 0;
    bool masked = false, cosmic = false;
    const double core = std::max(2.0, 1.5 * sigma), core2 = core * core;
    const double lobe = 3 * sigma, lobe2 = lobe * lobe;
    double rpd = 0;
    const int reach = r + r / 2;
    for (int y = iy - reach; y <= iy + reach; ++y) {
        for (int x = ix - reach; x <= ix + reach; ++x) {
            if (x < 0 || y < 0 || x >= w || y >= h)
                continue;
            const size_t at = static_cast<size_t>(y) * w + x;
            const double dx = x - xc, dy = y - yc, r2 = dx * dx + dy * dy;
            if (r2 <= 4 && (mask[at] & MASK_COSMIC))
                cosmic = true;
            if (mask[at] & MASK_UNUSABLE) {
                if (r2 <= core2)
                    masked = true;
                continue;
            }
            const double dv = d.pixels[at], var = v.pixels[at];
            const double noise = noiseScale * std::sqrt(std::max(var, 0.0));
            if (r2 <= lobe2) {
                if (dv > 2 * noise)
                    positive += dv;
                else if (dv < -2 * noise)
                    negative -= dv;
            }
            if (r2 > r * r)
                continue;
            const double g = std::exp(-r2 * inv2s2);
            const double p = norm * g;
            spp += p * p;
            spd += p * dv;
            sppv += p * p * var;
            const double positivePart = std::max(dv, 0.0);
            mw += g * positivePart;
            mxx += g * positivePart * dx * dx;
            myy += g * positivePart * dy * dy;
            mxy += g * positivePart * dx * dy;
            if (reference != nullptr)
                rpd += p * (reference->pixels[at] - o.referenceBackground);
        }
    }
    s->flux = spp > 0 ? spd / spp : 0;
    s->fluxError = spp > 0 ? noiseScale * std::sqrt(std::max(sppv, 0.0)) / spp : 0;
    s->snr = s->fluxError > 0 ? s->flux / s->fluxError : 0;
    s->peakSnr = peak.snr;
    const size_t nearest = static_cast<size_t>(std::clamp(iy, 0, h - 1)) * w +
                           static_cast<size_t>(std::clamp(ix, 0, w - 1));
    const double ndx = ix - xc, ndy = iy - yc;
    const double model = s->flux * norm * std::exp(-(ndx * ndx + ndy * ndy) * inv2s2);
    s->sharpness = model > 0 ? d.pixels[nearest] / model : std::numeric_limits<double>::infinity();
    if (mw > 0) {
        // The window's narrowing undone, the shape taken relative to the point spread's.
        s->elongation =
            relativeElongation(mxx / mw, myy / mw, mxy / mw, sigma * sigma, o.psfShape);
    } else {
        s->elongation = 99;
    }
    s->dipole = positive > 0 ? negative / positive : 99;
    s->referenceFlux = 0;
    s->magnitudeChange = std::numeric_limits<double>::quiet_NaN();
    if (reference != nullptr && spp > 0) {
        s->referenceFlux = rpd / spp;
        if (s->referenceFlux > 3 * s->fluxError && s->referenceFlux + s->flux > 0)
            s->magnitudeChange = -2.5 * std::log10((s->referenceFlux + s->flux) / s->referenceFlux);
    }
    s->reasons = 0;
    if (s->sharpness > o.sharpnessLimit || cosmic)
        s->reasons |= REJECT_SHARP;
    if (s->elongation > o.elongationLimit)
        s->reasons |= REJECT_ELONGATED;
    if (s->dipole > o.dipoleLimit)
        s->reasons |= REJECT_DIPOLE;
    if (masked)
        s->reasons |= REJECT_MASKED;
}

} // namespace

DiffStatus detectSources(const FloatImage& difference, const FloatImage& variance,
                         const std::vector<uint8_t>& mask, const FloatImage* reference,
                         const DetectOptions& options,
                         const std::function<bool(double x, double y)>& inside,
                         std::vector<DifferenceSource>* sources, double* noiseScale)
{
    const int w = difference.width, h = difference.height;
    const size_t n = static_cast<size_t>(w) * h;
    if (w < 3 || h < 3 || difference.pixels.size() != n || variance.width != w ||
        variance.height != h || variance.pixels.size() != n || mask.size() != n ||
        !(options.psfSigma > 0.3) || options.psfSigma > 20 || options.maxDetections < 1 ||
        (reference != nullptr && reference->pixels.size() != n))
        return DiffStatus::BadInput;
    std::vector<Peak> peaks;
    double scale = 1;
    try {
        const int r = static_cast<int>(std::ceil(3 * options.psfSigma));
        std::vector<float> p(static_cast<size_t>(2 * r + 1)), p2(p.size());
        double sum = 0;
        for (int a = -r; a <= r; ++a)
            sum += std::exp(-a * a / (2 * options.psfSigma * options.psfSigma));
        for (int a = -r; a <= r; ++a) {
            const double g = std::exp(-a * a / (2 * options.psfSigma * options.psfSigma)) / sum;
            p[static_cast<size_t>(a + r)] = static_cast<float>(g);
            p2[static_cast<size_t>(a + r)] = static_cast<float>(g * g);
        }
        // The signal-to-noise's scale from a sample of its pixels, each filtered on its own,
        // in bands of rows joined in order.
        const size_t step = std::max<size_t>(1, n / 250000);
        const int bands = (h + DETECT_BAND_ROWS - 1) / DETECT_BAND_ROWS;
        std::vector<std::vector<float>> bandSamples(static_cast<size_t>(bands));
        std::vector<std::vector<Peak>> bandPeaks(static_cast<size_t>(bands));
        std::vector<char> failed(static_cast<size_t>(bands), 0);
        runItems(options.threads, bands, [&](int band) {
            const size_t first = static_cast<size_t>(band) * DETECT_BAND_ROWS * w;
            const size_t end =
                std::min(n, static_cast<size_t>(band + 1) * DETECT_BAND_ROWS * w);
            std::vector<float>& part = bandSamples[static_cast<size_t>(band)];
            try {
                for (size_t i = (first + step - 1) / step * step; i < end; i += step) {
                    if ((mask[i] & MASK_UNUSABLE) != 0)
                        continue;
                    const int x = static_cast<int>(i % static_cast<size_t>(w));
                    const int y = static_cast<int>(i / static_cast<size_t>(w));
                    const float var = filteredAt(variance, mask, p2, x, y);
                    if (var > 0)
                        part.push_back(filteredAt(difference, mask, p, x, y) / std::sqrt(var));
                }
            } catch (const std::bad_alloc&) {
                failed[static_cast<size_t>(band)] = 1;
            }
        });
        if (std::find(failed.begin(), failed.end(), 1) != failed.end())
            return DiffStatus::OutOfMemory;
        std::vector<float> sample;
        for (const std::vector<float>& part : bandSamples)
            sample.insert(sample.end(), part.begin(), part.end());
        std::vector<std::vector<float>>().swap(bandSamples);
        if (sample.size() > 100) {
            const float median = medianInPlace(&sample, MedianSide::Upper);
            for (float& v : sample)
                v = std::fabs(v - median);
            scale = std::clamp(ROBUST_SIGMA_PER_MAD * medianInPlace(&sample, MedianSide::Upper),
                               0.5, 3.0);
        }
        const float inverse = static_cast<float>(1 / scale);
        // Then the difference and the variance filtered row by row (unusable pixels at 0),
        // the scaled signal-to-noise of three rows at a time searched for peaks.
        const auto usableRow = [&](const FloatImage& plane) {
            return [&plane, &mask, w](int y, float* into) {
                const size_t start = static_cast<size_t>(y) * w;
                for (int x = 0; x < w; ++x)
                    into[x] = (mask[start + x] & MASK_UNUSABLE) == 0 ? plane.pixels[start + x]
                                                                     : 0.0f;
            };
        };
        // Each band of rows (its peaks, with the rows above and below it filtered again)
        // apart, its peaks joined in band order: the scan order of the whole.
        runItems(options.threads, bands, [&](int band) {
            const int firstRow = band * DETECT_BAND_ROWS;
            const int endRow = std::min(h, firstRow + DETECT_BAND_ROWS);
            try {
                const int from = std::max(0, firstRow - 1), to = std::min(h, endRow + 1);
                RowFilter filtered(w, h, p, usableRow(difference), from);
                RowFilter filteredVariance(w, h, p2, usableRow(variance), from);
                std::vector<float> rows(static_cast<size_t>(3) * w); // row y in slot y mod 3
                std::vector<Peak>& found = bandPeaks[static_cast<size_t>(band)];
                const float threshold = static_cast<float>(options.threshold);
                for (int y = from; y < to; ++y) {
                    const float* f = filtered.next();
                    const float* fv = filteredVariance.next();
                    float* out = rows.data() + static_cast<size_t>(y % 3) * w;
                    for (int x = 0; x < w; ++x) {
                        const float var = fv[x];
                        out[x] = var > 0 ? f[x] / std::sqrt(var) : 0.0f;
                        out[x] *= inverse;
                    }
                    // Row y - 1 has both its neighbours now.
                    const int py = y - 1;
                    if (py < 1 || py < firstRow)
                        continue;
                    const float* up = rows.data() + static_cast<size_t>((py - 1) % 3) * w;
                    const float* row = rows.data() + static_cast<size_t>(py % 3) * w;
                    const float* down = out;
                    for (int x = 1; x < w - 1; ++x) {
                        const float s = row[x];
                        if (!(s >= threshold) ||
                            (mask[static_cast<size_t>(py) * w + x] & MASK_UNUSABLE))
                            continue;
                        if (s > up[x - 1] && s > up[x] && s > up[x + 1] && s > row[x - 1] &&
                            s >= row[x + 1] && s >= down[x - 1] && s >= down[x] &&
                            s >= down[x + 1])
                            found.push_back({x, py, s});
                    }
                }
            } catch (const std::bad_alloc&) {
                failed[static_cast<size_t>(band)] = 1;
            }
        });
        if (std::find(failed.begin(), failed.end(), 1) != failed.end())
            return DiffStatus::OutOfMemory;
        for (const std::vector<Peak>& part : bandPeaks)
            peaks.insert(peaks.end(), part.begin(), part.end());
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    // Strongest first (ties in scan order); drop the weaker of two close peaks.
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Peak& a, const Peak& b) { return a.snr > b.snr; });
    if (peaks.size() > static_cast<size_t>(options.maxDetections))
        peaks.resize(static_cast<size_t>(options.maxDetections));
    const double separation = 1.5 * options.psfSigma;
    const double cell = std::max(1.0, std::ceil(separation));
    CellGrid grid(0, 0, w, h, cell);
    std::vector<Peak> kept;
    for (const Peak& peak : peaks) {
        bool close = false;
        grid.visitNear(peak.x, peak.y, [&](uint32_t index) {
            const double dx = kept[index].x - peak.x;
            const double dy = kept[index].y - peak.y;
            close = dx * dx + dy * dy <= separation * separation;
            return !close;
        });
        if (close)
            continue;
        grid.add(peak.x, peak.y, static_cast<uint32_t>(kept.size()));
        kept.push_back(peak);
    }
    std::sort(kept.begin(), kept.end(),
              [](const Peak& a, const Peak& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    std::vector<DifferenceSource> found;
    for (const Peak& peak : kept) {
        DifferenceSource s;
        measure(difference, variance, mask, reference, options, peak, scale, &s);
        if (inside && !inside(s.x, s.y))
            continue;
        found.push_back(s);
    }
    sources->swap(found);
    if (noiseScale != nullptr)
        *noiseScale = scale;
    return DiffStatus::Ok;
}

std::string differenceReasonText(uint32_t reasons)
{
    static const char* const WORDS[] = {"sharp", "elongated", "dipole", "masked"};
    return flagWords(reasons, WORDS, std::size(WORDS));
}

} // namespace newstars
