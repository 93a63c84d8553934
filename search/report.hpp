#pragma once
// The report a search prints on standard output, in one place for both methods, the
// run and merge: one summary line per test image compared, in list order; then a line
// holding a single form feed; then the candidate lines, with an empty line wherever the
// object changes from one candidate line to the next.
//
// Every text that comes from the input (object names, file names, DATE-OBS and
// TIME-OBS) passes through reportText, so that no image or table can add a line to the
// report, end one early or move its columns with control characters.

#include <cstdio>
#include <string>
#include <vector>

namespace newstars {

// Characters at the start of a candidate line that name its object: the width of the
// object column, and what the grouping compares (letter case ignored).
inline constexpr int REPORT_OBJECT_COLUMNS = 12;

// The line between the summary lines and the candidate lines, line end included.
inline constexpr const char* CANDIDATES_HEADING = "\f\n";

// An input-derived text as the report shows it: each control character (bytes 1 to 31
// and 127) written as a backslash escape (printableText), every other byte kept.
std::string reportText(const char* text);

// The summary line of one comparison, line end included:
//   object  reference-base  test-base  date  time  #reference #test #candidates
// the texts escaped by reportText, the object and both base names (see baseName) in
// columns of at least 12 characters, the counts in columns of at least 3.
//   referenceName, testName   file names as given (their base names are shown)
std::string summaryLine(const char* object, const char* referenceName, const char* testName,
                        const char* date, const char* time, int referenceCount, int testCount,
                        int candidateCount);

// The candidate line of a new source, without a line end:
//   object  test-base  right-ascension  declination
// the object and the test image's base name escaped by reportText in columns of at least
// 12 characters; the position as hours "hh:mm:ss.s" and degrees "sdd:mm:ss".
//   ra, dec   radians
std::string candidateLine(const char* object, const char* testName, double ra, double dec);

// Whether an empty line goes between two consecutive candidate lines: their first
// REPORT_OBJECT_COLUMNS characters differ, letter case ignored.
bool objectChanges(const char* previous, const char* next);

// Writes CANDIDATES_HEADING and then the candidate lines (given without line ends) to
// out, each ended by a line end, with an empty line between two where objectChanges.
void writeCandidateLines(const std::vector<std::string>& lines, FILE* out);

} // namespace newstars
