#pragma once
// Vetting in the search: measures the candidates of each compared test image, decides
// which the report keeps, and collects the catalogue, region file and stamps of the run.

#include <cstdint>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "search/output_files.hpp"
#include "stars/find_stars.hpp"
#include "vet/catalog.hpp"
#include "vet/stamps.hpp"
#include "vet/vetting.hpp"
#include "wcs/world_frame.hpp"

namespace newstars {

// The vetting options of a run; with none set the search does not vet at all.
struct VetOptions {
    bool vet = false;            // --vet: leave rejected candidates out of the report
    std::string catalogPath;     // --catalog FILE
    std::string regionsPath;     // --regions FILE
    std::string stampsDirectory; // --stamps DIR
    std::string pageDirectory;   // --page DIR: the night's scanning page
    std::string regionsDirectory; // --regions-per-image DIR: a region file per test image
    std::string historyPath;      // --history FILE: the candidate history kept across runs
    VetParams params;            // thresholds
    // The run's input files, which no stamp may replace.
    std::vector<FileKey> inputFiles;
    // When not null, receives the catalogue text as well (a run inside another program).
    std::string* catalogText = nullptr;
};

// Stamp pictures: each pixel enlarged this many times, this many white columns between
// the panels.
inline constexpr int32_t STAMP_ZOOM = 4;
inline constexpr int32_t STAMP_GAP = 4;

// True when some option asks for the candidates to be measured.
bool vettingWanted(const VetOptions& options);

// True when the rows need their page stamp: its panels for the page, its orientation for
// the page and the per-image region files.
bool pageStampsWanted(const VetOptions& options);

// The file name of the scanning page in its directory.
inline constexpr char PAGE_FILE_NAME[] = "index.html";

// A test star inside the search box, as the comparison saw it.
struct ComparedStar {
    double x = 0, y = 0;    // test image pixels
    double ra = 0, dec = 0; // radians
    bool matched = false;   // a reference star lies within the tolerance
    uint8_t flags = 0;      // the star finder's STAR_ bits
    bool saturated = false; // not a star of the finder: a core of saturated test pixels
};

// One comparison handed to vetting: both images with the world-coordinate frames the
// comparison read (null when an image's frame could not be read), the reference's stars
// (every star the finder found, reference pixels) and the test stars inside the box in
// the order the comparison lists its candidates.
struct ComparisonView {
    const FitsImage* reference = nullptr;
    const FitsImage* test = nullptr;
    const char* objectName = "";
    const char* referenceName = ""; // as given; the base name is printed
    const char* testName = "";
    const StarList* referenceStars = nullptr;
    const std::vector<ComparedStar>* testStars = nullptr;
    const WorldFrame* referenceFrame = nullptr;
    const WorldFrame* testFrame = nullptr;
};

// What vetting made of one test image: a verdict per unmatched test star (in the order
// of testStars, matched ones skipped), the catalogue rows, and the stamps written.
struct ImageVetting {
    std::vector<char> kept;       // 1 for each candidate the report keeps
    std::vector<CatalogRow> rows; // one per candidate
    int32_t stampsWritten = 0;
};

// Writes a rendered stamp (renderStamp) as a PNG file to path (writeOutputFile), unless
// path names one of options.inputFiles. 0, or -1 with "PATH: reason" in *message.
int writeStampFile(const VetOptions& options, const std::string& path,
                   const std::vector<uint8_t>& rgb, int32_t width, int32_t height,
                   std::string* message);

// Measures and judges every unmatched test star of the comparison, and writes its stamp
// to options.stampsDirectory as "<test base name>_<number>.png" when a directory is set.
// When pageStampsWanted, each row's page stamp is made too (reference and test panels:
// the catalogue comparison has no difference image).
// Returns 0 with *result filled; -1 with the reason in *message when a stamp cannot be
// written (*result then holds every verdict and row, and the stamps written before; the
// stamps after it are not tried).
int vetComparison(const VetOptions& options, const ComparisonView& view, ImageVetting* result,
                  std::string* message);

// Writes the catalogue, the region file, the per-image region files and the scanning page
// that the options name, from rows in run order.
// 0, or -1 with the file name and reason in *message.
// notes: the test images whose world-coordinate cards were partly set aside, for the
// catalogue's header (formatCatalogEcsv).
int writeVetOutputs(const VetOptions& options, const std::vector<CatalogRow>& rows,
                    const std::vector<ImageNote>& notes, double radiusArcsec, std::string* message);

// The same for a run of the difference method: its catalogue, with the images'
// registrations in its header, and its region file.
int writeDifferenceOutputs(const VetOptions& options,
                           const std::vector<ImageRegistration>& registrations,
                           const std::vector<DifferenceRow>& rows, double radiusArcsec,
                           std::string* message);

// Makes sure, before a run, that the outputs the options name can be written, leaving
// them as they are: the catalogue and region files (checkFileWritable) and the stamp,
// page and region directories, made when missing (checkDirectoryWritable). 0, or -1 with the name and
// reason in *message.
int prepareVetOutputs(const VetOptions& options, std::string* message);

// The vetting of a whole run: its options and the catalogue rows gathered so far.
struct VetSession {
    VetOptions options;
    std::vector<CatalogRow> rows;
};

// Vets each comparison into session->rows and keeps the candidates that pass (all of
// them without --vet). A stamp that cannot be written is reported on standard error
// as "newstars: <name>: <reason>" and the run goes on.
void vetIntoSession(VetSession* session, const ComparisonView& view, std::vector<char>* keep);

} // namespace newstars
