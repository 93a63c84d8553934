#include "diff/background.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <optional>

#include "base/statistics.hpp"

namespace newstars {

namespace {

// Mask bytes of the fit: a source pixel, a saturated one, and the pixels left out.
constexpr uint8_t BG_SOURCE = 1;
constexpr uint8_t BG_SATURATED = 2;
constexpr uint8_t BG_OUT = 4;
constexpr uint8_t BG_BRIGHT = 8;

// First column (or row) of cell i of n over a side of size pixels.
int32_t cellStart(int32_t i, int32_t n, int32_t size)
{
    return static_cast<int32_t>(static_cast<int64_t>(i) * size / n);
}

// Cells along a side: the side over the cell size, rounded; at least 4 (a curved sky needs
// three levels and an edge) where the side holds 4 cells of 32 pixels, else as many as it
// holds, at least 1.
int32_t cellCount(int32_t size, int cellSize)
{
    const int32_t count = (size + cellSize / 2) / cellSize;
    return std::max<int32_t>({count, std::min<int32_t>(4, size / 32), 1});
}

// Deviation of a normal distribution cut at c deviations, per deviation: the spread of the
// values kept by a clip at c is this much smaller than the distribution's.
double clippedSpread(double c)
{
    const double density = std::exp(-c * c / 2) / std::sqrt(2 * 3.141592653589793);
    const double inside = std::erf(c / std::sqrt(2.0));
    return std::sqrt(std::max(1 - 2 * c * density / inside, 1e-6));
}

// Median and deviation of the sample by rounds of clipping at clip deviations (the first
// deviation from the median absolute deviation); false when the sample is empty.
// *kept gets how many values the last round kept. sample is reordered; work is scratch.
bool clippedLevel(std::vector<float>* sample, std::vector<float>* work, double clip, double spread,
                  double* level, double* sigma, size_t* kept)
{
    if (sample->empty())
        return false;
    *work = *sample;
    double m = medianInPlace(work, MedianSide::Upper);
    for (float& v : *work)
        v = std::fabs(v - static_cast<float>(m));
    double s = ROBUST_SIGMA_PER_MAD * medianInPlace(work, MedianSide::Upper);
    size_t count = sample->size();
    for (int round = 0; round < 3 && s > 0; ++round) {
        work->clear();
        for (float v : *sample) {
            if (std::fabs(v - m) < clip * s)
                work->push_back(v);
        }
        if (work->size() < 2)
            break;
        double squares = 0, sum = 0;
        for (float v : *work) {
            sum += v - m;
            squares += (v - m) * (v - m);
        }
        const double k = static_cast<double>(work->size());
        const double variance = squares / k - (sum / k) * (sum / k);
        count = work->size();
        m = medianInPlace(work, MedianSide::Upper);
        s = std::sqrt(std::max(variance, 0.0)) / spread;
    }
    *level = m;
    *sigma = s;
    *kept = count;
    return true;
}

// Cubic convolution weights (Keys, a = -1/2) of the four nodes around a point t (0 to 1)
// past the second of them.
void cubicWeights(double t, double w[4])
{
    const double t2 = t * t, t3 = t2 * t;
    w[0] = (-t3 + 2 * t2 - t) / 2;
    w[1] = (3 * t3 - 5 * t2 + 2) / 2;
    w[2] = (-3 * t3 + 4 * t2 + t) / 2;
    w[3] = (t3 - t2) / 2;
}

// The n node values extended by two nodes on each side along the quadratic through the
// three outermost ones (the line through two, a constant for one): n + 4 values into out.
void extendNodes(const double* nodes, int32_t n, double* out)
{
    for (int32_t i = 0; i < n; ++i)
        out[i + 2] = nodes[i];
    const double* last = nodes + n - 1;
    if (n >= 3) {
        out[1] = 3 * nodes[0] - 3 * nodes[1] + nodes[2];
        out[0] = 6 * nodes[0] - 8 * nodes[1] + 3 * nodes[2];
        out[n + 2] = 3 * last[0] - 3 * last[-1] + last[-2];
        out[n + 3] = 6 * last[0] - 8 * last[-1] + 3 * last[-2];
        return;
    }
    const double startSlope = n > 1 ? nodes[1] - nodes[0] : 0;
    const double endSlope = n > 1 ? last[0] - last[-1] : 0;
    out[1] = nodes[0] - startSlope;
    out[0] = nodes[0] - 2 * startSlope;
    out[n + 2] = last[0] + endSlope;
    out[n + 3] = last[0] + 2 * endSlope;
}

// Node index (of the extended nodes, the first of four) and weights for pixel position p
// on a side of size pixels cut into n cells; p is held to the side.
size_t nodeWeights(double p, int32_t n, int32_t size, double w[4])
{
    p = std::clamp(p, 0.0, static_cast<double>(size - 1));
    const double u = (p + 0.5) * n / size - 0.5; // cell coordinate: cell i's centre near i
    const double base = std::clamp(std::floor(u), -1.0, static_cast<double>(n - 1));
    cubicWeights(u - base, w);
    return static_cast<size_t>(base + 1); // extended index of node base - 1
}

// The node index and weights of every column of an image (nodeWeights along x), computed
// once for all the rows of a surface.
struct ColumnWeights {
    std::vector<size_t> node;
    std::vector<double> weights; // four per column

