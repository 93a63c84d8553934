#include "vet/stamps.hpp"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/statistics.hpp"

namespace newstars {

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t HALF = STAMP_SIZE / 2;
constexpr size_t PANEL = static_cast<size_t>(STAMP_SIZE) * STAMP_SIZE;

// The pixel's value; NaN where it holds no data.
double pixelValue(const FitsImage& image, int32_t x, int32_t y)
{
    const size_t at =
        static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x);
    if (hasFloatPixels(&image))
        return image.noData[at] == PIXEL_HAS_DATA ? image.values[at] : NOT_A_NUMBER;
    return image.pixels[at];
}

// Bilinear value at (x, y); NaN unless the four surrounding pixels are in the image.
double bilinear(const FitsImage& image, double x, double y)
{
    if (!(x >= 0 && y >= 0 && x <= image.width - 1 && y <= image.height - 1))
        return NOT_A_NUMBER;
    int32_t x0 = static_cast<int32_t>(std::floor(x));
    int32_t y0 = static_cast<int32_t>(std::floor(y));
    x0 = std::min(x0, image.width - 2 < 0 ? 0 : image.width - 2);
    y0 = std::min(y0, image.height - 2 < 0 ? 0 : image.height - 2);
    const int32_t x1 = std::min(x0 + 1, image.width - 1);
    const int32_t y1 = std::min(y0 + 1, image.height - 1);
    const double fx = x - x0, fy = y - y0;
    const double top = pixelValue(image, x0, y0) * (1 - fx) + pixelValue(image, x1, y0) * fx;
    const double bottom = pixelValue(image, x0, y1) * (1 - fx) + pixelValue(image, x1, y1) * fx;
    return top * (1 - fy) + bottom * fy;
}

// Lower median of the finite values; 0 when there are none.
double finiteMedian(const std::vector<double>& values)
{
    std::vector<double> finite;
    for (double v : values) {
        if (std::isfinite(v))
            finite.push_back(v);
    }
    return medianOf(std::move(finite), MedianSide::Lower, 0);
}

void subtract(std::vector<double>* values, double amount)
{
    for (double& v : *values)
        v -= amount;
}

// The robust deviation of the test panel as renderStamp takes it.
double panelDeviation(const Stamp& stamp, double minimumDeviation)
{
    std::vector<double> deviations;
    for (double v : stamp.test) {
        if (std::isfinite(v))
            deviations.push_back(std::fabs(v));
    }
    double sigma = std::max(ROBUST_SIGMA_PER_MAD * finiteMedian(deviations), minimumDeviation);
    if (!(sigma > 0) || !std::isfinite(sigma))
        sigma = 1;
    return sigma;
}

} // namespace

void cutStamp(const FitsImage& test, const FitsImage& reference, int32_t cx, int32_t cy,
              const PixelMapping& toReference, double fluxScale, Stamp* stamp)
{
    const double scale = fluxScale > 0 && std::isfinite(fluxScale) ? fluxScale : 1;
    Stamp s;
    s.reference.assign(PANEL, NOT_A_NUMBER);
    s.test.assign(PANEL, NOT_A_NUMBER);
    s.difference.assign(PANEL, NOT_A_NUMBER);
    for (int32_t j = 0; j < STAMP_SIZE; ++j) {
        for (int32_t i = 0; i < STAMP_SIZE; ++i) {
            const int64_t x = static_cast<int64_t>(cx) - HALF + i;
            const int64_t y = static_cast<int64_t>(cy) - HALF + j;
            const size_t k = static_cast<size_t>(j) * STAMP_SIZE + static_cast<size_t>(i);
            if (x >= 0 && y >= 0 && x < test.width && y < test.height)
                s.test[k] = pixelValue(test, static_cast<int32_t>(x), static_cast<int32_t>(y));
            double rx = 0, ry = 0;
            if (toReference &&
                toReference(static_cast<double>(x), static_cast<double>(y), &rx, &ry))
                s.reference[k] = bilinear(reference, rx, ry);
        }
    }
    subtract(&s.test, finiteMedian(s.test));
    subtract(&s.reference, finiteMedian(s.reference));
    for (size_t k = 0; k < PANEL; ++k)
        s.difference[k] = s.test[k] - scale * s.reference[k];
    *stamp = std::move(s);
}

