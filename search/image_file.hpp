#pragma once
// Opening test and reference images: compressed ones read in this process, .fth files
// decompressed by the decompressor program.

#include <string>

#include "fits/fits_read_any.hpp"

namespace newstars {

// What a decompression wrote to standard output and standard error.
struct DecompressorOutput {
    std::string output, errors;
};

// Opens the named image read-only and returns the descriptor, which the caller reads
// from the start and closes; or -1 with the reason (no file name, no line end) in
// *message, which is untouched on success.
// Only a regular file is opened, without waiting on anything else (a FIFO, a device):
// failure gives the system's text for the error, or "not a regular file".
// A plain name is opened directly.
// A name ending exactly in ".fth", ".fz" or ".gz" (so ".fits.fz", ".fts.fz" and
// ".fits.gz" too), or the same in upper case, is copied into a fresh private directory
// under TMPDIR (or /tmp) as image.fth, decompressed there by running
// "fdecomp -r image.fth" (found through PATH, no command interpreter) into image.fts,
// and that file is opened. The directory and all it holds are removed before
// returning, on success and failure alike; the caller's file is only read. Messages:
//   "Can not create temp filename for fdecomp"
//   "Can not execute `copy NAME COPY' "       the file could not be copied
//   "Can not execute `fdecomp -r COPY' "      fdecomp did not start or did not end with status 0
//   "Can not decompress NAME"                 fdecomp wrote no readable image.fts
// With decompressor not null, what fdecomp writes to its standard output and standard
// error is kept there (appended) instead of going to the program's own.
// With program set, the decompressor is run from that path (or looked up on PATH when
// it holds no "/") instead of "fdecomp" on PATH; the messages still say "fdecomp".
int openImageFile(const char* name, std::string* message,
                  DecompressorOutput* decompressor = nullptr, const char* program = nullptr);

// How a run opens and reads its images.
struct ImageReading {
    std::string decompressor = "fdecomp"; // the decompressor's path, or a name on PATH
    FitsReadOptions fits;                 // pixels without data (--no-data)
};

// An image opened for reading: the descriptor (the caller reads and closes it) and the
// HDU the name chose ("" for the first image).
struct OpenedImage {
    int fd = -1;
    std::string hdu;
};

// Opens the named image for reading in this process, as regular files only:
//   "FILE[N]", "FILE[NAME]" or "FILE[NAME,VERSION]", when no file has the whole name:
//     FILE is opened and the text between the brackets is kept in opened->hdu for
//     readAnyFitsImage.
//   a name ending in ".fth" (or ".FTH"): decompressed by the decompressor, as
//     openImageFile does (its messages), run from reading.decompressor.
//   any other name: the file itself; gzip content (told by its first bytes, whatever the
//     name) is expanded in memory first (expandGzipFile, at most the memory available:
//     availableMemoryBytes) and the descriptor given is that of the expanded file. When
//     the content is gzip or tile-compressed (fitsFileForm gives Compressed), or the name
//     ends in ".fz" or ".gz" (or upper case), and an HDU other than a 16-bit primary
//     image is the first to hold a 2-D 16-bit image (findSixteenBitImage), its number
//     goes to opened->hdu; otherwise opened->hdu is empty.
// No other program runs and no file is written, except for ".fth" names.
// 0 with *opened filled; -1 with the reason in *message: the system's text, "not a
// regular file", a message of expandGzipFile, or for ".fth" names openImageFile's.
int openImage(const char* name, const ImageReading& reading, OpenedImage* opened,
              std::string* message, DecompressorOutput* decompressor = nullptr);

// The decompressor a run uses: "fdecomp" beside the running program (the directory of
// /proc/self/exe) when an executable regular file is there, otherwise "fdecomp", to be
// looked up on PATH.
std::string findDecompressor();

} // namespace newstars
