#pragma once
// Convolving an image with a spatially varying kernel, tile by tile.

#include <cstdint>

#include "base/shared_threads.hpp"
#include "diff/diff_image.hpp"
#include "diff/kernel_fit.hpp"

namespace newstars {

// How the tiles are convolved: by direct sums over the kernel, by Fourier transforms
// (FFTW), or by whichever is the faster for the kernel's size.
enum class ConvolveMethod { Auto, Direct, Fourier };

// Kernel half width from which Auto uses Fourier transforms: on tiles of 256 the direct
// sums cost about as much at half width 4 and grow as (2 h + 1)^2 (bench/difference_bench).
inline constexpr int FOURIER_FROM_HALF_WIDTH = 5;

// Convolves source with kernel (see kernel_fit.hpp for the convention), holding the
// kernel constant over square tiles of tileSize pixels (16 to 2048) at its value at each
// tile's centre. Pixels outside the image count as 0; the background term is not added.
// Ok with *output replaced (same size as source); BadInput; OutOfMemory. The result does
// not depend on the method beyond rounding (float arithmetic), and is the same on every
// call with the same inputs. May run on several threads at once (the planner of the
// Fourier library is used under a lock of this library). Each row of tiles is one item on
// threads (null: the calling thread alone); the output is the same whatever the threads.
DiffStatus convolveImage(const FloatImage& source, const KernelSolution& kernel, int tileSize,
                         ConvolveMethod method, FloatImage* output,
                         SharedThreads* threads = nullptr);

// A size of at least n whose only prime factors are 2, 3, 5 and 7.
int fourierSize(int n);

} // namespace newstars
