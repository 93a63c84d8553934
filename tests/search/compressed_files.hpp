#pragma once
// Helpers for the tests of compressed images: small FITS files written here, fpack
// and fdecomp run as child processes (never through a shell), scratch directories.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<char>;

inline Bytes readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFileBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void writeFileWithMode(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    writeFileBytes(path, Bytes(text.begin(), text.end()));
    chmod(path.c_str(), mode);
}

// Everything fd reads from its current position to the end.
inline Bytes readDescriptor(int fd)
{
    Bytes bytes;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
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

inline std::string makeScratchDirectory()
{
    std::string path = "/tmp/newstars-test.XXXXXX";
    if (mkdtemp(path.data()) == nullptr)
        return "";
    return path;
}

// One 80-character card from its text.
inline std::string fitsCard(const std::string& text)
{
    std::string card = text.substr(0, 80);
    card.resize(80, ' ');
    return card;
}

// A whole FITS file with a 16-bit image: the pixels are memory values (file value +
// 32768), stored with BZERO = 32768; extra cards go after BSCALE.
inline Bytes makeFitsFile(int width, int height, const std::vector<uint16_t>& pixels,
                          const std::vector<std::string>& extraCards = {})
{
    char line[81];
    std::string header = fitsCard("SIMPLE  =                    T / plain FITS");
    header += fitsCard("BITPIX  =                   16");
    header += fitsCard("NAXIS   =                    2");
    std::snprintf(line, sizeof line, "NAXIS1  = %20d", width);
    header += fitsCard(line);
    std::snprintf(line, sizeof line, "NAXIS2  = %20d", height);
    header += fitsCard(line);
    header += fitsCard("BZERO   =                32768");
    header += fitsCard("BSCALE  =                    1");
    for (const std::string& card : extraCards)
        header += fitsCard(card);
    header += fitsCard("END");
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    Bytes bytes(header.begin(), header.end());
    for (uint16_t pixel : pixels) {
        uint16_t stored = static_cast<uint16_t>(pixel ^ 0x8000);  // value - 32768, two's complement
        bytes.push_back(static_cast<char>(stored >> 8));
        bytes.push_back(static_cast<char>(stored & 0xff));
    }
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, 0);
    return bytes;
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
            pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)]
                = static_cast<uint16_t>(value);
        }
    }
    if (!positiveOnly) {
        pixels[0] = 0;
        pixels[1] = 65535;
    }
    return pixels;
}

// Runs a program with its arguments (searched on PATH), standard error going to
// errorPath when given, as user and group 65534 when asUnprivileged and running as
// root. The exit status, or -1 when the program was killed or could not be waited for.
inline int runProgram(const std::vector<std::string>& arguments, const std::string& errorPath = "",
                      bool asUnprivileged = false)
{
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int errorFd = -1;
    if (!errorPath.empty())
        errorFd = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (errorFd >= 0)
            dup2(errorFd, 2);
        if (asUnprivileged && geteuid() == 0
            && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (errorFd >= 0)
        close(errorFd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Compresses the FITS file source into target with fpack and the given method flag
// (-r Rice, -h HCOMPRESS, -g GZIP, -p PLIO). fpack writes to a plain name first, so
// that target may hold any characters. True on success.
inline bool compressWithFpack(const std::string& flag, const std::string& source,
                              const std::string& target)
{
    std::string packed = target.substr(0, target.rfind('/') + 1) + "fpack-output.fz";
    unlink(packed.c_str());
    if (runProgram({"fpack", flag, "-O", packed, source}) != 0)
        return false;
    return rename(packed.c_str(), target.c_str()) == 0;
}

inline std::string binaryDirectory() { return NEWSTARS_BIN_DIR; }
