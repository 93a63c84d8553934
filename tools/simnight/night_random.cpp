#include "night_random.hpp"

#include <cmath>
#include <initializer_list>

uint64_t splitMix64(uint64_t* x)
{
    *x += 0x9e3779b97f4a7c15ULL;
    uint64_t z = *x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t streamSeed(uint64_t seed, uint64_t a, uint64_t b, uint64_t c)
{
    uint64_t x = seed;
    uint64_t h = splitMix64(&x);
    for (uint64_t part : {a, b, c}) {
        x = h ^ (part * 0xd1b54a32d192ed03ULL);
        h = splitMix64(&x);
    }
    return h;
}

void seedNightRandom(NightRandom* random, uint64_t seed)
{
    uint64_t x = seed;
    for (uint64_t& word : random->state)
        word = splitMix64(&x);
    random->hasSpare = false;
    random->spareNormal = 0;
}

static uint64_t rotateLeft(uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

uint64_t nextRandomBits(NightRandom* random)
{
    uint64_t* s = random->state;
    const uint64_t result = rotateLeft(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotateLeft(s[3], 45);
    return result;
}

double uniformRandom(NightRandom* random)
{
    return static_cast<double>(nextRandomBits(random) >> 11) * 0x1.0p-53;
}

double uniformBetween(NightRandom* random, double low, double high)
{
    return low + (high - low) * uniformRandom(random);
}

uint32_t uniformIndex(NightRandom* random, uint32_t n)
{
    const uint64_t bits = nextRandomBits(random) >> 32;
    return static_cast<uint32_t>((bits * n) >> 32);
}

double normalRandom(NightRandom* random)
{
    if (random->hasSpare) {
        random->hasSpare = false;
        return random->spareNormal;
    }
    double u = 0, v = 0, s = 0;
    do {
        u = 2 * uniformRandom(random) - 1;
        v = 2 * uniformRandom(random) - 1;
        s = u * u + v * v;
    } while (s >= 1 || s == 0);
    const double factor = std::sqrt(-2 * std::log(s) / s);
    random->spareNormal = v * factor;
    random->hasSpare = true;
    return u * factor;
}

int64_t poissonRandom(NightRandom* random, double mean)
{
    if (!(mean > 0))
        return 0;
    if (mean < 30) {
        const double limit = std::exp(-mean);
        int64_t k = 0;
        double product = uniformRandom(random);
        while (product > limit) {
            ++k;
            product *= uniformRandom(random);
        }
        return k;
    }
    const double value = mean + std::sqrt(mean) * normalRandom(random) + 0.5;
    return value < 0 ? 0 : static_cast<int64_t>(value);
}
