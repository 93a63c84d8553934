#include "base/gzip_file.hpp"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "base/file_descriptor.hpp"

namespace newstars {

namespace {

// Bytes read from the compressed file, and expanded, at a time.
constexpr size_t INPUT_PIECE = size_t{1} << 16;
constexpr size_t OUTPUT_PIECE = size_t{1} << 18;

// Ends the zlib stream it holds.
class Inflater {
public:
    ~Inflater()
    {
        if (started)
            inflateEnd(&stream);
    }
    z_stream stream{};
    bool started = false;
};

// pread, repeated when interrupted. The byte count, 0 at the end, or -1 (errno set).
ssize_t readAt(int fd, unsigned char* buffer, size_t length, off_t offset)
{
    ssize_t got = 0;
    do
        got = pread(fd, buffer, length, offset);
    while (got < 0 && errno == EINTR);
    return got;
}

} // namespace

bool startsAsGzip(int fd)
{
    unsigned char magic[2] = {0, 0};
    return readAt(fd, magic, sizeof magic, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

int expandGzipFile(int fd, uint64_t limit, std::string* message)
{
    FileDescriptor out(memfd_create("newstars-expanded", MFD_CLOEXEC));
    if (!out.isOpen()) {
        *message = std::strerror(errno);
        return -1;
    }
    Inflater inflater;
    z_stream& stream = inflater.stream;
    // 15 + 16: the largest window, gzip header and trailer (with their check).
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        *message = "damaged gzip data: no memory to expand it";
        return -1;
    }
    inflater.started = true;
    std::vector<unsigned char> input(INPUT_PIECE), output(OUTPUT_PIECE);
    off_t offset = 0;
    uint64_t total = 0;
    bool memberEnded = false;
    for (;;) {
        if (stream.avail_in == 0) {
            const ssize_t got = readAt(fd, input.data(), input.size(), offset);
            if (got < 0) {
                *message = std::strerror(errno);
                return -1;
            }
            if (got == 0) {
                if (memberEnded)
                    break;
                *message = "damaged gzip data: it ends early";
                return -1;
            }
            offset += got;
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(got);
        }
        if (memberEnded) {
            // Another member, or bytes that are not one: the end, as for gzip.
            if (stream.next_in[0] != 0x1f)
                break;
            inflateReset(&stream);
            memberEnded = false;
        }
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            *message = std::string("damaged gzip data: ") +
                       (stream.msg != nullptr ? stream.msg : "it cannot be expanded");
            return -1;
        }
        const size_t produced = output.size() - stream.avail_out;
        if (produced > limit - total) {
            char text[96];
            std::snprintf(text, sizeof text, "expands to more than %llu MB, the memory available",
                          static_cast<unsigned long long>(limit / 1000000));
            *message = text;
            return -1;
        }
        total += produced;
        if (writeAll(out.get(), output.data(), produced) != 0) {
            *message = std::strerror(errno != 0 ? errno : ENOSPC);
            return -1;
        }
        memberEnded = status == Z_STREAM_END;
    }
    if (lseek(out.get(), 0, SEEK_SET) != 0) {
        *message = std::strerror(errno);
        return -1;
    }
    return out.release();
}

} // namespace newstars
