#include "search/image_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

int openImageFile(const char* name, std::string* message)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        *message = std::strerror(errno);
    return fd;
}
