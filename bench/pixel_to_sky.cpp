// Cost of converting star positions to the sky: the projection alone, and pixelToSky
// with its eight header look-ups in a header of realistic length.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "fits/fits_image.hpp"
#include "sky/projections.hpp"
#include "sky/world_coords.hpp"

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

BENCHMARK_MAIN();
