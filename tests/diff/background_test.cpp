// Background mesh: known surfaces recovered under stars, and a pair whose skies slope and
// bulge differently still gives its new sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "diff/background.hpp"
#include "diff/difference.hpp"

using namespace newstars;

namespace {

constexpr double PI = 3.141592653589793;

// Adds a Gaussian of total flux at (cx, cy), deviation sigma, out to 6 deviations.
void addStar(std::vector<double>* image, int w, int h, double cx, double cy, double flux,
             double sigma)
{
    const int r = static_cast<int>(std::ceil(6 * sigma));
    for (int y = std::max(0, static_cast<int>(cy) - r);
         y <= std::min(h - 1, static_cast<int>(cy) + r); ++y) {
        for (int x = std::max(0, static_cast<int>(cx) - r);
             x <= std::min(w - 1, static_cast<int>(cx) + r); ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            (*image)[static_cast<size_t>(y) * w + x] +=
                flux / (2 * PI * sigma * sigma) * std::exp(-r2 / (2 * sigma * sigma));
        }
    }
}

// A sky of level (1 + slope g + bowl b) at each pixel: g from -1 to 1 along the direction
// angle across the image, b = 2 rho^2 - 1 (rho: distance from the centre over the half
// diagonal).
double skyAt(int w, int h, double level, double slope, double angle, double bowl, double x,
             double y)
{
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    const double c = std::cos(angle), s = std::sin(angle);
    const double g = ((x - cx) * c + (y - cy) * s) / (std::fabs(c) * cx + std::fabs(s) * cy);
    const double rho2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (cx * cx + cy * cy);
    return level * (1 + slope * g + bowl * (2 * rho2 - 1));
}

// Photon noise for 2 electrons per ADU and read noise 4 ADU, rounded to 16 bits.
std::vector<uint16_t> digitize(const std::vector<double>& signal, std::mt19937_64* random)
{
    std::normal_distribution<double> normal(0, 1);
    std::vector<uint16_t> pixels(signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        const double v = signal[i] + std::sqrt(std::max(signal[i], 0.0) / 2 + 16) * normal(*random);
        pixels[i] = static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
    }
    return pixels;
}

TEST(FitBackgroundMesh, RecoversKnownSurfacesUnderStars)
{
    struct Case {
        const char* name;
        int w, h, cell;
        double slope, angle, bowl;
        int stars;
        bool saturatedStar;
        double inner, outer; // largest errors allowed between the outermost cells' centres,
                             // and beyond them (ADU)
    };
    const Case cases[] = {
        {"flat", 384, 256, 64, 0, 0, 0, 150, false, 2.5, 8},
        {"slope 50%", 512, 384, 64, 0.5, 0.6, 0, 150, false, 2.5, 8},
        {"bowl 30%", 512, 384, 64, 0, 0, 0.3, 150, false, 2.5, 8},
        // Stars too faint to mask raise the sky by a few ADU.
        {"slope and bowl, crowded", 512, 512, 64, 0.2, 2.0, 0.2, 800, false, 6, 25},
        {"slope, a saturated star", 384, 384, 96, 0.3, 4.0, 0, 100, true, 2.5, 8},
        {"one cell across", 100, 300, 128, 0.1, PI / 2, 0, 30, false, 2.5, 8}, // along y
    };
    for (const Case& c : cases) {
        std::mt19937_64 random(4242);
        std::uniform_real_distribution<double> place(0, 1);
        std::vector<double> signal(static_cast<size_t>(c.w) * c.h);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x)
                signal[static_cast<size_t>(y) * c.w + x] =
                    skyAt(c.w, c.h, 1000, c.slope, c.angle, c.bowl, x, y);
        for (int s = 0; s < c.stars; ++s)
            addStar(&signal, c.w, c.h, place(random) * c.w, place(random) * c.h,
                    300 * std::pow(10.0, 3 * place(random)), 1.5);
        if (c.saturatedStar)
            addStar(&signal, c.w, c.h, c.w / 2.0, c.h / 2.0, 5e6, 2.0);
        const std::vector<uint16_t> pixels = digitize(signal, &random);
        const std::vector<float> values(pixels.begin(), pixels.end());
        BackgroundOptions options;
        options.cellSize = c.cell;
        BackgroundMesh mesh;
        ASSERT_EQ(fitBackgroundMesh(values.data(), nullptr, c.w, c.h, 65535, options, &mesh),
                  DiffStatus::Ok)
            << c.name;
        // The sky's noise is about 23 ADU; a cell's median of whole numbers is good to
        // about 1 ADU: 2.5 ADU (0.1 of the noise) between the outermost cells' centres.
        // Beyond them the surface follows the quadratic through the three outermost levels,
        // which takes their errors up about fourfold.
        double inner = 0, outer = 0;
        const double marginX = c.w / (2.0 * mesh.cellsX), marginY = c.h / (2.0 * mesh.cellsY);
        std::vector<float> row(static_cast<size_t>(c.w));
        for (int y = 0; y < c.h; ++y) {
            backgroundMeshRow(mesh, y, row.data());
            for (int x = 0; x < c.w; ++x) {
                const double truth = skyAt(c.w, c.h, 1000, c.slope, c.angle, c.bowl, x, y);
                const double error = std::fabs(row[static_cast<size_t>(x)] - truth);
                const bool within = (mesh.cellsX == 1 || (x >= marginX && x <= c.w - marginX)) &&
                                    (mesh.cellsY == 1 || (y >= marginY && y <= c.h - marginY));
                (within ? inner : outer) = std::max(within ? inner : outer, error);
            }
        }
        EXPECT_LT(inner, c.inner) << c.name;
        EXPECT_LT(outer, c.outer) << c.name;
        EXPECT_NEAR(backgroundMeshAt(mesh, 17, 23), row.empty() ? 0 : [&] {
            backgroundMeshRow(mesh, 23, row.data());
            return static_cast<double>(row[17]);
        }(), 1e-3) << c.name;
        EXPECT_NEAR(mesh.sigma[0], std::sqrt(mesh.level[0] / 2 + 16), 2.0) << c.name;
    }
}

