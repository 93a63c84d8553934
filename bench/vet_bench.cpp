// Cost of vetting beside the search itself, on a 4096 x 4096 pair with about 20 000 stars
// each and about 300 candidates (new stars and cosmic-ray tracks): the comparison as the
// search runs it (compareImages), the same with --vet, the vetting of the candidates
// alone, the catalogue and region texts, and the stamps.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <unistd.h>

#include "base/angles.hpp"
#include "search/compare.hpp"
#include "search/vetting.hpp"
#include "stars/find_stars.hpp"

using namespace newstars;

namespace {

constexpr int SIDE = 4096;
constexpr double TOLERANCE = 2.0 / 3600 * PI / 180;

void setSkyCards(FitsImage* image, double shift)
{
    setIntCard(image, "NAXIS1", SIDE);
    setIntCard(image, "NAXIS2", SIDE);
    setRealCard(image, "CRVAL1", 150.0, 12);
    setRealCard(image, "CRVAL2", 30.0, 12);
    setRealCard(image, "CRPIX1", SIDE / 2 + shift, 12);
    setRealCard(image, "CRPIX2", SIDE / 2 - shift, 12);
    setRealCard(image, "CDELT1", -1.0 / 3600, 12);
    setRealCard(image, "CDELT2", 1.0 / 3600, 12);
    setRealCard(image, "CROTA2", 0.0, 12);
    setStringCard(image, "CTYPE1", "RA---TAN");
}

void drawStar(std::vector<double>* sky, double x, double y, double peak, double sigma)
{
    const int cx = static_cast<int>(x), cy = static_cast<int>(y);
    for (int j = cy - 6; j <= cy + 6; ++j) {
        for (int i = cx - 6; i <= cx + 6; ++i) {
            const double r2 = (i - x) * (i - x) + (j - y) * (j - y);
            (*sky)[static_cast<size_t>(j) * SIDE + i] += peak * std::exp(-r2 / (2 * sigma * sigma));
        }
    }
}

void render(FitsImage* image, const std::vector<double>& sky, std::mt19937_64* random)
{
    std::normal_distribution<double> noise(0, 8);
    image->width = image->height = SIDE;
    image->bitpix = 16;
    image->pixels.resize(sky.size());
    for (size_t k = 0; k < sky.size(); ++k)
        image->pixels[k] = static_cast<uint16_t>(std::clamp(sky[k] + noise(*random), 0.0, 65535.0));
}

// The pair, its stars and the comparison's outcome, made once.
struct Pair {
    FitsImage reference, test;
    WorldFrame referenceFrame, testFrame;
    StarList referenceStars;
    std::vector<ComparedStar> testStars;
    int candidates = 0;
};

const SearchBox BOX = {150.5 * PI / 180, 30.5 * PI / 180, 149.5 * PI / 180, 29.5 * PI / 180,
                       std::cos(30 * PI / 180)};

// Runs compareImages with standard output sent to /dev/null.
void compareQuietly(SearchRun* run, const Pair& pair)
{
    std::fflush(stdout);
    const int saved = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    compareImages(run, BOX, &pair.reference, &pair.test, "reference.fts", "test.fts", "FIELD");
    std::fflush(stdout);
    dup2(saved, 1);
    close(devNull);
    close(saved);
}

// Stars on a jittered grid of 142 x 142 cells, the reference shifted by 2.5 pixels with
// sharper seeing; the test adds 200 new stars and 150 cosmic-ray tracks of 2 to 4 pixels.
Pair* makePair()
{
    static Pair pair;
    if (!pair.test.pixels.empty())
        return &pair;
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0, 1);
    const int cells = 142;
    const double cell = (SIDE - 80.0) / cells;
    std::vector<double> referenceSky(static_cast<size_t>(SIDE) * SIDE, 1000.0),
        testSky = referenceSky;
    for (int gy = 0; gy < cells; ++gy) {
        for (int gx = 0; gx < cells; ++gx) {
            const double x = 40 + (gx + 0.2 + 0.6 * unit(random)) * cell;
            const double y = 40 + (gy + 0.2 + 0.6 * unit(random)) * cell;
            const double peak = 300 + 20000 * std::pow(unit(random), 3);
            drawStar(&referenceSky, x + 2.5, y - 2.5, 2 * peak, 1.1);
            drawStar(&testSky, x, y, peak, 1.4);
        }
    }
    for (int k = 0; k < 200; ++k)
        drawStar(&testSky, 40 + (SIDE - 80) * unit(random), 40 + (SIDE - 80) * unit(random), 3000,
                 1.4);
    for (int k = 0; k < 150; ++k) {
        const int x = 40 + static_cast<int>((SIDE - 80) * unit(random));
        const int y = 40 + static_cast<int>((SIDE - 80) * unit(random));
        const int length = 2 + static_cast<int>(3 * unit(random));
        for (int s = 0; s < length; ++s)
            testSky[static_cast<size_t>(y) * SIDE + x + s] += 2000;
    }
    render(&pair.reference, referenceSky, &random);
    render(&pair.test, testSky, &random);
    setSkyCards(&pair.reference, 2.5);
    setSkyCards(&pair.test, 0);
    // The comparison's stars, as the search hands them to vetting.
    SearchRun run;
    run.tolerance = TOLERANCE;
    run.filter = [](const ComparisonView& view, std::vector<char>* keep) {
        pair.referenceStars = *view.referenceStars;
        pair.testStars = *view.testStars;
        pair.referenceFrame = *view.referenceFrame;
        pair.testFrame = *view.testFrame;
        pair.candidates = static_cast<int>(keep->size());
    };
    compareQuietly(&run, pair);
    return &pair;
}

