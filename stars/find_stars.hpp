#pragma once
// Finding the point-like sources (stars) in an image of 16-bit pixels or of any other
// type held as float values with a no-data mask.
//
// Pixels run row after row: the pixel at column x, row y (both from 0) is element
// y * width + x. Positions are in pixels, x the column and y the row, with integer
// values at pixel centres. In 16-bit images 65535 counts as saturated.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace newstars {

// Bits of StarList::flags.
//   STAR_NEAR_NO_DATA  a pixel of the star's aperture holds no data: the aperture is the
//                      brightest pixel and the rings the core test examines around it,
//                      dx^2 + dy^2 < 25 (always inside the image)
// The other bits are 0.
inline constexpr uint8_t STAR_NEAR_NO_DATA = 1;

// The stars found in one image, parallel arrays in the order the stars were accepted
// (rows top to bottom, columns left to right of the candidate that led to each star).
// Element i of each array describes the same star.
struct StarList {
    std::vector<double> x;        // sub-pixel column
    std::vector<double> y;        // sub-pixel row
    std::vector<uint16_t> peak;   // value of the brightest pixel (never 65535); for float
                                  // values, that value rounded to nearest within 0..65535
    std::vector<float> peakValue; // value of the brightest pixel as the image holds it
    std::vector<uint8_t> flags;   // STAR_ bits; always 0 for 16-bit images
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
    // For float values: the working copy, its no-data mask, the strip's values, and per
    // block of four pixels of a row the sum, sum of squares and count of data pixels.
    std::vector<float> values;
    std::vector<uint8_t> noData;
    std::vector<float> strip;
    std::vector<double> blockSums, blockSquares;
    std::vector<int32_t> blockCounts;
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

// How an image of another pixel type is searched. findStarsInValues runs the same
// algorithm on float values: each pixel is compared with the smaller of mean + 5 sample
// deviations of the 20 pixels left and the 20 right of it, lone spikes above that level
// are clipped to it, candidates climb to their local maximum, which must stand out of
// the rings around it. Those levels are local means and scatters, so they follow any
// unit and offset:
//   negative values   are values like any other (sky-subtracted images); nothing is
//                     clipped at 0.
//   saturation        a star whose brightest pixel is at or above saturation is not
//                     reported (the 16-bit finder's 65535); +infinity or NaN: no level
//                     (the caller takes it from the SATURATE card when there is one).
//                     The border band is filled with the strip's median + 5 deviations,
//                     or saturation when that is lower.
//   whole numbers     when every value with data is a whole number, the clipping level
//                     and the border fill are rounded down to whole numbers, as in the
//                     16-bit finder, so the image stays one of whole numbers; otherwise
//                     they are rounded down to the nearest float only.
//   no data           pixels whose noData is not PIXEL_HAS_DATA, or whose value is not
//                     finite, never start or join a star: they are left out of every
//                     window, ring and strip (a window needs 10 pixels with data to count,
//                     a ring 2; a pixel with neither window counting is not examined),
//                     the climb never steps onto them, a spike test ignores them, and a
//                     maximum beside one is no star (it may be the flank of a star whose
//                     brightest pixel holds no data). A star whose aperture holds one
//                     further away is flagged STAR_NEAR_NO_DATA. When the strip holds no
//                     data at all, the border band holds none either.
// On values that are whole numbers in 0..65535, with no pixel masked and saturation 65535,
// it finds the same stars bit for bit as findStars on those values as 16-bit pixels,
// whatever its kernel.
//   values      width x height physical values; only read
//   noData      one PIXEL_HAS_DATA or PIXEL_NO_DATA per pixel, or null when every
//               finite value holds data
//   saturation  the level described above
// Returns the number of stars with *stars replaced by them (flags and peakValue filled as
// described, peak as StarList says), as findStars does, or -1 when memory runs out with
// "findStars(): Can not malloc <bytes>" in *message when message is not null (*stars
// untouched). Images with fewer than 65 columns or rows, or null values, give 0 stars.
// The work runs on the float buffers of *workspace, one pixel at a time whatever its
// kernel.
int findStarsInValues(const float* values, const uint8_t* noData, int width, int height,
                      double saturation, StarList* stars, StarFinderWorkspace* workspace,
                      std::string* message = nullptr);

// Element types of a PixelView.
enum class PixelType { Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64 };

// Pixels as another program holds them: the element of column x, row y (both from 0)
// starts at byte y * rowStride + x * columnStride from data (strides may be negative,
// elements need not be aligned), of type, in this machine's byte order unless
// byteSwapped.
struct PixelView {
    const void* data = nullptr;
    PixelType type = PixelType::Float32;
    bool byteSwapped = false;
    ptrdiff_t rowStride = 0;    // bytes
    ptrdiff_t columnStride = 0; // bytes
};

// findStarsInValues on pixels where they lie, read once as they are copied into the
// workspace: no other copy is made, whatever their type, byte order or layout.
//   values  each element as a float value: float elements as they are; every other type
//           converted to double, then rounded once to float, an element beyond the range
//           of single precision holding no data (as the image reader takes such values).
//           Values that are not finite hold no data.
//   noData  null, or a view of the same width and height whose elements other than zero
//           mark pixels without data (a bool or 0/1 mask, PIXEL_NO_DATA bytes)
// The rest as findStarsInValues, which is this function on a contiguous float view and
// a byte mask.
int findStarsInView(const PixelView& values, const PixelView* noData, int width, int height,
                    double saturation, StarList* stars, StarFinderWorkspace* workspace,
                    std::string* message = nullptr);

// Copies pixels where another program holds them into the form the image reader gives an
// image of a type other than 16-bit (FitsImage::values and noData), each element read as
// findStarsInView reads it: a pixel whose element holds no value, whose mask element is
// not zero, or (noDataValue not null) whose float value equals *noDataValue holds
// PIXEL_NO_DATA in outNoData and 0 in outValues; every other pixel PIXEL_HAS_DATA and its
// value.
//   values, noData  as for findStarsInView (noData may be null)
//   outValues, outNoData  width x height elements each, row after row
// Nothing is done for a width or height below 1 or null values.
void copyViewValues(const PixelView& values, const PixelView* noData, int width, int height,
                    const float* noDataValue, float* outValues, uint8_t* outNoData);

} // namespace newstars
