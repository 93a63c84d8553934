#pragma once
// A reference image and test images compared without a reference table: the sky box of
// each comparison is the sky both images cover, and the object is the test image's own.

#include <string>

#include "fits/fits_image.hpp"
#include "search/image_file.hpp"
#include "search/image_log.hpp"
#include "sky/reference_table.hpp"
#include "wcs/world_frame.hpp"

namespace newstars {

// Pixels along an image's edges where the star finder misses stars: it scans no pixel
// within 32 of the edge, and the windows that set its threshold reach 20 pixels further
// (into the band it fills). The search box of a pair stays this far inside both images.
constexpr int PAIR_EDGE_PIXELS = 52;

enum class PairBoxStatus {
    Ok = 0,
    NoCommonSky,   // the images' fields do not overlap (or only by less than the tolerance)
    HoldsPole,     // a field holds a celestial pole: no box of right ascension fits it
    CrossesRaZero, // the frames give the sky in common right ascensions a whole turn apart
    EdgeOffSky,    // a point of an image's edge has no sky position
    NoBoxInside,   // no box of right ascension and declination fits inside both fields
};

// The text for a status, for the program to print beside the test image's name.
const char* pairBoxStatusText(PairBoxStatus status);

// One image's field: its world-coordinate frame and its size in pixels.
struct ImageField {
    const WorldFrame* frame = nullptr;
    int width = 0, height = 0;
};

// The search box of a pair of images: the largest box of right ascension and declination
// (area on the sky) found inside the part of both fields where stars are found (the
// image less PAIR_EDGE_PIXELS pixels along every edge), then shrunk by tolerance
// (radians) on every side, on the sky. Each field's edge is followed through its frame
// at 64 points a side; every level of declination of the common sky is tried as the
// box's south and north edge (129 levels), and the box is checked by mapping 64 points
// of each of its sides back onto both images.
// Right ascensions lie in [0, 2 pi); a box reaching past 0h has its west edge east of its
// east edge (WRA > ERA), which inSearchBox holds modulo a turn. A box that does not cross
// 0h must be given by both frames as it is (a frame whose reference lies across 0h gives
// right ascensions a turn higher there): CrossesRaZero otherwise. The box is given as
// the reference table would give it from its line (formatBoxFields), so that a table run
// with that line searches exactly the same box.
// Ok and *box set; otherwise the reason, *box untouched.
PairBoxStatus commonSearchBox(const ImageField& reference, const ImageField& test,
                              double tolerance, SearchBox* box);

// The four sky fields of a table line for box ("ERA NDec WRA SDec": hours and degrees,
// decimal, 10 decimals), which the table reads back into the box commonSearchBox gives.
std::string formatBoxFields(const SearchBox& box);

// The sky position of an image's centre (pixel ((width - 1) / 2, (height - 1) / 2)),
// right ascension in [0, 2 pi). Ok, or the frame's reason (outputs untouched).
WcsStatus imageCentre(const FitsImage& image, WcsMode mode, double* ra, double* dec);

// The reference image of a pair run, read once at the start: its name as given and its
// header (cards and size; no pixels).
struct PairReference {
    std::string name;
    FitsImage header;
};

// Opens the reference image of a pair run as reading says (openImage) and reads it, keeping
// its header and size: 0 with *reference set;
// -1 with the text for standard error in *message ("NAME: REASON", no line end) when it
// does not open or read, is under 65 pixels on a side, has no world coordinates in mode,
// or its own field gives no search box (commonSearchBox of the image with itself, at
// tolerance). What a decompressor writes goes to *log.
int readPairReference(const char* name, WcsMode mode, double tolerance,
                      const ImageReading& reading, PairReference* reference, std::string* message,
                      ImageLog* log);

// The reference entry of a test image in a pair run: the object is the test image's
// objectName when it has one (not blank), else the test file's base name; the box is
// commonSearchBox of both images' fields, each frame read in mode. 0 with *objectName,
// *box and *entry (object and reference names) set; -1 with the text for standard error
// in *message ("TEST: REASON", no line end) when the test image has no world coordinates
// or the pair no box.
int pairEntry(const PairReference& reference, const FitsImage& test, const char* testName,
              WcsMode mode, double tolerance, std::string* objectName, SearchBox* box,
              ReferenceEntry* entry, std::string* message);

// Options of the pair and table runs that the other has not, taken when at argv[1]:
//   pair runs   --tolerance ARCSEC (text kept in *toleranceText)
//   table runs  --match object|position (*matchPosition)
// "--name value" and "--name=value" alike. 0 with *used the words taken (0 when argv[1]
// is none of them); -1 with the reason in *message for a missing or unknown value.
int takePairOption(int argc, char** argv, bool pairRun, const char** toleranceText,
                   bool* matchPosition, int* used, std::string* message);

} // namespace newstars
