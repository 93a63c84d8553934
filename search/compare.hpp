#pragma once
// The star comparison: stars of a test image that have no counterpart in the
// reference image, inside the sky box of the object, become candidate new sources.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/shared_threads.hpp"
#include "diff/background.hpp"
#include "diff/score.hpp"
#include "fits/fits_image.hpp"
#include "search/image_log.hpp"
#include "search/vetting.hpp"
#include "sky/reference_table.hpp"
#include "sky/sky_match.hpp"
#include "stars/find_stars.hpp"
#include "wcs/world_frame.hpp"

namespace newstars {

// The candidate lines of the whole run, in the order found, without line ends, and the
// sky position of each line's source (radians) for those added with it.
struct CandidateList {
    std::vector<std::string> lines;
    std::vector<SkyPosition> positions;
};

// How test images are searched: by comparing star lists (the default) or by difference
// imaging (search/difference.hpp).
enum class SearchMethod { Catalog, Difference };

// Everything a run keeps from one test image to the next.
// Decides which candidates of one comparison the report keeps: given the comparison,
// sets (*keep)[k] to 1 to keep the k-th candidate (the k-th unmatched test star of
// view.testStars), 0 to leave it out; *keep arrives holding a 1 for each.
using CandidateFilter = std::function<void(const ComparisonView& view, std::vector<char>* keep)>;

struct SearchRun {
    double tolerance = 0;            // match tolerance, radians
    WcsMode wcsMode = WcsMode::Auto; // how images' world coordinates are read
    CandidateList candidates;        // candidate lines found so far
    SearchMethod method = SearchMethod::Catalog;
    double differenceThreshold = 5; // S/N a difference-imaging detection needs
    double minScore = DEFAULT_MIN_SCORE; // score a difference candidate needs (0: any)
    CandidateFilter filter;         // when set, consulted for every comparison
    // With a filter: test pixels at saturation that no reference star explains are
    // candidates too (after the stars in view.testStars, flagged saturated).
    bool saturatedCandidates = false;
    // Pixels per side of the cells of each image's background mesh (difference imaging);
    // 0: no background taken out.
    int backgroundCell = DEFAULT_BACKGROUND_CELL;
    SharedThreads* threads = nullptr; // run difference imaging's bands on these (null: alone)
};

// The date and time the summary shows: DATE-OBS and TIME-OBS, or, without TIME-OBS, the
// date and time of an ISO DATE-OBS that holds both. Without DATE-OBS, the date and time
// of MJD-OBS, else of DATE-BEG (readObservationTime of fits/observation_time.hpp;
// "yyyy-mm-dd" and "hh:mm:ss.sss"). A missing card shows as "????????" after
// "NAME: No <keyword> field in test image" in the log's standard error, NAME the test
// image's name as given.
void observationTime(const FitsImage* test, const char* testName, std::string* date,
                     std::string* time, ImageLog* log);

// Appends a copy of line to the list.
void addCandidate(CandidateList* list, const char* line);

// Appends a copy of line and the source's position (radians) to the list.
void addCandidate(CandidateList* list, const char* line, double ra, double dec);

// Compares a test image with its reference image within box and run->tolerance:
// finds the stars of both, converts them to sky positions through each image's own
// world-coordinate frame, read once in run->wcsMode (stars that cannot be converted are
// left out, with one message per image on standard error: "NAME: REASON: N stars left
// out", "1 star" for one), appends a line
// for every test star inside the box (shrunk by tolerance / cosMidDec) without a
// reference star inside the box closer than the tolerance to run->candidates, and
// prints the summary line on standard output:
//   object  reference-base  test-base  DATE-OBS  TIME-OBS  #reference #test #candidates
// The date and time are those of observationTime: a missing DATE-OBS or TIME-OBS card
// is reported on standard error and shown as "????????"; but without TIME-OBS, a
// DATE-OBS in ISO form with its time ("2026-03-02T01:30:00.5") shows as its date and its
// time, and without DATE-OBS the time of MJD-OBS or DATE-BEG, without a message. When
// run->filter is set, it decides which candidates are added and counted.
//   referenceName, testName  file names as given; their base names are printed
// Returns 0, or -1 when the star search of either image fails (reported on standard
// error; nothing printed on standard output, no candidate added). Neither image changes.
int compareImages(SearchRun* run, const SearchBox& box, const FitsImage* reference,
                  const FitsImage* test, const char* referenceName, const char* testName,
                  const char* objectName);

// What findSkyStars also gives, when asked, for vetting: every star found (image pixels),
// the pixel position of each star placed (parallel to its sky positions), and the frame
// read (empty when none could be).
struct PlacedStars {
    StarList found;
    std::vector<double> x, y;
    std::vector<uint8_t> flags; // the finder's STAR_ bits of each star placed
    std::optional<WorldFrame> frame;
    std::string cardsSetAside; // readWorldFrame's note on cards set aside ("" when none)
};

// The first half of compareImages for one image: finds its stars on the buffers of
// *workspace and places them on the sky through its world-coordinate frame, read once
// in mode. 0 with *sky replaced by the positions of the stars placed, in the order
// found, and *note by the message on the stars left out ("" when none is):
// "NAME: REASON: N stars left out\n". -1 when the star search fails, with the text for
// standard error in *error ("<reason>\nNAME: Can not find stars\n"), *sky and *note
// untouched. When placed is given it is replaced too (on success).
int findSkyStars(const FitsImage* image, const char* name, WcsMode mode,
                 StarFinderWorkspace* workspace, std::vector<SkyPosition>* sky, std::string* note,
                 std::string* error, PlacedStars* placed = nullptr);

// The second half of compareImages, from the sky positions of both images' stars as
// findSkyStars gives them: keeps those inside box (the test's shrunk by tolerance /
// cosMidDec), appends the candidates to run->candidates, and writes the messages and the
// summary line to *log instead of standard error and standard output. When run->filter
// is set and reference, referencePlaced and testPlaced are given (the last two as
// findSkyStars filled them beside referenceSky and testSky), the filter decides which
// candidates are added and counted.
void reportComparison(SearchRun* run, const SearchBox& box,
                      const std::vector<SkyPosition>& referenceSky,
                      const std::vector<SkyPosition>& testSky, const FitsImage* test,
                      const char* referenceName, const char* testName, const char* objectName,
                      ImageLog* log, const FitsImage* reference = nullptr,
                      const PlacedStars* referencePlaced = nullptr,
                      const PlacedStars* testPlaced = nullptr);

} // namespace newstars
