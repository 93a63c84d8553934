#pragma once
// Ownership of an open file descriptor, and reads and writes of whole buffers.

#include <cstddef>
#include <sys/types.h>

namespace newstars {

// Owns one open descriptor (or none, -1) and closes it when destroyed or reset.
// Movable, not copyable.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const
    {
        return fd_;
    }
    bool isOpen() const
    {
        return fd_ >= 0;
    }
    // Gives up ownership: returns the descriptor, which is no longer closed here.
    int release();
    // Closes the descriptor held (if any) and takes fd. Returns what close returned
    // (0 when none was held).
    int reset(int fd = -1);

private:
    int fd_ = -1;
};

// Reads up to length bytes, repeating partial and interrupted reads until the length
// is reached or the file ends. The byte count, or -1 on a read error (errno set).
ssize_t readAll(int fd, void* buffer, std::size_t length);

// Writes all length bytes, repeating partial and interrupted writes. 0; or -1 on a
// write error (errno set), or when a write accepts no byte (errno 0).
int writeAll(int fd, const void* bytes, std::size_t length);

} // namespace newstars
