#pragma once
// The candidate history in the search: the candidates of a run recorded into the history
// database that --history names, with what it knows of each copied into the catalogue
// rows; and the history command, which marks known objects and imports page labels.

#include <cstdio>
#include <string>
#include <vector>

#include "history/history.hpp"
#include "vet/catalog.hpp"

namespace newstars {

// The difference flux of a candidate of the catalogue comparison: its test aperture flux
// less the forced reference flux scaled to the test image (flux_scale ref_flux), the test
// flux alone where the reference was not measured, NaN where the test was not.
double catalogDifferenceFlux(const CatalogRow& row);

// Records the run's candidates (recordRun), kept ones only (rejected ones are looked up:
// with vet, those vetting rejects; by difference, those with reasons), and fills each
// row's history. 0, or -1 with the reason in *message (rows untouched).
int recordRowsHistory(HistoryDatabase* database, double toleranceArcsec, bool vet,
                      std::vector<CatalogRow>* rows, std::string* message);
int recordRowsHistory(HistoryDatabase* database, double toleranceArcsec,
                      std::vector<DifferenceRow>* rows, std::string* message);

// newstars history [--known CATALOG] [--labels labels.csv] HISTORY (argv[0] "history"):
// adds the marks of every file named, all in one transaction, and prints one line per file
// ("FILE: N known objects marked", "FILE: N labels imported"); without a file, prints what
// the history holds. 0, or 1 with the reason on err.
int runHistoryCommand(int argc, char** argv, const char* programName, FILE* out, FILE* err);

} // namespace newstars
