#pragma once
// Helpers for the tests of compressed images: star-field images, fpack run as a child
// process (never through a shell), and looks at files and directories.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/fits_file.hpp"
#include "support/program.hpp"

// Everything fd reads from its current position to the end.
inline std::string readDescriptor(int fd)
{
    std::string bytes;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

inline bool fileExists(const std::string& path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

// The entries of a directory without "." and "..", sorted.
inline std::vector<std::string> listDirectory(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A whole FITS file with a 16-bit image (pixels as memory values) carrying BSCALE = 1
// and then the extra cards.
inline std::string makeFitsFile(int width, int height, const std::vector<uint16_t>& pixels,
                                const std::vector<std::string>& extraCards = {})
{
    std::vector<std::string> cards = {intCard("BSCALE", 1)};
    cards.insert(cards.end(), extraCards.begin(), extraCards.end());
    return fitsImageFile(width, height, pixels, cards);
}

// A star field: a sky level with noise and a few bright peaks, one of them
// saturated, and the full range 0..65535 present. With positiveOnly the values stay
// at 32768 and above (stored values not negative), as PLIO needs.
inline std::vector<uint16_t> makeStarField(int width, int height, bool positiveOnly)
{
    std::vector<uint16_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    uint32_t state = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            int value = 1000 + static_cast<int>(state >> 24) % 64;
            for (int s = 0; s < 3; ++s) {
                int dx = x - 13 - 29 * s;
                int dy = y - 11 - 17 * s;
                int d2 = dx * dx + dy * dy;
                if (d2 < 30)
                    value += (20000 << s) / (1 + d2);
            }
            value = std::min(value, 65535);
            if (positiveOnly)
                value = 32768 + value / 2;
            pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                static_cast<uint16_t>(value);
        }
    }
    if (!positiveOnly) {
        pixels[0] = 0;
        pixels[1] = 65535;
    }
    return pixels;
}

// Compresses the FITS file source into target with fpack and the given method flag
// (-r Rice, -h HCOMPRESS, -g GZIP, -p PLIO). fpack writes to a plain name first, so
// that target may hold any characters. True on success.
inline bool compressWithFpack(const std::string& flag, const std::string& source,
                              const std::string& target)
{
    std::string packed = target.substr(0, target.rfind('/') + 1) + "fpack-output.fz";
    unlink(packed.c_str());
    if (runProgram({"fpack", flag, "-O", packed, source}).status != 0)
        return false;
    return rename(packed.c_str(), target.c_str()) == 0;
}

inline std::string binaryDirectory()
{
    return NEWSTARS_BIN_DIR;
}
