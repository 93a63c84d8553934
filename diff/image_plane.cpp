#include "diff/image_plane.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace newstars {

namespace {

bool sizesFit(int32_t width, int32_t height, size_t* count)
{
    if (width < 1 || height < 1)
        return false;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    if (w > SIZE_MAX / sizeof(float) / h)
        return false;
    *count = w * h;
    return true;
}

// Fits the plane's background and replaces it by its median level (see makePlane16).
DiffStatus takeOutBackground(ImagePlane* p, const BackgroundOptions& options)
{
    const uint8_t* noData = p->noData.empty() ? nullptr : p->noData.data();
    if (DiffStatus s = fitBackgroundMesh(p->values.data(), noData, p->width, p->height,
                                         p->saturation, options, &p->background);
        s != DiffStatus::Ok)
        return s;
    flattenBackground(p->background, p->background.medianLevel, p->values.data(), noData,
                      p->saturation, options.threads);
    return DiffStatus::Ok;
}

} // namespace

double imageSaturation(const FitsImage& image)
{
    if (!hasFloatPixels(&image))
        return SATURATION;
    double level = 0;
    // Compared with float values, as a float: a card written with fewer digits than the
    // values still meets them.
    if (getRealCard(&image, "SATURATE", &level) == 0 && std::isfinite(level) &&
        std::fabs(level) <= std::numeric_limits<float>::max())
        return static_cast<float>(level);
    return NO_SATURATION;
}

DiffStatus makePlane16(const uint16_t* pixels, int32_t width, int32_t height, ImagePlane* plane,
                       const BackgroundOptions* background)
{
    size_t n = 0;
    if (pixels == nullptr || !sizesFit(width, height, &n))
        return DiffStatus::BadInput;
    ImagePlane p;
    try {
        p.width = width;
        p.height = height;
        p.values.assign(pixels, pixels + n);
        p.saturation = SATURATION;
        if (background != nullptr) {
            if (DiffStatus s = takeOutBackground(&p, *background); s != DiffStatus::Ok)
                return s;
        }
        if (DiffStatus s =
                estimateSky(p.values.data(), nullptr, width, height, p.saturation, &p.sky);
            s != DiffStatus::Ok)
            return s;
        if (background != nullptr) {
            StarFinderWorkspace workspace;
            if (findStarsInValues(p.values.data(), nullptr, width, height, p.saturation, &p.stars,
                                  &workspace) < 0)
                return DiffStatus::OutOfMemory;
            p.peaks.assign(p.stars.peakValue.begin(), p.stars.peakValue.end());
        } else {
            if (findStars(pixels, width, height, &p.stars) < 0)
                return DiffStatus::OutOfMemory;
            p.peaks.assign(p.stars.peak.begin(), p.stars.peak.end());
        }
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    *plane = std::move(p);
    return DiffStatus::Ok;
}

DiffStatus makeImagePlane(const FitsImage& image, ImagePlane* plane,
                          const BackgroundOptions* background)
{
    if (!hasFloatPixels(&image)) {
        size_t n = 0;
        if (!sizesFit(image.width, image.height, &n) || image.pixels.size() < n)
            return DiffStatus::BadInput;
        return makePlane16(image.pixels.data(), image.width, image.height, plane, background);
    }
    size_t n = 0;
    if (!sizesFit(image.width, image.height, &n) || image.values.size() < n ||
        image.noData.size() < n)
        return DiffStatus::BadInput;
    ImagePlane p;
    try {
        p.width = image.width;
        p.height = image.height;
        p.values.assign(image.values.begin(), image.values.begin() + static_cast<ptrdiff_t>(n));
        p.noData.assign(image.noData.begin(), image.noData.begin() + static_cast<ptrdiff_t>(n));
        for (size_t i = 0; i < n; ++i) {
            if (p.noData[i] != PIXEL_HAS_DATA || !std::isfinite(p.values[i])) {
                p.noData[i] = PIXEL_NO_DATA;
                p.values[i] = 0;
            }
        }
        p.saturation = imageSaturation(image);
        if (background != nullptr) {
            if (DiffStatus s = takeOutBackground(&p, *background); s != DiffStatus::Ok)
                return s;
        }
        if (DiffStatus s = estimateSky(p.values.data(), p.noData.data(), p.width, p.height,
                                       p.saturation, &p.sky);
            s != DiffStatus::Ok)
            return s;
        StarFinderWorkspace workspace;
        if (findStarsInValues(p.values.data(), p.noData.data(), p.width, p.height, p.saturation,
                              &p.stars, &workspace) < 0)
            return DiffStatus::OutOfMemory;
        p.peaks.assign(p.stars.peakValue.begin(), p.stars.peakValue.end());
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    *plane = std::move(p);
    return DiffStatus::Ok;
}

} // namespace newstars
