#pragma once
// What the comparison of one test image writes to standard output and standard error,
// kept in the order written so that it can be written out later, on one thread, exactly
// as it would have been at once.

#include <cstdio>
#include <string>
#include <vector>

namespace newstars {

struct ImageLog {
    struct Piece {
        bool error = false;  // standard error, else standard output
        bool direct = false; // written to the descriptor itself, past stdio's buffer
        std::string text;
    };
    std::vector<Piece> pieces;
};

// Appends printf-formatted text meant for standard output (logOutput) or standard
// error (logError).
void logOutput(ImageLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(ImageLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends what another program wrote to the descriptors of standard output and
// standard error (output before errors), to be written to them directly again.
void logProgramOutput(ImageLog* log, const std::string& output, const std::string& errors);

// Writes the pieces in order to standard output and standard error, through stdio or
// to the descriptor directly as they came, so that buffering and the interleaving of
// the two streams are those of writes made at once.
void writeImageLog(const ImageLog& log);

// The same to the streams out and err (through stdio only, unless they are stdout and
// stderr).
void writeImageLog(const ImageLog& log, FILE* out, FILE* err);

} // namespace newstars
