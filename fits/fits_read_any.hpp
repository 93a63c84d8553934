#pragma once
// Reading images of every FITS type (BITPIX 8, 16, 32, -32, -64), plain, gzip-compressed
// or tile-compressed, from the primary array or an extension, through CFITSIO.

#include <cstdint>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"

namespace newstars {

// Choices made while reading physical values.
struct FitsReadOptions {
    bool noDataValueSet = false; // also mark pixels whose value equals noDataValue
    float noDataValue = 0;       // compared with the value as stored in FitsImage::values
};

// What a file holds, told from its first bytes and headers without CFITSIO.
enum class FitsFileForm {
    SixteenBit, // anything else: a plain 16-bit image, or a file readFitsImage refuses
    OtherType,  // a plain image of BITPIX 8, 32, -32 or -64 (the one readFitsHeader takes)
    Compressed, // gzip-compressed (whatever follows), or tile-compressed images
};

// Looks at the file at fd from its start (the offset is put back where it was):
// gzip's two magic bytes make Compressed; otherwise the primary header and, behind an
// empty primary (NAXIS = 0, no NAXIS1), the next header are read as readFitsHeader reads
// them: a binary table with ZIMAGE = T makes Compressed, an image (primary or that
// IMAGE extension) of BITPIX 8, 32, -32 or -64 OtherType, anything else SixteenBit.
FitsFileForm fitsFileForm(int fd);

// Whether the file at fd holds, in any HDU, a 2-D 16-bit image (further axes of length
// 1, at least one pixel), plain or compressed: the image the decompressor takes.
// 1 or 0; -1 when CFITSIO cannot open the file or read one of its headers.
int holdsSixteenBitImage(int fd);

// The same search, telling where: 1 with *hdu the number of the first HDU holding such
// an image (counted from 0, the primary array; as readAnyFitsImage takes "N"); 0 when
// none does; -1 when CFITSIO cannot open the file or read one of its headers. *hdu is
// untouched unless 1 is returned.
int findSixteenBitImage(int fd, int* hdu);

// Reads one 2-D image HDU of the file open at fd (a regular file, read from its start
// through /proc/self/fd; the descriptor is neither moved nor closed) into the image,
// whose fields are cleared first (its buffers' memory kept for reuse, see
// emptyFitsImageKeepingBuffers).
//   hdu  empty: the primary array when it holds an image, otherwise the first image
//        extension (compressed or not); or "N", the N-th HDU counted from 0 (0 the
//        primary array); or "NAME" or "NAME,VERSION", the HDU of that EXTNAME (and
//        EXTVER), letter case ignored.
// The image must have two axes, further ones of length 1, at most 2^31 - 1 pixels.
// Fills bitpix (ZBITPIX for a compressed image), width, height, the cards (see below),
// xfactor, yfactor, offset1, offset2, exposureMs as readFitsHeader does, and the pixels:
//   BITPIX 16: pixels, stored value + 32768 modulo 65536 (BSCALE, BZERO and BLANK not
//     applied), as readFitsImage gives them;
//   BITPIX 8, 32, -32, -64: values (BSCALE * stored value + BZERO, rounded to float) and
//     noData, PIXEL_NO_DATA where the stored value is NaN or infinite (floating point),
//     equals BLANK (integers), gives a value beyond the float range, or (with
//     options.noDataValueSet) a value equal to options.noDataValue; such pixels hold 0.
// The cards are the image's header as a primary header: SIMPLE = T in place of
// XTENSION, no PCOUNT or GCOUNT; for a compressed image the header of the image it holds
// (CFITSIO restores the image keywords from their Z forms). An extension image takes
// from the primary header every card whose keyword it lacks when it has INHERIT = T
// (not the structural ones: SIMPLE, BITPIX, NAXISn, EXTEND, BSCALE, BZERO, BLANK,
// CHECKSUM, DATASUM, INHERIT, COMMENT, HISTORY, blank keywords), and OBJECT, DATE-OBS
// and TIME-OBS when it lacks them in any case. A compressed image whose DATASUM does
// not match its data is refused (damaged tiles can decode into wrong pixels).
// 0 with the image filled; -1 with the image emptied and the reason in *message:
//   "can not read: TEXT"                  CFITSIO cannot open or read the file
//   "no HDU NAME"                         the chosen HDU does not exist
//   "holds no image"                      no image HDU (empty hdu)
//   "HDU NAME is not an image"
//   "image has NAXIS = N, not 2 axes"     (or further axes longer than 1)
//   "BITPIX N is not read"                64-bit integers
//   "Image of W x H pixels is too large"
//   "FITS header longer than 10000 records"
//   "Could not malloc N for pixels"
//   "data do not match their DATASUM card: file damaged"
//   CARD_MEMORY_MESSAGE
// TEXT is CFITSIO's short text and status, as in "can not read: END_OF_FILE (status 107)".
int readAnyFitsImage(int fd, const std::string& hdu, const FitsReadOptions& options,
                     FitsImage* image, std::string* message);

// The cards of primary (80 characters each, in order) that an extension image whose own
// cards are own inherits: OBJECT, DATE-OBS and TIME-OBS when own lacks them, and with
// inheritAll (INHERIT = T) every other card whose keyword own lacks, except the
// structural ones listed at readAnyFitsImage. A keyword is taken once.
std::vector<std::string> inheritedCards(const std::vector<std::string>& own,
                                        const std::vector<std::string>& primary, bool inheritAll);

// The size of the image readAnyFitsImage would read, read from the headers alone.
// 0 with *width and *height set; -1 with the reason (as readAnyFitsImage gives it).
int readAnyFitsSize(int fd, const std::string& hdu, int32_t* width, int32_t* height,
                    std::string* message);

} // namespace newstars
