#include "diff/diff_image.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace newstars {

const char* diffStatusText(DiffStatus status)
{
    switch (status) {
    case DiffStatus::Ok:
        return "ok";
    case DiffStatus::BadInput:
        return "difference imaging: bad size or option";
    case DiffStatus::OutOfMemory:
        return "difference imaging: out of memory";
    case DiffStatus::MappingFailed:
        return "difference imaging: the images' coordinates do not map onto each other";
    case DiffStatus::TooFewStars:
        return "difference imaging: too few bright isolated stars common to both images";
    case DiffStatus::SingularFit:
        return "difference imaging: the fit has no unique solution";
    case DiffStatus::NoOverlap:
        return "difference imaging: the images do not overlap";
    case DiffStatus::ModelFailed:
        return "difference imaging: the detection score's model failed";
    }
    return "difference imaging: unknown status";
}

DiffStatus allocateFloatImage(int32_t width, int32_t height, FloatImage* image)
{
    if (width < 0 || height < 0)
        return DiffStatus::BadInput;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    if (h != 0 && w > std::numeric_limits<size_t>::max() / sizeof(float) / h)
        return DiffStatus::BadInput;
    try {
        std::vector<float> pixels(w * h, 0.0f);
        image->pixels.swap(pixels);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    image->width = width;
    image->height = height;
    return DiffStatus::Ok;
}

void dilateMask(std::vector<uint8_t>* mask, int32_t width, int32_t height, uint8_t source,
                uint8_t bit, int radius, SharedThreads* threads)
{
    if (radius < 1 || width < 1 || height < 1)
        return;
    const size_t w = static_cast<size_t>(width);
    const size_t n = w * static_cast<size_t>(height);
    const size_t side = static_cast<size_t>(2 * radius + 1);
    // Few source pixels: set the square around each directly.
    std::vector<size_t> sources;
    for (size_t i = 0; i < n && sources.size() * side * side < n; ++i) {
        if ((*mask)[i] & source)
            sources.push_back(i);
    }
    if (sources.size() * side * side < n) {
        for (size_t at : sources) {
            const int32_t x = static_cast<int32_t>(at % w), y = static_cast<int32_t>(at / w);
            const int32_t x0 = std::max(0, x - radius), x1 = std::min(width - 1, x + radius);
            for (int32_t yy = std::max(0, y - radius); yy <= std::min(height - 1, y + radius);
                 ++yy) {
                uint8_t* row = mask->data() + static_cast<size_t>(yy) * w;
                for (int32_t xx = x0; xx <= x1; ++xx)
                    row[xx] |= bit;
            }
        }
        return;
    }
    // Per row: distance-limited spread of the source bits; then per column the same. Bands
    // of DILATE_BAND rows, then columns, each apart.
    constexpr int32_t DILATE_BAND = 256;
    std::vector<uint8_t> rows(mask->size(), 0);
    runItems(threads, (height + DILATE_BAND - 1) / DILATE_BAND, [&](int band) {
        const int32_t end = std::min(height, (band + 1) * DILATE_BAND);
        for (int32_t y = band * DILATE_BAND; y < end; ++y) {
            const uint8_t* in = mask->data() + y * w;
            uint8_t* out = rows.data() + y * w;
            int last = -1000000;
            for (int32_t x = 0; x < width; ++x) {
                if (in[x] & source)
                    last = x;
                if (x - last <= radius)
                    out[x] = 1;
            }
            last = 1000000000;
            for (int32_t x = width - 1; x >= 0; --x) {
                if (in[x] & source)
                    last = x;
                if (last - x <= radius)
                    out[x] = 1;
            }
        }
    });
    runItems(threads, (width + DILATE_BAND - 1) / DILATE_BAND, [&](int band) {
        const size_t x0 = static_cast<size_t>(band) * DILATE_BAND;
        const size_t x1 = std::min(w, x0 + DILATE_BAND);
        std::vector<int> lastSeen(x1 - x0, -1000000);
        for (int32_t y = 0; y < height; ++y) {
            for (size_t x = x0; x < x1; ++x) {
                if (rows[y * w + x])
                    lastSeen[x - x0] = y;
                if (y - lastSeen[x - x0] <= radius)
                    (*mask)[y * w + x] |= bit;
            }
        }
        std::fill(lastSeen.begin(), lastSeen.end(), 1000000000);
        for (int32_t y = height - 1; y >= 0; --y) {
            for (size_t x = x0; x < x1; ++x) {
                if (rows[y * w + x])
                    lastSeen[x - x0] = y;
                if (lastSeen[x - x0] - y <= radius)
                    (*mask)[y * w + x] |= bit;
            }
        }
    });
}

} // namespace newstars