    ColumnWeights(int32_t n, int32_t width)
        : node(static_cast<size_t>(width)), weights(static_cast<size_t>(width) * 4)
    {
        for (int32_t x = 0; x < width; ++x)
            node[static_cast<size_t>(x)] =
                nodeWeights(x, n, width, weights.data() + static_cast<size_t>(x) * 4);
    }
};

// backgroundMeshRow with the columns' weights given (those of the mesh's cellsX and width).
void meshRow(const BackgroundMesh& mesh, const ColumnWeights& columns, int32_t y, float* row);

// Rows of an image per band of the steps run on threads: fixed, so that the result is the
// same whatever the threads.
constexpr int32_t BACKGROUND_BAND_ROWS = 64;

// Runs work(first, end) over rows 0 .. height - 1 in bands of BACKGROUND_BAND_ROWS.
void forEachBand(SharedThreads* threads, int32_t height,
                 const std::function<void(int32_t first, int32_t end)>& work)
{
    const int bands = static_cast<int>((height + BACKGROUND_BAND_ROWS - 1) / BACKGROUND_BAND_ROWS);
    runItems(threads, bands, [&](int band) {
        const int32_t first = band * BACKGROUND_BAND_ROWS;
        work(first, std::min(height, first + BACKGROUND_BAND_ROWS));
    });
}

// Levels of the cells that hold none (measured 0) from their measured neighbours: in
// rounds, each empty cell beside a filled one takes the mean of its filled neighbours.
void fillEmptyCells(BackgroundMesh* mesh)
{
    const int32_t nx = mesh->cellsX, ny = mesh->cellsY;
    std::vector<uint8_t> filled = mesh->measured;
    for (bool changed = true; changed;) {
        changed = false;
        std::vector<uint8_t> next = filled;
        for (int32_t j = 0; j < ny; ++j) {
            for (int32_t i = 0; i < nx; ++i) {
                const size_t c = static_cast<size_t>(j) * nx + i;
                if (filled[c])
                    continue;
                double level = 0, sigma = 0;
                int count = 0;
                for (int32_t b = std::max(0, j - 1); b <= std::min(ny - 1, j + 1); ++b) {
                    for (int32_t a = std::max(0, i - 1); a <= std::min(nx - 1, i + 1); ++a) {
                        const size_t o = static_cast<size_t>(b) * nx + a;
                        if (filled[o]) {
                            level += mesh->level[o];
                            sigma += mesh->sigma[o];
                            ++count;
                        }
                    }
                }
                if (count > 0) {
                    mesh->level[c] = level / count;
                    mesh->sigma[c] = sigma / count;
                    next[c] = 1;
                    changed = true;
                }
            }
        }
        filled.swap(next);
    }
}

// Measures every cell's level and deviation from the pixels whose mask byte is 0: from
// their values, or with prior given, from their residuals from the prior's surface (the
// level then the prior's plus their median), so that a sky sloping or curving across a cell
// neither widens its deviation nor moves its level. A cell without enough pixels keeps the
// prior's level, or without a prior takes its neighbours' (fillEmptyCells). false when no
// cell holds enough pixels and there is no prior.
bool measureCells(const float* values, const std::vector<uint8_t>& mask, int32_t width,
                  int32_t height, const BackgroundOptions& options, const BackgroundMesh* prior,
                  BackgroundMesh* mesh)
{
    const int32_t nx = mesh->cellsX, ny = mesh->cellsY;
    const double spread = clippedSpread(options.clipSigmas);
    std::optional<ColumnWeights> columns;
    if (prior != nullptr)
        columns.emplace(prior->cellsX, prior->width);
    // Each row of cells apart (its own cells written); a row that runs out of memory
    // fails the whole.
    std::vector<char> anyInRow(static_cast<size_t>(ny), 0), failed(static_cast<size_t>(ny), 0);
    runItems(options.threads, ny, [&](int32_t j) {
        try {
            std::vector<std::vector<float>> samples(static_cast<size_t>(nx));
            std::vector<float> work, surface(prior != nullptr ? static_cast<size_t>(width) : 0);
            const int32_t y0 = cellStart(j, ny, height), y1 = cellStart(j + 1, ny, height);
            for (int32_t y = y0; y < y1; ++y) {
                if (prior != nullptr)
                    meshRow(*prior, *columns, y, surface.data());
                const size_t row = static_cast<size_t>(y) * width;
                for (int32_t i = 0; i < nx; ++i) {
                    const int32_t x0 = cellStart(i, nx, width), x1 = cellStart(i + 1, nx, width);
                    std::vector<float>& sample = samples[static_cast<size_t>(i)];
                    for (int32_t x = x0; x < x1; ++x) {
                        if (mask[row + x] != 0)
                            continue;
                        sample.push_back(prior != nullptr
                                             ? values[row + x] - surface[static_cast<size_t>(x)]
                                             : values[row + x]);
                    }
                }
            }
            for (int32_t i = 0; i < nx; ++i) {
                const int32_t x0 = cellStart(i, nx, width), x1 = cellStart(i + 1, nx, width);
                const size_t c = static_cast<size_t>(j) * nx + i;
                const double cellPixels = static_cast<double>(y1 - y0) * (x1 - x0);
                double level = 0, sigma = 0;
                size_t kept = 0;
                mesh->measured[c] = 0;
                if (clippedLevel(&samples[static_cast<size_t>(i)], &work, options.clipSigmas,
                                 spread, &level, &sigma, &kept) &&
                    static_cast<double>(kept) >= options.minFraction * cellPixels) {
                    mesh->level[c] = prior != nullptr ? prior->level[c] + level : level;
                    mesh->sigma[c] = sigma;
                    mesh->measured[c] = 1;
                    anyInRow[static_cast<size_t>(j)] = 1;
                } else if (prior != nullptr) {
                    mesh->level[c] = prior->level[c];
                    mesh->sigma[c] = prior->sigma[c];
                }
            }
        } catch (const std::bad_alloc&) {
            failed[static_cast<size_t>(j)] = 1;
        }
    });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end())
        throw std::bad_alloc();
    bool any = std::find(anyInRow.begin(), anyInRow.end(), 1) != anyInRow.end();
    if (prior != nullptr) {
        any = true;
    } else if (any) {
        fillEmptyCells(mesh);
    }
    if (!any)
        return false;
    std::vector<double> levels = mesh->level;
    mesh->medianLevel = medianInPlace(&levels, MedianSide::Upper);
    return true;
}

// The mesh interpolated down every column of cells to one row (weights wy from node by),
// returned with its nodes extended past both ends for the interpolation along x.
std::vector<double> levelsAcrossRow(const BackgroundMesh& mesh, const double wy[4], size_t by)
{
    const int32_t nx = mesh.cellsX, ny = mesh.cellsY;
    std::vector<double> column(static_cast<size_t>(ny)), extended(static_cast<size_t>(ny) + 4);
    std::vector<double> across(static_cast<size_t>(nx)),
        acrossExtended(static_cast<size_t>(nx) + 4);
    for (int32_t i = 0; i < nx; ++i) {
        for (int32_t j = 0; j < ny; ++j)
            column[static_cast<size_t>(j)] = mesh.level[static_cast<size_t>(j) * nx + i];
        extendNodes(column.data(), ny, extended.data());
        across[static_cast<size_t>(i)] = wy[0] * extended[by] + wy[1] * extended[by + 1] +
                                         wy[2] * extended[by + 2] + wy[3] * extended[by + 3];
    }
    extendNodes(across.data(), nx, acrossExtended.data());
    return acrossExtended;
}

// backgroundMeshRow with the columns' weights given (those of the mesh's cellsX and width).
void meshRow(const BackgroundMesh& mesh, const ColumnWeights& columns, int32_t y, float* row)
{
    const int32_t nx = mesh.cellsX, ny = mesh.cellsY;
    if (nx < 1 || ny < 1 || y < 0 || y >= mesh.height)
        return;
    double wy[4];
    const size_t by = nodeWeights(y, ny, mesh.height, wy);
    // Each column of cells at this row, then the row along x.
    const std::vector<double> acrossExtended = levelsAcrossRow(mesh, wy, by);
    for (int32_t x = 0; x < mesh.width; ++x) {
        const double* wx = columns.weights.data() + static_cast<size_t>(x) * 4;
        const size_t bx = columns.node[static_cast<size_t>(x)];
        row[x] =
            static_cast<float>(wx[0] * acrossExtended[bx] + wx[1] * acrossExtended[bx + 1] +
                               wx[2] * acrossExtended[bx + 2] + wx[3] * acrossExtended[bx + 3]);
    }
}

} // namespace

