#pragma once
// The smooth background of an image (sky gradients, vignetting bowls, scattered light,
// the outer halos of large galaxies) as a mesh of cell levels, and its removal.
//
// The image is cut into cellsX x cellsY nearly equal cells: per axis the side over the cell
// size, rounded, but at least 4 where the side holds 4 cells of 32 pixels; cell i along x
// spans columns floor(i width / cellsX) to floor((i + 1) width / cellsX) - 1, likewise
// along y. Each
// cell's level is the median of its pixels with sources masked, clipped at clipSigmas
// deviations; the surface between the cells' centres is the cubic convolution (Keys,
// a = -1/2) of the levels, which is exact for planes and quadratics, the mesh extended
// beyond its edge along the quadratic through its three outermost levels (the line through
// two, a constant for one).

#include <cstdint>
#include <vector>

#include "base/shared_threads.hpp"
#include "diff/diff_image.hpp"

namespace newstars {

// Cell sides unless asked otherwise, pixels: of an image's background mesh (large, so
// that the two images' meshes hold the sky alone, not the wings of stars and galaxies that
// the kernel matches), and of a difference image's residue (finer: nothing there but what
// the subtraction left).
inline constexpr int DEFAULT_BACKGROUND_CELL = 256;
inline constexpr int DEFAULT_RESIDUAL_CELL = 64;

// Settings of fitBackgroundMesh.
struct BackgroundOptions {
    int cellSize = DEFAULT_BACKGROUND_CELL; // pixels per cell side, 8 to 4096 (see above)
    double clipSigmas = 3;     // cell pixels beyond this many deviations of its level are
                               // left out, 3 rounds
    double sourceSigmas = 3;   // pixels this many cell deviations above the first surface
    int sourceGrow = 3;        // are sources, masked with this many pixels around them
    double brightSigmas = 50;  // pixels this many cell deviations above the first surface
    int brightGrow = 8;        // are bright sources' cores, masked with this many around
    int saturatedGrow = 32;    // pixels masked around a saturated pixel
    double minFraction = 0.05; // a cell holds a level when at least this fraction of its
                               // pixels remain; others keep the last pass's level (the
                               // first pass: take their neighbours' mean)
    bool twoSided = false;     // pixels as far below the first surface are sources too
                               // (a difference image, whose residuals go both ways)
    SharedThreads* threads = nullptr; // rows of cells and bands of rows run on these (null:
                                      // the calling thread alone); the mesh is the same
};

// A fitted background. Levels and deviations in the image's units, per cell, row after row
// (cell (i, j) at j * cellsX + i).
struct BackgroundMesh {
    int32_t width = 0, height = 0; // of the image
    int32_t cellsX = 0, cellsY = 0;
    std::vector<double> level;     // background level of each cell
    std::vector<double> sigma;     // pixel-to-pixel deviation about the surface
    std::vector<uint8_t> measured; // 1: from the cell's own pixels in the last pass; 0: kept
                                   // from an earlier pass, or from its neighbours
    double medianLevel = 0;        // median of the cells' levels
};

// Fits the background of an image of width x height values (noData: one byte per pixel,
// PIXEL_NO_DATA for pixels without data, null when all hold data; values that are not
// finite and those at or above saturation are left out too). Three passes: cell levels and
// deviations from every usable pixel, then twice more from the pixels' residuals from the
// last surface, with the pixels more than sourceSigmas of their cell's deviations above it
// masked (and sourceGrow pixels around them, brightGrow around those brightSigmas above
// it, saturatedGrow around saturated ones). Deterministic: the result depends on the inputs
// alone. Ok with *mesh filled; BadInput (sizes, null values, options out of range, no
// usable pixel); OutOfMemory. *mesh untouched on failure.
DiffStatus fitBackgroundMesh(const float* values, const uint8_t* noData, int32_t width,
                             int32_t height, double saturation, const BackgroundOptions& options,
                             BackgroundMesh* mesh);

// The background surface along row y (0 to height - 1) of the mesh's image: width values
// into row. Rows outside are not evaluated.
void backgroundMeshRow(const BackgroundMesh& mesh, int32_t y, float* row);

// The background surface at pixel position (x, y) of the mesh's image (positions beyond the
// image take the value at the nearest pixel of its border). A mesh without cells gives 0.
double backgroundMeshAt(const BackgroundMesh& mesh, double x, double y);

// Takes the smooth residual background out of a difference image in place: the mesh of
// its pixels whose mask byte holds none of the bits of masked (mask: one byte per pixel,
// null: none masked), with options.twoSided set, is fitted and its surface subtracted
// from every pixel, masked ones included. *mesh gets the mesh when not null.
// Ok; BadInput (sizes, options, no usable pixel: the image is left as it is); OutOfMemory.
DiffStatus subtractResidualBackground(FloatImage* difference, const uint8_t* mask, uint8_t masked,
                                      BackgroundOptions options, BackgroundMesh* mesh);

// Replaces the mesh's background in the values of its image (the mesh's width x height,
// noData as for the fit) by the flat level: value + level - surface, for every pixel with
// data below saturation (the others are left as they are). A mesh without cells changes
// nothing. Bands of rows run on threads (null: the calling thread alone).
void flattenBackground(const BackgroundMesh& mesh, double level, float* values,
                       const uint8_t* noData, double saturation,
                       SharedThreads* threads = nullptr);

} // namespace newstars
