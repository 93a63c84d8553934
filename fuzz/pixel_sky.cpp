// Pixel-to-sky and sky-to-pixel through arbitrary world-coordinate cards. The input is
// text lines: the value fields (from column 11) of CRVAL1, CRVAL2, CRPIX1, CRPIX2,
// CDELT1, CDELT2, CROTA2 and CTYPE1 ("-" leaves the card out), then "x y" and
// "ra dec" (degrees), then whole cards of any kind (CTYPE2, CROTA1, ...).
// The cards are read as a classic, a standard and an automatically chosen frame. A
// position placed on the sky is finite, and the classic frame read once gives bit for
// bit what the one-shot conversion gives when the header's system needs no conversion to
// ICRS.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "sky/projections.hpp"
#include "wcs/world_coords.hpp"
#include "wcs/world_frame.hpp"

using namespace newstars;

static const char* const KEYWORDS[] = {"CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2",
                                       "CDELT1", "CDELT2", "CROTA2", "CTYPE1"};

// Two numbers from a line; missing ones are 0.
static void twoNumbers(const std::string& line, double* a, double* b)
{
    char* end = nullptr;
    *a = std::strtod(line.c_str(), &end);
    *b = std::strtod(end, nullptr);
}

static bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A sky position as every conversion must give it.
static void checkPlaced(double ra, double dec)
{
    if (!std::isfinite(ra) || !std::isfinite(dec))
        __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n')
            lines.emplace_back();
        else if (data[i] != '\0')
            lines.back() += static_cast<char>(data[i]);
    }
    if (lines.size() < 10)
        lines.resize(10);

    FitsImage image;
    initFitsImage(&image);
    for (size_t i = 0; i < 8; ++i) {
        if (lines[i] == "-")
            continue;
        std::string card = std::string(KEYWORDS[i]) + "  = " + lines[i];
        card.resize(80, ' ');
        addCard(&image, card.c_str());
    }
    for (size_t i = 10; i < lines.size() && i < 40; ++i) {
        std::string card = lines[i];
        card.resize(80, ' ');
        addCard(&image, card.c_str());
    }
    double x = 0, y = 0, ra = 0, dec = 0;
    twoNumbers(lines[8], &x, &y);
    twoNumbers(lines[9], &ra, &dec);

    double outRa = 0, outDec = 0;
    const int placed = pixelToSky(&image, x, y, &outRa, &outDec);
    if (placed == 0)
        checkPlaced(outRa, outDec);
    double outX = 0, outY = 0;
    skyToPixel(&image, ra * M_PI / 180, dec * M_PI / 180, &outX, &outY);

    for (WcsMode mode : {WcsMode::Classic, WcsMode::Fits, WcsMode::Auto}) {
        WorldFrame frame;
        if (readWorldFrame(image, mode, &frame) != WcsStatus::Ok)
            continue;
        double frameRa = 0, frameDec = 0;
        const WcsStatus status = pixelToSky(frame, x, y, &frameRa, &frameDec);
        if (status == WcsStatus::Ok)
            checkPlaced(frameRa, frameDec);
        // The one-shot conversion knows no equinox: it agrees with a classic frame
        // whose system needs no conversion to ICRS.
        if (mode == WcsMode::Classic &&
            frame.equatorial.kind == EquatorialConversion::Kind::None &&
            ((status == WcsStatus::Ok) != (placed == 0) ||
             (placed == 0 && (!sameBits(frameRa, outRa) || !sameBits(frameDec, outDec)))))
            __builtin_trap();
        skyToPixel(frame, ra * M_PI / 180, dec * M_PI / 180, &outX, &outY);
        double xs[2] = {x, y}, ys[2] = {y, x}, ras[2], decs[2];
        unsigned char placedFlags[2];
        pixelsToSky(frame, 2, xs, ys, ras, decs, placedFlags);
    }

    // The projections themselves with the same numbers and every projection code.
    double v[7] = {};
    for (size_t i = 0; i < 7; ++i)
        v[i] = std::strtod(lines[i].c_str(), nullptr);
    for (const char* code : {"-SIN", "-TAN", "-ARC", "-NCP", "-GLS", "-MER", "-AIT", "-STG", ""}) {
        projectionPixelToSky(x, y, v[0], v[1], v[2], v[3], v[4], v[5], v[6], code, &outRa, &outDec);
        projectionSkyToPixel(ra, dec, v[0], v[1], v[2], v[3], v[4], v[5], v[6], code, &outX, &outY);
    }
    freeFitsImage(&image);
    return 0;
}
