// A program built on an installed newstars: reads a FITS image and prints its size and
// the sky position of its central pixel, through the fits, wcs and sky libraries.
//   downstream IMAGE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fits/fits_read_any.hpp"
#include "sky/sexagesimal.hpp"
#include "wcs/world_frame.hpp"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: downstream IMAGE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    newstars::FitsImage image;
    std::string message;
    const int read = newstars::readAnyFitsImage(fd, "", {}, &image, &message);
    close(fd);
    if (read != 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], message.c_str());
        return 1;
    }
    newstars::WorldFrame frame;
    newstars::WcsStatus status = newstars::readWorldFrame(image, newstars::WcsMode::Fits, &frame);
    double ra = 0, dec = 0;
    if (status == newstars::WcsStatus::Ok)
        status = newstars::pixelToSky(frame, (image.width - 1) / 2.0, (image.height - 1) / 2.0,
                                      &ra, &dec);
    if (status != newstars::WcsStatus::Ok) {
        std::fprintf(stderr, "%s: %s\n", argv[1], newstars::wcsStatusText(status));
        return 1;
    }
    const double degrees = 180 / 3.141592653589793;
    std::printf("%d x %d, BITPIX %d, centre %s %s\n", image.width, image.height, image.bitpix,
                newstars::fs_sexa(ra * degrees / 15, 2, 36000).c_str(),
                newstars::fs_sexa(dec * degrees, 3, 3600).c_str());
    return 0;
}
