// The configuration reader on arbitrary text: the entry reader with small name and
// value limits from the first two bytes stays within them, and the lookups by name
// read the same text as a file (the name to look up is the text's first word).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "config/config_reader.hpp"

using namespace newstars;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int nameSize = 1 + data[0] % 40;
    const int valueSize = 1 + data[1] % 80;
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

    ConfigReader reader;
    std::FILE* file = fmemopen(text.data(), text.size() == 0 ? 1 : text.size(), "r");
    if (file == nullptr)
        __builtin_trap();
    std::string name, value;
    while (readConfigEntry(&reader, file, "fuzz", &name, nameSize, &value, valueSize) == 0) {
        if (name.size() >= static_cast<size_t>(nameSize) ||
            value.size() >= static_cast<size_t>(valueSize))
            __builtin_trap();
    }
    std::fclose(file);

    int fd = memfd_create("config", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        __builtin_trap();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const std::string key = text.substr(0, text.find_first_of(" \t\r\n='!"));
    std::string message;
    reader.verbosity = data[0] % 4;
    if (setConfigFile(&reader, path.c_str(), &message) != 0)
        __builtin_trap();
    double number = 0;
    getConfigReal(&reader, key.c_str(), &number, &message);
    getConfigReal(&reader, "absent name", &number, &message);
    std::string found;
    if (findConfigValue(&reader, key.c_str(), &found, valueSize, &message) == CONFIG_OK &&
        found.size() >= static_cast<size_t>(valueSize))
        __builtin_trap();
    close(fd);
    return 0;
}
