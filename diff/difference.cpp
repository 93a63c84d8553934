#include "diff/difference.hpp"

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "base/statistics.hpp"
#include "diff/cell_grid.hpp"
#include "diff/image_plane.hpp"
#include "diff/register.hpp"
#include "diff/resample.hpp"
#include "diff/saturated.hpp"
#include "stars/find_stars.hpp"

namespace newstars {

namespace {

// Seconds on a steady clock (0 when the clock is not there).
double clockSeconds()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double secondsSince(double start)
{
    return clockSeconds() - start;
}

// Adaptive moments on any pixel type; see measureStarShape.
// noData (null: every pixel holds data) refuses stars with a pixel without data within
// the annulus's outer square.
template <typename Pixel>
bool shapeOf(const Pixel* pixels, const uint8_t* noData, int32_t w, int32_t h, double x, double y,
             double* cx, double* cy, double* sigma)
{
    const int inner = 12, outer = 16;
    if (!(x >= outer && y >= outer && x < w - outer - 1 && y < h - outer - 1))
        return false;
    const int ix = static_cast<int>(std::lround(x)), iy = static_cast<int>(std::lround(y));
    if (noData != nullptr) {
        for (int dy = -outer; dy <= outer; ++dy) {
            const uint8_t* row = noData + static_cast<size_t>(iy + dy) * w + ix;
            for (int dx = -outer; dx <= outer; ++dx) {
                if (row[dx] != 0)
                    return false;
            }
        }
    }
    std::vector<double> ring;
    for (int dy = -outer; dy <= outer; ++dy) {
        for (int dx = -outer; dx <= outer; ++dx) {
            const int r2 = dx * dx + dy * dy;
            if (r2 >= inner * inner && r2 < outer * outer)
                ring.push_back(pixels[static_cast<size_t>(iy + dy) * w + (ix + dx)]);
        }
    }
    const double background = medianInPlace(&ring, MedianSide::Upper);
    double px = x, py = y, s2 = 4;
    for (int iteration = 0; iteration < 30; ++iteration) {
        double sw = 0, sx = 0, sy = 0, srr = 0;
        for (int dy = -inner + 1; dy < inner; ++dy) {
            for (int dx = -inner + 1; dx < inner; ++dx) {
                const double ox = ix + dx - px, oy = iy + dy - py;
                const double r2 = ox * ox + oy * oy;
                const double value =
                    pixels[static_cast<size_t>(iy + dy) * w + (ix + dx)] - background;
                const double wv = std::exp(-r2 / (2 * s2)) * value;
                sw += wv;
                sx += wv * ox;
                sy += wv * oy;
                srr += wv * r2;
            }
        }
        if (!(sw > 0))
            return false;
        const double nx = px + 2 * sx / sw, ny = py + 2 * sy / sw;
        const double ns2 = std::clamp(srr / sw, 0.09, 36.0);
        const bool settled = std::fabs(nx - px) < 1e-5 && std::fabs(ny - py) < 1e-5 &&
                             std::fabs(ns2 - s2) < 1e-5 * s2;
        px = nx;
        py = ny;
        s2 = ns2;
        if (std::fabs(px - x) > 3 || std::fabs(py - y) > 3)
            return false;
        if (settled)
            break;
    }
    *cx = px;
    *cy = py;
    *sigma = std::sqrt(s2);
    return true;
}

// The point spread's width among star widths that galaxies and blends widen: the median
// of those at most 1.25 times the fifth smallest part (20th percentile) of them.
double typicalStarWidth(std::vector<double> widths)
{
    if (widths.empty())
        return 0;
    std::sort(widths.begin(), widths.end());
    const double limit = 1.25 * widths[widths.size() / 5];
    std::vector<double> narrow;
    for (double w : widths) {
        if (w <= limit)
            narrow.push_back(w);
    }
    return medianOf(std::move(narrow), MedianSide::Upper, 0);
}

// Pixels beyond a star's point-spread deviation at which a group of cosmic-ray hits still
// counts as lying on that star (registration errors, centring of blends).
constexpr double STAR_REACH = 2.5;

// A test star matched to a reference star.
struct MatchedStar {
    double x = 0, y = 0;                    // test pixels (finder position)
    double u = 0, v = 0;                    // reference pixels (finder position)
    double testPeak = 0, referencePeak = 0; // peak values, units of each image
    bool isolated = true;
};

// Matches the brightest unsaturated test stars to the nearest reference star within
// radius of their mapped position (unambiguous: no second one within twice the radius).
std::vector<MatchedStar> matchStars(const ImagePlane& testPlane, const ImagePlane& referencePlane,
                                    const PixelMap& map, double radius, int maxStars,
                                    double isolation)
{
    const StarList& test = testPlane.stars;
    const StarList& reference = referencePlane.stars;
    std::vector<size_t> order(test.x.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return testPlane.peaks[a] > testPlane.peaks[b]; });
    std::vector<MatchedStar> matched;
    if (reference.x.empty() || test.x.empty())
        return matched;
    // Reference stars on a grid of cells of the search radius, test stars on one of the
    // isolation distance.
    const CellGrid grid = CellGrid::of(reference.x, reference.y, 2 * radius);
    const CellGrid testGrid = CellGrid::of(test.x, test.y, std::max(isolation, 1.0));
    for (size_t i : order) {
        if (static_cast<int>(matched.size()) >= maxStars)
            break;
        double u = 0, v = 0;
        mapPosition(map, test.x[i], test.y[i], &u, &v);
        double best = 1e300, second = 1e300;
        size_t bestIndex = 0;
        grid.visitNear(u, v, [&](uint32_t j) {
            const double d = std::hypot(reference.x[j] - u, reference.y[j] - v);
            if (d < best) {
                second = best;
                best = d;
                bestIndex = j;
            } else if (d < second) {
                second = d;
            }
            return true;
        });
        if (best > radius || second < 2 * radius)
            continue;
        MatchedStar m;
        m.x = test.x[i];
        m.y = test.y[i];
        m.u = reference.x[bestIndex];
        m.v = reference.y[bestIndex];
        m.testPeak = testPlane.peaks[i];
        m.referencePeak = referencePlane.peaks[bestIndex];
        testGrid.visitNear(m.x, m.y, [&](uint32_t k) {
            m.isolated = k == i || !(std::hypot(test.x[k] - m.x, test.y[k] - m.y) < isolation);
            return m.isolated;
        });
        matched.push_back(m);
    }
    return matched;
}

// Registration when the map from the coordinates does not fit the stars at once: the
// offset (and turn) of the brightest test stars' mapped positions against the reference
// stars found by voting (options.registration; the radius also doubled, twice), then up
// to 4 rounds of matching within the
// tight radius on the map so far and refining with the fallbacks (affine, shift, none),
// while the matched pairs grow. measurePairs(map, radius, least) fills *pairs (and the
// caller's other per-pair lists). Sets the result's map, registration figures, kind and
// vote; the map is initialMap when no shift could be fitted.
void searchRegistration(const ImagePlane& testPlane, const PixelMap& initialMap,
                        const DifferenceOptions& options,
                        const std::function<void(const PixelMap&, double, double)>& measurePairs,
                        const std::vector<PositionPair>& pairs, DifferenceResult* r)
{
    const StarList& test = testPlane.stars;
    std::vector<size_t> order(test.x.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return testPlane.peaks[a] > testPlane.peaks[b]; });
    if (order.size() > static_cast<size_t>(options.maxRegistrationStars))
        order.resize(static_cast<size_t>(options.maxRegistrationStars));
    std::vector<double> mu, mv;
    for (size_t i : order) {
        double u = 0, v = 0;
        mapPosition(initialMap, test.x[i], test.y[i], &u, &v);
        mu.push_back(u);
        mv.push_back(v);
    }
    const RegistrationOptions& o = options.registration;
    ShiftSearch search;
    search.radius = o.searchRadius;
    search.tolerance = o.voteTolerance;
    search.maxTurn = o.maxTurn;
    const double cx = (testPlane.width - 1) / 2.0, cy = (testPlane.height - 1) / 2.0;
    mapPosition(initialMap, cx, cy, &search.centreU, &search.centreV);
    search.turnReach = std::max(1.0, std::hypot(cx, cy) *
                                         std::sqrt(mapAreaFactor(initialMap, cx, cy)));
    // The radius as given, then twice and four times it (at most a quarter of the test
    // image's smaller side): coordinates farther off than stated still register when the
    // stars agree. A wider radius is taken only when it gathers twice the votes, and 3 more
    // (it holds the narrower one's offsets, and more room for chance coincidences).
    const double widest =
        std::max(o.searchRadius, std::min(testPlane.width, testPlane.height) / 4.0);
    for (double radius = o.searchRadius; radius <= std::min(widest, 4 * o.searchRadius);
         radius *= 2) {
        search.radius = radius;
        ShiftVote vote;
        if (voteShift(mu, mv, r->referenceStars.x, r->referenceStars.y, search, &vote) !=
            DiffStatus::Ok)
            break;
        if (radius == o.searchRadius ||
            (vote.votes >= 2 * r->vote.votes && vote.votes >= r->vote.votes + 3))
            r->vote = vote;
    }
    PixelMap current = initialMap;
    if (r->vote.votes >= 2)
        applyShiftVote(r->vote, search, &current);
    r->map = initialMap;
    r->registrationKind = RegistrationKind::Coordinates;
    r->registrationRefined = false;
    size_t previous = 0;
    for (int round = 0; round < 4; ++round) {
        measurePairs(current, o.matchRadius, o.leastPeak);
        PixelMap fitted = current;
        MapFit fit;
        RegistrationKind kind = RegistrationKind::Coordinates;
        if (refineWithFallback(pairs, options.correctionOrder, &fitted, &fit, &kind) !=
            DiffStatus::Ok)
            break;
        r->registration = fit;
        r->registrationKind = kind;
        if (kind == RegistrationKind::Coordinates) {
            // The figures of the map used: the pairs' distances from the coordinates' map.
            r->map = initialMap;
            double squares = 0;
            for (const PositionPair& p : pairs) {
                double u = 0, v = 0;
                mapPosition(initialMap, p.x, p.y, &u, &v);
                squares += (p.u - u) * (p.u - u) + (p.v - v) * (p.v - v);
            }
            r->registration.rms = pairs.empty() ? 0 : std::sqrt(squares / pairs.size());
            break;
        }
        r->map = fitted;
        r->registrationRefined = true;
        if (pairs.size() <= previous)
            break;
        previous = pairs.size();
        current = fitted;
    }
}

