#pragma once
// Machine-readable outputs of vetted candidates: an ECSV table (a CSV table behind a
// commented YAML header that names each column's type and unit) and a region file in
// world coordinates for image viewers.

#include <string>
#include <vector>

#include "vet/vetting.hpp"

namespace newstars {

// One candidate of a run as it goes into the catalogue and the region file.
struct CatalogRow {
    std::string object;    // the test image's OBJECT
    std::string image;     // test image name as printed (no directory)
    std::string reference; // reference image name as printed
    int32_t number = 0;    // the candidate's number within its test image, from 1
    double ra = 0;         // degrees, 0 <= ra < 360
    double dec = 0;        // degrees
    CandidateVetting vetting;
    StarStatistics stars; // of the test image the candidate belongs to
};

// The whole catalogue as ECSV 1.0 text with "," as delimiter: the "# "-prefixed YAML
// header, the column-name line, one line per row in the given order. Positions are
// printed to 17 significant digits (pixels) and 10 decimals (degrees); the reasons of a
// kept candidate print as "none" (an empty text would read back as missing); numbers that
// could not be measured print as "nan"; text fields are quoted when they hold a
// comma, a quote, a blank or nothing (quotes doubled); control characters and bytes that
// are not well-formed UTF-8 become "?" (the table is UTF-8 text).
std::string formatCatalogEcsv(const std::vector<CatalogRow>& rows);

// The names of the catalogue's columns in order, as formatCatalogEcsv writes them.
const std::vector<std::string>& catalogColumnNames();

// A region file: the format line, the global settings and "fk5", then one circle of
// radiusArcsec per row at (ra, dec) in degrees, green for kept and red for rejected,
// labelled with the image name, the candidate's number and "kept" or the reasons.
// Braces and quotes in names are replaced by "_" so that labels stay well formed.
std::string formatRegionFile(const std::vector<CatalogRow>& rows, double radiusArcsec);

} // namespace newstars
