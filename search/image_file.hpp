#pragma once
// Opening test and reference images, decompressing compressed files on the way.

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

// Opens the named image as openImageFile does, with more forms of name and file:
//   "FILE[N]", "FILE[NAME]" or "FILE[NAME,VERSION]", when no file has the whole name:
//     FILE is opened (a regular file, as above) and the text between the brackets is
//     kept in opened->hdu for readAnyFitsImage; nothing is decompressed.
//   a name ending in ".fth" (or ".FTH"): as openImageFile.
//   a name ending in ".fz" or ".gz" (or upper case), and any file whose content is
//     compressed (fitsFileForm gives Compressed): decompressed as openImageFile does when
//     it holds a 2-D 16-bit image (for a name ending so, also when CFITSIO cannot read
//     it, so that its message is the decompressor's); otherwise the file itself is
//     opened, for readAnyFitsImage to read.
//   any other name: the file itself.
// The decompressor runs from reading.decompressor. 0 with *opened filled; -1 with the
// reason in *message (openImageFile's messages).
int openImage(const char* name, const ImageReading& reading, OpenedImage* opened,
              std::string* message, DecompressorOutput* decompressor = nullptr);

// The decompressor a run uses: "fdecomp" beside the running program (the directory of
// /proc/self/exe) when an executable regular file is there, otherwise "fdecomp", to be
// looked up on PATH.
std::string findDecompressor();

} // namespace newstars
