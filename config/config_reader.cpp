#include "config/config_reader.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/file_descriptor.hpp"
#include "base/text.hpp"

namespace newstars {

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

// Appends c to the name unless that passes the limit; then notes why and gives -1.
static int appendToName(ConfigReader* reader, std::string* name, int c, int nameSize,
                        const char* fileName)
{
    if (name->size() >= capacityOf(nameSize)) {
        reader->diagnostics +=
            "name \"" + std::string(name->c_str()) + "\" too long in \"" + fileName + "\"\n";
        return -1;
    }
    name->push_back(static_cast<char>(c));
    return 0;
}

// Appends c to the value unless that passes the limit; then notes why and gives -1.
static int appendToValue(ConfigReader* reader, std::string* value, int c, int valueSize,
                         const char* fileName)
{
    if (value->size() >= capacityOf(valueSize)) {
        reader->diagnostics += "value too long in '" + std::string(fileName) + "'\n";
        return -1;
    }
    value->push_back(static_cast<char>(c));
    return 0;
}

ConfigStatus setConfigFile(ConfigReader* reader, const char* fileName, std::string* message)
{
    if (fileName == nullptr) {
        reader->fileName.reset();
        return CONFIG_OK;
    }
    try {
        reader->fileName = std::string(fileName);
    } catch (const std::bad_alloc&) {
        *message = formatText("setConfigFile(): Can not malloc %zu", std::strlen(fileName) + 1);
        return CONFIG_NO_MEMORY;
    }
    return CONFIG_OK;
}

ConfigStatus getConfigReal(ConfigReader* reader, const char* name, double* value,
                           std::string* message)
{
    std::string text;
    const ConfigStatus status = findConfigValue(reader, name, &text, 256, message);
    if (status == CONFIG_NOT_FOUND)
        *message = "Can not find `" + std::string(name) + "' in config file.";
    if (status != CONFIG_OK)
        return status;
    *value = std::strtod(text.c_str(), nullptr);
    if (reader->verbosity != 0)
        reader->diagnostics += formatText("%s = %g\n", name, *value);
    return CONFIG_OK;
}

ConfigStatus findConfigValue(ConfigReader* reader, const char* name, std::string* value,
                             int valueSize, std::string* message)
{
    if (!reader->fileName) {
        *message = "Can not look up `" + std::string(name) + "': no config file has been named.";
        return CONFIG_NO_FILE;
    }
    const char* fileName = reader->fileName->c_str();
    std::string reason;
    FileDescriptor descriptor(openRegularFile(fileName, &reason));
    std::FILE* file = descriptor.isOpen() ? fdopen(descriptor.get(), "r") : nullptr;
    if (file == nullptr) {
        if (descriptor.isOpen())
            reason = std::strerror(errno);
        *message = fileName[0] != '\0' ? std::string(fileName) + ": " + reason : reason;
        return CONFIG_NO_FILE;
    }
    descriptor.release();
    std::string entryName;
    std::string entryValue;
    ConfigStatus found = CONFIG_NOT_FOUND;
    for (;;) {
        entryValue.clear(); // the "/" entry leaves it so: an empty value
        if (readConfigEntry(reader, file, fileName, &entryName, 256, &entryValue, valueSize) !=
            CONFIG_OK) {
            break;
        }
        // compared as C text: a name read with a NUL byte in it ends at that byte
        if (std::strcmp(entryName.c_str(), name) == 0) {
            *value = entryValue;
            found = CONFIG_OK;
            break;
        }
    }
    if (found != CONFIG_OK && std::ferror(file)) {
        const char* readError = std::strerror(errno);
        *message = fileName[0] != '\0' ? std::string(fileName) + ": " + readError : readError;
        found = CONFIG_READ_ERROR;
    }
    std::fclose(file);
    return found;
}

ConfigStatus readConfigEntry(ConfigReader* reader, std::FILE* file, const char* fileName,
                             std::string* name, int nameSize, std::string* value, int valueSize)
{
    int state = STATE_BETWEEN;
    while (state != STATE_DONE) {
        int c = std::getc(file);
        if (c == EOF) {
            return CONFIG_NOT_FOUND;
        }
        if (reader->verbosity > 2) {
            reader->diagnostics += formatText("state=%d c='%c'\n", state, c);
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
                if (appendToName(reader, name, c, nameSize, fileName) == -1) {
                    return CONFIG_NOT_FOUND;
                }
                return CONFIG_OK;
            } else {
                name->clear();
                if (appendToName(reader, name, c, nameSize, fileName) == -1) {
                    return CONFIG_NOT_FOUND;
                }
                state = STATE_NAME;
            }
            break;
        case STATE_NAME:
            if (isSeparator(c) || c == '=') {
                state = STATE_AFTER_NAME;
            } else if (appendToName(reader, name, c, nameSize, fileName) == -1) {
                return CONFIG_NOT_FOUND;
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
            } else if (appendToValue(reader, value, c, valueSize, fileName) == -1) {
                return CONFIG_NOT_FOUND;
            }
            break;
        case STATE_QUOTED_VALUE:
            if (c == '\'') {
                state = STATE_DONE;
            } else if (c == '\\') {
                int next = std::getc(file);
                if (next == EOF) {
                    reader->diagnostics += "EOF after BACKSLASH\n";
                    return CONFIG_NOT_FOUND;
                }
                if (next != '\n' && appendToValue(reader, value, next, valueSize, fileName) == -1) {
                    return CONFIG_NOT_FOUND;
                }
            } else if (appendToValue(reader, value, c, valueSize, fileName) == -1) {
                return CONFIG_NOT_FOUND;
            }
            break;
        case STATE_COMMENT:
            if (c == '\n') {
                state = STATE_BETWEEN;
            }
            break;
        default:
            return CONFIG_NOT_FOUND;
        }
    }
    return CONFIG_OK;
}

const char* configStatusText(ConfigStatus status)
{
    switch (status) {
    case CONFIG_OK:
        return "value found";
    case CONFIG_NOT_FOUND:
        return "name not found";
    case CONFIG_NO_FILE:
        return "no configuration file";
    case CONFIG_READ_ERROR:
        return "the configuration file cannot be read";
    case CONFIG_NO_MEMORY:
        return "out of memory";
    }
    return "unknown configuration status";
}

} // namespace newstars
