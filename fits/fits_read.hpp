#pragma once
// Reading 16-bit FITS images from an open file descriptor.

#include <string>

#include "fits/fits_image.hpp"

// Reads the header and pixels of the primary image from fd (positioned at the start
// of the file) into an empty image. 0 with the image filled; -1 with the image
// emptied and the reason (no file name, no line end) in *message.
int readFitsImage(int fd, FitsImage* image, std::string* message);

// Reads the header cards up to the end of the record holding END and sets bitpix,
// width, height, xfactor, yfactor, offset1, offset2 and exposureMs. On success fd
// stands at the first data byte. -1 as readFitsImage.
int readFitsHeader(int fd, FitsImage* image, std::string* message);

// Checks NAXIS, NAXIS3..NAXISn (each 1) and reads NAXIS1 and NAXIS2.
// 0 with *width and *height stored; -1 with the reason in *message.
int getImageSize(const FitsImage* image, int32_t* width, int32_t* height, std::string* message);

// Converts image->pixels in place from file form (big-endian signed) to memory form
// (host-order unsigned, value + 32768).
void swapPixelsFromFits(FitsImage* image);
