#pragma once
// The search run: command line, the loop over the test images, the final report.

#include <cstdio>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "search/compare.hpp"
#include "search/reference_table.hpp"
#include "wcs/world_frame.hpp"

namespace newstars {

// The two forms of the command line (arguments counted after the program name):
//   arcsec_sep config_file image1 [image2 ...]      at least three arguments
//   -f file_of_files arcsec_sep config_file          exactly four, the first exactly "-f"
enum CommandLineForm { USAGE_FORM = 0, IMAGE_LIST_FORM = 1, FILE_OF_FILES_FORM = 2 };

// Decides the form from the whole argument vector (argv[0] being the program name):
// FILE_OF_FILES_FORM for exactly four arguments with "-f" first, otherwise
// IMAGE_LIST_FORM for three or more, otherwise USAGE_FORM.
CommandLineForm commandLineForm(int argc, char** argv);

// Writes the four usage lines to standard error, naming programName.
void printUsage(const char* programName);

// Takes the option "--wcs MODE" or "--wcs=MODE" when it is the first argument (argv[0]
// being the program name). 0 with *mode set and *used the number of arguments it takes
// (0 when the first argument is not the option, *mode then untouched); -1 when MODE is
// missing or not auto, classic or fits (*used 0).
int takeWcsOption(int argc, char** argv, WcsMode* mode, int* used);

// The match tolerance in radians from its text in arcseconds: the leading decimal
// number as atof reads it (0 when there is none), / 3600 * pi / 180. No range check.
double toleranceFromText(const char* arcsecText);

// Reads the test image names from a file of files, one per line, read in pieces of at
// most 1023 characters; a piece shorter than two characters (line end included) or
// starting with "#" or "!" is skipped, otherwise its line end is removed and the rest,
// blanks included, is a name. Appends the names to *names and returns their number;
// or -1 with the text for standard error in *message (no line end) when the file
// cannot be opened ("FILE: <system text>") or memory runs out ("No memory to add
// `NAME' from FILE", "No memory for more filenames in FILE"), the names read before
// that kept.
int readFileOfFiles(const char* fileName, std::vector<std::string>* names, std::string* message);

// Reads an image from a descriptor that openImageFile returned into *image (cleared
// first), and closes the descriptor. 0, or -1 with the image empty and the reason in
// *message.
int readOpenImage(int fd, FitsImage* image, std::string* message);

// Opens and reads the test image and gets its object name (the OBJECT card, trailing
// blanks removed). 0 with *image filled; -1 with the reason reported on standard error
// and *image empty.
int readTestImage(const char* testName, FitsImage* image, std::string* objectName);

// Looks up the object's table entries from the table's current position until one
// names a reference image that opens, and reads it: 0 with *image filled, *entry and
// *box set from that entry. Entries whose image does not open are reported on standard
// error and passed over; -1 with "No reference file listed for object ..." on standard
// error when the table ends first. -2, the run to end with status 1, with the text for
// standard error in *fatal (line end included) when an image opens but cannot be read
// or the table is malformed.
int readReferenceImage(FILE* table, const char* objectName, FitsImage* image, ReferenceEntry* entry,
                       SearchBox* box, std::string* fatal);

// Compares one test image with its object's reference image: reads both, prints the
// summary line and adds the candidates to run->candidates. A test image that cannot be
// used is reported on standard error and skipped. Both images are released on return.
// 0, or -2 with the text for standard error in *fatal as readReferenceImage.
int processTestImage(SearchRun* run, FILE* table, const char* testName, std::string* fatal);

// Writes a form feed line, then the candidate lines in the order found, with an empty
// line before each line whose first 12 characters differ (letter case ignored) from
// the previous line's; all to standard output.
void printCandidates(const CandidateList* list);

// The whole run from the command line, either form optionally led by the --wcs option
// (how the images' world coordinates are read; auto by default). Returns the exit
// status: 0 for a complete run;
// 1 after a fatal error, reported on standard error, before the candidates are printed.
int runSearch(int argc, char** argv);

} // namespace newstars
