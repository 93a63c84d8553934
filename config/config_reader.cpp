#include "config/config_reader.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

namespace newstars {

int configVerbosity = 0;

// The file every lookup reads; none until setConfigFile names one.
static std::optional<std::string> currentConfigFile;

// The states of the entry reader.
enum EntryState {
    STATE_DONE = 0,
    STATE_BETWEEN = 1,
    STATE_NAME = 2,
    STATE_AFTER_NAME = 3,
    STATE_PLAIN_VALUE = 4,
    STATE_QUOTED_VALUE = 5,
    STATE_COMMENT = 6,
};

static bool isSeparator(int c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Characters a buffer of the given size holds besides its terminator.
static std::size_t capacityOf(int bufferSize)
{
    return bufferSize > 1 ? static_cast<std::size_t>(bufferSize - 1) : 0;
}

// Appends c to the name unless that passes the limit; then reports and gives -1.
static int appendToName(std::string* name, int c, int nameSize, const char* fileName)
{
    if (name->size() >= capacityOf(nameSize)) {
        std::fprintf(stderr, "name \"%s\" too long in \"%s\"\n", name->c_str(), fileName);
        return -1;
    }
    name->push_back(static_cast<char>(c));
    return 0;
}

// Appends c to the value unless that passes the limit; then reports and gives -1.
static int appendToValue(std::string* value, int c, int valueSize, const char* fileName)
{
    if (value->size() >= capacityOf(valueSize)) {
        std::fprintf(stderr, "value too long in '%s'\n", fileName);
        return -1;
    }
    value->push_back(static_cast<char>(c));
    return 0;
}

void setConfigFile(const char* fileName)
{
    if (fileName == nullptr) {
        currentConfigFile.reset();
        return;
    }
    try {
        currentConfigFile = std::string(fileName);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "setConfigFile(): Can not malloc %zu\n", std::strlen(fileName) + 1);
        std::exit(1);
    }
}

void getConfigReal(const char* name, double* value)
{
    std::string text;
    if (findConfigValue(name, &text, 256) == -1) {
        std::printf("Can not find `%s' in config file.\n", name);
        std::exit(1);
    }
    *value = std::strtod(text.c_str(), nullptr);
    if (configVerbosity != 0) {
        std::fprintf(stderr, "%s = %g\n", name, *value);
    }
}

int findConfigValue(const char* name, std::string* value, int valueSize)
{
    if (!currentConfigFile) {
        std::fprintf(stderr, "Can not look up `%s': no config file has been named.\n", name);
        std::exit(1);
    }
    const char* fileName = currentConfigFile->c_str();
    std::FILE* file = std::fopen(fileName, "r");
    if (file == nullptr) {
        std::perror(fileName);
        std::exit(1);
    }
    std::string entryName;
    std::string entryValue;
    int found = -1;
    for (;;) {
        entryValue.clear(); // the "/" entry leaves it so: an empty value
        if (readConfigEntry(file, fileName, &entryName, 256, &entryValue, valueSize) == -1) {
            break;
        }
        // compared as C text: a name read with a NUL byte in it ends at that byte
        if (std::strcmp(entryName.c_str(), name) == 0) {
            *value = entryValue;
            found = 0;
            break;
        }
    }
    std::fclose(file);
    return found;
}

int readConfigEntry(std::FILE* file, const char* fileName, std::string* name, int nameSize,
                    std::string* value, int valueSize)
{
    int state = STATE_BETWEEN;
    while (state != STATE_DONE) {
        int c = std::getc(file);
        if (c == EOF) {
            return -1;
        }
        if (configVerbosity > 2) {
            std::fprintf(stderr, "state=%d c='%c'\n", state, c);
        }
        switch (state) {
        case STATE_BETWEEN:
            if (isSeparator(c)) {
                break;
            }
            if (c == '!') {
                state = STATE_COMMENT;
            } else if (c == '/') {
                name->clear();
                if (appendToName(name, c, nameSize, fileName) == -1) {
                    return -1;
                }
                return 0;
            } else {
                name->clear();
                if (appendToName(name, c, nameSize, fileName) == -1) {
                    return -1;
                }
                state = STATE_NAME;
            }
            break;
        case STATE_NAME:
            if (isSeparator(c) || c == '=') {
                state = STATE_AFTER_NAME;
            } else if (appendToName(name, c, nameSize, fileName) == -1) {
                return -1;
            }
            break;
        case STATE_AFTER_NAME:
            if (isSeparator(c) || c == '=') {
                break;
            }
            value->clear();
            if (c == '\'') {
                state = STATE_QUOTED_VALUE;
            } else {
                std::ungetc(c, file);
                state = STATE_PLAIN_VALUE;
            }
            break;
        case STATE_PLAIN_VALUE:
            if (isSeparator(c)) {
                state = STATE_DONE;
            } else if (appendToValue(value, c, valueSize, fileName) == -1) {
                return -1;
            }
            break;
        case STATE_QUOTED_VALUE:
            if (c == '\'') {
                state = STATE_DONE;
            } else if (c == '\\') {
                int next = std::getc(file);
                if (next == EOF) {
                    std::fprintf(stderr, "EOF after BACKSLASH\n");
                    return -1;
                }
                if (next != '\n' && appendToValue(value, next, valueSize, fileName) == -1) {
                    return -1;
                }
            } else if (appendToValue(value, c, valueSize, fileName) == -1) {
                return -1;
            }
            break;
        case STATE_COMMENT:
            if (c == '\n') {
                state = STATE_BETWEEN;
            }
            break;
        default:
            return -1;
        }
    }
    return 0;
}

} // namespace newstars
