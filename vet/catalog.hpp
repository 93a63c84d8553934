#pragma once
// Machine-readable outputs of vetted candidates: an ECSV table (a CSV table behind a
// commented YAML header that names each column's type and unit) and a region file in
// world coordinates for image viewers.

#include <limits>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "vet/candidate_history.hpp"
#include "vet/stamps.hpp"
#include "vet/vetting.hpp"

namespace newstars {

// When a test image was taken, as the catalogue gives it: ISO 8601 UTC
// ("2022-11-02T13:50:17.456", the date alone when the header gives no time; empty when it
// gives neither) and the Modified Julian Date (NaN without a time).
struct ObservedAt {
    std::string iso;
    double mjd = std::numeric_limits<double>::quiet_NaN();
};

// The observation time of an image from its header (readObservationTime of
// fits/observation_time.hpp: DATE-OBS with TIME-OBS, else MJD-OBS, else DATE-BEG).
ObservedAt observedAt(const FitsImage& image);

// One candidate of a run as it goes into the catalogue and the region file.
struct CatalogRow {
    std::string object;    // the test image's OBJECT
    std::string image;     // test image name as printed (no directory)
    std::string reference; // reference image name as printed
    int32_t number = 0;    // the candidate's number within its test image, from 1
    double ra = 0;         // degrees, 0 <= ra < 360
    double dec = 0;        // degrees
    CandidateVetting vetting;
    ObservedAt observed;  // when the test image was taken
    StarStatistics stars; // of the test image the candidate belongs to
    PageStamp page;       // for the scanning page and the per-image region files; empty
                          // unless one of them is asked for
    CandidateHistory history; // with --history: what the history knows of it
};

// A test image whose comparison read world coordinates with cards set aside (see
// readWorldFrame of wcs/world_frame.hpp), for the catalogue's header.
struct ImageNote {
    std::string image;         // test image name as printed (no directory)
    std::string cardsSetAside; // "NAME: ..." for the test image and its reference, "; "-separated
};

// The whole catalogue as ECSV 1.0 text with "," as delimiter: the "# "-prefixed YAML
// header, the column-name line, one line per row in the given order. Positions are
// printed to 17 significant digits (pixels) and 10 decimals (degrees); the reasons of a
// kept candidate print as "none" (an empty text would read back as missing); the last two
// columns are the test image's observation time, obs_time and obs_mjd; numbers that
// could not be measured print as "nan"; text fields are quoted when they hold a
// comma, a quote, a blank or nothing (quotes doubled); control characters and bytes that
// are not well-formed UTF-8 become "?" (the table is UTF-8 text).
// With notes, the header's "meta" holds the list "images" of them, one entry per line
// ({image: ..., cards_set_aside: ...}, in the given order); without, it has no "meta".
std::string formatCatalogEcsv(const std::vector<CatalogRow>& rows,
                              const std::vector<ImageNote>& notes = {});

// The names of the catalogue's columns in order, as formatCatalogEcsv writes them.
const std::vector<std::string>& catalogColumnNames();

// One detection of the difference-imaging search as it goes into its catalogue and
// region file. Fluxes are in ADU of the test image; NaN where a figure is not known.
struct DifferenceRow {
    std::string object;    // the test image's OBJECT
    std::string image;     // test image name as printed (no directory)
    std::string reference; // reference image name as printed
    int32_t number = 0;    // within the test image, from 1, in the order of detection
    double x = 0, y = 0;   // test image pixels, from 0 at the first pixel's centre
    double ra = 0;         // degrees, 0 <= ra < 360
    double dec = 0;        // degrees
    double referenceX = 0, referenceY = 0; // reference pixels of the same position
    ObservedAt observed;                   // when the test image was taken
    std::string reasons;                   // why it is rejected, ";"-separated; empty: kept
    double flux = 0, fluxError = 0;        // on the difference, by a fit of the point spread
    double snr = 0;                        // flux / fluxError
    double peakSnr = 0;                    // matched-filter S/N at the detecting pixel
    double referenceFlux = 0;              // the same fit on the matched reference
    double magnitudeChange = 0;            // NaN when the reference flux is not significant
    double sharpness = 0, elongation = 0, dipole = 0;
    double score = std::numeric_limits<double>::quiet_NaN(); // real-bogus score, 0 to 1
    std::string flags; // remarks on the detection, ";"-separated ("saturated"); empty: none
    PageStamp page;    // as for CatalogRow
    CandidateHistory history; // as for CatalogRow
};

// How one test image of the difference-imaging search was registered and matched; the
// catalogue's header holds one per image, in run order.
struct ImageRegistration {
    std::string image, reference;   // names as printed
    bool refined = false;           // the star fit corrected the map from the coordinates
    std::string registration = "affine"; // the map used: "affine" (the star fit), "shift"
                                         // (too few stars for it), "coordinates" (too few
                                         // for a shift: the world coordinates alone)
    double coordinateOffset = 0; // largest distance between the map from the coordinates and
                                 // the one used, over the test image, reference pixels
    int32_t stars = 0;              // star pairs in the fit (kept)
    int32_t clipped = 0;            // star pairs clipped as outliers
    double rmsPixels = 0;           // rms of the kept pairs' distances, reference pixels
    double rmsArcsec = 0;           // the same on the sky
    double testFwhm = 0;            // seeing of the test image, pixels
    double referenceFwhm = 0;       // of the reference resampled onto the test grid, pixels
    bool referenceConvolved = true; // which image the kernel blurred
    int32_t kernelStamps = 0, kernelRejected = 0;
    double kernelChiSquare = 0; // per pixel, mean over the kept stamps
    std::string kernelFrom = "isolated-stars"; // the stamps: "isolated-stars",
                                // "matched-stars", "bright-pixels", "few-bright-pixels"
    double fluxScale = 0;       // reference flux per test flux
    double noiseScale = 0;      // robust deviation of the S/N map
    int32_t detections = 0, kept = 0;
    int64_t testCosmicPixels = 0;      // pixels taken for cosmic-ray hits or hot pixels:
    int64_t referenceCosmicPixels = 0; // masked in the test image, replaced in the reference
    // World-coordinate cards of either image set aside and what was used in their place
    // ("name: ..." per image, "; "-separated); "" when both headers were read whole.
    std::string cardsSetAside;
};

// In a difference catalogue's header, the line that opens the list of images and the
// start of each entry of it (one line per image). Catalogues of pieces of a night hold
// the same header but for these entries.
inline constexpr char IMAGE_LIST_LINE[] = "#   images:";
inline constexpr char IMAGE_ENTRY_START[] = "#   - ";

// The difference-imaging catalogue as ECSV 1.0 text, written as formatCatalogEcsv writes
// its own, with its own columns and, under "meta", "method: difference" and the list
// "images" of the registrations in the given order (an empty list reads as null). An
// entry ends with cards_set_aside only when its cardsSetAside is not empty.
std::string formatDifferenceCatalogEcsv(const std::vector<ImageRegistration>& images,
                                        const std::vector<DifferenceRow>& rows);

// The names of the difference catalogue's columns in order.
const std::vector<std::string>& differenceCatalogColumnNames();

// The region file of formatRegionFile for difference detections.
std::string formatDifferenceRegionFile(const std::vector<DifferenceRow>& rows, double radiusArcsec);

// A region file: the format line, the global settings and "fk5", then one circle of
// radiusArcsec per row at (ra, dec) in degrees, green for kept and red for rejected,
// labelled with the image name, the candidate's number and "kept" or the reasons.
// Braces and quotes in names are replaced by "_" so that labels stay well formed.
std::string formatRegionFile(const std::vector<CatalogRow>& rows, double radiusArcsec);

// A region file for one test image alone.
struct ImageRegionFile {
    std::string name; // file name: the image name with "/" as "_" ("_" when empty), then
                      // "-2", "-3", ... for the second, third ... image of that name, and ".reg"
    std::string text;
};

// One region file per test image, in pixel positions of that image (DS9's "image" system,
// the first pixel's centre at 1, 1): the format line, the global settings, "image", then
// a circle per row as formatRegionFile draws it, of radiusArcsec over the row's
// page.orientation.arcsecPerPixel pixels (3 pixels when its orientation is not known).
// The rows of one image follow each other in run order, numbered from 1: a row of the
// same name numbered no higher than the one before it starts another image. Images
// without rows get no file.
std::vector<ImageRegionFile> formatImageRegionFiles(const std::vector<CatalogRow>& rows,
                                                    double radiusArcsec);
std::vector<ImageRegionFile>
formatDifferenceImageRegionFiles(const std::vector<DifferenceRow>& rows, double radiusArcsec);

// Text as the catalogue writes it inside a field: control characters and bytes that are
// not well-formed UTF-8 as "?", nothing else changed.
std::string catalogText(const std::string& text);

} // namespace newstars