void cutMatchedStamp(const FitsImage& test, const std::vector<float>& matchedReference,
                     const std::vector<float>& difference, const std::vector<uint8_t>& mask,
                     uint8_t unusable, int32_t cx, int32_t cy, Stamp* stamp)
{
    const size_t count = static_cast<size_t>(test.width) * static_cast<size_t>(test.height);
    const bool planes = matchedReference.size() == count && difference.size() == count;
    const bool masked = mask.size() == count;
    Stamp s;
    s.reference.assign(PANEL, NOT_A_NUMBER);
    s.test.assign(PANEL, NOT_A_NUMBER);
    s.difference.assign(PANEL, NOT_A_NUMBER);
    for (int32_t j = 0; j < STAMP_SIZE; ++j) {
        for (int32_t i = 0; i < STAMP_SIZE; ++i) {
            const int64_t x = static_cast<int64_t>(cx) - HALF + i;
            const int64_t y = static_cast<int64_t>(cy) - HALF + j;
            if (x < 0 || y < 0 || x >= test.width || y >= test.height)
                continue;
            const size_t k = static_cast<size_t>(j) * STAMP_SIZE + static_cast<size_t>(i);
            const size_t at =
                static_cast<size_t>(y) * static_cast<size_t>(test.width) + static_cast<size_t>(x);
            s.test[k] = pixelValue(test, static_cast<int32_t>(x), static_cast<int32_t>(y));
            if (planes && !(masked && (mask[at] & unusable) != 0)) {
                s.reference[k] = matchedReference[at];
                s.difference[k] = difference[at];
            }
        }
    }
    subtract(&s.test, finiteMedian(s.test));
    subtract(&s.reference, finiteMedian(s.reference));
    *stamp = std::move(s);
}

std::vector<uint8_t> renderStamp(const Stamp& stamp, int32_t zoom, int32_t gap, int32_t* width,
                                 int32_t* height, double minimumDeviation)
{
    zoom = std::clamp(zoom, 1, 16);
    gap = std::clamp(gap, 0, 64);
    const double sigma = panelDeviation(stamp, minimumDeviation);
    double brightest = 10 * sigma;
    for (int32_t j = HALF - 3; j <= HALF + 3; ++j) {
        for (int32_t i = HALF - 3; i <= HALF + 3; ++i) {
            const double v =
                stamp.test[static_cast<size_t>(j) * STAMP_SIZE + static_cast<size_t>(i)];
            if (std::isfinite(v))
                brightest = std::max(brightest, v);
        }
    }
    const double low = -3 * sigma;
    const double span = brightest - low;

    const int32_t side = STAMP_SIZE * zoom;
    *width = 3 * side + 2 * gap;
    *height = side;
    std::vector<uint8_t> rgb(static_cast<size_t>(*width) * static_cast<size_t>(*height) * 3, 255);
    const std::vector<double>* panels[3] = {&stamp.reference, &stamp.test, &stamp.difference};
    for (int32_t p = 0; p < 3; ++p) {
        const std::vector<double>& panel = *panels[p];
        for (int32_t row = 0; row < side; ++row) {
            for (int32_t column = 0; column < side; ++column) {
                // Row 0 of the picture is the top: the image's last row of the stamp.
                const size_t k = static_cast<size_t>(STAMP_SIZE - 1 - row / zoom) * STAMP_SIZE +
                                 static_cast<size_t>(column / zoom);
                const double v = k < panel.size() ? panel[k] : NOT_A_NUMBER;
                uint8_t* out = &rgb[(static_cast<size_t>(row) * static_cast<size_t>(*width) +
                                     static_cast<size_t>(p * (side + gap) + column)) *
                                    3];
                if (!std::isfinite(v)) {
                    out[0] = 0;
                    out[1] = 0;
                    out[2] = 96;
                    continue;
                }
                const double level = std::clamp((v - low) / span, 0.0, 1.0);
                const uint8_t grey = static_cast<uint8_t>(std::lround(level * 255));
                out[0] = out[1] = out[2] = grey;
            }
        }
    }
    return rgb;
}

int encodePngImage(const std::vector<uint8_t>& rgb, int32_t width, int32_t height,
                   std::vector<uint8_t>* png, std::string* message)
{
    if (width < 1 || height < 1 ||
        rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
        *message = "image size does not match its pixels";
        return -1;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    // The first call measures, the second fills.
    png_alloc_size_t size = 0;
    if (png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr) == 0) {
        *message = image.message;
        png_image_free(&image);
        return -1;
    }
    png->resize(size);
    if (png_image_write_to_memory(&image, png->data(), &size, 0, rgb.data(), 0, nullptr) == 0) {
        *message = image.message;
        png_image_free(&image);
        return -1;
    }
    png->resize(size);
    return 0;
}

