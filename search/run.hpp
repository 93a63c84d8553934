#pragma once
// The search run: command line, the loop over the test images, the final report.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "search/compare.hpp"
#include "search/difference.hpp"
#include "base/file_cache.hpp"
#include "search/image_file.hpp"
#include "search/image_log.hpp"
#include "search/moving.hpp"
#include "search/night_piece.hpp"
#include "search/pair.hpp"
#include "search/vetting.hpp"
#include "sky/reference_table.hpp"
#include "stars/find_stars.hpp"
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

// Writes the usage lines to err (standard error by default), naming programName.
void printUsage(const char* programName, FILE* err = stderr);

// Takes the option "--wcs MODE" or "--wcs=MODE" when it is the first argument (argv[0]
// being the program name). 0 with *mode set and *used the number of arguments it takes
// (0 when the first argument is not the option, *mode then untouched); -1 when MODE is
// missing or not auto, classic or fits (*used 0).
int takeWcsOption(int argc, char** argv, WcsMode* mode, int* used);

// Takes the option "-j N" or "-jN" when it is the first argument, as takeWcsOption does:
// 0 with *workers set to N and *used the number of arguments it takes (0 when the first
// argument does not start with -j); -1 when N is missing or not a whole number from 1
// to 256 (*used 0, *workers untouched).
int takeWorkersOption(int argc, char** argv, int* workers, int* used);

// Takes the option "--part K/N" or "--part=K/N" when it is the first argument (argv[0]
// being the program name): the search then runs over the K-th of N consecutive pieces
// of the test image list (nightPieceRange). 0 with *piece set and *used the number of
// arguments it takes (0 when the first argument is not the option, *piece then
// untouched); -1 with the reason in *message when K/N is missing or not a piece.
int takePartOption(int argc, char** argv, NightPiece* piece, int* used, std::string* message);

// The match tolerance in radians from its text in arcseconds: the leading decimal
// number as atof reads it (0 when there is none), / 3600 * pi / 180. No range check.
double toleranceFromText(const char* arcsecText);

// Checks the match tolerance text and converts it as toleranceFromText does: 0 with
// *tolerance in radians; -1 (*tolerance untouched) unless the text is one decimal
// number, blanks around it allowed, that is finite and not negative.
int parseTolerance(const char* arcsecText, double* tolerance);

// Reads an image from a descriptor that openImageFile or openImage returned into *image
// (cleared first, its pixel buffer kept for reuse), and closes the descriptor. A plain
// 16-bit file (fitsFileForm SixteenBit) without an HDU chosen is read by readFitsImage;
// every other file, and the HDU hdu names, by readAnyFitsImage with the options.
// 0, or -1 with the image empty and the reason in *message.
int readOpenImage(int fd, FitsImage* image, std::string* message,
                  const FitsReadOptions& options = {}, const std::string& hdu = {});

// Opens and reads the test image and gets its object name (the OBJECT card, trailing
// blanks removed). 0 with *image filled; -1 with the reason in *log (for standard
// error) and *image empty. When hasObject is given, an image without OBJECT is read too:
// *hasObject tells whether it has one (*objectName then empty).
// The image is opened with openImage and read as reading says.
int readTestImage(const char* testName, FitsImage* image, std::string* objectName, ImageLog* log,
                  bool* hasObject = nullptr, const ImageReading& reading = {});

// The sky positions of a reference image's stars, and the message on those left out
// (see findSkyStars), shared by every test image that uses the same file.
struct ReferenceSky {
    std::vector<SkyPosition> positions;
    std::string note;
};
using ReferenceStars = std::shared_ptr<const ReferenceSky>;

// What the comparisons of a run share: set before the first, only the cache changes.
struct SearchShared {
    double tolerance = 0;                        // match tolerance, radians
    WcsMode wcsMode = WcsMode::Auto;             // how images' world coordinates are read
    std::string tableText;                       // the reference table as read at the start
    bool searchesTogether = false;               // reference and test star searches on two threads
    FileCache<ReferenceStars> references;        // stars of the reference files read so far
    SearchMethod method = SearchMethod::Catalog; // how new sources are found
    double differenceThreshold = 5;              // S/N of a difference-imaging detection
    double minScore = DEFAULT_MIN_SCORE;         // score a difference candidate needs
    int backgroundCell = DEFAULT_BACKGROUND_CELL; // background mesh cells, pixels; 0: none
    ImageReading reading;                        // decompressor and --no-data
    VetOptions vetting; // when vettingWanted: with the catalog method each reference is read
                        // afresh and each comparison vetted; with the difference method
                        // every detection is kept for the catalogue, regions and stamps
    std::shared_ptr<const PairReference> pair; // a pair run's reference; null for a table run
    bool matchPosition = false; // --match position: a test image whose object names no line
                                // uses the first line whose box holds the image's centre
    bool linkMoving = false;    // --link-moving: each outcome gets its trackImage
    SharedThreads* threads = nullptr; // the run's -j threads, shared by the difference
                                      // steps of every image under way (null: none)
};