// The kernel fitted where stars give too few stamps: stamps on the bright unmasked peaks
// of the source image (stars, blends and galaxies' cores alike, at least 10 sky deviations
// up), first with the basis as given, then, when fewer than 3 of them are usable or their
// fit has no unique solution, with a smaller basis (degrees 2, 1, 0) held constant over
// the image, on as few as 1 stamp. Sets
// *used to BrightPixels or FewBrightPixels on success.
DiffStatus fitKernelOnBrightPixels(const FloatImage& source, const FloatImage& target,
                                   const DifferenceResult& r, const NoiseModel& sourceNoise,
                                   const NoiseModel& targetNoise, const KernelFitOptions& fit,
                                   int maxStamps, KernelSolution* kernel, KernelStamps* used)
{
    const double area = r.referenceConvolved ? mapAreaFactor(r.map, (source.width - 1) / 2.0,
                                                             (source.height - 1) / 2.0)
                                             : 1.0;
    const double level = r.referenceConvolved ? r.referenceSky.level * area : r.testSky.level;
    const double sigma = r.referenceConvolved ? r.referenceSky.sigma * area : r.testSky.sigma;
    std::vector<int32_t> xs, ys;
    brightPixelStamps(source, r.mask.data(), level, sigma, 10, fit.stampHalfSize + fit.halfWidth,
                      maxStamps, &xs, &ys);
    DiffStatus status =
        fitKernel(source, target, r.mask.data(), sourceNoise, targetNoise, xs, ys, fit, kernel);
    if (status == DiffStatus::Ok) {
        *used = KernelStamps::BrightPixels;
        return status;
    }
    if (status != DiffStatus::TooFewStars && status != DiffStatus::SingularFit)
        return status;
    KernelFitOptions few = fit;
    few.minStamps = 1;
    few.spatialOrder = 0;
    few.degrees.assign(few.sigmas.size(), 0);
    for (size_t g = 0; g < few.degrees.size(); ++g)
        few.degrees[g] = std::max(0, 2 - static_cast<int>(g));
    status = fitKernel(source, target, r.mask.data(), sourceNoise, targetNoise, xs, ys, few, kernel);
    if (status == DiffStatus::Ok)
        *used = KernelStamps::FewBrightPixels;
    return status;
}

