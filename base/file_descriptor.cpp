#include "base/file_descriptor.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace newstars {

int openRegularFile(const char* path, std::string* message)
{
    FileDescriptor file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.isOpen() || fstat(file.get(), &status) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        *message = NOT_REGULAR_FILE_MESSAGE;
        return -1;
    }
    const int flags = fcntl(file.get(), F_GETFL);
    if (flags < 0 || fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    return file.release();
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    reset();
}

int FileDescriptor::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

int FileDescriptor::reset(int fd)
{
    const int old = fd_;
    fd_ = fd;
    return old >= 0 ? close(old) : 0;
}

ssize_t readAll(int fd, void* buffer, std::size_t length)
{
    char* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, bytes + done, length - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

int writeAll(int fd, const void* bytes, std::size_t length)
{
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t n = write(fd, next, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = 0;
            return -1;
        }
        next += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace newstars
