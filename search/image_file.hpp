#pragma once
// Opening test and reference images, decompressing .fth files on the way.

#include <string>

// Opens the named image read-only. Names ending exactly in ".fth" or ".FTH" are
// decompressed by the external fdecomp program into a private temporary file first.
// Returns an open descriptor that the caller reads and closes, or -1 with the reason
// (no file name, no line end) in *message.
int openImageFile(const char* name, std::string* message);
