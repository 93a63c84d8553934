#pragma once
// Reading 16-bit FITS images from an open file descriptor.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fits/fits_image.hpp"

namespace newstars {

// The most 2880-byte records a header may take, END included: a file without END
// (a device, a damaged file) is refused after this much instead of read without end.
inline constexpr int FITS_MAX_HEADER_RECORDS = 10000;

// Reads the header and pixels of the primary image (or of the first extension behind an
// empty primary header, see readFitsHeader) from fd (positioned at the start
// of the file) into the image, whose fields are cleared first (its buffers' memory kept
// for reuse, see emptyFitsImageKeepingBuffers). 0 with the image filled; -1 with the image
// emptied and the reason (no file name, no line end) in *message: any message of
// readFitsHeader, then "Image of %d x %d pixels is too large" (more than 2^31 - 1
// pixels), "Could not malloc %d for pixels" (the byte count), the system's error
// text, or "data is short". fd is neither opened, positioned nor closed; it is left
// after the last byte read.
int readFitsImage(int fd, FitsImage* image, std::string* message);

// Reads the header cards up to the end of the record holding END (the first card
// starting with "END"; later cards are dropped). When that primary header is SIMPLE with
// NAXIS = 0 and no NAXIS1, and an IMAGE extension follows, the extension's header is taken instead, as a
// primary one (SIMPLE = T in place of XTENSION, no PCOUNT or GCOUNT), followed by the
// primary-header cards it inherits (inheritedCards; INHERIT = T read in column 30).
// Then sets bitpix, width, height,
// xfactor, yfactor, offset1, offset2 and exposureMs (EXPTIME * 1000 truncated,
// saturated to the 32-bit range). On success fd stands at the first data byte.
// -1 with the image emptied and, in *message, the system's error text, "FITS file is
// short", "FITS header longer than 10000 records" (no END in FITS_MAX_HEADER_RECORDS
// records), CARD_MEMORY_MESSAGE (a card could not be kept), "File must claim to be a
// SIMPLE image.", "BITPIX must be 16." or a message of getImageSize.
int readFitsHeader(int fd, FitsImage* image, std::string* message);

// Sets xfactor, yfactor, offset1, offset2 (from the cards of those names) and
// exposureMs (EXPTIME * 1000 truncated, saturated to the 32-bit range) from the image's
// cards; a field whose card is absent is left as it is.
void readImageFactors(FitsImage* image);

// Checks NAXIS, NAXIS3..NAXISn (each 1) and reads NAXIS1 and NAXIS2.
// 0 with *width and *height stored; -1 with the first failure in *message: "No NAXIS",
// "NAXIS=%d but no %s", "Require %s to be 1", "No NAXIS1", "No NAXIS2",
// "NAXIS1 = %d must not be negative", "NAXIS2 = %d must not be negative".
int getImageSize(const FitsImage* image, int32_t* width, int32_t* height, std::string* message);

// Empties the image as initFitsImage does, but keeps the memory of its pixels, values,
// noData and cards (their sizes 0, their capacities kept): the next image read into it
// fills pages the system has already provided instead of fresh ones it must clear first.
void emptyFitsImageKeepingBuffers(FitsImage* image);

// Converts the width * height pixels of image->pixels in place from file form
// (big-endian signed) to memory form (host-order unsigned, value + 32768 modulo 65536).
void swapPixelsFromFits(FitsImage* image);

// Converts count pixels in place from file form to memory form (the work of
// swapPixelsFromFits on a bare buffer).
void convertPixelsFromFits(uint16_t* pixels, size_t count);

} // namespace newstars
