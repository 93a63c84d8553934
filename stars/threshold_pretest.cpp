#include "stars/threshold_pretest.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

namespace newstars {

namespace {

// The scratch arrays of one row, one element per block of four pixels, the first block
// being firstGroup - 5 (values in the signed frame v - 32768, where the window's spread
// b and a = 20 v - S are the same as for the pixel values themselves).
struct RowBlocks {
    double* sum;           // of the four pixels
    double* squares;       // of their squares, minus 2^32
    double* first;         // the first pixel
    double* peak;          // the largest pixel
    double* windowSum;     // of blocks i .. i + 4: a left window
    double* windowSquares; // likewise, squares (minus 5 * 2^32)
};

RowBlocks rowBlocks(double* scratch, int blocks)
{
    return {scratch,
            scratch + blocks,
            scratch + 2 * blocks,
            scratch + 3 * blocks,
            scratch + 4 * blocks,
            scratch + 5 * blocks};
}

// 20 Q of a window from its stored squares, which carry 5 blocks of -2^32.
constexpr double SQUARES_OFFSET = 20.0 * 5 * 4294967296.0;
// The rounding of the bound's two subtractions stays below 1/16; one below the integer
// bound's 64 covers it.
constexpr double BOUND_MARGIN = 65;

// Shuffle orders putting 32-bit lanes 0 and 2 (or 1 and 3) first.
constexpr int EVEN_LANES = _MM_SHUFFLE(3, 1, 2, 0);
constexpr int ODD_LANES = _MM_SHUFFLE(2, 0, 3, 1);

// Whether the value m lies clearly below the windows of sums s and squares q (stored).
inline __m128d clearlyBelowSse2(__m128d m, __m128d s, __m128d q)
{
    const __m128d a = _mm_sub_pd(_mm_mul_pd(_mm_set1_pd(20), m), s);
    const __m128d b = _mm_sub_pd(
        _mm_add_pd(_mm_mul_pd(_mm_set1_pd(20), q), _mm_set1_pd(SQUARES_OFFSET)), _mm_mul_pd(s, s));
    const __m128d t = _mm_mul_pd(_mm_set1_pd(500), b);
    const __m128d bound =
        _mm_sub_pd(_mm_sub_pd(t, _mm_mul_pd(t, _mm_set1_pd(0x1.0p-16))), _mm_set1_pd(BOUND_MARGIN));
    const __m128d spread = _mm_mul_pd(_mm_mul_pd(_mm_set1_pd(19), a), a);
    return _mm_or_pd(_mm_cmple_pd(a, _mm_setzero_pd()), _mm_cmplt_pd(spread, bound));
}

__attribute__((target("avx2"))) inline __m256d clearlyBelowAvx2(__m256d m, __m256d s, __m256d q)
{
    const __m256d a = _mm256_sub_pd(_mm256_mul_pd(_mm256_set1_pd(20), m), s);
    const __m256d b = _mm256_sub_pd(
        _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(20), q), _mm256_set1_pd(SQUARES_OFFSET)),
        _mm256_mul_pd(s, s));
    const __m256d t = _mm256_mul_pd(_mm256_set1_pd(500), b);
    const __m256d bound =
        _mm256_sub_pd(_mm256_sub_pd(t, _mm256_mul_pd(t, _mm256_set1_pd(0x1.0p-16))),
                      _mm256_set1_pd(BOUND_MARGIN));
    const __m256d spread = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(19), a), a);
    return _mm256_or_pd(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_LE_OQ),
                        _mm256_cmp_pd(spread, bound, _CMP_LT_OQ));
}

} // namespace

