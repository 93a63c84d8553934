// Cost of converting star positions to the sky: the projection alone, pixelToSky with
// its eight header look-ups in a header of realistic length, and star placement through
// a world frame read once per image (per star, in the array form, and a standard frame
// with distortion).

#include <benchmark/benchmark.h>

#include <cstdio>

#include "fits/fits_image.hpp"
#include "sky/projections.hpp"
#include "wcs/world_coords.hpp"
#include "wcs/world_frame.hpp"

#include <vector>

using namespace newstars;

static void projectionTan(benchmark::State& state)
{
    double x = 0;
    for (auto _ : state) {
        double ra = 0, dec = 0;
        projectionPixelToSky(x, 700.0, 150.25, 33.5, 1024.5, 512.0, -2.8e-4, 2.8e-4, 0.4, "-TAN",
                             &ra, &dec);
        benchmark::DoNotOptimize(ra);
        benchmark::DoNotOptimize(dec);
        x = x < 2047 ? x + 1 : 0;
    }
}
BENCHMARK(projectionTan);

static void pixelToSkyTan(benchmark::State& state)
{
    FitsImage image;
    initFitsImage(&image);
    // The world-coordinate cards after a typical run of other header cards.
    for (int i = 0; i < state.range(0); i++) {
        char keyword[16];
        std::snprintf(keyword, sizeof keyword, "KEY%d", i);
        setIntCard(&image, keyword, i);
    }
    setRealCard(&image, "CRVAL1", 150.25, 12);
    setRealCard(&image, "CRVAL2", 33.5, 12);
    setRealCard(&image, "CRPIX1", 1024.5, 12);
    setRealCard(&image, "CRPIX2", 512.0, 12);
    setRealCard(&image, "CDELT1", -2.8e-4, 12);
    setRealCard(&image, "CDELT2", 2.8e-4, 12);
    setRealCard(&image, "CROTA2", 0.4, 12);
    setStringCard(&image, "CTYPE1", "RA---TAN");
    double x = 0;
    for (auto _ : state) {
        double ra = 0, dec = 0;
        pixelToSky(&image, x, 700.0, &ra, &dec);
        benchmark::DoNotOptimize(ra);
        benchmark::DoNotOptimize(dec);
        x = x < 2047 ? x + 1 : 0;
    }
    freeFitsImage(&image);
}
BENCHMARK(pixelToSkyTan)->Arg(10)->Arg(100);

// A header of 100 other cards, then the classic world-coordinate cards.
static void classicHeader(FitsImage* image)
{
    initFitsImage(image);
    for (int i = 0; i < 100; i++) {
        char keyword[16];
        std::snprintf(keyword, sizeof keyword, "KEY%d", i);
        setIntCard(image, keyword, i);
    }
    setRealCard(image, "CRVAL1", 150.25, 12);
    setRealCard(image, "CRVAL2", 33.5, 12);
    setRealCard(image, "CRPIX1", 1024.5, 12);
    setRealCard(image, "CRPIX2", 512.0, 12);
    setRealCard(image, "CDELT1", -2.8e-4, 12);
    setRealCard(image, "CDELT2", 2.8e-4, 12);
    setRealCard(image, "CROTA2", 0.4, 12);
    setStringCard(image, "CTYPE1", "RA---TAN");
    setStringCard(image, "CTYPE2", "DEC--TAN");
}

// The stars of one image: 1000 positions spread over a 2048 x 2048 image.
struct StarPositions {
    std::vector<double> x, y, ra, dec;
    std::vector<unsigned char> placed;
    StarPositions()
    {
        for (int i = 0; i < 1000; i++) {
            x.push_back((i * 613) % 2048 + 0.25);
            y.push_back((i * 397) % 2048 + 0.75);
        }
        ra.resize(x.size());
        dec.resize(x.size());
        placed.resize(x.size());
    }
};

// Today's placement: every star reads the eight cards again.
static void starsThroughCards(benchmark::State& state)
{
    FitsImage image;
    classicHeader(&image);
    StarPositions stars;
    for (auto _ : state) {
        for (size_t i = 0; i < stars.x.size(); i++)
            pixelToSky(&image, stars.x[i], stars.y[i], &stars.ra[i], &stars.dec[i]);
        benchmark::DoNotOptimize(stars.ra.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(stars.x.size()));
    freeFitsImage(&image);
}
BENCHMARK(starsThroughCards);

// The frame read once per image (inside the loop, as a run does it), then each star.
static void starsThroughClassicFrame(benchmark::State& state)
{
    FitsImage image;
    classicHeader(&image);
    StarPositions stars;
    for (auto _ : state) {
        WorldFrame frame;
        readWorldFrame(image, WcsMode::Auto, &frame);
        for (size_t i = 0; i < stars.x.size(); i++)
            pixelToSky(frame, stars.x[i], stars.y[i], &stars.ra[i], &stars.dec[i]);
        benchmark::DoNotOptimize(stars.ra.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(stars.x.size()));
    freeFitsImage(&image);
}
BENCHMARK(starsThroughClassicFrame);

static void starsThroughClassicFrameArray(benchmark::State& state)
{
    FitsImage image;
    classicHeader(&image);
    StarPositions stars;
    for (auto _ : state) {
        WorldFrame frame;
        readWorldFrame(image, WcsMode::Auto, &frame);
        pixelsToSky(frame, stars.x.size(), stars.x.data(), stars.y.data(), stars.ra.data(),
                    stars.dec.data(), stars.placed.data());
        benchmark::DoNotOptimize(stars.ra.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(stars.x.size()));
    freeFitsImage(&image);
}
BENCHMARK(starsThroughClassicFrameArray);

// A CD matrix with SIP distortion through WCSLIB: per star, and in the array form.
static void standardHeader(FitsImage* image)
{
    classicHeader(image);
    setStringCard(image, "CTYPE1", "RA---TAN-SIP");
    setStringCard(image, "CTYPE2", "DEC--TAN-SIP");
    setRealCard(image, "CD1_1", -2.8e-4, 12);
    setRealCard(image, "CD1_2", 1e-6, 12);
    setRealCard(image, "CD2_1", 1e-6, 12);
    setRealCard(image, "CD2_2", 2.8e-4, 12);
    setIntCard(image, "A_ORDER", 2);
    setIntCard(image, "B_ORDER", 2);
    setRealCard(image, "A_2_0", 1.5e-6, 12);
    setRealCard(image, "B_0_2", -1e-6, 12);
}

static void starsThroughStandardFrame(benchmark::State& state)
{
    FitsImage image;
    standardHeader(&image);
    StarPositions stars;
    const bool array = state.range(0) != 0;
    for (auto _ : state) {
        WorldFrame frame;
        readWorldFrame(image, WcsMode::Auto, &frame);
        if (array) {
            pixelsToSky(frame, stars.x.size(), stars.x.data(), stars.y.data(), stars.ra.data(),
                        stars.dec.data(), stars.placed.data());
        } else {
            for (size_t i = 0; i < stars.x.size(); i++)
                pixelToSky(frame, stars.x[i], stars.y[i], &stars.ra[i], &stars.dec[i]);
        }
        benchmark::DoNotOptimize(stars.ra.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(stars.x.size()));
    freeFitsImage(&image);
}
BENCHMARK(starsThroughStandardFrame)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