int writePngImage(const char* path, const std::vector<uint8_t>& rgb, int32_t width, int32_t height,
                  std::string* message)
{
    std::vector<uint8_t> png;
    if (encodePngImage(rgb, width, height, &png, message) != 0) {
        *message = std::string(path) + ": " + *message;
        return -1;
    }
    return writeFileAtomically(path, png.data(), png.size(), TemporaryWatch(), message);
}

void orientStamp(const SkyMapping& toSky, double x, double y, StampOrientation* orientation)
{
    *orientation = StampOrientation{};
    double ra0 = 0, dec0 = 0, ra1 = 0, dec1 = 0, ra2 = 0, dec2 = 0;
    if (!toSky || !toSky(x, y, &ra0, &dec0) || !toSky(x + 1, y, &ra1, &dec1) ||
        !toSky(x, y + 1, &ra2, &dec2))
        return;
    constexpr double PI = 3.14159265358979323846;
    if (!(std::fabs(dec0) < PI / 2 - 1e-9))
        return;
    // Right ascension steps taken the short way round, scaled to arcs on the sky.
    const auto eastStep = [&](double ra) {
        double d = std::remainder(ra - ra0, 2 * PI);
        return d * std::cos(dec0);
    };
    // Sky offsets (east, north) per pixel along x and along y.
    const double ex = eastStep(ra1), nx = dec1 - dec0;
    const double ey = eastStep(ra2), ny = dec2 - dec0;
    const double det = ex * ny - ey * nx;
    if (!std::isfinite(det) || det == 0)
        return;
    // The pixel steps that give a unit step north and a unit step east.
    double northX = -ey / det, northY = ex / det;
    double eastX = ny / det, eastY = -nx / det;
    const double northLength = std::hypot(northX, northY);
    const double eastLength = std::hypot(eastX, eastY);
    if (!(northLength > 0) || !(eastLength > 0))
        return;
    orientation->known = true;
    orientation->northX = northX / northLength;
    orientation->northY = northY / northLength;
    orientation->eastX = eastX / eastLength;
    orientation->eastY = eastY / eastLength;
    orientation->arcsecPerPixel = std::sqrt(std::fabs(det)) * (180 / PI) * 3600;
}

std::vector<uint8_t> renderPagePanel(const Stamp& stamp, const std::vector<double>& panel,
                                     double minimumDeviation)
{
    const double sigma = panelDeviation(stamp, minimumDeviation);
    double brightest = 10 * sigma;
    for (double v : stamp.test) {
        if (std::isfinite(v))
            brightest = std::max(brightest, v);
    }
    const double bottom = std::asinh(-3.0);
    const double range = std::asinh(brightest / sigma) - bottom;
    std::vector<uint8_t> rgb(PANEL * 3, 0);
    for (int32_t row = 0; row < STAMP_SIZE; ++row) {
        for (int32_t column = 0; column < STAMP_SIZE; ++column) {
            const size_t k = static_cast<size_t>(STAMP_SIZE - 1 - row) * STAMP_SIZE +
                             static_cast<size_t>(column);
            const double v = k < panel.size() ? panel[k] : NOT_A_NUMBER;
            uint8_t* out =
                &rgb[(static_cast<size_t>(row) * STAMP_SIZE + static_cast<size_t>(column)) * 3];
            if (!std::isfinite(v)) {
                out[2] = 96;
                continue;
            }
            const double level = std::clamp((std::asinh(v / sigma) - bottom) / range, 0.0, 1.0);
            out[0] = out[1] = out[2] = static_cast<uint8_t>(std::lround(level * 255));
        }
    }
    return rgb;
}

int makePageStamp(const Stamp& stamp, bool withDifference, double minimumDeviation,
                  const StampOrientation& orientation, PageStamp* page, std::string* message)
{
    PageStamp made;
    made.orientation = orientation;
    const std::pair<const std::vector<double>*, std::vector<uint8_t>*> panels[] = {
        {&stamp.reference, &made.reference},
        {&stamp.test, &made.test},
        {withDifference ? &stamp.difference : nullptr, &made.difference},
    };
    for (const auto& [panel, png] : panels) {
        if (panel == nullptr)
            continue;
        if (encodePngImage(renderPagePanel(stamp, *panel, minimumDeviation), STAMP_SIZE, STAMP_SIZE,
                           png, message) != 0)
            return -1;
    }
    *page = std::move(made);
    return 0;
}

} // namespace newstars