// With options.kernelScale Apertures: the flux scale measured in large apertures around the
// source's brightest peaks, held in *fit; where too few are usable, *fit is left to fit it.
DiffStatus holdApertureScale(const FloatImage& source, const FloatImage& target,
                             const NoiseModel& sourceNoise, const NoiseModel& targetNoise,
                             double blur, const DifferenceOptions& options, DifferenceResult* r,
                             KernelFitOptions* fit)
{
    if (options.kernelScale != KernelScale::Apertures)
        return DiffStatus::Ok;
    const double area = mapAreaFactor(r->map, (source.width - 1) / 2.0, (source.height - 1) / 2.0);
    const SkyEstimate& sourceSky = r->referenceConvolved ? r->referenceSky : r->testSky;
    const SkyEstimate& targetSky = r->referenceConvolved ? r->testSky : r->referenceSky;
    const double sourceArea = r->referenceConvolved ? area : 1.0;
    const double targetArea = r->referenceConvolved ? 1.0 : area;
    ApertureScaleOptions apertures = options.apertureScale;
    if (!options.fixedKernel)
        apertures.radius = std::clamp(static_cast<int>(std::ceil(10 * blur)), 10, 40);
    double scale = 0;
    int used = 0;
    const DiffStatus s = apertureFluxScale(
        source, target, r->mask.data(), sourceNoise, targetNoise, sourceSky.level * sourceArea,
        targetSky.level * targetArea, sourceSky.sigma * sourceArea, apertures, &scale, &used);
    if (s == DiffStatus::TooFewStars || (s == DiffStatus::Ok && !(scale > 0)))
        return DiffStatus::Ok;
    if (s != DiffStatus::Ok)
        return s;
    fit->fixedSum = scale;
    r->scaleApertures = used;
    return DiffStatus::Ok;
}

// The seeing of both images where fewer than 3 isolated stars matched: the widths of every
// matched star (blends too) when there are any, else of each image's own stars measured
// apart. False when neither image has a star whose shape measures.
template <typename Pixel>
bool seeingFromAllStars(const ImagePlane& testPlane, const ImagePlane& referencePlane,
                        const Pixel* test, const uint8_t* testNoData, const Pixel* reference,
                        const uint8_t* referenceNoData, const std::vector<double>& pairTest,
                        const std::vector<double>& pairReference, DifferenceResult* r)
{
    std::vector<double> testWidths = pairTest, referenceWidths = pairReference;
    auto own = [](const ImagePlane& plane, const Pixel* pixels, const uint8_t* noData,
                  std::vector<double>* widths) {
        for (size_t i = 0; i < plane.stars.x.size(); ++i) {
            double cx = 0, cy = 0, s = 0;
            if (shapeOf(pixels, noData, plane.width, plane.height, plane.stars.x[i],
                        plane.stars.y[i], &cx, &cy, &s))
                widths->push_back(s);
        }
    };
    if (testWidths.empty() || referenceWidths.empty()) {
        testWidths.clear();
        referenceWidths.clear();
        own(testPlane, test, testNoData, &testWidths);
        own(referencePlane, reference, referenceNoData, &referenceWidths);
    }
    if (testWidths.empty() || referenceWidths.empty())
        return false;
    const double area = mapAreaFactor(r->map, (testPlane.width - 1) / 2.0,
                                      (testPlane.height - 1) / 2.0);
    r->testSigma = typicalStarWidth(testWidths);
    r->referenceSigma = typicalStarWidth(referenceWidths) / std::max(std::sqrt(area), 1e-9);
    r->seeingFromFewStars = true;
    return true;
}

// Replaces every pixel carrying bit by the median of the unflagged pixels with data
// (noData null: all) on the border of the 5 x 5 square around it (left as it is when there
// are none or it is too near the edge).
template <typename Pixel>
void cleanMaskedPixels(Pixel* pixels, int32_t w, int32_t h, const std::vector<uint8_t>& mask,
                       uint8_t bit, const uint8_t* noData)
{
    std::vector<Pixel> ring;
    for (int32_t y = 2; y < h - 2; ++y) {
        for (int32_t x = 2; x < w - 2; ++x) {
            if (!(mask[static_cast<size_t>(y) * w + x] & bit))
                continue;
            ring.clear();
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    if (std::abs(dx) != 2 && std::abs(dy) != 2)
                        continue;
                    const size_t at = static_cast<size_t>(y + dy) * w + (x + dx);
                    if (!(mask[at] & bit) && (noData == nullptr || noData[at] == 0))
                        ring.push_back(pixels[at]);
                }
            }
            if (ring.empty())
                continue;
            pixels[static_cast<size_t>(y) * w + x] = medianInPlace(&ring, MedianSide::Upper);
        }
    }
}

// Whether a star of the other image of the pair lies within radius of a pixel, both in
// this image's pixels: the other image's stars, placed here, on a grid.
class OtherStars {
public:
    // toHere maps a star position of the other image to this image's pixels (null: the
    // star list is already there).
    OtherStars(const StarList& stars, const PixelMap* toHere, double radius) : radius_(radius)
    {
        for (size_t i = 0; i < stars.x.size() && i < stars.y.size(); ++i) {
            double u = stars.x[i], v = stars.y[i];
            if (toHere != nullptr)
                mapPosition(*toHere, stars.x[i], stars.y[i], &u, &v);
            if (!std::isfinite(u) || !std::isfinite(v))
                continue;
            x_.push_back(u);
            y_.push_back(v);
        }
        if (!x_.empty())
            grid_ = CellGrid::of(x_, y_, radius);
    }

