#pragma once
// Rendering a simulated CCD frame: a smooth sky, Gaussian point sources, photon and
// read noise, digitisation to 16 bits, hot pixels and cosmic-ray hits.

#include <cstdint>
#include <vector>

#include "night_random.hpp"

// Expected signal of every pixel in ADU, before noise; element y * width + x is the pixel
// at column x, row y, whose centre is the position (x, y).
struct NightFrame {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float> signal;
};

// Sizes the frame (width, height >= 1, product checked by the caller) with every pixel at
// the sky level in ADU.
void initNightFrame(NightFrame* frame, int32_t width, int32_t height, double sky);

// Adds a circular Gaussian profile of the given peak (ADU, at the centre) and deviation
// (pixels, > 0) centred at (x, y), sampled at pixel centres out to where it falls below
// 0.02 ADU. Parts outside the frame are dropped; a source wholly outside adds nothing.
void addGaussianSource(NightFrame* frame, double x, double y, double peak, double sigma);

// Moffat parameter alpha (pixels) of a profile of the given full width at half maximum
// (pixels) and index beta (> 1): FWHM / (2 sqrt(2^(1/beta) - 1)).
double moffatAlpha(double fwhm, double beta);

// Total flux of a Moffat profile of unit peak: pi alpha^2 / (beta - 1), beta > 1.
double moffatNorm(double alpha, double beta);

// Adds a circular Moffat profile peak (1 + r^2 / alpha^2)^-beta (peak ADU at the centre,
// alpha pixels, beta > 1) centred at (x, y), sampled at pixel centres out to where it
// falls below 0.02 ADU or 200 pixels, whichever is nearer. Parts outside the frame are
// dropped.
void addMoffatSource(NightFrame* frame, double x, double y, double peak, double alpha, double beta);

// A point source stretched by ratio (> 1) along the direction angle (radians from the x
// axis) and shrunk by it across, the area under it that of the round one: the Gaussian of
// deviation sigma (beta 0), or the Moffat profile of alpha and beta (beta > 1), taken at
// the elliptical radius sqrt((u / sqrt(ratio))^2 + (v sqrt(ratio))^2), u along the
// direction. Drawn out to where it falls below 0.02 ADU.
void addStretchedSource(NightFrame* frame, double x, double y, double peak, double sigma,
                        double alpha, double beta, double ratio, double angle);

// Changes the frame's sky from a flat level sky (ADU) to
//   sky (1 + gradient g(x, y) + bowl b(x, y)),
// g running linearly from -1 to 1 across the frame along the direction angle (radians from
// the x axis) and b = 2 rho^2 - 1 with rho the distance from the frame's centre over the
// half diagonal (-1 at the centre, 1 in the corners). Signal already there is kept.
void addSkyPattern(NightFrame* frame, double sky, double gradient, double angle, double bowl);

// The pattern's sky level at (x, y), ADU, as addSkyPattern lays it on a width x height frame.
double skyPatternAt(int32_t width, int32_t height, double sky, double gradient, double angle,
                    double bowl, double x, double y);

// Draws each pixel from its expected signal: photon noise for gain electrons per ADU
// (> 0) and Gaussian read noise (ADU), rounded to whole ADU and clipped to 0..65535, so
// that everything at or above 65535 reads as saturated. pixels is resized to the frame.
void digitizeFrame(const NightFrame* frame, double gain, double readNoise, NightRandom* random,
                   std::vector<uint16_t>* pixels);

// A detector defect: a pixel that always reads high by excess ADU.
struct HotPixel {
    int32_t x = 0;
    int32_t y = 0;
    int32_t excess = 0;
};

// The hot pixels of a width x height detector: count positions and excesses (2000 ADU up
// to saturation) drawn from random. The same detector seed gives the same defects in
// every frame it takes.
std::vector<HotPixel> makeHotPixels(int32_t width, int32_t height, int count, NightRandom* random);

// Adds each hot pixel's excess to the digitised pixels, clipping at 65535.
void addHotPixels(const std::vector<HotPixel>& hot, int32_t width, int32_t height,
                  std::vector<uint16_t>* pixels);

// A cosmic-ray hit as it landed: first and last pixel of its straight track (the same
// pixel for a single hit) and its length in pixels after the cut at the frame's edges.
struct CosmicHit {
    int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int length = 0;
};

// Adds count cosmic-ray hits to the digitised pixels: most a single pixel, about one in
// four a short straight track of 2 to 5 pixels, each pixel 300 to 6000 ADU above what it
// held, clipped at 65535. Tracks are cut at the frame's edges. When hits is given, each
// hit that left at least one pixel is appended to it (the draws are the same either way).
void addCosmicRays(int count, NightRandom* random, int32_t width, int32_t height,
                   std::vector<uint16_t>* pixels, std::vector<CosmicHit>* hits = nullptr);

// Adds count compact cosmic-ray hits: clumps of 1 to 10 pixels, each grown from a first
// pixel by steps to one of its eight neighbours (a pixel met again adds nothing), each
// pixel 300 to 6000 ADU above what it held (clipped at 65535), cut at the frame's edges;
// each that left a pixel is appended to hits when given (from its first to its last pixel).
void addCompactCosmicRays(int count, NightRandom* random, int32_t width, int32_t height,
                          std::vector<uint16_t>* pixels, std::vector<CosmicHit>* hits = nullptr);

// Adds count long cosmic-ray tracks: straight, at any angle, 6 to 15 pixels, each pixel
// 300 to 3000 ADU above what it held (clipped at 65535), cut at the frame's edges; each
// that left a pixel is appended to hits when given.
void addLongTracks(int count, NightRandom* random, int32_t width, int32_t height,
                   std::vector<uint16_t>* pixels, std::vector<CosmicHit>* hits = nullptr);
