#pragma once
// The scanning page of a night: one self-contained HTML file (stamps embedded as data URIs,
// script and style inline, no request leaves the page) listing every candidate with its
// stamps, verdict, score, signal-to-noise, magnitude change and position. The list sorts
// by any column and filters; keys label the current candidate real, bogus or skip and move
// on; the labels are saved as labels.csv (image, number, ra, dec, label), downloaded from
// the page, and kept in the browser's storage for that page between visits.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vet/catalog.hpp"
#include "vet/candidate_history.hpp"
#include "vet/stamps.hpp"

namespace newstars {

// One line of the page. Numbers that are not known are NaN and show blank.
struct PageCandidate {
    std::string image;      // test image name as printed (no directory)
    int32_t number = 0;     // within the test image, from 1
    double ra = 0, dec = 0; // degrees
    double x = 0, y = 0;    // test image pixels, from 0 at the first pixel's centre
    bool kept = true;
    std::string reasons; // why it is rejected, ";"-separated; empty when kept
    std::string flags;   // remarks, ";"-separated ("saturated"); empty: none
    double score = std::numeric_limits<double>::quiet_NaN(); // per-candidate score
    double snr = std::numeric_limits<double>::quiet_NaN();
    double magnitudeChange = std::numeric_limits<double>::quiet_NaN();
    PageStamp stamp; // panels that are empty are not shown
    CandidateHistory history; // shown when present
};

// The page's lines from the catalogue rows of either search. By catalogue: the S/N is the
// catalogue's snr (peak over noise) and the magnitude change
// -2.5 log10(flux / (flux_scale ref_flux)) where the forced reference flux reaches 5 times
// its error and both fluxes are above 0 (NaN elsewhere). By difference: the catalogue's
// snr, mag_change and score. The catalogue method has no score: it stays NaN.
std::vector<PageCandidate> pageCandidates(const std::vector<CatalogRow>& rows);
std::vector<PageCandidate> pageCandidates(const std::vector<DifferenceRow>& rows);

// The page as HTML text. title is shown at the top (escaped; it may hold any bytes).
// Names are written as the catalogue writes them (control characters and bytes that are
// not well-formed UTF-8 as "?") and reach the page only as text, never as markup: the
// candidates are a JSON array in a script element with "<", ">", "&" and the line
// separators U+2028 and U+2029 escaped. Positions are given as the catalogue gives them
// (10 decimals of a degree), and labels.csv repeats those texts.
std::string formatScanPage(const std::string& title, const std::vector<PageCandidate>& candidates);

// The standard base64 encoding of bytes, with "=" padding.
std::string base64Text(const std::vector<uint8_t>& bytes);

} // namespace newstars
