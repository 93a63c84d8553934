#pragma once
// What the comparison of one test image writes to standard output and standard error,
// kept in the order written so that it can be written out later, on one thread, exactly
// as it would have been at once.

#include <string>
#include <vector>

namespace newstars {

struct ImageLog {
    struct Piece {
        bool error = false; // standard error, else standard output
        std::string text;
    };
    std::vector<Piece> pieces;
};

// Appends printf-formatted text meant for standard output (logOutput) or standard
// error (logError).
void logOutput(ImageLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(ImageLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the pieces in order to standard output and standard error through stdio, so
// that buffering and the interleaving of the two streams are those of direct writes.
void writeImageLog(const ImageLog& log);

} // namespace newstars
