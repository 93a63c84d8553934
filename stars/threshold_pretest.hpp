#pragma once
// The star finder's vector pre-test: which groups of four pixels of a row may hold a
// pixel above its threshold. Used by find_stars.cpp only.
//
// A row's threshold windows are refreshed every four pixels, at the columns x = 4m:
// the group m (pixels 4m .. 4m + 3) is judged against the 20 pixels left of 4m and the
// 20 right of it (4m + 1 .. 4m + 20). A pixel v lies clearly below a window of sum S and
// sum of squares Q when a = 20 v - S <= 0 or 19 a^2 < 500 b - floor(500 b / 2^16) - 64,
// b = 20 Q - S^2; the test grows with v, so a group whose brightest pixel lies clearly
// below both windows holds no candidate. The kernels decide this in double precision,
// where every sum and product is an integer below 2^53 and so exact, with a bound one
// lower than the integer one to cover the rounding of its last two subtractions: a group
// they pass on is one the integer test passes on too. They may flag more groups than
// needed, never fewer.

#include <cstdint>

namespace newstars {

// Scratch doubles a row of groupCount groups needs.
inline int pretestScratchSize(int groupCount)
{
    return 6 * (((groupCount + 3) & ~3) + 12);
}

// Judges the groups firstGroup .. firstGroup + groupCount - 1 of one row (firstGroup at
// least 5) and sets bit j of flags (bit j % 64 of flags[j / 64]) when group
// firstGroup + j may hold a pixel above its threshold. Bits up to groupCount rounded
// up to four may be set; the flags words must be zero on entry. Reads the row's pixels
// 4 firstGroup - 20 through 4 (firstGroup + groupCount rounded up to four) + 27, which
// may run past the row into the next one; scratch holds pretestScratchSize(groupCount)
// doubles.
void pretestRowSse2(const uint16_t* row, int firstGroup, int groupCount, double* scratch,
                    uint64_t* flags);
void pretestRowAvx2(const uint16_t* row, int firstGroup, int groupCount, double* scratch,
                    uint64_t* flags);

// Whether the processor runs the Avx2 kernel.
bool pretestAvx2Supported();

} // namespace newstars
