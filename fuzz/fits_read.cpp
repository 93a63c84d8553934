// The FITS reader on arbitrary bytes held in a file in memory: it returns 0 with an
// image whose pixels and cards agree with its size, or -1 with a message and an empty
// image; it never reads outside its buffers.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fits/fits_read.hpp"

using namespace newstars;

// A descriptor at the start of an anonymous file holding the bytes, or -1.
static int memoryFile(const uint8_t* data, size_t size)
{
    int fd = memfd_create("fits", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = memoryFile(data, size);
    if (fd < 0)
        __builtin_trap();
    FitsImage image;
    std::string message;
    // A header that claims far more pixels than the input holds would only have the
    // reader reserve that memory before it finds the data short: read the header alone.
    if (readFitsHeader(fd, &image, &message) == 0) {
        const int64_t claimed = int64_t{image.width} * image.height * 2;
        const int64_t left = static_cast<int64_t>(size) - lseek(fd, 0, SEEK_CUR);
        if (claimed > left + (int64_t{1} << 20)) {
            close(fd);
            return 0;
        }
    }
    lseek(fd, 0, SEEK_SET);
    const int status = readFitsImage(fd, &image, &message);
    close(fd);
    if (status == 0) {
        if (image.bitpix != 16 || image.width < 0 || image.height < 0 ||
            image.pixels.size() != static_cast<size_t>(image.width) * image.height ||
            image.cards.size() != static_cast<size_t>(image.cardCount) * FITS_CARD_LENGTH)
            __builtin_trap();
    } else if (status != -1 || message.empty() || !image.pixels.empty() || image.cardCount != 0) {
        __builtin_trap();
    }
    return 0;
}
