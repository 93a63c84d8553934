#pragma once
// The search by difference imaging: each test image minus its reference, registered and
// matched in point spread, and the new sources on the difference as candidates.

#include <string>
#include <vector>

#include "diff/difference.hpp"
#include "fits/fits_image.hpp"
#include "search/compare.hpp"
#include "search/vetting.hpp"
#include "sky/reference_table.hpp"
#include "vet/catalog.hpp"

namespace newstars {

// Takes the options of the search method from the front of the arguments (after the
// program name), removing them: "--method catalog|difference" and "--threshold S" (the
// S/N a difference detection needs, a finite number above 0), each also as
// "--name=value". Stops at the first other argument. 0 with *run set; -1 with the reason
// in *message (arguments then undefined).
int takeMethodOptions(std::vector<char*>* arguments, SearchRun* run, std::string* message);

// What the difference search of one test image leaves for the run's catalogue and
// region file.
struct DifferenceOutputs {
    std::vector<DifferenceRow> rows;              // every detection, kept or rejected
    std::vector<ImageRegistration> registrations; // the image's, once the pipeline ran
};

// Searches a test image by difference imaging against its reference: the reference is
// mapped onto the test image's pixels through both images' world-coordinate cards, the
// map refined on stars of both, resampled, matched in point spread and subtracted, and the
// positive sources on the difference at run->differenceThreshold that pass its shape and
// dipole tests, inside the box shrunk by the tolerance, become candidate lines, in the
// order of their pixels (rows, then columns). The summary line goes to the log's standard
// output as reportComparison writes it; its star counts are the stars found in each image
// inside the box, as there. With vetting set (null: none) every detection inside the box,
// kept or rejected, is numbered from 1 in that order and becomes a row of *outputs, the
// registration of the image its entry there, and with a stamp directory a stamp is
// written per detection, "<test base name>_<number>.png", from the pipeline's matched
// reference and difference (writeStampFile). The report is the same with vetting set or
// not: rejected detections never enter it. Returns 0; -1 when the pipeline fails
// ("<test>: <reason>" in the log's standard error, no summary line, no candidate, row or
// entry added); -2 when a stamp cannot be written ("newstars: <name>: <reason>" in the
// log's standard error, no more stamps of the image tried, the rest done as for 0), which
// should end the run. When kept is given, the pipeline's result (difference, noise and
// matched reference images, mask, registration) is moved there once the pipeline ran.
int compareImagesByDifference(SearchRun* run, const SearchBox& box, const FitsImage* reference,
                              const FitsImage* test, const char* referenceName,
                              const char* testName, const char* objectName, ImageLog* log,
                              const VetOptions* vetting = nullptr,
                              DifferenceOutputs* outputs = nullptr,
                              DifferenceResult* kept = nullptr);

} // namespace newstars
