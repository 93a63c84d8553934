#pragma once
// Finding the point-like sources (stars) in a 16-bit image.
//
// Pixels are unsigned 16-bit values, row after row: the pixel at column x, row y
// (both from 0) is pixels[y * width + x]. Positions are in pixels, x the column and
// y the row, with integer values at pixel centres. 65535 counts as saturated.

#include <cstdint>
#include <string>
#include <vector>

namespace newstars {

// The stars found in one image, three parallel arrays in the order the stars were
// accepted (rows top to bottom, columns left to right of the candidate that led to
// each star). Element i of each array describes the same star.
struct StarList {
    std::vector<double> x;      // sub-pixel column
    std::vector<double> y;      // sub-pixel row
    std::vector<uint16_t> peak; // value of the brightest pixel (never 65535)
};

// The instructions the pre-test that passes over pixels certainly below threshold runs
// on. Every kernel finds exactly the same stars; they differ only in speed.
//   Automatic  the fastest this processor offers: Avx2, else Sse2, else Portable
//   Portable   plain C++, one pixel at a time (the threshold windows sliding along the row)
//   Sse2       x86-64 vector instructions, two groups of four pixels at a time
//   Avx2       256-bit vector instructions, four groups of four pixels at a time
enum class FinderKernel { Automatic, Portable, Sse2, Avx2 };

// Whether this build and processor can run kernel (Automatic and Portable always can).
bool finderKernelAvailable(FinderKernel kernel);

// Buffers kept from one findStars call to the next, so that a run over many images
// allocates (and has the system fault in) its working rows once instead of per image.
// A workspace serves one call at a time; give each thread its own. Its buffers hold
// nothing meaningful between calls.
struct StarFinderWorkspace {
    FinderKernel kernel = FinderKernel::Automatic; // an unavailable one runs as Automatic
    std::vector<uint16_t> work; // working rows: the whole image (Portable) or a band
    std::vector<int32_t> cellHead, next, keyX, keyY; // grid of accepted stars
    std::vector<double> rowSums;                     // per-row sums of the pre-test
    std::vector<uint64_t> rowFlags;                  // groups of a row the pre-test passed on
    std::vector<uint32_t> histogram;                 // of the strip that sets the border fill
};

// Finds the stars in an image of width x height pixels. The caller's pixels are only
// read; the detection runs on private working rows (a copy of the whole image for the
// portable kernel, a band of 64 rows moving down the image for the vector kernels).
// Returns the number of stars, with *stars replaced by them (each array of that many
// elements and room for at least one). Images with fewer than 65 columns or rows hold
// no scan area: 0 stars, no pixel read.
// Returns -1 when memory runs out, with "findStars(): Can not malloc <bytes>" in
// *message when message is not null; *stars is then left untouched and nothing stays
// allocated. *message is untouched on success.
int findStars(const uint16_t* pixels, int width, int height, StarList* stars,
              std::string* message = nullptr);

// The same, on the buffers of *workspace (grown as needed and kept for the next call,
// also when memory runs out) and with its kernel.
int findStars(const uint16_t* pixels, int width, int height, StarList* stars,
              StarFinderWorkspace* workspace, std::string* message = nullptr);

} // namespace newstars
