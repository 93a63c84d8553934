#include "search/options.hpp"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef NEWSTARS_VERSION
#define NEWSTARS_VERSION "unknown"
#endif

namespace newstars {

namespace {

// A threshold option and the parameter it sets.
struct Threshold {
    const char* name;
    double VetParams::*parameter;
    const char* help;
};

const Threshold THRESHOLDS[] = {
    {"--sharp", &VetParams::sharpSpreads,
     "reject as sharp: sharpness below the stars' median by\n"
     "                      more than N spreads"},
    {"--elongation", &VetParams::elongationSpreads,
     "reject as elongated: elongation above the stars' median\n"
     "                      by more than N spreads"},
    {"--reference-snr", &VetParams::referenceSnr,
     "reject as in-reference: a forced reference flux of N\n"
     "                      errors or more ..."},
    {"--brightening", &VetParams::brighteningFactor,
     "... unless the test flux reaches N times the reference\n"
     "                      flux scaled to the test image"},
    {"--saturation-fwhm", &VetParams::saturationFwhm,
     "reject as saturated-reference: a saturated reference\n"
     "                      pixel within N times the stars' FWHM"},
};

// A whole decimal number, finite and above 0, all of the text used.
bool parsePositive(const char* text, double* value)
{
    if (*text == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || !(v > 0))
        return false;
    *value = v;
    return true;
}

// A whole decimal number that a float holds finite, all of the text used.
bool parseNoDataValue(const char* text, float* value)
{
    if (*text == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || std::fabs(v) > FLT_MAX)
        return false;
    *value = static_cast<float>(v);
    return true;
}

} // namespace

int optionValue(int argc, char* const* argv, const char* name, const char** value, int* used)
{
    const size_t length = std::strlen(name);
    const char* word = argv[1];
    if (std::strncmp(word, name, length) != 0)
        return 0;
    if (word[length] == '=') {
        *value = word + length + 1;
        *used = 1;
        return 1;
    }
    if (word[length] != '\0')
        return 0;
    *value = argc > 2 ? argv[2] : nullptr;
    *used = 2;
    return 1;
}

int takeRunOption(int argc, char** argv, RunOptions* options, int* used, std::string* message)
{
    *used = 0;
    if (argc < 2 || argv[1] == nullptr)
        return 0;
    std::string name = argv[1];
    if (name == "--") {
        options->endOfOptions = true;
        *used = 1;
        return 0;
    }
    if (name.rfind("--", 0) != 0)
        return 0;
    const char* value = nullptr;
    int words = 1;
    const size_t equals = name.find('=');
    if (equals != std::string::npos) {
        value = argv[1] + equals + 1;
        name.resize(equals);
    }
    bool* flag = name == "--help"      ? &options->help
                 : name == "--version" ? &options->version
                 : name == "--vet"     ? &options->vetting.vet
                 : name == "--strict"  ? &options->strict
                 : name == "--link-moving" ? &options->linkMoving
                                       : nullptr;
    if (flag != nullptr) {
        if (value != nullptr) {
            *message = name + " takes no value";
            return -1;
        }
        *flag = true;
        *used = 1;
        return 0;
    }
    std::string* path = name == "--catalog"             ? &options->vetting.catalogPath
                        : name == "--regions"           ? &options->vetting.regionsPath
                        : name == "--stamps"            ? &options->vetting.stampsDirectory
                        : name == "--page"              ? &options->vetting.pageDirectory
                        : name == "--regions-per-image" ? &options->vetting.regionsDirectory
                        : name == "--history"           ? &options->vetting.historyPath
                                                        : nullptr;
    const Threshold* threshold = nullptr;
    for (const Threshold& t : THRESHOLDS) {
        if (name == t.name)
            threshold = &t;
    }
    const bool noData = name == "--no-data";
    if (path == nullptr && threshold == nullptr && !noData) {
        *message = "unknown option " + name;
        return -1;
    }
    if (value == nullptr) {
        if (argc < 3 || argv[2] == nullptr) {
            *message = name + " needs a value";
            return -1;
        }
        value = argv[2];
        words = 2;
    }
    if (noData) {
        if (!parseNoDataValue(value, &options->reading.noDataValue)) {
            *message = name + " needs a finite number, not `" + value + "'";
            return -1;
        }
        options->reading.noDataValueSet = true;
    } else if (path != nullptr) {
        if (*value == '\0') {
            *message = name + " needs a name";
            return -1;
        }
        *path = value;
    } else if (!parsePositive(value, &(options->vetting.params.*(threshold->parameter)))) {
        *message = name + " needs a number above 0, not `" + value + "'";
        return -1;
    }
    *used = words;
    return 0;
}

void printHelp(const char* programName)
{
    std::printf("usage: %s [options] arcsec_sep config_file test1.fts [test2.fts ...]\n"
                "       %s [options] -f file_of_files arcsec_sep config_file\n"
                "       %s pair [options] reference.fts test1.fts [test2.fts ...]\n"
                "       %s pair [options] -f file_of_files reference.fts\n"
                "       %s history [--known CATALOG] [--labels labels.csv] HISTORY\n"
                "Reports the stars of each test image that have no reference star within\n"
                "arcsec_sep arcseconds, inside the sky box that config_file gives its object\n"
                "(a box whose WRA exceeds its ERA crosses 0h). The summary shows DATE-OBS and\n"
                "TIME-OBS, or without DATE-OBS the time of MJD-OBS, else of DATE-BEG.\n"
                "pair: the same without a table: each test image against reference.fts,\n"
                "inside the sky both cover; the object is the test image's OBJECT (its file\n"
                "name when it has none).\n"
                "history: marks a list of known objects (ECSV, CSV or FITS table with ra\n"
                "and dec columns), or imports labels.csv from the scanning page, in the\n"
                "history; candidates on a known object or one labelled bogus are flagged\n"
                "in later runs. Without a file, counts what HISTORY holds.\n"
                "options (before the other arguments, in any order; \"--\" ends them):\n"
                "  --wcs MODE          how world coordinates are read: auto (default), classic\n"
                "                      (CDELT/CROTA2 cards, pixels as CRPIX is written) or\n"
                "                      fits (the FITS standard, first pixel's centre at 1;\n"
                "                      the default of pair); positions are ICRS, FK4\n"
                "                      (B1950) headers converted\n"
                "  --tolerance ARCSEC  pair only: the match tolerance (default 2)\n"
                "  --match HOW         table runs only: object (default: the line naming the\n"
                "                      test image's OBJECT) or position (that, else the first\n"
                "                      line whose box holds the test image's centre)\n"
                "  -j N                test images compared at once (default: one per\n"
                "                      processor; the report is the same), lowered when\n"
                "                      the memory available would not hold them\n"
                "  --method NAME       catalog (default: star lists compared) or difference\n"
                "                      (reference matched to the test image and subtracted)\n"
                "  --threshold S       signal-to-noise a source on the difference image needs\n"
                "                      (default 5; --method difference only)\n"
                "  --background-cell N pixels per side of the cells of each image's\n"
                "                      background mesh (default 256; 0: none taken out;\n"
                "                      --method difference only)\n"
                "  --min-score S       real-bogus score, 0 to 1, a difference candidate needs\n"
                "                      (default 0.5; 0: every score; --method difference\n"
                "                      only); the catalogue holds every detection's score\n"
                "  --part K/N          search only the K-th of N consecutive pieces of the\n"
                "                      test image list; the report's first line names the\n"
                "                      piece and the night, for merge\n"
                "  --no-data V         pixels of value V hold no data (images of every\n"
                "                      type but 16-bit; NaN and BLANK pixels never\n"
                "                      hold data either)\n"
                "  --vet               leave out the candidates that vetting rejects (the\n"
                "                      summary's count is then the kept count)\n"
                "  --catalog FILE      every candidate with its measurements, verdict and\n"
                "                      reasons and the test image's observation time, as\n"
                "                      an ECSV table\n"
                "  --regions FILE      a region file of the candidates (fk5; kept green,\n"
                "                      rejected red)\n"
                "  --stamps DIR        a PNG per candidate: reference, test, difference\n"
                "                      (with --method difference: every detection, kept or\n"
                "                      rejected by the pipeline, which the report never\n"
                "                      holds, so --vet changes nothing; see the README)\n"
                "  --page DIR          the night's scanning page, DIR/index.html: every\n"
                "                      candidate with its stamps, sortable and filterable;\n"
                "                      keys label them real, bogus or skip, saved as\n"
                "                      labels.csv from the page\n"
                "  --regions-per-image DIR  a region file per test image in its pixels\n"
                "                      (counted from 1), DIR/<test image>.reg\n"
                "  --history FILE      keep every kept candidate in the SQLite database\n"
                "                      FILE across runs: the catalogue and page show when\n"
                "                      and on how many nights each was seen before, its\n"
                "                      light curve, and labels or known objects on it\n"
                "  --link-moving       link the candidates of a field's test images taken at\n"
                "                      3 or more times that move on a straight line at a\n"
                "                      constant rate (up to 100\"/min) into tracks: a line\n"
                "                      per track after the candidates instead of theirs, and\n"
                "                      track columns in --catalog (not with --part)\n"
                "  --strict            end with status 3 when some test image could not be\n"
                "                      searched (without it such images are reported on\n"
                "                      standard error and the status stays 0)\n",
                programName, programName, programName, programName, programName);
    const VetParams defaults;
    for (const Threshold& t : THRESHOLDS) {
        std::printf("  %-19s %s (default %g)\n", (std::string(t.name) + " N").c_str(), t.help,
                    defaults.*(t.parameter));
    }
    std::printf("  --help              this text\n"
                "  --version           the version\n"
                "%s merge [--catalog | --regions] FILE...\n"
                "  joins the reports of every piece of one night (in any order; lines of at\n"
                "  most 1048576 bytes), or the catalogues or region files of consecutive\n"
                "  pieces (in list order), into what a single run over the whole list gives\n",
                programName);
}

void printVersion()
{
    std::printf("newstars %s\n", NEWSTARS_VERSION);
}

} // namespace newstars
