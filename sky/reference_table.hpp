#pragma once
// The reference table: for each object, the sky box to search and its reference image.
//
// One entry per line, six fields separated by white space:
//   object  ERA  NDec  WRA  SDec  reference-image
// with right ascensions in hours and declinations in degrees, sexagesimal or decimal.
// Only lines starting with an ASCII letter or digit are entries; all others are comments.

#include <cstdio>
#include <string>

#include "sky/sky_status.hpp"

namespace newstars {

// The sky box of the current table entry, all angles in radians.
struct SearchBox {
    double ERA = 0;       // right ascension of the east edge
    double NDec = 0;      // declination of the north edge
    double WRA = 0;       // right ascension of the west edge
    double SDec = 0;      // declination of the south edge
    double cosMidDec = 1; // cosine of the mean of SDec and NDec
};

// Tells whether (ra, dec) lies inside box shrunk by margin on every side, bounds
// included: box->WRA + margin <= ra <= box->ERA - margin and likewise in declination.
// A box whose west edge lies east of its east edge (box->WRA > box->ERA) crosses 0h: it
// holds the right ascensions from WRA eastward through 0h to ERA, whatever whole turns
// ra carries, each edge moved inward by margin. All in radians. Any NaN involved counts
// as outside.
bool inSearchBox(const SearchBox* box, double ra, double dec, double margin);

// The six fields of one table entry, as written in the table.
struct ReferenceEntry {
    std::string objectName;
    std::string eastRa;        // hours
    std::string northDec;      // degrees
    std::string westRa;        // hours
    std::string southDec;      // degrees
    std::string referenceName; // reference image file, as written
};

// Splits line in place into fields separated by runs of blank, tab, newline, vertical
// tab, form feed or carriage return: the first white-space character after each field
// is overwritten with a terminator. The first field always starts at line[0].
//   starts  receives the start of the first six fields (room for 6 pointers)
// Returns the number of fields, counting beyond six.
int splitFields(char* line, char** starts);

// Whether two object names are the same, ignoring ASCII letter case and blanks:
// "NGC1316" names the same object as "ngc 1316".
bool sameObjectName(const char* a, const char* b);

// Reads table lines, each whole whatever its length, from the stream's current position
// up to the next entry whose object name is objectName (sameObjectName). On finding
// one, stores its fields in *entry, its sky box (converted to radians) in *box, leaves
// the stream just after that line and returns SkyStatus::Ok. Otherwise *entry and *box
// are untouched, and the status is:
//   EndOfTable       the end of the table came first (*message untouched)
//   MalformedTable   in *message the text to show on standard error (line end included
//                    where one is due):
//     "Ref file line must contain 6 fields: FIRST-FIELD"  an entry (of any object) read
//                                                        on the way without six fields
//     "Bad FIELD for OBJECT: TEXT\n"  a sky field of the matching entry without a number,
//                                     or too large to give a finite angle
//   UnreadableTable  the stream cannot be read (or memory for a line runs out):
//     "Can not read the reference table: <system text>\n" in *message
SkyStatus findReferenceEntry(FILE* table, const char* objectName, SearchBox* box,
                             ReferenceEntry* entry, std::string* message);

// As findReferenceEntry, but the entry read up to is the next whose sky box holds the
// position (ra, dec), radians (inSearchBox, no margin), whatever its object. Every entry
// read on the way needs its sky fields: one without a number is refused (MalformedTable,
// "Bad FIELD for OBJECT: TEXT\n", OBJECT the line's own).
SkyStatus findReferenceEntryAt(FILE* table, double ra, double dec, SearchBox* box,
                               ReferenceEntry* entry, std::string* message);

} // namespace newstars
