#pragma once
// Ownership of an open file descriptor, and reads and writes of whole buffers.

#include <cstddef>
#include <string>
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

// The reason openRegularFile gives for a FIFO, device, directory or socket.
inline constexpr const char* NOT_REGULAR_FILE_MESSAGE = "not a regular file";

// Opens path for reading without waiting on it (a FIFO without a writer, a device) and
// keeps the descriptor only when it is a regular file. The descriptor (close-on-exec,
// reads blocking again), or -1 with the reason in *message: the system's text for the
// error, or NOT_REGULAR_FILE_MESSAGE. *message is untouched on success.
int openRegularFile(const char* path, std::string* message);

// Reads up to length bytes, repeating partial and interrupted reads until the length
// is reached or the file ends. The byte count, or -1 on a read error (errno set).
ssize_t readAll(int fd, void* buffer, std::size_t length);

// Writes all length bytes, repeating partial and interrupted writes. 0; or -1 on a
// write error (errno set), or when a write accepts no byte (errno 0).
int writeAll(int fd, const void* bytes, std::size_t length);

} // namespace newstars
