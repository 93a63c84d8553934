#pragma once
// The files that put marks into the history: a user's list of known objects (variable
// stars, galaxies' nuclei, asteroids' places), and the labels saved from the scanning page.

#include <string>
#include <vector>

#include "history/history.hpp"

namespace newstars {

// Reads a list of known objects as marks of kind "known":
//  - an ECSV table (its "# delimiter:" line, a space without one) or a CSV table (","), whose
//    first line that is not a "#" comment names the columns;
//  - a FITS binary or ASCII table, the first table extension.
// Right ascension is the column named ra, raj2000, ra_icrs, ra_deg or alpha (any case),
// declination dec, dej2000, decj2000, de_icrs, dec_deg or delta; in degrees, or in a text
// table sexagesimal ("12:34:56.7" hours of right ascension, "-01:02:03" degrees of
// declination). The name is the column name, id, object, main_id or designation when
// there is one, else "LINE" or "ROW" (its line in the file, its row in the table).
// Lines or rows without a position are refused with their number, as is a file without
// both columns. 0 with the marks appended, or -1 with "PATH: reason" (marks untouched).
int readKnownObjects(const std::string& path, std::vector<HistoryMark>* marks,
                     std::string* message);

// Reads the labels saved from the scanning page (labels.csv: the columns image, number,
// ra, dec, label, in any order; ra and dec in degrees), one mark per line of kind real,
// bogus or skip, named "image:number". Any other label is refused with its line number.
// 0 with the marks appended, or -1 with "PATH: reason" (marks untouched).
int readPageLabels(const std::string& path, std::vector<HistoryMark>* marks,
                   std::string* message);

// One line of a delimited text table split into its fields: "," splits at each comma,
// " " at each run of blanks (leading and trailing blanks ignored); a field in double
// quotes may hold the delimiter, "" standing for a quote. False for a quote left open.
bool splitTableLine(const std::string& line, char delimiter, std::vector<std::string>* fields);

// Reads a sky coordinate: degrees as a decimal number, or sexagesimal "a:b:c" (or
// "a b c") in hours when hours is true (right ascension), in degrees otherwise, a sign
// allowed before the first field. False for any other text, or a value outside
// 0 <= ra < 360 or -90 <= dec <= 90.
bool parseSkyCoordinate(const std::string& text, bool hours, double* degrees);

} // namespace newstars