// Rows of cells and bands of rows on shared threads: the same mesh, flattened values and
// residual, bit for bit, whatever the threads, on cells that split the bands unevenly.
TEST(BackgroundMeshThreads, EveryThreadCountGivesTheSameMesh)
{
    struct Case {
        const char* name;
        int w, h, cell;
    };
    const Case cases[] = {{"square cells", 512, 384, 64}, {"uneven cells", 300, 517, 48}};
    for (const Case& c : cases) {
        std::mt19937_64 random(99);
        std::uniform_real_distribution<double> place(0, 1);
        std::vector<double> signal(static_cast<size_t>(c.w) * c.h);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x)
                signal[static_cast<size_t>(y) * c.w + x] = skyAt(c.w, c.h, 1000, 0.3, 1.0, 0.2, x, y);
        for (int s = 0; s < 200; ++s)
            addStar(&signal, c.w, c.h, place(random) * c.w, place(random) * c.h,
                    300 * std::pow(10.0, 3 * place(random)), 1.5);
        const std::vector<uint16_t> pixels = digitize(signal, &random);
        const std::vector<float> values(pixels.begin(), pixels.end());
        BackgroundOptions options;
        options.cellSize = c.cell;
        BackgroundMesh alone;
        ASSERT_EQ(fitBackgroundMesh(values.data(), nullptr, c.w, c.h, 65535, options, &alone),
                  DiffStatus::Ok)
            << c.name;
        std::vector<float> flatAlone = values;
        flattenBackground(alone, alone.medianLevel, flatAlone.data(), nullptr, 65535);
        FloatImage residualAlone{c.w, c.h, values};
        ASSERT_EQ(subtractResidualBackground(&residualAlone, nullptr, 0, options, nullptr),
                  DiffStatus::Ok);
        for (int threads : {1, 2, 4}) {
            SharedThreads shared(threads);
            options.threads = &shared;
            BackgroundMesh mesh;
            ASSERT_EQ(fitBackgroundMesh(values.data(), nullptr, c.w, c.h, 65535, options, &mesh),
                      DiffStatus::Ok)
                << c.name << " " << threads;
            EXPECT_EQ(mesh.level, alone.level) << c.name << " " << threads;
            EXPECT_EQ(mesh.sigma, alone.sigma) << c.name << " " << threads;
            EXPECT_EQ(mesh.measured, alone.measured) << c.name << " " << threads;
            EXPECT_EQ(mesh.medianLevel, alone.medianLevel) << c.name << " " << threads;
            std::vector<float> flat = values;
            flattenBackground(mesh, mesh.medianLevel, flat.data(), nullptr, 65535, &shared);
            EXPECT_EQ(flat, flatAlone) << c.name << " " << threads;
            FloatImage residual{c.w, c.h, values};
            ASSERT_EQ(subtractResidualBackground(&residual, nullptr, 0, options, nullptr),
                      DiffStatus::Ok);
            EXPECT_EQ(residual.pixels, residualAlone.pixels) << c.name << " " << threads;
        }
    }
}