void pretestRowSse2(const uint16_t* row, int firstGroup, int groupCount, double* scratch,
                    uint64_t* flags)
{
    const int rounded = (groupCount + 3) & ~3;
    const int blocks = rounded + 12;
    const RowBlocks r = rowBlocks(scratch, blocks);
    const uint16_t* p = row + 4 * firstGroup - 20;
    const __m128i flip = _mm_set1_epi16(INT16_MIN);
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i squaresBias = _mm_set1_epi32(INT32_MIN);
    for (int i = 0; i < blocks; i += 2) {
        const __m128i w =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * i)), flip);
        // Pair sums of squares are at most 2^31: as unsigned 32-bit values minus 2^31
        // they convert exactly.
        const __m128i pairs = _mm_madd_epi16(w, ones);
        const __m128i sums = _mm_add_epi32(pairs, _mm_srli_epi64(pairs, 32));
        const __m128i pairSquares = _mm_xor_si128(_mm_madd_epi16(w, w), squaresBias);
        __m128i peak = _mm_max_epi16(w, _mm_srli_epi32(w, 16));
        peak = _mm_max_epi16(peak, _mm_srli_epi64(peak, 32));
        peak = _mm_srai_epi32(_mm_slli_epi32(peak, 16), 16);
        const __m128i first = _mm_srai_epi32(_mm_slli_epi32(w, 16), 16);
        _mm_storeu_pd(r.sum + i, _mm_cvtepi32_pd(_mm_shuffle_epi32(sums, EVEN_LANES)));
        _mm_storeu_pd(r.squares + i,
                      _mm_add_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(pairSquares, EVEN_LANES)),
                                 _mm_cvtepi32_pd(_mm_shuffle_epi32(pairSquares, ODD_LANES))));
        _mm_storeu_pd(r.peak + i, _mm_cvtepi32_pd(_mm_shuffle_epi32(peak, EVEN_LANES)));
        _mm_storeu_pd(r.first + i, _mm_cvtepi32_pd(_mm_shuffle_epi32(first, EVEN_LANES)));
    }
    for (int i = 0; i < rounded + 8; i += 2) {
        __m128d s = _mm_loadu_pd(r.sum + i), q = _mm_loadu_pd(r.squares + i);
        for (int k = 1; k < 5; ++k) {
            s = _mm_add_pd(s, _mm_loadu_pd(r.sum + i + k));
            q = _mm_add_pd(q, _mm_loadu_pd(r.squares + i + k));
        }
        _mm_storeu_pd(r.windowSum + i, s);
        _mm_storeu_pd(r.windowSquares + i, q);
    }
    uint64_t word = 0; // flags of the groups since the last whole word
    for (int j = 0; j < rounded; j += 2) {
        const __m128d entering = _mm_loadu_pd(r.first + j + 10);
        const __m128d centre = _mm_loadu_pd(r.first + j + 5);
        const __m128d rightSum =
            _mm_add_pd(_mm_sub_pd(_mm_loadu_pd(r.windowSum + j + 5), centre), entering);
        const __m128d rightSquares = _mm_add_pd(
            _mm_sub_pd(_mm_loadu_pd(r.windowSquares + j + 5), _mm_mul_pd(centre, centre)),
            _mm_mul_pd(entering, entering));
        const __m128d peak = _mm_loadu_pd(r.peak + j + 5);
        const __m128d below = _mm_and_pd(clearlyBelowSse2(peak, _mm_loadu_pd(r.windowSum + j),
                                                          _mm_loadu_pd(r.windowSquares + j)),
                                         clearlyBelowSse2(peak, rightSum, rightSquares));
        word |= static_cast<uint64_t>(_mm_movemask_pd(below) ^ 3) << (j & 63);
        if ((j & 63) == 62) {
            flags[j >> 6] |= word;
            word = 0;
        }
    }
    if ((rounded & 63) != 0)
        flags[rounded >> 6] |= word;
}

