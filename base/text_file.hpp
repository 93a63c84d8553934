#pragma once
// Text files a run reads: opened as regular files only; the file of files that lists a
// night's test images.

#include <cstdio>
#include <string>
#include <vector>

namespace newstars {

// Opens a text file (the table, a file of files) for reading, refusing anything but a
// regular file without waiting on it. The stream, or null with "FILE: <reason>" in
// *message (the reason alone for an empty name): the system's text for the error, or
// "not a regular file".
FILE* openTextFile(const char* fileName, std::string* message);

// Reads the test image names from a file of files, one per line, read in pieces of at
// most 1023 characters; a piece shorter than two characters (line end included) or
// starting with "#" or "!" is skipped, otherwise its line end is removed and the rest,
// blanks included, is a name. Appends the names to *names and returns their number;
// or -1 with the text for standard error in *message (no line end) when the file
// cannot be opened (the openTextFile message) or read ("FILE: <system text>"), or
// memory runs out ("No memory to add `NAME' from FILE", "No memory for more filenames
// in FILE"), the names read before that kept.
int readFileOfFiles(const char* fileName, std::vector<std::string>* names, std::string* message);

} // namespace newstars