TEST(FitBackgroundMesh, RefusesWhatItCannotFit)
{
    const std::vector<float> values(64 * 64, 100.0f);
    std::vector<uint8_t> noData(values.size(), 1);
    BackgroundMesh mesh;
    BackgroundOptions small;
    small.cellSize = 4;
    EXPECT_EQ(fitBackgroundMesh(nullptr, nullptr, 64, 64, 65535, {}, &mesh), DiffStatus::BadInput);
    EXPECT_EQ(fitBackgroundMesh(values.data(), nullptr, 64, 64, 65535, small, &mesh),
              DiffStatus::BadInput);
    EXPECT_EQ(fitBackgroundMesh(values.data(), noData.data(), 64, 64, 65535, {}, &mesh),
              DiffStatus::BadInput); // no pixel holds data
    EXPECT_EQ(fitBackgroundMesh(values.data(), nullptr, 64, 64, 50, {}, &mesh),
              DiffStatus::BadInput); // every pixel saturated
    EXPECT_EQ(mesh.cellsX, 0);
    // Half the image without data: its cells take their neighbours' level.
    for (size_t i = 0; i < noData.size(); ++i)
        noData[i] = (i % 64) < 32 ? 0 : 1;
    BackgroundOptions cells16;
    cells16.cellSize = 16;
    ASSERT_EQ(fitBackgroundMesh(values.data(), noData.data(), 64, 64, 65535, cells16, &mesh),
              DiffStatus::Ok);
    ASSERT_EQ(mesh.cellsX, 4);
    EXPECT_EQ(mesh.measured[0], 1);
    EXPECT_EQ(mesh.measured[3], 0);
    EXPECT_DOUBLE_EQ(mesh.level[3], 100.0);
    EXPECT_DOUBLE_EQ(backgroundMeshAt(mesh, 63, 63), 100.0);
}

// A 512 x 512 pair whose skies slope by +-50 % in different directions (and the
// reference's bulges as a bowl besides) with new sources of 25 to 45 noise units in the test.
TEST(SubtractImages, GradientAndBowlSkiesKeepNewSources)
{
    const int w = 512, h = 512;
    std::mt19937_64 random(9090);
    std::uniform_real_distribution<double> place(10, 502), unit(0, 1);
    std::vector<double> t(static_cast<size_t>(w) * h), r(t.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            t[static_cast<size_t>(y) * w + x] = skyAt(w, h, 800, 0.5, 0.4, 0, x, y);
            r[static_cast<size_t>(y) * w + x] = skyAt(w, h, 1500, 0.5, 2.5, 0.3, x, y);
        }
    }
    for (int s = 0; s < 400; ++s) {
        const double x = place(random), y = place(random);
        const double flux = 300 * std::pow(10.0, 3.0 * unit(random));
        addStar(&t, w, h, x, y, flux, 1.8);
        addStar(&r, w, h, x, y, 2 * flux, 1.2);
    }
    std::vector<double> newX, newY;
    for (int k = 0; k < 6; ++k) {
        newX.push_back(60 + 78 * k + 0.37 * k);
        newY.push_back(100 + 61 * k + 0.21);
        addStar(&t, w, h, newX.back(), newY.back(), 6000, 1.8);
    }
    const std::vector<uint16_t> test = digitize(t, &random), reference = digitize(r, &random);
    PixelMap map;
    map.centreX = map.centreY = 255.5;
    map.scale = 256;
    map.u = {255.5, 256, 0};
    map.v = {255.5, 0, 256};
    DifferenceOptions options;
    options.testGain = options.referenceGain = 2;
    DifferenceResult result;
    ASSERT_EQ(subtractImages(test.data(), w, h, reference.data(), w, h, map, options, {}, &result),
              DiffStatus::Ok);
    size_t found = 0;
    int kept = 0;
    for (const DifferenceSource& d : result.sources) {
        if (d.reasons != 0)
            continue;
        ++kept;
        for (size_t k = 0; k < newX.size(); ++k)
            found += std::hypot(d.x - newX[k], d.y - newY[k]) < 0.5 ? 1 : 0;
    }
    EXPECT_EQ(found, newX.size());
    EXPECT_LE(kept, static_cast<int>(newX.size()) + 2); // star residues: at most 2
}

} // namespace