void backgroundMeshRow(const BackgroundMesh& mesh, int32_t y, float* row)
{
    if (mesh.cellsX < 1 || mesh.cellsY < 1 || y < 0 || y >= mesh.height)
        return;
    meshRow(mesh, ColumnWeights(mesh.cellsX, mesh.width), y, row);
}

double backgroundMeshAt(const BackgroundMesh& mesh, double x, double y)
{
    const int32_t nx = mesh.cellsX, ny = mesh.cellsY;
    if (nx < 1 || ny < 1 || mesh.width < 1 || mesh.height < 1)
        return 0;
    double wx[4], wy[4];
    const size_t bx = nodeWeights(x, nx, mesh.width, wx);
    const size_t by = nodeWeights(y, ny, mesh.height, wy);
    const std::vector<double> acrossExtended = levelsAcrossRow(mesh, wy, by);
    return wx[0] * acrossExtended[bx] + wx[1] * acrossExtended[bx + 1] +
           wx[2] * acrossExtended[bx + 2] + wx[3] * acrossExtended[bx + 3];
}

DiffStatus fitBackgroundMesh(const float* values, const uint8_t* noData, int32_t width,
                             int32_t height, double saturation, const BackgroundOptions& options,
                             BackgroundMesh* mesh)
{
    if (values == nullptr || width < 1 || height < 1 || options.cellSize < 8 ||
        options.cellSize > 4096 || !(options.clipSigmas >= 1 && options.clipSigmas <= 10) ||
        !(options.sourceSigmas > 0) || options.sourceGrow < 0 || options.sourceGrow > 64 ||
        options.saturatedGrow < 0 || options.saturatedGrow > 256 || !(options.brightSigmas > 0) ||
        options.brightGrow < 0 || options.brightGrow > 256 ||
        !(options.minFraction >= 0 && options.minFraction <= 1))
        return DiffStatus::BadInput;
    const size_t w = static_cast<size_t>(width);
    if (w > SIZE_MAX / static_cast<size_t>(height))
        return DiffStatus::BadInput;
    const size_t n = w * static_cast<size_t>(height);
    BackgroundMesh m;
    try {
        m.width = width;
        m.height = height;
        m.cellsX = cellCount(width, options.cellSize);
        m.cellsY = cellCount(height, options.cellSize);
        const size_t cells = static_cast<size_t>(m.cellsX) * static_cast<size_t>(m.cellsY);
        m.level.assign(cells, 0.0);
        m.sigma.assign(cells, 0.0);
        m.measured.assign(cells, 0);
        std::vector<uint8_t> mask(n, 0);
        for (size_t i = 0; i < n; ++i) {
            if (noData != nullptr && noData[i] != 0)
                mask[i] = BG_OUT;
            else if (!std::isfinite(values[i]))
                mask[i] = BG_OUT;
            else if (values[i] >= saturation)
                mask[i] = BG_OUT | BG_SATURATED;
        }
        // First pass: every usable pixel.
        {
            std::vector<uint8_t> first(n);
            for (size_t i = 0; i < n; ++i)
                first[i] = mask[i] & BG_OUT;
            if (!measureCells(values, first, width, height, options, nullptr, &m))
                return DiffStatus::BadInput;
        }
        // Two more: sources (pixels well above the last surface, grown, and the
        // surroundings of saturated pixels) masked, residuals from the last surface measured.
        std::vector<uint8_t> passMask(n);
        const ColumnWeights columns(m.cellsX, width);
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < n; ++i)
                passMask[i] = mask[i];
            forEachBand(options.threads, height, [&](int32_t first, int32_t end) {
              std::vector<float> surface(w);
              for (int32_t y = first; y < end; ++y) {
                meshRow(m, columns, y, surface.data());
                const int32_t j =
                    std::min(m.cellsY - 1,
                             static_cast<int32_t>(static_cast<int64_t>(y) * m.cellsY / height));
                for (int32_t x = 0; x < width; ++x) {
                    const size_t i = static_cast<size_t>(y) * w + x;
                    if (passMask[i] & BG_OUT)
                        continue;
                    const int32_t c =
                        std::min(m.cellsX - 1,
                                 static_cast<int32_t>(static_cast<int64_t>(x) * m.cellsX / width));
                    const double sigma = m.sigma[static_cast<size_t>(j) * m.cellsX + c];
                    const double above = values[i] - surface[static_cast<size_t>(x)];
                    if (above > options.sourceSigmas * sigma ||
                        (options.twoSided && -above > options.sourceSigmas * sigma))
                        passMask[i] |= BG_SOURCE;
                    if (above > options.brightSigmas * sigma)
                        passMask[i] |= BG_BRIGHT;
                }
              }
            });
            dilateMask(&passMask, width, height, BG_SOURCE, BG_OUT, options.sourceGrow,
                       options.threads);
            dilateMask(&passMask, width, height, BG_BRIGHT, BG_OUT, options.brightGrow,
                       options.threads);
            dilateMask(&passMask, width, height, BG_SATURATED, BG_OUT, options.saturatedGrow,
                       options.threads);
            for (uint8_t& b : passMask)
                b = (b & (BG_OUT | BG_SOURCE | BG_BRIGHT)) != 0 ? BG_OUT : 0;
            BackgroundMesh next = m;
            if (!measureCells(values, passMask, width, height, options, &m, &next))
                return DiffStatus::BadInput;
            m = std::move(next);
        }
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    *mesh = std::move(m);
    return DiffStatus::Ok;
}

