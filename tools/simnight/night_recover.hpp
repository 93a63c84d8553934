#pragma once
// Checking a search report against the truth file of a simulated night: which injected
// sources the candidate lines recovered.

#include <string>
#include <vector>

// One line of truth.txt.
struct TruthSource {
    std::string object;
    std::string image;
    double raHours = 0;
    double decDegrees = 0;
    double peak = 0;  // ADU above the sky
    double sky = 0;   // ADU
    double sigma = 0; // sky noise, ADU
    double x = 0;
    double y = 0;
    bool inBox = false;
};

// One candidate line of the report (object, test image base name and position), or one
// row of a candidate catalogue, which adds the verdict.
struct ReportCandidate {
    std::string object;
    std::string image;
    double raHours = 0;
    double decDegrees = 0;
    bool rejected = false; // rejected by vetting (catalogue rows only)
};

// One line of causes.txt: a place in one test image that may give a false candidate, as a
// segment on the sky (both ends equal for a point).
struct CauseSegment {
    std::string cause;
    std::string object;
    std::string image;
    double raHours0 = 0, decDegrees0 = 0, raHours1 = 0, decDegrees1 = 0;
};

// Reads truth.txt (lines starting with # are comments). 0, or -1 with the reason (file
// name and error, or the line that does not parse) in *message.
int readTruthFile(const char* path, std::vector<TruthSource>* sources, std::string* message);

// Reads the candidate lines of a report: every non-empty line after the form-feed line,
// up to a second form-feed line (after which a report holds its track lines).
// 0, or -1 with the reason in *message (no form-feed line, or a line that does not parse).
int readReportCandidates(const char* path, std::vector<ReportCandidate>* candidates,
                         std::string* message);

// Reads causes.txt (lines starting with # are comments). 0, or -1 with the reason in
// *message.
int readCausesFile(const char* path, std::vector<CauseSegment>* causes, std::string* message);

// Reads the rows of a candidate catalogue: CSV after its "#" lines, the first line naming
// the columns, of which object, image, ra (degrees), dec (degrees) and verdict are used;
// fields may be quoted with doubled quotes inside. 0, or -1 with the reason in *message.
int readCatalogCandidates(const char* path, std::vector<ReportCandidate>* candidates,
                          std::string* message);

// Splits a candidate line into object, image, right ascension (hh:mm:ss.s) and
// declination ([-]dd:mm:ss). true when all four fields are there and both positions parse.
bool parseCandidateLine(const std::string& line, ReportCandidate* candidate);

// Reads [-]a[:b[:c]] as a + b/60 + c/3600, the sign applying to the whole. true when the
// whole text is used.
bool parseSexagesimalText(const std::string& text, double* value);

// Smallest angular distance, arcseconds, between the truth position and any position
// that prints as the candidate's text: right ascension is printed to 0.1 s of time
// (0.75 arcseconds of right ascension either side) and declination to 1 arcsecond.
double candidateDistance(const ReportCandidate& candidate, double raHours, double decDegrees);

// A source the search must find: peak at least 20 sky noise units, peak plus sky well
// below saturation, inside the sky box (which keeps it away from the image edges).
bool clearlyDetectable(const TruthSource& source);

// The counts of a comparison of report and truth.
struct RecoveryCounts {
    int injected = 0;
    int recovered = 0;
    int detectable = 0;
    int detectableRecovered = 0;
    int candidates = 0;
    int unmatchedCandidates = 0; // candidates that match no injected source
};

// Candidates by what gave them: "injected" when they match an injected source as
// countRecovered does, else the nearest cause of the same object and image within
// CAUSE_RADIUS_ARCSEC of the segment (allowing for the report's rounding), else "other";
// each kept and rejected apart. Also the injected sources with a peak of at least
// 10 noise units found by some candidate, and those of them whose every candidate was
// rejected.
inline constexpr double CAUSE_RADIUS_ARCSEC = 2.5;
struct CauseScore {
    std::vector<std::string> causes; // in order of first appearance, "injected" first
    std::vector<int> kept, rejected;
    int brightFound = 0;
    int brightRejected = 0;
};
CauseScore scoreByCause(const std::vector<TruthSource>& sources,
                        const std::vector<CauseSegment>& causes,
                        const std::vector<ReportCandidate>& candidates, double toleranceArcsec);

// The score as a table: a heading, a line per cause (name, kept, rejected), the totals,
// and a line on the bright injected sources.
std::string formatCauseTable(const CauseScore& score);

// Matches candidates to truth sources of the same object and image (base name) within
// toleranceArcsec by candidateDistance.
RecoveryCounts countRecovered(const std::vector<TruthSource>& sources,
                              const std::vector<ReportCandidate>& candidates,
                              double toleranceArcsec);
