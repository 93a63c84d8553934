#pragma once
// The candidate history: an SQLite database kept across runs that holds every kept
// candidate as a detection of a source, a source being one place on the sky seen in one
// or more test images. Each candidate of a run is matched by position (the run's match
// tolerance) to the sources of earlier runs and of the run's own images, so that a
// supernova seen on five nights is one source with five nights of difference flux, and
// a variable star or an artefact that comes back is recognised. Marks (a user's list of
// known objects, the labels saved from the scanning page) are kept beside the sources
// and flag the candidates that lie on them.
//
// A night is the UTC calendar date of the observation time less 12 hours: every image
// taken between 12:00 UTC on one day and 12:00 UTC on the next belongs to the night of
// the first day (nights of observatories in the Americas, Europe and Africa fall whole
// inside it). An image whose header gives only a date belongs to the night of that date.
//
// Writers take the database's write lock for one transaction per run (or per import): two
// runs writing at once follow each other, the second waiting up to HISTORY_BUSY_MS; a run
// that ends before its transaction commits leaves the database as it was. The journal is
// in write-ahead mode, so that readers never wait on a writer.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace newstars {

// How long a writer waits for another one to finish, milliseconds.
inline constexpr int HISTORY_BUSY_MS = 120000;

// The layout of the database this code writes (SQLite's user_version).
inline constexpr int HISTORY_SCHEMA_VERSION = 1;

// An open history database; move only.
class HistoryDatabase {
public:
    HistoryDatabase() = default;
    HistoryDatabase(const HistoryDatabase&) = delete;
    HistoryDatabase& operator=(const HistoryDatabase&) = delete;
    HistoryDatabase(HistoryDatabase&& other) noexcept;
    HistoryDatabase& operator=(HistoryDatabase&& other) noexcept;
    ~HistoryDatabase();
    void* handle = nullptr; // sqlite3*
};

// Opens the history at path, creating the file and its tables when it does not exist.
// Refuses (-1 with "PATH: reason" in *message, nothing written) a path that exists and is
// not a regular file, a file that is not an SQLite database, and a database of another
// layout than HISTORY_SCHEMA_VERSION (one holding tables of some other program). 0 with
// *database open otherwise.
int openHistory(const std::string& path, HistoryDatabase* database, std::string* message);

// One kept candidate of a run, as it goes into the history.
struct HistoryDetection {
    std::string image;      // test image name as printed (no directory)
    int32_t number = 0;     // within the test image, from 1
    double ra = 0, dec = 0; // degrees
    std::string observed;   // ISO 8601 UTC observation time ("" when not known)
    double mjd = std::numeric_limits<double>::quiet_NaN(); // of the observation
    double flux = std::numeric_limits<double>::quiet_NaN(); // difference flux, ADU
    bool kept = true; // false: looked up, not recorded (a candidate vetting rejected)
};

// A night's point of a source's light curve: the mean of the finite difference fluxes
// of its detections that night (NaN when none has one).
struct NightFlux {
    std::string night; // YYYY-MM-DD
    double flux = std::numeric_limits<double>::quiet_NaN();
    int32_t detections = 0;
};

// What the history knows of a candidate after its run was recorded.
struct HistoryEntry {
    int64_t source = 0;     // the source's id; 0 for a rejected candidate that matched none
    std::string firstSeen;  // observation time of its earliest detection ("" unknown)
    int32_t timesSeen = 0;  // detections (test images) of the source, this run's included
    int32_t nights = 0;     // distinct nights among them
    std::vector<NightFlux> lightCurve; // one point per night, nights in order
    std::string label;      // the latest label of the scanning page on it, "" when none
    std::string known;      // the name of a known object on it ("" when none)
    bool flagged = false;   // labelled bogus, or known
};

// The night of an observation (see above): "YYYY-MM-DD" from its Modified Julian Date, or
// when that is not finite from the date that starts the ISO text; "" when neither gives one.
std::string observationNight(double mjd, const std::string& iso);

// Records a run: in one transaction, matches every detection in order to the nearest
// source closer than toleranceArcsec (the sources of earlier runs and those this run has
// made so far), makes a new source for a kept detection that matches none, and records
// each kept one (a detection of the same image and observation time already recorded for
// that source, from an earlier run of the same image, is replaced rather than counted
// again). Then fills one entry per detection, in order. The sky positions of sources are
// those of their first detection. 0, or -1 with the reason in *message and the database
// as it was.
int recordRun(HistoryDatabase* database, const std::vector<HistoryDetection>& detections,
              double toleranceArcsec, std::vector<HistoryEntry>* entries, std::string* message);

// A mark on the sky: a known object of a user's list, or a label of the scanning page.
struct HistoryMark {
    double ra = 0, dec = 0; // degrees
    std::string kind;       // "known", or a label: "real", "bogus", "skip"
    std::string name;       // the known object's name; for a label "image:number"
};

// Adds marks in one transaction. 0, or -1 with the reason and nothing added.
int addMarks(HistoryDatabase* database, const std::vector<HistoryMark>& marks,
             std::string* message);

// What a history holds.
struct HistorySummary {
    int64_t runs = 0, sources = 0, detections = 0, known = 0, labels = 0;
};

// Counts the history's records. 0, or -1 with the reason.
int summarizeHistory(HistoryDatabase* database, HistorySummary* summary, std::string* message);

// Angular distance between two sky positions, arcseconds (degrees in).
double skySeparationArcsec(double ra1, double dec1, double ra2, double dec2);

} // namespace newstars
