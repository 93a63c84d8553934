#include "base/text.hpp"

#include <cstdarg>
#include <cstdio>

namespace newstars {

std::string formatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

std::string printableText(const char* text)
{
    std::string printable;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 32 && c != 127) {
            printable += *p;
        } else if (c == '\t') {
            printable += "\\t";
        } else if (c == '\n') {
            printable += "\\n";
        } else if (c == '\r') {
            printable += "\\r";
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", c);
            printable += escape;
        }
    }
    return printable;
}

const char* baseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' && p[1] != '\0')
            base = p + 1;
    }
    return base;
}

std::string flagWords(uint32_t flags, const char* const* words, size_t count)
{
    std::string text;
    for (size_t bit = 0; bit < count && bit < 32; ++bit) {
        if ((flags & (uint32_t{1} << bit)) == 0)
            continue;
        if (!text.empty())
            text += ';';
        text += words[bit];
    }
    return text;
}

} // namespace newstars
