#pragma once
// What the catalogue and the scanning page show of a candidate's history (kept by the
// history library): when it was first seen, how often and on how many nights, its
// difference flux night by night (on the page a small light curve), the label it was
// given before and whether a label or a user's list of known objects flags it.

#include <cstdint>
#include <string>
#include <vector>

namespace newstars {

// One point of a light curve: a night (YYYY-MM-DD) and the mean difference flux that
// night, ADU (NaN when none was measured).
struct LightCurvePoint {
    std::string night;
    double flux = 0;
};

struct CandidateHistory {
    bool present = false; // false: the run keeps no history; no such columns are shown
    int64_t source = 0;   // the history's number of the source; 0 when not recorded
    std::string firstSeen; // ISO 8601 UTC, "" when not known
    int32_t timesSeen = 0;
    int32_t nights = 0;
    std::vector<LightCurvePoint> lightCurve; // nights in order
    std::string label;                      // "" when never labelled
    std::string known;                      // a known object's name, "" when none
    bool flagged = false;
};

// The history of a candidate as a JSON object for the page's data (texts cleaned and
// escaped as the page's own, numbers to 6 significant digits, null when not finite).
std::string candidateHistoryJson(const CandidateHistory& history);

// The names of the columns addHistoryColumns appends, in order.
const std::vector<std::string>& historyColumnNames();

// The catalogue text (formatCatalogEcsv or formatDifferenceCatalogEcsv) with the history's
// columns appended: their entries at the end of the header's column list, their names on
// the column-name line, and on each data line, in order, those of histories[i]:
//   history_source (int64), first_seen, times_seen (int32), nights (int32),
//   light_curve ("NIGHT:FLUX" per night, ";"-separated, flux to 6 digits or "nan"),
//   label, known, flagged (bool).
// Texts that are empty (not known, none) are written as "" and read as missing.
// 0 with *text replaced, or -1 (text untouched) when the lines are not those of such a
// table or their number is not that of the histories.
int addHistoryColumns(const std::vector<CandidateHistory>& histories, std::string* text);

// The script that adds the history's columns (first seen, seen, nights, light curve,
// before) to the page; it runs before the page's own script, which draws the columns
// that window.newstarsColumns lists.
extern const char PAGE_HISTORY_SCRIPT[];

} // namespace newstars