    bool near(double x, double y) const
    {
        bool found = false;
        if (grid_)
            grid_->visitNear(x, y, [&](uint32_t k) {
                found = std::hypot(x_[k] - x, y_[k] - y) <= radius_;
                return !found;
            });
        return found;
    }

private:
    double radius_;
    std::vector<double> x_, y_;
    std::optional<CellGrid> grid_;
};

// Sets bit in mask at every cosmic-ray hit or hot pixel findCosmicRays finds in the image
// (values of width x height with noData, null: all data), its noise from noise (the sky's
// deviation as read noise alone when the model gives none), the object limit raised
// above what a point source of psfSigma (0.5 at least) reaches; groups of hits with a pixel where
// onStar holds are stars (seen in the other image too), not hits. Ok; OutOfMemory; an
// image whose noise the finder cannot use is left unmarked.
DiffStatus markCosmicRays(const float* values, const uint8_t* noData, int32_t width,
                          int32_t height, double saturation, const NoiseModel& noise,
                          double skySigma, double psfSigma, CosmicRayOptions options,
                          const std::function<bool(int32_t x, int32_t y)>& onStar,
                          std::vector<uint8_t>* mask, uint8_t bit)
{
    options.gain = noise.gain;
    options.readNoise = noise.readNoise;
    options.saturation = saturation;
    if (!(noise.gain > 0) || !std::isfinite(noise.readNoise) ||
        (std::isinf(noise.gain) && !(noise.readNoise > 0))) {
        options.gain = std::numeric_limits<double>::infinity();
        options.readNoise = skySigma;
    }
    // Adaptive moments of a star much narrower than a pixel measure the pixel, not the
    // star (down to their floor of 0.3): such stars count as 0.5 pixels wide.
    options.objectLimit =
        std::max(options.objectLimit, 1.5 * pointSourceFineRatio(std::max(psfSigma, 0.5)));
    std::vector<uint8_t> hits;
    const DiffStatus status =
        findCosmicRays(values, noData, width, height, options, &hits, nullptr);
    if (status == DiffStatus::OutOfMemory)
        return status;
    if (status != DiffStatus::Ok)
        return DiffStatus::Ok;
    dropHitsOnSources(&hits, width, height, onStar);
    for (size_t i = 0; i < hits.size(); ++i) {
        if (hits[i] != 0)
            (*mask)[i] |= bit;
    }
    return DiffStatus::Ok;
}

// Rows of an image per band of the steps run on threads: fixed, so that the bands, and
// the result, are the same whatever the threads.
constexpr int32_t BAND_ROWS = 64;

// Runs work(first, end) over the rows 0 .. height - 1 in bands of BAND_ROWS rows on threads.
void forEachBand(SharedThreads* threads, int32_t height,
                 const std::function<void(int32_t first, int32_t end)>& work)
{
    const int bands = static_cast<int>((height + BAND_ROWS - 1) / BAND_ROWS);
    runItems(threads, bands, [&](int band) {
        const int32_t first = band * BAND_ROWS;
        work(first, std::min(height, first + BAND_ROWS));
    });
}

// The number of mask pixels that carry bit.
int64_t countMasked(const std::vector<uint8_t>& mask, uint8_t bit)
{
    int64_t count = 0;
    for (uint8_t m : mask)
        count += (m & bit) != 0 ? 1 : 0;
    return count;
}

// The pipeline of subtractImages on two planes. testValues and referenceValues, when not
// null, are the planes' own values, which it may then take over or release once done with
// them (and change in between, restoring them before any later read).
DiffStatus runPipeline(const ImagePlane& testPlane, const ImagePlane& referencePlane,
                       std::vector<float>* testValues, std::vector<float>* referenceValues,
                       const PixelMap& initialMap, const DifferenceOptions& options,
                       const std::function<bool(double x, double y)>& inside,
                       DifferenceResult* result);

} // namespace

const char* kernelStampsText(KernelStamps stamps)
{
    switch (stamps) {
    case KernelStamps::IsolatedStars:
        return "isolated-stars";
    case KernelStamps::MatchedStars:
        return "matched-stars";
    case KernelStamps::BrightPixels:
        return "bright-pixels";
    case KernelStamps::FewBrightPixels:
        break;
    }
    return "few-bright-pixels";
}

bool measureStarShape(const FloatImage& image, double x, double y, double* cx, double* cy,
                      double* sigma)
{
    return shapeOf(image.pixels.data(), nullptr, image.width, image.height, x, y, cx, cy, sigma);
}

DiffStatus subtractImages(const uint16_t* test, int32_t testWidth, int32_t testHeight,
                          const uint16_t* reference, int32_t referenceWidth,
                          int32_t referenceHeight, const PixelMap& initialMap,
                          const DifferenceOptions& options,
                          const std::function<bool(double x, double y)>& inside,
                          DifferenceResult* result)
{
    if (test == nullptr || reference == nullptr || testWidth < MIN_STAR_IMAGE_SIDE ||
        testHeight < MIN_STAR_IMAGE_SIDE || referenceWidth < MIN_STAR_IMAGE_SIDE ||
        referenceHeight < MIN_STAR_IMAGE_SIDE)
        return DiffStatus::BadInput;
    const double start = clockSeconds();
    ImagePlane testPlane, referencePlane;
    BackgroundOptions background = options.background;
    if (background.threads == nullptr)
        background.threads = options.threads;
    const BackgroundOptions* flatten = options.flattenBackground ? &background : nullptr;
    // Both planes at once when there are threads for it; the test image's failure first.
    DiffStatus made[2] = {DiffStatus::Ok, DiffStatus::Ok};
    runItems(options.threads, 2, [&](int k) {
        made[k] = k == 0 ? makePlane16(test, testWidth, testHeight, &testPlane, flatten)
                         : makePlane16(reference, referenceWidth, referenceHeight,
                                       &referencePlane, flatten);
    });
    for (DiffStatus s : made) {
        if (s != DiffStatus::Ok)
            return s;
    }
    const double stars = secondsSince(start);
    const DiffStatus status =
        subtractPlanes(&testPlane, &referencePlane, initialMap, options, inside, result);
    if (status == DiffStatus::Ok)
        result->timings.stars += stars;
    return status;
}