DiffStatus subtractResidualBackground(FloatImage* difference, const uint8_t* mask, uint8_t masked,
                                      BackgroundOptions options, BackgroundMesh* mesh)
{
    if (difference == nullptr || difference->width < 1 || difference->height < 1 ||
        difference->pixels.size() !=
            static_cast<size_t>(difference->width) * static_cast<size_t>(difference->height))
        return DiffStatus::BadInput;
    const size_t n = difference->pixels.size();
    const int32_t w = difference->width;
    BackgroundMesh fitted;
    try {
        std::vector<uint8_t> unusable;
        if (mask != nullptr) {
            unusable.resize(n);
            for (size_t i = 0; i < n; ++i)
                unusable[i] = (mask[i] & masked) != 0 ? 1 : 0;
        }
        options.twoSided = true;
        if (DiffStatus s = fitBackgroundMesh(
                difference->pixels.data(), mask != nullptr ? unusable.data() : nullptr, w,
                difference->height, std::numeric_limits<double>::infinity(), options, &fitted);
            s != DiffStatus::Ok)
            return s;
        const ColumnWeights columns(fitted.cellsX, w);
        forEachBand(options.threads, difference->height, [&](int32_t first, int32_t end) {
            std::vector<float> surface(static_cast<size_t>(w));
            for (int32_t y = first; y < end; ++y) {
                meshRow(fitted, columns, y, surface.data());
                float* row = difference->pixels.data() + static_cast<size_t>(y) * w;
                for (int32_t x = 0; x < w; ++x)
                    row[x] -= surface[static_cast<size_t>(x)];
            }
        });
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    if (mesh != nullptr)
        *mesh = std::move(fitted);
    return DiffStatus::Ok;
}

void flattenBackground(const BackgroundMesh& mesh, double level, float* values,
                       const uint8_t* noData, double saturation, SharedThreads* threads)
{
    if (values == nullptr || mesh.width < 1 || mesh.height < 1 || mesh.cellsX < 1 ||
        mesh.cellsY < 1)
        return;
    const size_t w = static_cast<size_t>(mesh.width);
    const ColumnWeights columns(mesh.cellsX, mesh.width);
    forEachBand(threads, mesh.height, [&](int32_t first, int32_t end) {
        std::vector<float> surface(w);
        for (int32_t y = first; y < end; ++y) {
            meshRow(mesh, columns, y, surface.data());
            float* row = values + static_cast<size_t>(y) * w;
            const uint8_t* rowNoData =
                noData == nullptr ? nullptr : noData + static_cast<size_t>(y) * w;
            for (size_t x = 0; x < w; ++x) {
                if ((rowNoData != nullptr && rowNoData[x] != 0) || !(row[x] < saturation))
                    continue;
                row[x] = static_cast<float>(row[x] + (level - surface[x]));
            }
        }
    });
}

} // namespace newstars