ComparisonView viewOf(const Pair& pair)
{
    ComparisonView view;
    view.reference = &pair.reference;
    view.test = &pair.test;
    view.objectName = "FIELD";
    view.referenceName = "reference.fts";
    view.testName = "test.fts";
    view.referenceStars = &pair.referenceStars;
    view.testStars = &pair.testStars;
    view.referenceFrame = &pair.referenceFrame;
    view.testFrame = &pair.testFrame;
    return view;
}

void BM_Search(benchmark::State& state)
{
    const Pair* pair = makePair();
    SearchRun run;
    run.tolerance = TOLERANCE;
    for (auto _ : state) {
        run.candidates.lines.clear();
        compareQuietly(&run, *pair);
    }
    state.counters["candidates"] = static_cast<double>(run.candidates.lines.size());
    state.counters["testStars"] = static_cast<double>(pair->testStars.size());
}
BENCHMARK(BM_Search)->Unit(benchmark::kMillisecond);

void BM_SearchWithVet(benchmark::State& state)
{
    const Pair* pair = makePair();
    VetSession session;
    session.options.vet = true;
    SearchRun run;
    run.tolerance = TOLERANCE;
    run.filter = [&session](const ComparisonView& view, std::vector<char>* keep) {
        vetIntoSession(&session, view, keep);
    };
    for (auto _ : state) {
        run.candidates.lines.clear();
        session.rows.clear();
        compareQuietly(&run, *pair);
    }
    state.counters["kept"] = static_cast<double>(run.candidates.lines.size());
}
BENCHMARK(BM_SearchWithVet)->Unit(benchmark::kMillisecond);

void BM_VetCandidates(benchmark::State& state)
{
    const Pair* pair = makePair();
    VetOptions options;
    options.vet = true;
    int kept = 0;
    for (auto _ : state) {
        ImageVetting result;
        std::string message;
        vetComparison(options, viewOf(*pair), &result, &message);
        kept = static_cast<int>(std::count(result.kept.begin(), result.kept.end(), 1));
        benchmark::DoNotOptimize(result.rows.data());
    }
    state.counters["candidates"] = pair->candidates;
    state.counters["kept"] = kept;
}
BENCHMARK(BM_VetCandidates)->Unit(benchmark::kMillisecond);

void BM_CatalogueAndRegionText(benchmark::State& state)
{
    const Pair* pair = makePair();
    VetOptions options;
    ImageVetting result;
    std::string message;
    vetComparison(options, viewOf(*pair), &result, &message);
    for (auto _ : state) {
        std::string text = formatCatalogEcsv(result.rows) + formatRegionFile(result.rows, 2);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_CatalogueAndRegionText)->Unit(benchmark::kMillisecond);

void BM_VetWithStamps(benchmark::State& state)
{
    const Pair* pair = makePair();
    VetOptions options;
    options.stampsDirectory =
        (std::filesystem::temp_directory_path() / "newstars-vet-bench-stamps").string();
    for (auto _ : state) {
        ImageVetting result;
        std::string message;
        vetComparison(options, viewOf(*pair), &result, &message);
        benchmark::DoNotOptimize(result.stampsWritten);
    }
    std::error_code ignored;
    std::filesystem::remove_all(options.stampsDirectory, ignored);
}
BENCHMARK(BM_VetWithStamps)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