// The buffers of one worker, kept from one test image to the next (about one image pair
// stays allocated per worker).
struct SearchWorker {
    FitsImage testImage, referenceImage;
    StarFinderWorkspace testFinder, referenceFinder;
};

// Exit status of a run with --strict in which some test image could not be searched.
inline constexpr int STRICT_NOT_SEARCHED_STATUS = 3;

// How the comparison of one test image ended.
enum class ImageSearch {
    NotSearched, // the image could not be used: reported in its log, the run goes on
    Searched,    // compared: its summary line is in the log
    RunEnds,     // the run ends after writing the log, status 1 (the text that ends it is
                 // the last in the log)
};

// What the comparison of one test image leaves for the run to write, in list order.
struct TestImageOutcome {
    ImageLog log;                        // its standard output and standard error
    CandidateList candidates;            // its candidate lines
    std::vector<CatalogRow> catalogRows; // its candidates as vetted, when vetting
    std::vector<ImageNote> catalogNotes; // cards set aside, for the catalogue, when vetting
    DifferenceOutputs difference;        // its detections and registration, when vetting
                                         // with the difference method
    ImageSearch status = ImageSearch::NotSearched; // what compareTestImage returned
    TrackImage trackImage; // its field and time, with --link-moving
};

// Compares one test image with its object's reference image, as the run does for each
// test image in turn (in a pair run, with shared->pair and the box pairEntry gives, the
// object being the test image's OBJECT or base name): reads the test image, looks up the object's table entries from
// the start of shared->tableText until one names a reference image that opens (entries
// whose image does not open, or is under 65 pixels on a side and so too small for the
// star finder, are reported and passed over; with shared->matchPosition, when no entry
// names the object or the image has no OBJECT, the entries whose box holds the image's
// centre, the object shown then being the entry's when the image has none), finds the stars of both
// images, and puts the messages, the summary line and the candidates in *outcome.
// A reference file whose stars were found before in the run, unchanged on disk since
// (same identity, see fileIdentity), is not read again: its stars are reused (unless
// the run vets: vetting needs the reference's pixels, so it is read every time). A test
// image that cannot be used is reported and skipped (NotSearched). Returns Searched, or
// RunEnds when the table is malformed, a reference image opens but cannot be read, or a
// stamp cannot be written. Safe to run for several test images at once, each with its
// own worker.
ImageSearch compareTestImage(SearchShared* shared, SearchWorker* worker, const char* testName,
                             TestImageOutcome* outcome);

// Writes a form feed line, then the candidate lines in the order found, with an empty
// line before each line whose first 12 characters differ (letter case ignored) from
// the previous line's; all to out (standard output by default).
void printCandidates(const CandidateList* list, FILE* out = stdout);

// What a run takes from the program it runs in, for a program that runs searches inside
// itself (the Python module) rather than as the newstars process. The defaults are the
// command line's.
//   out, err      the report, and the messages (standard output and standard error)
//   ownsProcess   true: the run catches the stop signals (stop_signals.hpp) and shows
//                 its progress line when standard error is a terminal; false: neither,
//                 the signals staying with the calling program
//   catalogText   when not null, the catalogue of the run's candidates (of its
//                 detections with the difference method), as --catalog writes it, is
//                 put there, whether or not --catalog names a file too; the run then
//                 measures its candidates as with --catalog, which leaves the report as
//                 it is
//   decompressor  the fdecomp program for compressed 16-bit images; empty: the one
//                 beside the running program, else the first on PATH (findDecompressor)
// --help, --version and merge ("merge ...") write to the standard streams whatever these
// say.
struct SearchHost {
    FILE* out = stdout;
    FILE* err = stderr;
    bool ownsProcess = true;
    std::string* catalogText = nullptr;
    std::string decompressor;
};

// The whole run from the command line, either form optionally led by the --wcs option
// (how the images' world coordinates are read; auto by default), the -j option (test
// images compared at once; one per processor by default), the --part option (the search
// over one piece of the test image list only) and the options of search/options.hpp
// (vetting, --strict, --help, --version), in any order. Returns the exit status: 0 for a
// complete run, --help and --version; 1 after a fatal error, reported on standard error
// (before the candidates are printed, or when the report or an output file cannot be
// written); with --strict, STRICT_NOT_SEARCHED_STATUS for a run that reached its end with
// some test image not searched (reported on standard error).
// "merge report1 [report2 ...]" joins the reports of pieces instead (runMerge);
// "pair [options] reference test1 [test2 ...]" compares the test images with one
// reference image, without a table (the same options, --tolerance for arcsec_sep, --wcs
// fits by default).
int runSearch(int argc, char** argv);

// The same run, in the program host describes.
int runSearch(int argc, char** argv, const SearchHost& host);

} // namespace newstars
