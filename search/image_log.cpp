#include "search/image_log.hpp"

#include <cstdarg>
#include <cstdio>
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
    log->pieces.push_back({error, std::move(text)});
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

void writeImageLog(const ImageLog& log)
{
    for (const ImageLog::Piece& piece : log.pieces)
        std::fwrite(piece.text.data(), 1, piece.text.size(), piece.error ? stderr : stdout);
}

} // namespace newstars
