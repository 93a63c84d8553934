#pragma once
// Writing 16-bit FITS images to an open file descriptor, the default header, the
// observation-time cards, and splitting a path into directory, base name and extension.
//
// The file written: the header cards in list order, the END card and blank cards up
// to a whole number of 2880-byte records; then width x height pixels, row after row,
// each as its memory value minus 32768 in 16-bit two's complement, high byte first;
// then zero bytes up to the end of the data's last 2880-byte record, as the FITS
// standard requires (none when the data fill whole records or there are no pixels).

#include <cstdint>
#include <string>

#include "fits/fits_image.hpp"

namespace newstars {

// Writes the image's header (writeFitsHeader) and then its pixels to fd, an open
// descriptor that takes bytes unchanged, at its current position; fd is not closed.
// The pixels are converted to file form in place for the write. With restorePixels
// non-zero they are converted back before returning, after a failed pixel write too;
// with restorePixels zero they are left in file form, fit only to be released.
// 0, or -1 with the reason in *message: "No pixels :-(" (empty pixel buffer), a size
// that does not match the pixel buffer, or a write failure (see writeFitsHeader; the
// system's error text, or "Short write of FITS pixels" for a request that wrote
// nothing). Nothing is written, and the pixels are untouched, when the checks or the
// header fail; the cards are never changed. After a failure the file holds whatever
// was written before it.
int writeFitsImage(int fd, FitsImage* image, std::string* message, int restorePixels);

// Writes the cards exactly as stored, the END card and blank cards up to a multiple
// of 36 cards, in one write request. Adds, checks and reorders nothing. 0, or -1 with
// the reason in *message: "Can not malloc %d for padded FITS header" (bytes), the
// system's error text for a failed request, "Short write of FITS header" for an
// incomplete one, or a card count that does not match the card store.
int writeFitsHeader(const FitsImage* image, int fd, std::string* message);

// Converts the first width x height pixels in place from memory form (host-order
// unsigned, value + 32768) to file form (signed, high byte first); the exact inverse
// of swapPixelsFromFits. Never touches values past the end of the pixel buffer.
void swapPixelsToFits(FitsImage* image);

// Writes a bare buffer of width x height pixels in memory form under the 14 default
// cards of setDefaultCards (OFFSET1 and OFFSET2 0, XFACTOR and YFACTOR 1, EXPTIME 0).
// The buffer is converted in place for the write, and back when restorePixels is
// non-zero (as writeFitsImage); it is neither kept nor released. 0, or -1 (no reason
// passed back) for a write failure, a null buffer or a negative size.
int writeFitsBuffer(int fd, uint16_t* pixels, int32_t width, int32_t height, int restorePixels);

// Sets, in this order, SIMPLE (T), BITPIX, NAXIS (2), NAXIS1, NAXIS2, BZERO (32768),
// OFFSET1, OFFSET2, XFACTOR, YFACTOR from the record's fields, EXPTIME (exposureMs /
// 1000 seconds, precision 6), appends the COMMENT "Rows are flipped from FITS
// standard", and sets ORIGIN and TELESCOP. Each set card replaces the first card of
// its keyword or is appended; the COMMENT is appended on every call. 0, or -1 when
// memory runs out (the cards set before that stay).
int setDefaultCards(FitsImage* image);

// Sets DATE-OBS, TIME-OBS ("hh:mm:ss") and JD (Julian Date, precision 12) for the
// instant seconds after 1970-01-01 00:00:00 UTC (earlier instants are negative),
// broken down in UTC: in the Gregorian calendar from 1582 October 15, in the Julian
// calendar before. DATE-OBS is "dd/mm/yy" (day, month, two-digit year) for the years
// 1900 to 1999 and "yyyy-mm-dd" for every other year, which two digits cannot name.
// Each card replaces the first card of its keyword or is appended.
// 0, or -1 with the header untouched for an instant outside the years 1 to 9999
// (before -62135769600 or after 253402300799), or when memory runs out (the cards set
// before that stay).
int setObservationTime(FitsImage* image, int64_t seconds);

// Splits a path at its last "/" or "\": *directory gets everything up to and including
// it (empty without one); of the rest, *baseName gets the part before its last "." and
// *extension the part after it, without the dot (the whole rest and an empty extension
// without a dot). A dot in the directory part does not count.
void splitPath(const char* path, std::string* directory, std::string* baseName,
               std::string* extension);

} // namespace newstars
