#include "base/text_file.hpp"

#include <cerrno>
#include <cstring>
#include <new>

#include "base/file_descriptor.hpp"

namespace newstars {

// Longest piece of a file-of-files line read at once, line end included.
static constexpr int FILE_LIST_LINE_LENGTH = 1023;

// Appends one name to the list: 0, or -1 with the message when memory runs out.
static int addImageName(std::vector<std::string>* names, const char* name, const char* fileName,
                        std::string* message)
{
    std::string copy;
    try {
        copy = name;
    } catch (const std::bad_alloc&) {
        *message = std::string("No memory to add `") + name + "' from " + fileName;
        return -1;
    }
    try {
        names->push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
        *message = std::string("No memory for more filenames in ") + fileName;
        return -1;
    }
    return 0;
}

FILE* openTextFile(const char* fileName, std::string* message)
{
    std::string reason;
    FileDescriptor file(openRegularFile(fileName, &reason));
    FILE* stream = file.isOpen() ? fdopen(file.get(), "r") : nullptr;
    if (stream == nullptr) {
        if (file.isOpen())
            reason = std::strerror(errno);
        *message = fileName[0] != '\0' ? std::string(fileName) + ": " + reason : reason;
        return nullptr;
    }
    file.release();
    return stream;
}

int readFileOfFiles(const char* fileName, std::vector<std::string>* names, std::string* message)
{
    FILE* file = openTextFile(fileName, message);
    if (file == nullptr)
        return -1;
    int count = 0;
    char line[FILE_LIST_LINE_LENGTH + 1];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t length = std::strlen(line);
        if (length < 2 || line[0] == '#' || line[0] == '!')
            continue;
        if (line[length - 1] == '\n')
            line[length - 1] = '\0';
        if (addImageName(names, line, fileName, message) != 0) {
            std::fclose(file);
            return -1;
        }
        ++count;
    }
    if (std::ferror(file)) {
        *message = std::string(fileName) + ": " + std::strerror(errno);
        std::fclose(file);
        return -1;
    }
    std::fclose(file);
    return count;
}

} // namespace newstars
