#include "diff/convolve.hpp"

#include <fftw3.h>

#include <algorithm>
#include <mutex>
#include <new>

namespace newstars {

int fourierSize(int n)
{
    for (int m = std::max(n, 1);; ++m) {
        int r = m;
        for (int p : {2, 3, 5, 7}) {
            while (r % p == 0)
                r /= p;
        }
        if (r == 1)
            return m;
    }
}

namespace {

// FFTW's planner keeps process-wide tables; plans are made and destroyed under this lock,
// while executing a plan on other arrays is safe from any thread.
std::mutex& plannerLock()
{
    static std::mutex lock;
    return lock;
}

// Buffers and plans for tiles of one transform size, released on destruction.
struct FourierWork {
    int n = 0;
    float* image = nullptr;
    float* kernel = nullptr;
    fftwf_complex* imageSpectrum = nullptr;
    fftwf_complex* kernelSpectrum = nullptr;
    fftwf_plan forward = nullptr;
    fftwf_plan backward = nullptr;

    bool open(int size)
    {
        n = size;
        const size_t real = static_cast<size_t>(n) * n;
        const size_t complex = static_cast<size_t>(n) * (n / 2 + 1);
        std::lock_guard<std::mutex> guard(plannerLock());
        image = fftwf_alloc_real(real);
        kernel = fftwf_alloc_real(real);
        imageSpectrum = fftwf_alloc_complex(complex);
        kernelSpectrum = fftwf_alloc_complex(complex);
        if (image == nullptr || kernel == nullptr || imageSpectrum == nullptr ||
            kernelSpectrum == nullptr)
            return false;
        forward = fftwf_plan_dft_r2c_2d(n, n, image, imageSpectrum, FFTW_ESTIMATE);
        backward = fftwf_plan_dft_c2r_2d(n, n, imageSpectrum, image, FFTW_ESTIMATE);
        return forward != nullptr && backward != nullptr;
    }