__attribute__((target("avx2"))) void pretestRowAvx2(const uint16_t* row, int firstGroup,
                                                    int groupCount, double* scratch,
                                                    uint64_t* flags)
{
    const int rounded = (groupCount + 3) & ~3;
    const int blocks = rounded + 12;
    const RowBlocks r = rowBlocks(scratch, blocks);
    const uint16_t* p = row + 4 * firstGroup - 20;
    const __m256i flip = _mm256_set1_epi16(INT16_MIN);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i squaresBias = _mm256_set1_epi32(INT32_MIN);
    const __m256i evensFirst = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    for (int i = 0; i < blocks; i += 4) {
        const __m256i w =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * i)), flip);
        const __m256i pairs = _mm256_madd_epi16(w, ones);
        const __m256i sums = _mm256_add_epi32(pairs, _mm256_srli_epi64(pairs, 32));
        const __m256i pairSquares = _mm256_permutevar8x32_epi32(
            _mm256_xor_si256(_mm256_madd_epi16(w, w), squaresBias), evensFirst);
        __m256i peak = _mm256_max_epi16(w, _mm256_srli_epi32(w, 16));
        peak = _mm256_max_epi16(peak, _mm256_srli_epi64(peak, 32));
        peak = _mm256_srai_epi32(_mm256_slli_epi32(peak, 16), 16);
        const __m256i first = _mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16);
        // Block sums in the even lanes, maxima in the odd ones, then sums first.
        const __m256i sumsAndPeaks = _mm256_permutevar8x32_epi32(
            _mm256_blend_epi32(sums, _mm256_slli_epi64(peak, 32), 0xAA), evensFirst);
        const __m256i firsts = _mm256_permutevar8x32_epi32(first, evensFirst);
        _mm256_storeu_pd(r.sum + i, _mm256_cvtepi32_pd(_mm256_castsi256_si128(sumsAndPeaks)));
        _mm256_storeu_pd(r.peak + i, _mm256_cvtepi32_pd(_mm256_extracti128_si256(sumsAndPeaks, 1)));
        _mm256_storeu_pd(
            r.squares + i,
            _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(pairSquares)),
                          _mm256_cvtepi32_pd(_mm256_extracti128_si256(pairSquares, 1))));
        _mm256_storeu_pd(r.first + i, _mm256_cvtepi32_pd(_mm256_castsi256_si128(firsts)));
    }
    for (int i = 0; i < rounded + 8; i += 4) {
        __m256d s = _mm256_loadu_pd(r.sum + i), q = _mm256_loadu_pd(r.squares + i);
        for (int k = 1; k < 5; ++k) {
            s = _mm256_add_pd(s, _mm256_loadu_pd(r.sum + i + k));
            q = _mm256_add_pd(q, _mm256_loadu_pd(r.squares + i + k));
        }
        _mm256_storeu_pd(r.windowSum + i, s);
        _mm256_storeu_pd(r.windowSquares + i, q);
    }
    uint64_t word = 0; // flags of the groups since the last whole word
    for (int j = 0; j < rounded; j += 4) {
        const __m256d entering = _mm256_loadu_pd(r.first + j + 10);
        const __m256d centre = _mm256_loadu_pd(r.first + j + 5);
        const __m256d rightSum =
            _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(r.windowSum + j + 5), centre), entering);
        const __m256d rightSquares = _mm256_add_pd(
            _mm256_sub_pd(_mm256_loadu_pd(r.windowSquares + j + 5), _mm256_mul_pd(centre, centre)),
            _mm256_mul_pd(entering, entering));
        const __m256d peak = _mm256_loadu_pd(r.peak + j + 5);
        const __m256d below = _mm256_and_pd(clearlyBelowAvx2(peak, _mm256_loadu_pd(r.windowSum + j),
                                                             _mm256_loadu_pd(r.windowSquares + j)),
                                            clearlyBelowAvx2(peak, rightSum, rightSquares));
        word |= static_cast<uint64_t>(_mm256_movemask_pd(below) ^ 15) << (j & 63);
        if ((j & 63) == 60) {
            flags[j >> 6] |= word;
            word = 0;
        }
    }
    if ((rounded & 63) != 0)
        flags[rounded >> 6] |= word;
}

bool pretestAvx2Supported()
{
    // The processor was examined before main (no call here writes shared state).
    return __builtin_cpu_supports("avx2");
}

} // namespace newstars

#endif
