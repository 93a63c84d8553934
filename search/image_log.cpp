#include "search/image_log.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace newstars {

static void append(ImageLog* log, bool error, const char* format, va_list arguments)
{
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    log->pieces.push_back({error, false, std::move(text)});
}

void logOutput(ImageLog* log, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    append(log, false, format, arguments);
    va_end(arguments);
}

void logError(ImageLog* log, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    append(log, true, format, arguments);
    va_end(arguments);
}

void logProgramOutput(ImageLog* log, const std::string& output, const std::string& errors)
{
    if (!output.empty())
        log->pieces.push_back({false, true, output});
    if (!errors.empty())
        log->pieces.push_back({true, true, errors});
}

// Writes all of text to fd, going on after short writes and interruptions; gives up on
// an error, as the writing program would have.
static void writeDirectly(int fd, const std::string& text)
{
    const char* bytes = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t done = write(fd, bytes, left);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        bytes += done;
        left -= static_cast<size_t>(done);
    }
}

void writeImageLog(const ImageLog& log)
{
    writeImageLog(log, stdout, stderr);
}

void writeImageLog(const ImageLog& log, FILE* out, FILE* err)
{
    const bool standard = out == stdout && err == stderr;
    for (const ImageLog::Piece& piece : log.pieces) {
        if (!standard)
            std::fwrite(piece.text.data(), 1, piece.text.size(), piece.error ? err : out);
        else if (piece.direct)
            writeDirectly(piece.error ? STDERR_FILENO : STDOUT_FILENO, piece.text);
        else
            std::fwrite(piece.text.data(), 1, piece.text.size(), piece.error ? stderr : stdout);
    }
}

} // namespace newstars
