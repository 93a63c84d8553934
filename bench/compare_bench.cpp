// Cost of the star comparison on a 4096 x 4096 image pair with about 20 000 stars
// each: the two star searches, the pixel-to-sky conversions, the indexed matching,
// the plain pair loop it replaces, and compareImages as a whole.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "base/angles.hpp"
#include "search/compare.hpp"
#include "wcs/world_coords.hpp"
#include "stars/find_stars.hpp"

using namespace newstars;

static constexpr int SIDE = 4096;

struct StarField {
    FitsImage reference;
    FitsImage test;
    std::vector<SkyPosition> referenceSky;
    std::vector<SkyPosition> testSky;
};

static void setSkyCards(FitsImage* image)
{
    setIntCard(image, "NAXIS1", SIDE);
    setIntCard(image, "NAXIS2", SIDE);
    setRealCard(image, "CRVAL1", 150.0, 12);
    setRealCard(image, "CRVAL2", 30.0, 12);
    setRealCard(image, "CRPIX1", SIDE / 2, 12);
    setRealCard(image, "CRPIX2", SIDE / 2, 12);
    setRealCard(image, "CDELT1", -1.0 / 3600, 12);
    setRealCard(image, "CDELT2", 1.0 / 3600, 12);
    setRealCard(image, "CROTA2", 0.0, 12);
    setStringCard(image, "CTYPE1", "RA---TAN");
    setStringCard(image, "DATE-OBS", "2026-12-07");
    setStringCard(image, "TIME-OBS", "01:02:03");
}

// Adds a Gaussian star of the given peak above the background.
static void drawStar(std::vector<double>* sky, double x, double y, double peak)
{
    const double sigma = 1.2;
    int cx = static_cast<int>(x), cy = static_cast<int>(y);
    for (int j = cy - 4; j <= cy + 4; ++j)
        for (int i = cx - 4; i <= cx + 4; ++i) {
            double r2 = (i - x) * (i - x) + (j - y) * (j - y);
            (*sky)[static_cast<size_t>(j) * SIDE + i] += peak * std::exp(-r2 / (2 * sigma * sigma));
        }
}

static void renderImage(FitsImage* image, const std::vector<double>& sky, std::mt19937_64* random)
{
    std::normal_distribution<double> noise(0, 8);
    image->width = SIDE;
    image->height = SIDE;
    image->bitpix = 16;
    image->pixels.resize(sky.size());
    for (size_t k = 0; k < sky.size(); ++k)
        image->pixels[k] = static_cast<uint16_t>(std::clamp(sky[k] + noise(*random), 0.0, 65000.0));
    setSkyCards(image);
}

// Stars on a jittered grid of 142 x 142 cells; the test image sees the same stars
// shifted by up to 0.3 pixels, plus 100 new ones.
static StarField* makeField()
{
    static StarField field;
    if (!field.reference.pixels.empty())
        return &field;
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(0, 1);
    const int cells = 142;
    const double cell = (SIDE - 80.0) / cells;
    std::vector<double> referenceSky(static_cast<size_t>(SIDE) * SIDE, 1000.0),
        testSky = referenceSky;
    for (int gy = 0; gy < cells; ++gy)
        for (int gx = 0; gx < cells; ++gx) {
            double x = 40 + (gx + 0.2 + 0.6 * unit(random)) * cell;
            double y = 40 + (gy + 0.2 + 0.6 * unit(random)) * cell;
            double peak = 300 + 20000 * std::pow(unit(random), 3);
            drawStar(&referenceSky, x, y, peak);
            drawStar(&testSky, x + 0.6 * unit(random) - 0.3, y + 0.6 * unit(random) - 0.3, peak);
        }
    for (int k = 0; k < 100; ++k)
        drawStar(&testSky, 40 + (SIDE - 80) * unit(random), 40 + (SIDE - 80) * unit(random), 5000);
    renderImage(&field.reference, referenceSky, &random);
    renderImage(&field.test, testSky, &random);
    for (auto [image, sky] :
         {std::pair{&field.reference, &field.referenceSky}, {&field.test, &field.testSky}}) {
        StarList stars;
        int n = findStars(image->pixels.data(), image->width, image->height, &stars);
        for (int i = 0; i < n; ++i) {
            SkyPosition p;
            if (pixelToSky(image, stars.x[static_cast<size_t>(i)], stars.y[static_cast<size_t>(i)],
                           &p.ra, &p.dec) == 0)
                sky->push_back(p);
        }
    }
    return &field;
}

