#include "search/progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/file_descriptor.hpp"

namespace newstars {

namespace {
constexpr size_t LINE_WIDTH = 79;
} // namespace

void startProgress(ProgressLine* progress, int total)
{
    progress->enabled = total > 1 && isatty(STDERR_FILENO) == 1;
    progress->total = total;
    progress->shownWidth = 0;
}

void showProgress(ProgressLine* progress, int done, const char* name)
{
    if (!progress->enabled)
        return;
    std::fflush(stderr);
    std::fflush(stdout);
    std::string line = "\rnewstars: ";
    line += std::to_string(done);
    line += '/';
    line += std::to_string(progress->total);
    line += ' ';
    for (const char* p = name; *p != '\0' && line.size() < LINE_WIDTH + 1; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        line += c < 32 || c == 127 ? '?' : static_cast<char>(c);
    }
    const size_t width = line.size() - 1;
    if (width < progress->shownWidth)
        line.append(progress->shownWidth - width, ' ');
    writeAll(STDERR_FILENO, line.data(), line.size());
    progress->shownWidth = width;
}

void clearProgress(ProgressLine* progress)
{
    if (!progress->enabled || progress->shownWidth == 0)
        return;
    std::string blank(progress->shownWidth + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    writeAll(STDERR_FILENO, blank.data(), blank.size());
    progress->shownWidth = 0;
}

} // namespace newstars
