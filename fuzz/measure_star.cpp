// Star measurement, the magnitude comparison and the shifted image sum on small
// arbitrary images with arbitrary positions, search sizes and shifts: every pixel read
// lies in the image (AddressSanitizer watches the exact-size buffer).
// Input: width and height (1 to 64), S, R, F, the climb flag, x, y, dx, dy, then pixels.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/measure_star.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const int width = input.ConsumeIntegralInRange(1, 64);
    const int height = input.ConsumeIntegralInRange(1, 64);
    MeasureParams params;
    params.searchHalfWidth = input.ConsumeIntegralInRange(-2, 40);
    params.maxRadius = input.ConsumeIntegralInRange(-2, 40);
    params.flatteningFraction = input.ConsumeFloatingPoint<double>();
    const int useClimb = input.ConsumeBool();
    const int x = input.ConsumeIntegral<int32_t>() % 100;
    const int y = input.ConsumeIntegral<int32_t>() % 100;
    const int dx = input.ConsumeIntegral<int32_t>();
    const int dy = input.ConsumeIntegral<int32_t>();
    std::vector<uint16_t> pixels(static_cast<size_t>(width) * height);
    for (uint16_t& pixel : pixels)
        pixel = input.ConsumeIntegral<uint16_t>();

    StarMeasurement a, b;
    std::string message;
    const int first =
        measureStar(pixels.data(), width, height, &params, x, y, useClimb, &a, &message);
    const int second = measureStar(pixels.data(), width, height, &params, width / 2, height / 2,
                                   !useClimb, &b, &message);
    if ((first != 0 && first != -1) || (second != 0 && second != -1))
        __builtin_trap();
    // The same on float values: the same star where measureStar measures one, and with every
    // other pixel without data every read still inside the buffers.
    const std::vector<float> values(pixels.begin(), pixels.end());
    StarValues v;
    std::string valueMessage;
    const int third = measureStarValues(values.data(), nullptr, width, height, &params, x, y,
                                        useClimb, &v, &valueMessage);
    if (first == 0 && (third != 0 || v.x != a.x || v.y != a.y || v.peak != a.peak ||
                       v.radius != a.radius || v.flux != a.flux || v.pixelCount != a.pixelCount ||
                       v.backgroundMedian != a.backgroundMedian))
        __builtin_trap();
    std::vector<uint8_t> noData(values.size());
    for (size_t i = 0; i < noData.size(); ++i)
        noData[i] = static_cast<uint8_t>(pixels[i] & 1);
    measureStarValues(values.data(), noData.data(), width, height, &params, x, y, useClimb, &v,
                      &valueMessage);

    double difference = 0, error = 0;
    compareMeasurements(&a, &b, &difference, &error);
    if (first == 0 && second == 0)
        compareMeasurements(&b, &a, &difference, &error);

    FitsImage destination;
    initFitsImage(&destination);
    destination.width = width;
    destination.height = height;
    destination.pixels = pixels;
    addShiftedImage(&destination, pixels.data(), dx, dy);
    addShiftedImage(&destination, pixels.data(), dx % (2 * width), dy % (2 * height));
    return 0;
}