static const double TOLERANCE = 2.0 / 3600 * PI / 180;

static void BM_FindStarsBothImages(benchmark::State& state)
{
    StarField* field = makeField();
    for (auto _ : state) {
        StarList reference, test;
        benchmark::DoNotOptimize(findStars(field->reference.pixels.data(), SIDE, SIDE, &reference));
        benchmark::DoNotOptimize(findStars(field->test.pixels.data(), SIDE, SIDE, &test));
    }
    state.counters["referenceStars"] = static_cast<double>(field->referenceSky.size());
    state.counters["testStars"] = static_cast<double>(field->testSky.size());
}
BENCHMARK(BM_FindStarsBothImages)->Unit(benchmark::kMillisecond);

static void BM_PixelToSkyBothImages(benchmark::State& state)
{
    StarField* field = makeField();
    StarList reference, test;
    findStars(field->reference.pixels.data(), SIDE, SIDE, &reference);
    findStars(field->test.pixels.data(), SIDE, SIDE, &test);
    for (auto _ : state) {
        double ra = 0, dec = 0;
        for (size_t i = 0; i < reference.x.size(); ++i)
            pixelToSky(&field->reference, reference.x[i], reference.y[i], &ra, &dec);
        for (size_t i = 0; i < test.x.size(); ++i)
            pixelToSky(&field->test, test.x[i], test.y[i], &ra, &dec);
        benchmark::DoNotOptimize(ra);
    }
}
BENCHMARK(BM_PixelToSkyBothImages)->Unit(benchmark::kMillisecond);

static void BM_MatchStarsIndexed(benchmark::State& state)
{
    StarField* field = makeField();
    std::vector<char> matched;
    for (auto _ : state) {
        matchStars(field->referenceSky, field->testSky, TOLERANCE, &matched);
        benchmark::DoNotOptimize(matched.data());
    }
    state.counters["unmatched"] =
        static_cast<double>(std::count(matched.begin(), matched.end(), 0));
}
BENCHMARK(BM_MatchStarsIndexed)->Unit(benchmark::kMillisecond);

static void BM_MatchStarsPlainLoop(benchmark::State& state)
{
    StarField* field = makeField();
    std::vector<char> matched;
    for (auto _ : state) {
        matchStarsPlain(field->referenceSky, field->testSky, TOLERANCE, &matched);
        benchmark::DoNotOptimize(matched.data());
    }
    state.counters["unmatched"] =
        static_cast<double>(std::count(matched.begin(), matched.end(), 0));
}
BENCHMARK(BM_MatchStarsPlainLoop)->Unit(benchmark::kMillisecond)->Iterations(1);

static void BM_CompareImages(benchmark::State& state)
{
    StarField* field = makeField();
    SearchRun run;
    run.tolerance = TOLERANCE;
    const SearchBox box = {150.5 * PI / 180, 31 * PI / 180, 149.5 * PI / 180, 29 * PI / 180,
                           std::cos(30 * PI / 180)};
    std::fflush(stdout);
    int savedOut = dup(1);
    int devNull = open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        run.candidates.lines.clear();
        dup2(devNull, 1);
        compareImages(&run, box, &field->reference, &field->test, "reference.fts", "test.fts",
                      "FIELD");
        std::fflush(stdout);
        dup2(savedOut, 1);
    }
    close(devNull);
    close(savedOut);
    state.counters["candidates"] = static_cast<double>(run.candidates.lines.size());
}
BENCHMARK(BM_CompareImages)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
