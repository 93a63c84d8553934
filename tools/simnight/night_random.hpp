#pragma once
// A small, fully specified random number generator for the simulated night, so that a
// seed gives bit-identical images on every machine and with every standard library.

#include <cstdint>

// xoshiro256** state, filled from a 64-bit seed by splitmix64; plus one spare normal
// deviate from the polar method.
struct NightRandom {
    uint64_t state[4] = {0, 0, 0, 0};
    double spareNormal = 0;
    bool hasSpare = false;
};

// One splitmix64 step: advances *x and returns the next output. Used for seeding and
// for deriving independent stream seeds.
uint64_t splitMix64(uint64_t* x);

// Seed for the stream identified by (seed, a, b, c): equal inputs give equal streams,
// different inputs give unrelated ones. The parts of a night (an object's catalogue, one
// image's noise, ...) each take their own stream, so adding images leaves others unchanged.
uint64_t streamSeed(uint64_t seed, uint64_t a, uint64_t b, uint64_t c);

// Starts the generator from a 64-bit seed (any value, 0 included).
void seedNightRandom(NightRandom* random, uint64_t seed);

// Next 64 random bits (xoshiro256**).
uint64_t nextRandomBits(NightRandom* random);

// Uniform double in [0, 1), 53 random bits.
double uniformRandom(NightRandom* random);

// Uniform double in [low, high).
double uniformBetween(NightRandom* random, double low, double high);

// Uniform integer in [0, n) for n >= 1 (multiply-high, bias below 2^-32 for n < 2^32).
uint32_t uniformIndex(NightRandom* random, uint32_t n);

// Standard normal deviate (mean 0, deviation 1) by the polar method; deviates come in
// pairs and the second is kept for the next call.
double normalRandom(NightRandom* random);

// Poisson deviate of the given mean (>= 0): by multiplication of uniforms below a mean of
// 30, by the rounded normal approximation above it (the relative error there is below 1%).
int64_t poissonRandom(NightRandom* random, double mean);
