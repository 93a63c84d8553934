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

// One candidate line of the report: object, test image base name and position.
struct ReportCandidate {
    std::string object;
    std::string image;
    double raHours = 0;
    double decDegrees = 0;
};

// Reads truth.txt (lines starting with # are comments). 0, or -1 with the reason (file
// name and error, or the line that does not parse) in *message.
int readTruthFile(const char* path, std::vector<TruthSource>* sources, std::string* message);

// Reads the candidate lines of a report: every non-empty line after the form-feed line.
// 0, or -1 with the reason in *message (no form-feed line, or a line that does not parse).
int readReportCandidates(const char* path, std::vector<ReportCandidate>* candidates,
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

// Matches candidates to truth sources of the same object and image (base name) within
// toleranceArcsec by candidateDistance.
RecoveryCounts countRecovered(const std::vector<TruthSource>& sources,
                              const std::vector<ReportCandidate>& candidates,
                              double toleranceArcsec);
