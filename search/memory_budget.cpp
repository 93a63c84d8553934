#include "search/memory_budget.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/text.hpp"
#include "fits/fits_read.hpp"
#include "fits/fits_read_any.hpp"

namespace newstars {

uint64_t imageWorkBytes(SearchMethod method, bool floatPixels, int64_t width, int64_t height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const uint64_t perPixel =
        method == SearchMethod::Difference ? (floatPixels ? 34 : 26) : (floatPixels ? 21 : 5);
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (pixels / static_cast<uint64_t>(width) != static_cast<uint64_t>(height) ||
        pixels > std::numeric_limits<uint64_t>::max() / perPixel)
        return std::numeric_limits<uint64_t>::max();
    return pixels * perPixel;
}

// The number in kB of the first line of a /proc file that starts with key, or false.
static bool procKilobytes(const char* path, const char* key, uint64_t* bytes)
{
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return false;
    char line[256];
    bool found = false;
    const size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long kilobytes = 0;
        if (std::strncmp(line, key, length) == 0 &&
            std::sscanf(line + length, " %llu kB", &kilobytes) == 1 &&
            kilobytes <= std::numeric_limits<uint64_t>::max() / 1024) {
            *bytes = static_cast<uint64_t>(kilobytes) * 1024;
            found = true;
            break;
        }
    }
    std::fclose(file);
    return found;
}

uint64_t availableMemoryBytes(bool* addressLimited)
{
    uint64_t available = std::numeric_limits<uint64_t>::max();
    uint64_t system = 0;
    if (procKilobytes("/proc/meminfo", "MemAvailable:", &system))
        available = system;
    *addressLimited = false;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        uint64_t used = 0;
        procKilobytes("/proc/self/status", "VmSize:", &used);
        const uint64_t cap = static_cast<uint64_t>(limit.rlim_cur);
        const uint64_t room = cap > used ? cap - used : 0;
        if (room < available) {
            available = room;
            *addressLimited = true;
        }
    }
    return available;
}

int fittingWorkers(int workers, uint64_t perImage, uint64_t available, uint64_t perThread)
{
    if (workers <= 1)
        return std::max(workers, 1);
    const uint64_t each = perImage > std::numeric_limits<uint64_t>::max() - perThread
                              ? std::numeric_limits<uint64_t>::max()
                              : perImage + perThread;
    if (each == 0)
        return workers;
    const uint64_t fit = available / each;
    return static_cast<int>(std::clamp<uint64_t>(fit, 1, static_cast<uint64_t>(workers)));
}

bool peekImageSize(const std::string& name, int32_t* width, int32_t* height, bool* floatPixels)
{
    std::string file = name, hdu;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && !name.empty() && name.back() == ']') {
        const size_t bracket = name.rfind('[');
        if (bracket == std::string::npos || bracket == 0)
            return false;
        file = name.substr(0, bracket);
        hdu = name.substr(bracket + 1, name.size() - bracket - 2);
        fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0)
        return false;
    struct stat status {};
    unsigned char magic[2] = {};
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && pread(fd, magic, 2, 0) == 2 &&
              !(magic[0] == 0x1f && magic[1] == 0x8b);
    if (ok) {
        std::string ignored;
        const FitsFileForm form = fitsFileForm(fd);
        if (hdu.empty() && form == FitsFileForm::SixteenBit) {
            FitsImage header;
            ok = readFitsHeader(fd, &header, &ignored) == 0;
            *width = header.width;
            *height = header.height;
            *floatPixels = false;
            freeFitsImage(&header);
        } else {
            // The type of an extension or a compressed image is not read here: floating
            // point is the larger estimate.
            ok = readAnyFitsSize(fd, hdu, width, height, &ignored) == 0;
            *floatPixels = true;
        }
    }
    close(fd);
    return ok;
}

std::string memoryText(uint64_t bytes)
{
    const double megabytes = static_cast<double>(bytes) / 1e6;
    if (megabytes >= 1000)
        return formatText("%.1f GB", megabytes / 1000);
    return formatText("%.0f MB", megabytes);
}

} // namespace newstars
