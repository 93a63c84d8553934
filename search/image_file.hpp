#pragma once
// Opening test and reference images, decompressing compressed files on the way.

#include <string>

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
int openImageFile(const char* name, std::string* message,
                  DecompressorOutput* decompressor = nullptr);

} // namespace newstars