DiffStatus subtractImages(const ImagePlane& testPlane, const ImagePlane& referencePlane,
                          const PixelMap& initialMap, const DifferenceOptions& options,
                          const std::function<bool(double x, double y)>& inside,
                          DifferenceResult* result)
{
    return runPipeline(testPlane, referencePlane, nullptr, nullptr, initialMap, options, inside,
                       result);
}

DiffStatus subtractPlanes(ImagePlane* testPlane, ImagePlane* referencePlane,
                          const PixelMap& initialMap, const DifferenceOptions& options,
                          const std::function<bool(double x, double y)>& inside,
                          DifferenceResult* result)
{
    if (testPlane == nullptr || referencePlane == nullptr || testPlane == referencePlane)
        return DiffStatus::BadInput;
    return runPipeline(*testPlane, *referencePlane, &testPlane->values, &referencePlane->values,
                       initialMap, options, inside, result);
}

namespace {

DiffStatus runPipeline(const ImagePlane& testPlane, const ImagePlane& referencePlane,
                       std::vector<float>* testValues, std::vector<float>* referenceValues,
                       const PixelMap& initialMap, const DifferenceOptions& options,
                       const std::function<bool(double x, double y)>& inside,
                       DifferenceResult* result)
{
    const int32_t testWidth = testPlane.width, testHeight = testPlane.height;
    const int32_t referenceWidth = referencePlane.width, referenceHeight = referencePlane.height;
    if (testWidth < MIN_STAR_IMAGE_SIDE || testHeight < MIN_STAR_IMAGE_SIDE ||
        referenceWidth < MIN_STAR_IMAGE_SIDE || referenceHeight < MIN_STAR_IMAGE_SIDE ||
        testPlane.values.size() != static_cast<size_t>(testWidth) * testHeight ||
        referencePlane.values.size() != static_cast<size_t>(referenceWidth) * referenceHeight ||
        (!testPlane.noData.empty() && testPlane.noData.size() != testPlane.values.size()) ||
        (!referencePlane.noData.empty() &&
         referencePlane.noData.size() != referencePlane.values.size()) ||
        testPlane.peaks.size() != testPlane.stars.x.size() ||
        referencePlane.peaks.size() != referencePlane.stars.x.size() || options.maxStamps < 3 ||
        options.maxRegistrationStars < 3 || !(options.matchRadius > 0))
        return DiffStatus::BadInput;
    const float* test = testPlane.values.data();
    const float* reference = referencePlane.values.data();
    const uint8_t* testNoData = testPlane.noData.empty() ? nullptr : testPlane.noData.data();
    const uint8_t* referenceNoData =
        referencePlane.noData.empty() ? nullptr : referencePlane.noData.data();
    DifferenceResult r;
    const size_t n = static_cast<size_t>(testWidth) * testHeight;
    try {
        // Stars and sky of both images.
        double start = clockSeconds();
        r.testStars = testPlane.stars;
        r.referenceStars = referencePlane.stars;
        r.testSky = testPlane.sky;
        r.referenceSky = referencePlane.sky;
        r.testNoise = noiseFromSky(r.testSky, options.testGain);
        r.referenceNoise = noiseFromSky(r.referenceSky, options.referenceGain);
        r.timings.stars = secondsSince(start);

        // Registration: bright stars of both, mapped, matched, centred and fitted.
        start = clockSeconds();
        r.map = initialMap;
        const double isolation = 12; // pixels to the nearest other test star
        std::vector<MatchedStar> matched;
        std::vector<PositionPair> pairs;
        std::vector<double> testSigmas, referenceSigmas;
        std::vector<size_t> pairStar;
        std::vector<double> pairTestSigma, pairReferenceSigma;
        // Matches the stars through map within radius and measures the pairs of those at
        // least least sky deviations above the sky in both images.
        auto measurePairs = [&](const PixelMap& map, double radius, double least) {
            matched = matchStars(testPlane, referencePlane, map, radius,
                                 options.maxRegistrationStars, isolation);
            pairs.clear();
            testSigmas.clear();
            referenceSigmas.clear();
            pairStar.clear();
            pairTestSigma.clear();
            pairReferenceSigma.clear();
            for (size_t k = 0; k < matched.size(); ++k) {
                const MatchedStar& m = matched[k];
                if (m.testPeak - r.testSky.level < least * r.testSky.sigma ||
                    m.referencePeak - r.referenceSky.level < least * r.referenceSky.sigma)
                    continue;
                PositionPair p;
                double ts = 0, rs = 0;
                if (!shapeOf(test, testNoData, testWidth, testHeight, m.x, m.y, &p.x, &p.y,
                             &ts) ||
                    !shapeOf(reference, referenceNoData, referenceWidth, referenceHeight, m.u,
                             m.v, &p.u, &p.v, &rs))
                    continue;
                pairs.push_back(p);
                pairStar.push_back(k);
                pairTestSigma.push_back(ts);
                pairReferenceSigma.push_back(rs);
                if (m.isolated) {
                    testSigmas.push_back(ts);
                    referenceSigmas.push_back(rs);
                }
            }
        };
        // The map from the coordinates, refined on the bright stars within the match
        // radius, is taken as it is when that fit is sound; otherwise the offset is searched.
        measurePairs(initialMap, options.matchRadius, 20);
        PixelMap refined = initialMap;
        const bool directOk =
            refinePixelMap(pairs, options.correctionOrder, &refined, &r.registration) ==
            DiffStatus::Ok;
        const bool direct = directOk && r.registration.rms <= options.registration.acceptRms;
        if (direct) {
            r.map = refined;
            r.registrationRefined = true;
            r.registrationKind = RegistrationKind::Fitted;
        } else {
            const MapFit directFit = r.registration;
            searchRegistration(testPlane, initialMap, options, measurePairs, pairs, &r);
            // A direct fit that was only too loose stays when the search does no better.
            if (directOk && !(r.registrationKind == RegistrationKind::Fitted &&
                              r.registration.rms < directFit.rms)) {
                measurePairs(initialMap, options.matchRadius, 20);
                r.map = refined;
                r.registration = directFit;
                r.registrationRefined = true;
                r.registrationKind = RegistrationKind::Fitted;
            }
        }
        r.coordinateError = largestMapDifference(initialMap, r.map, testWidth, testHeight);
        r.timings.registration = secondsSince(start);

        // Resampling, and the masks of missing and saturated data.
        start = clockSeconds();
        CosmicRayOptions cosmicRays = options.cosmicRays;
        if (cosmicRays.threads == nullptr)
            cosmicRays.threads = options.threads;
        // The reference's cosmic-ray hits and hot pixels are replaced by their surroundings
        // first: resampled and convolved they would leave holes beside new sources.
        const size_t referenceCount = static_cast<size_t>(referenceWidth) * referenceHeight;
        std::vector<float> cleanedReference;
        std::vector<std::pair<size_t, float>> replaced; // reference values cleaned in place
        const float* resampleSource = reference;
        {
            std::vector<uint8_t> sharp(referenceCount, 0);
            const double width =
                referenceSigmas.empty() ? 1.5 : typicalStarWidth(referenceSigmas);
            markSharpPixels(reference, referenceNoData, referenceWidth, referenceHeight,
                            referencePlane.saturation, r.referenceSky.sigma, width, &sharp,
                            MASK_COSMIC);
            if (options.findCosmicRays) {
                const OtherStars testStars(testPlane.stars, &r.map, STAR_REACH + width);
                const auto onStar = [&](int32_t x, int32_t y) { return testStars.near(x, y); };
                if (DiffStatus s = markCosmicRays(
                        reference, referenceNoData, referenceWidth, referenceHeight,
                        referencePlane.saturation, r.referenceNoise, r.referenceSky.sigma, width,
                        cosmicRays, onStar, &sharp, MASK_COSMIC);
                    s != DiffStatus::Ok)
                    return s;
            }
            r.referenceCosmicPixels = countMasked(sharp, MASK_COSMIC);
            if (referenceValues != nullptr) {
                // Cleaned where it is, the values it replaces kept to be put back.
                for (size_t i = 0; i < referenceCount; ++i) {
                    if (sharp[i] & MASK_COSMIC)
                        replaced.push_back({i, reference[i]});
                }
                cleanMaskedPixels(referenceValues->data(), referenceWidth, referenceHeight, sharp,
                                  MASK_COSMIC, referenceNoData);
            } else if (std::find(sharp.begin(), sharp.end(), MASK_COSMIC) != sharp.end()) {
                cleanedReference.assign(reference, reference + referenceCount);
                cleanMaskedPixels(cleanedReference.data(), referenceWidth, referenceHeight, sharp,
                                  MASK_COSMIC, referenceNoData);
                resampleSource = cleanedReference.data();
            }
        }
        FloatImage resampled;
        double varianceFactor = 1;
        if (DiffStatus s =
                resampleLanczos3(resampleSource, referenceNoData, referencePlane.saturation,
                                 referenceWidth, referenceHeight, r.map, testWidth, testHeight,
                                 &resampled, &r.mask, &varianceFactor, options.threads);
            s != DiffStatus::Ok)
            return s;
        std::vector<float>().swap(cleanedReference);
        if (referenceValues != nullptr) {
            // Read again only to measure the seeing on every star (too few isolated ones).
            if (testSigmas.size() < 3) {
                for (const auto& [at, value] : replaced)
                    (*referenceValues)[at] = value;
            } else {
                std::vector<float>().swap(*referenceValues);
            }
            std::vector<std::pair<size_t, float>>().swap(replaced);
        }
        {
            const double width = testSigmas.empty() ? 1.5 : typicalStarWidth(testSigmas);
            markSharpPixels(test, testNoData, testWidth, testHeight, testPlane.saturation,
                            r.testSky.sigma, width, &r.mask, MASK_COSMIC);
            if (options.findCosmicRays) {
                const double referenceStarWidth =
                    referenceSigmas.empty() ? 1.5 : typicalStarWidth(referenceSigmas);
                const OtherStars referenceStars(referencePlane.stars, nullptr,
                                                STAR_REACH + referenceStarWidth);
                const auto onStar = [&](int32_t x, int32_t y) {
                    double u = 0, v = 0;
                    mapPosition(r.map, x, y, &u, &v);
                    return referenceStars.near(u, v);
                };
                if (DiffStatus s = markCosmicRays(test, testNoData, testWidth, testHeight,
                                                  testPlane.saturation, r.testNoise,
                                                  r.testSky.sigma, width, cosmicRays,
                                                  onStar, &r.mask, MASK_COSMIC);
                    s != DiffStatus::Ok)
                    return s;
            }
            r.testCosmicPixels = countMasked(r.mask, MASK_COSMIC);
        }
        // Saturated test cores, measured while the test image is whole and the mask holds
        // only the reference's saturation.
        std::vector<SaturatedCore> saturatedCores;
        if (DiffStatus s = findSaturatedCores(test, testNoData, testWidth, testHeight,
                                              testPlane.saturation, r.mask, 100000,
                                              &saturatedCores);
            s != DiffStatus::Ok)
            return s;
        size_t covered = 0;
        for (size_t i = 0; i < n; ++i) {
            if (testNoData != nullptr && testNoData[i] != 0)
                r.mask[i] |= MASK_NO_DATA;
            if (test[i] >= testPlane.saturation)
                r.mask[i] |= MASK_SATURATED;
            covered += (r.mask[i] & MASK_NO_DATA) ? 0 : 1;
        }
        if (covered * 10 < n)
            return DiffStatus::NoOverlap;
        FloatImage testImage;
        if (testValues != nullptr) {
            // Taken over: test still points at the same values, now testImage's.
            testImage.width = testWidth;
            testImage.height = testHeight;
            testImage.pixels.swap(*testValues);
        } else {
            if (DiffStatus s = allocateFloatImage(testWidth, testHeight, &testImage);
                s != DiffStatus::Ok)
                return s;
            for (size_t i = 0; i < n; ++i)
                testImage.pixels[i] = test[i];
        }
        const double area = mapAreaFactor(r.map, (testWidth - 1) / 2.0, (testHeight - 1) / 2.0);
        r.timings.resampling = secondsSince(start);

        // Seeing of both on the test grid, the direction, the kernel's size, the stamps.
        start = clockSeconds();
        const double referenceScale = std::sqrt(area); // reference pixels per test pixel
        double typicalTest = typicalStarWidth(testSigmas);
        double typicalReference = typicalStarWidth(referenceSigmas);
        r.testSigma = typicalTest;
        r.referenceSigma = typicalReference / std::max(referenceScale, 1e-9);
        if (testSigmas.size() < 3 && !seeingFromAllStars(testPlane, referencePlane, test, testNoData,
                                                          reference, referenceNoData, pairTestSigma,
                                                          pairReferenceSigma, &r))
            return DiffStatus::TooFewStars;
        // The reference's own values are not read again.
        if (referenceValues != nullptr)
            std::vector<float>().swap(*referenceValues);
        if (r.seeingFromFewStars) {
            typicalTest = r.testSigma;
            typicalReference = r.referenceSigma * referenceScale;
        }
        r.referenceConvolved = r.referenceSigma <= r.testSigma;
        const double sharp = std::min(r.testSigma, r.referenceSigma);
        const double blur = std::max(r.testSigma, r.referenceSigma);
        KernelFitOptions fit = options.kernel;
        fit.spatialOrder = options.spatialOrder;
        if (!options.fixedKernel) {
            const double width =
                std::max(std::sqrt(std::max(blur * blur - sharp * sharp, 0.0)), 1.0);
            fit.sigmas = {0.5 * width, width, 2 * width};
            fit.degrees = {4, 3, 2};
            fit.halfWidth = std::clamp(static_cast<int>(std::ceil(4 * width)), 4, 20);
            fit.stampHalfSize = std::clamp(static_cast<int>(std::ceil(3.5 * blur)), 6, 20);
        }
        // Saturated pixels' surroundings: the wings of a saturated star and the kernel.
        const int saturationReach = static_cast<int>(std::ceil(3 * blur)) + fit.halfWidth;
        dilateMask(&r.mask, testWidth, testHeight, MASK_SATURATED, MASK_SATURATED, saturationReach,
                   options.threads);
        // Stamps: unsaturated, isolated and point-like in both images; where that leaves
        // too few for a fit, every unsaturated matched star.
        std::vector<int32_t> stampX, stampY;
        auto chooseStamps = [&](bool strict) {
            stampX.clear();
            stampY.clear();
            for (size_t k = 0;
                 k < pairs.size() && static_cast<int>(stampX.size()) < options.maxStamps; ++k) {
                const MatchedStar& m = matched[pairStar[k]];
                if (m.testPeak > 0.8 * testPlane.saturation ||
                    m.referencePeak > 0.8 * referencePlane.saturation)
                    continue;
                // A galaxy's core, or a star with a companion, is wider than the stars.
                if (strict &&
                    (!m.isolated || std::fabs(pairTestSigma[k] / typicalTest - 1) > 0.15 ||
                     std::fabs(pairReferenceSigma[k] / typicalReference - 1) > 0.15))
                    continue;
                stampX.push_back(static_cast<int32_t>(std::lround(pairs[k].x)));
                stampY.push_back(static_cast<int32_t>(std::lround(pairs[k].y)));
            }
        };
        // A test image about to be convolved loses its cosmic-ray hits and hot pixels first
        // (each replaced by the median of the 5 x 5 square's border), so that the kernel does
        // not spread them; they stay marked in the mask.
        if (!r.referenceConvolved)
            cleanMaskedPixels(testImage.pixels.data(), testWidth, testHeight, r.mask, MASK_COSMIC,
                              testNoData);
        const FloatImage& source = r.referenceConvolved ? resampled : testImage;
        const FloatImage& target = r.referenceConvolved ? testImage : resampled;
        const NoiseModel& sourceNoise = r.referenceConvolved ? r.referenceNoise : r.testNoise;
        const NoiseModel& targetNoise = r.referenceConvolved ? r.testNoise : r.referenceNoise;
        chooseStamps(true);
        if (DiffStatus s = holdApertureScale(source, target, sourceNoise, targetNoise, blur,
                                             options, &r, &fit);
            s != DiffStatus::Ok)
            return s;
        DiffStatus fitted = fitKernel(source, target, r.mask.data(), sourceNoise, targetNoise,
                                      stampX, stampY, fit, &r.kernel);
        if (fitted == DiffStatus::TooFewStars) {
            chooseStamps(false);
            r.kernelStamps = KernelStamps::MatchedStars;
            fitted = fitKernel(source, target, r.mask.data(), sourceNoise, targetNoise, stampX,
                               stampY, fit, &r.kernel);
        }
        if (fitted == DiffStatus::TooFewStars || fitted == DiffStatus::SingularFit)
            fitted = fitKernelOnBrightPixels(source, target, r, sourceNoise, targetNoise, fit,
                                             options.maxStamps, &r.kernel, &r.kernelStamps);
        if (fitted != DiffStatus::Ok)
            return fitted;
        r.timings.kernelFit = secondsSince(start);

        start = clockSeconds();
        // The sky level comes off before the convolution and goes back on, times the
        // kernel's sum at each pixel: a kernel held constant over tiles then leaves no steps
        // of the sky at the tiles' borders.
        const double sourceLevel =
            r.referenceConvolved ? r.referenceSky.level * area : r.testSky.level;
        {
            FloatImage& shifted = r.referenceConvolved ? resampled : testImage;
            const float level = static_cast<float>(sourceLevel);
            forEachBand(options.threads, testHeight, [&](int32_t first, int32_t end) {
                for (size_t i = static_cast<size_t>(first) * testWidth,
                            last = static_cast<size_t>(end) * testWidth;
                     i < last; ++i)
                    shifted.pixels[i] =
                        (r.mask[i] & MASK_NO_DATA) ? 0.0f : shifted.pixels[i] - level;
            });
        }
        FloatImage convolved;
        if (DiffStatus s =
                convolveImage(source, r.kernel, options.tileSize, options.method, &convolved,
                              options.threads);
            s != DiffStatus::Ok)
            return s;
        r.timings.convolution = secondsSince(start);

        // Difference and variance in test units, and the kernel's reach into missing data.
        start = clockSeconds();
        const double cx = (testWidth - 1) / 2.0, cy = (testHeight - 1) / 2.0;
        std::vector<double> k;
        kernelAt(r.kernel, cx, cy, &k);
        double ksum = 0, ksquares = 0;
        for (double value : k) {
            ksum += value;
            ksquares += value * value;
        }
        if (!(ksum > 0))
            return DiffStatus::SingularFit;
        r.fluxScale = r.referenceConvolved ? 1 / ksum : ksum;
        const int h = r.kernel.halfWidth;
        dilateMask(&r.mask, testWidth, testHeight, MASK_NO_DATA, MASK_EDGE, h, options.threads);
        for (int32_t y = 0; y < testHeight; ++y) {
            for (int32_t x = 0; x < testWidth; ++x) {
                if (x < h || y < h || x >= testWidth - h || y >= testHeight - h)
                    r.mask[static_cast<size_t>(y) * testWidth + x] |= MASK_EDGE;
            }
        }
        // The difference takes the test image's place and the variance the resampled
        // reference's, each pixel written after its last read.
        std::vector<float>& difference = testImage.pixels;
        std::vector<float>& variance = resampled.pixels;
        const double kRatio = ksquares / ksum;
        const double perGainT = 1 / r.testNoise.gain,
                     rnT2 = r.testNoise.readNoise * r.testNoise.readNoise;
        const double perGainR = 1 / r.referenceNoise.gain,
                     rnR2 = r.referenceNoise.readNoise * r.referenceNoise.readNoise;
        const double f = varianceFactor;
        const double perScale = 1 / ksum, perScale2 = perScale * perScale;
        const int order = r.kernel.spatialOrder;
        const size_t bgIndex =
            r.kernel.basis.size() * static_cast<size_t>(polynomialTermCount(order));
        const double* bg = r.kernel.coefficients.data() + bgIndex;
        const double* k0 = r.kernel.coefficients.data(); // the kernel's sum
        const auto subtractRow = [&](int32_t y) {
            // Along the row, the background and the sky level times the kernel's sum:
            // b0 + b1 s + b2 s^2 at s = (x - centre) / scale.
            const double t = (y - r.kernel.centreY) / r.kernel.scale;
            double b0 = bg[0] + sourceLevel * k0[0], b1 = 0, b2 = 0;
            if (order >= 1) {
                b0 += (bg[2] + sourceLevel * k0[2]) * t;
                b1 = bg[1] + sourceLevel * k0[1];
            }
            if (order >= 2) {
                b0 += (bg[5] + sourceLevel * k0[5]) * t * t;
                b1 += (bg[4] + sourceLevel * k0[4]) * t;
                b2 = bg[3] + sourceLevel * k0[3];
            }
            const size_t rowStart = static_cast<size_t>(y) * testWidth;
            for (int32_t x = 0; x < testWidth; ++x) {
                const size_t i = rowStart + x;
                const double s = (x - r.kernel.centreX) / r.kernel.scale;
                const double background = b0 + s * (b1 + s * b2);
                const double c = convolved.pixels[i] + background;
                double d = 0, var = 0;
                if (r.referenceConvolved) {
                    const double tv = testImage.pixels[i];
                    d = tv - c;
                    var = std::max(tv, 0.0) * perGainT + rnT2 +
                          f * kRatio * area * std::max(c, 0.0) * perGainR +
                          f * ksquares * area * area * rnR2;
                } else {
                    const double rv = resampled.pixels[i];
                    d = (c - rv) * perScale;
                    var = (kRatio * std::max(c, 0.0) * perGainT + ksquares * rnT2 +
                           f * (area * std::max(rv, 0.0) * perGainR + area * area * rnR2)) *
                          perScale2;
                    convolved.pixels[i] = static_cast<float>(rv * perScale);
                    difference[i] = static_cast<float>(d);
                    variance[i] = static_cast<float>(var);
                    continue;
                }
                convolved.pixels[i] = static_cast<float>(c);
                difference[i] = static_cast<float>(d);
                variance[i] = static_cast<float>(var);
            }
        };
        forEachBand(options.threads, testHeight, [&](int32_t first, int32_t end) {
            for (int32_t y = first; y < end; ++y)
                subtractRow(y);
        });
        r.difference.width = r.variance.width = testWidth;
        r.difference.height = r.variance.height = testHeight;
        r.difference.pixels.swap(difference);
        r.variance.pixels.swap(variance);
        r.reference.width = testWidth;
        r.reference.height = testHeight;
        r.reference.pixels.swap(convolved.pixels);
        if (options.subtractResidualBackground) {
            BackgroundOptions residual = options.residualBackground;
            if (residual.threads == nullptr)
                residual.threads = options.threads;
            if (DiffStatus s = subtractResidualBackground(&r.difference, r.mask.data(),
                                                          MASK_UNUSABLE | MASK_COSMIC, residual,
                                                          nullptr);
                s == DiffStatus::OutOfMemory)
                return s;
        }
        r.timings.subtraction = secondsSince(start);

        start = clockSeconds();
        DetectOptions detect = options.detect;
        detect.threads = options.threads;
        detect.psfSigma = blur;
        detect.referenceBackground =
            r.referenceConvolved ? r.testSky.level : r.referenceSky.level * area / ksum;
        // The shape of the difference's point spread, from the kernel's stars on the matched
        // reference, which has it.
        measurePsfMoments(r.reference, r.mask, detect.referenceBackground, stampX, stampY, blur,
                          3, &detect.psfShape);
        if (DiffStatus s = detectSources(r.difference, r.variance, r.mask, &r.reference, detect,
                                         inside, &r.sources, &r.noiseScale);
            s != DiffStatus::Ok)
            return s;
        {
            SaturatedSourceOptions bright;
            bright.psfSigma = r.testSigma;
            bright.differenceSigma = blur;
            bright.testSky = r.testSky.level;
            bright.testSkySigma = r.testSky.sigma;
            bright.saturation = testPlane.saturation;
            bright.threshold = detect.threshold;
            bright.maskReach = saturationReach;
            bright.referenceBackground = detect.referenceBackground;
            bright.noiseScale = r.noiseScale;
            addSaturatedSources(saturatedCores, r.difference, r.variance, r.reference, r.mask,
                                bright, inside, &r.sources);
        }
        r.timings.detection = secondsSince(start);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    *result = std::move(r);
    return DiffStatus::Ok;
}

} // namespace

} // namespace newstars
