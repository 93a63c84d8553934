#pragma once
// Joining the reports of consecutive pieces of one night into the report that one run
// over the whole list of test images gives.

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace newstars {

// The longest line a merge takes, line end not counted: longer lines are refused, so
// that a merge holds at most a line or two of this size in memory.
inline constexpr size_t MAX_MERGE_LINE = 1 << 20;

// One piece's report: a name for messages and the file holding it, open for reading and
// able to seek (a regular file), and where the report starts in it. The file must not
// change while it is merged.
struct ReportPiece {
    std::string name;
    FILE* file = nullptr;
    off_t start = 0; // after the piece line (see orderNightPieces), or 0
};

// Reads the piece line each report of a run with --part starts with (night_piece.hpp)
// and puts the pieces in piece order, each one's start after its piece line. They must be
// every piece of one night exactly once: the same fingerprint and number of pieces, no
// piece twice, none missing. 0, or -1 with the reason in *message, naming the piece:
//   "NAME: no piece line: not the report of a run with --part"
//   "NAME: a piece of another night than FIRST"
//   "NAME: one of N pieces, FIRST one of M"
//   "NAME: piece K/N given twice (also OTHER)"
//   "pieces missing: K/N, ..." (the first five)
// The pieces are left as they were on failure.
int orderNightPieces(std::vector<ReportPiece>* pieces, std::string* message);

// Writes to out the report of one run over the pieces' lists taken in the given order
// (each piece's report from its start on):
// the summary lines of every piece in order, one line holding a single form feed, then
// the candidate lines of every piece in order, with an empty line before each candidate
// line whose first 12 characters (the object, letter case ignored) differ from the
// previous candidate line's, across piece boundaries too.
// Each piece must be a whole report as newstars writes it: summary lines, the form-feed
// line, candidate lines with empty lines exactly where the object changes, and every
// line ended by a line end, none longer than MAX_MERGE_LINE. All pieces are checked
// before anything is written: 0, or -1 with "NAME: reason" in *message and nothing
// written. -1 with a message too when reading or writing fails later (out may then hold
// the start of the report).
int mergeReports(const std::vector<ReportPiece>& pieces, FILE* out, std::string* message);

// The two kinds of table a run writes beside its report.
enum class TableKind {
    Catalog, // ECSV: "#" lines, then the column-name line, then one line per candidate
    Regions, // region file: "#" and "global" lines, the coordinate system line, shapes
};

// Writes to out the table of one run over the pieces' lists taken in the given order:
// the header once, then every piece's lines after its header, in order. The header is
// the leading comment lines (and settings lines of a region file) and the one line that
// follows them; it must be the same in every piece but for the entries of a catalogue's
// list of images (see IMAGE_LIST_LINE), which are joined in piece order under the first
// piece's list line, and every line must end. All pieces
// are checked before anything is written: 0, or -1 with "NAME: reason" in *message and
// nothing written; -1 with a message too when reading or writing fails later.
int mergeTables(const std::vector<ReportPiece>& pieces, TableKind kind, FILE* out,
                std::string* message);

// The "merge" command: argv[1..argc-1] name the files of the pieces, reports (every
// piece of one night, in any order: see orderNightPieces), or catalogues after
// "--catalog", or region files after "--regions" (in list order); the merged file goes
// to standard output. Each must be a regular file (anything else is refused before it
// is read, as the search refuses it). Returns the exit status: 0, or 1 with a message on
// standard error (usage without any file).
int runMerge(int argc, char** argv);

} // namespace newstars