    ~FourierWork()
    {
        std::lock_guard<std::mutex> guard(plannerLock());
        if (forward != nullptr)
            fftwf_destroy_plan(forward);
        if (backward != nullptr)
            fftwf_destroy_plan(backward);
        fftwf_free(image);
        fftwf_free(kernel);
        fftwf_free(imageSpectrum);
        fftwf_free(kernelSpectrum);
    }
};

// One tile by Fourier transforms: (x0, y0) its first pixel, tw x th its size.
void fourierTile(const FloatImage& source, const std::vector<double>& k, int h, int x0, int y0,
                 int tw, int th, FourierWork* work, FloatImage* output)
{
    const int n = work->n;
    const size_t real = static_cast<size_t>(n) * n;
    std::fill(work->image, work->image + real, 0.0f);
    std::fill(work->kernel, work->kernel + real, 0.0f);
    const int side = 2 * h + 1;
    for (int b = -h; b <= h; ++b) {
        for (int a = -h; a <= h; ++a) {
            const size_t at =
                static_cast<size_t>((b + n) % n) * n + static_cast<size_t>((a + n) % n);
            work->kernel[at] = static_cast<float>(k[static_cast<size_t>(b + h) * side + (a + h)]);
        }
    }
    const int xs = std::max(0, x0 - h), xe = std::min(source.width, x0 + tw + h);
    const int ys = std::max(0, y0 - h), ye = std::min(source.height, y0 + th + h);
    for (int y = ys; y < ye; ++y) {
        const float* in = source.pixels.data() + static_cast<size_t>(y) * source.width;
        float* row = work->image + static_cast<size_t>(y - (y0 - h)) * n +
                     static_cast<size_t>(xs - (x0 - h));
        std::copy(in + xs, in + xe, row);
    }
    fftwf_execute_dft_r2c(work->forward, work->kernel, work->kernelSpectrum);
    fftwf_execute_dft_r2c(work->forward, work->image, work->imageSpectrum);
    const size_t complex = static_cast<size_t>(n) * (n / 2 + 1);
    const float scale = 1.0f / static_cast<float>(real);
    for (size_t q = 0; q < complex; ++q) {
        const float ar = work->imageSpectrum[q][0], ai = work->imageSpectrum[q][1];
        const float br = work->kernelSpectrum[q][0], bi = work->kernelSpectrum[q][1];
        work->imageSpectrum[q][0] = (ar * br - ai * bi) * scale;
        work->imageSpectrum[q][1] = (ar * bi + ai * br) * scale;
    }
    fftwf_execute_dft_c2r(work->backward, work->imageSpectrum, work->image);
    for (int j = 0; j < th; ++j) {
        const float* res = work->image + static_cast<size_t>(j + h) * n + h;
        float* out = output->pixels.data() + static_cast<size_t>(y0 + j) * output->width + x0;
        std::copy(res, res + tw, out);
    }
}

// One tile by direct sums.
void directTile(const FloatImage& source, const std::vector<double>& k, int h, int x0, int y0,
                int tw, int th, std::vector<float>* padded, FloatImage* output)
{
    const int pw = tw + 2 * h, ph = th + 2 * h;
    padded->assign(static_cast<size_t>(pw) * ph, 0.0f);
    const int xs = std::max(0, x0 - h), xe = std::min(source.width, x0 + tw + h);
    const int ys = std::max(0, y0 - h), ye = std::min(source.height, y0 + th + h);
    for (int y = ys; y < ye; ++y) {
        const float* in = source.pixels.data() + static_cast<size_t>(y) * source.width;
        float* row = padded->data() + static_cast<size_t>(y - (y0 - h)) * pw +
                     static_cast<size_t>(xs - (x0 - h));
        std::copy(in + xs, in + xe, row);
    }
    const int side = 2 * h + 1;
    std::vector<float> sum(static_cast<size_t>(tw));
    for (int j = 0; j < th; ++j) {
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (int b = -h; b <= h; ++b) {
            // padded row of source row y0 + j - b
            const float* row = padded->data() + static_cast<size_t>(j + h - b) * pw + h;
            for (int a = -h; a <= h; ++a) {
                const float weight =
                    static_cast<float>(k[static_cast<size_t>(b + h) * side + (a + h)]);
                const float* in = row - a;
                for (int i = 0; i < tw; ++i)
                    sum[static_cast<size_t>(i)] += weight * in[i];
            }
        }
        float* out = output->pixels.data() + static_cast<size_t>(y0 + j) * output->width + x0;
        std::copy(sum.begin(), sum.end(), out);
    }
}

} // namespace

DiffStatus convolveImage(const FloatImage& source, const KernelSolution& kernel, int tileSize,
                         ConvolveMethod method, FloatImage* output, SharedThreads* threads)
{
    const int h = kernel.halfWidth;
    if (tileSize < 16 || tileSize > 2048 || h < 1 || source.width < 1 || source.height < 1 ||
        kernel.basis.empty() ||
        source.pixels.size() != static_cast<size_t>(source.width) * source.height)
        return DiffStatus::BadInput;
    if (method == ConvolveMethod::Auto)
        method = h >= FOURIER_FROM_HALF_WIDTH ? ConvolveMethod::Fourier : ConvolveMethod::Direct;
    FloatImage result;
    if (DiffStatus s = allocateFloatImage(source.width, source.height, &result);
        s != DiffStatus::Ok)
        return s;
    // Each row of tiles with buffers (and plans) of its own; a row that cannot have them
    // fails the whole.
    const int tileRows = (source.height + tileSize - 1) / tileSize;
    std::vector<char> failed(static_cast<size_t>(tileRows), 0);
    runItems(threads, tileRows, [&](int tileRow) {
        try {
            FourierWork work;
            if (method == ConvolveMethod::Fourier && !work.open(fourierSize(tileSize + 2 * h))) {
                failed[static_cast<size_t>(tileRow)] = 1;
                return;
            }
            std::vector<double> k;
            std::vector<float> padded;
            const int y0 = tileRow * tileSize;
            for (int x0 = 0; x0 < source.width; x0 += tileSize) {
                const int tw = std::min(tileSize, source.width - x0);
                const int th = std::min(tileSize, source.height - y0);
                kernelAt(kernel, x0 + (tw - 1) / 2.0, y0 + (th - 1) / 2.0, &k);
                if (method == ConvolveMethod::Fourier)
                    fourierTile(source, k, h, x0, y0, tw, th, &work, &result);
                else
                    directTile(source, k, h, x0, y0, tw, th, &padded, &result);
            }
        } catch (const std::bad_alloc&) {
            failed[static_cast<size_t>(tileRow)] = 1;
        }
    });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end())
        return DiffStatus::OutOfMemory;
    output->width = result.width;
    output->height = result.height;
    output->pixels.swap(result.pixels);
    return DiffStatus::Ok;
}

} // namespace newstars
