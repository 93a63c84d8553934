// simnight: generates a simulated observing night for newstars (reference images, test
// images with injected new sources, the reference table, the file of files and a truth
// file), and checks a newstars report against that truth.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "night_images.hpp"
#include "night_movers.hpp"
#include "night_plan.hpp"
#include "night_recover.hpp"

namespace {
// Prints the usage to standard error and ends with status 1 (to standard output and
// status 0 when asked for with --help).
[[noreturn]] void printUsage(const char* program, bool asked = false)
{
    std::fprintf(
        asked ? stdout : stderr,
        "usage: %s [options] --out DIR\n"
        "       %s recover REPORT TRUTH [CAUSES]\n"
        "       %s recover --catalog CATALOG TRUTH CAUSES\n"
        "       %s tracks REPORT MOVERS\n"
        "options:\n"
        "  --seed N        random seed (default 1); equal seeds give identical nights\n"
        "  --size N|WxH    image size in pixels, 256 to 16384 (default 1024)\n"
        "  --objects N     fields, one reference image each, 1 to 99 (default 3)\n"
        "  --images N      test images per field, 1 to 99 (default 2)\n"
        "  --stars N       catalogue stars per image (default 1500 per 1024 x 1024)\n"
        "  --inject N      new sources per injected test image, 0 to 1000 (default 10)\n"
        "  --out DIR       output directory, created when missing\n"
        "  --no-fpack      write every image uncompressed\n"
        "  --galaxies N    galaxies per field (Sersic profiles), 0 to 10000 (default 0)\n"
        "  --on-galaxies N new sources on galaxies per injected test image (default 0)\n"
        "  --on-stars N    new sources beside stars per injected test image (default 0)\n"
        "  --seeing-mix    every second test image sharper than its reference\n"
        "  --cosmic N      cosmic-ray hits per test image (default 20 per 1024 x 1024)\n"
        "  --tracks N      extra cosmic-ray tracks of 6 to 15 pixels per test image (default 0)\n"
        "  --hot N         hot pixels of the detector (default 30 per 1024 x 1024)\n"
        "  --saturated-ref N  stars per field saturated in the reference only (default 0)\n"
        "  --pairs N       close pairs of stars, 3 to 5 pixels apart, per field (default 0)\n"
        "  --compact-cosmic N  compact cosmic-ray hits (clumps of 1 to 10 pixels) per image,\n"
        "                  references included (default 0)\n"
        "  --sharp-test F  every second test image has a seeing of F pixels (FWHM, 0.5 to 20;\n"
        "                  e.g. 1.2: undersampled and sharper than its reference)\n"
        "  --header-offset PX  reference headers place the sky PX pixels off (-50 to 50)\n"
        "  --header-turn DEG   reference headers turned by DEG degrees (-10 to 10)\n"
        "  --moffat BETA   Moffat point spreads of index BETA (1.5 to 10) with the Gaussian's\n"
        "                  width at half maximum, galaxies seen through them too\n"
        "  --sky-gradient F  every image's sky runs linearly from 1 - F to 1 + F of its level\n"
        "                  across the frame (0 to 0.9), in a direction of its own\n"
        "  --sky-bowl F    the reference's sky from 1 - F of its level at the centre to 1 + F\n"
        "                  in the corners (0 to 0.9)\n"
        "  --halos N       bright extended galaxies per field, 0 to 100 (default 0)\n"
        "  --night K       night K of a sequence (1 to 99, default 1): the same fields\n"
        "                  and references, test images K - 1 days later with noise and\n"
        "                  cosmic rays of their own; injected sources recur in place\n"
        "  --supernova     a supernova per field in every test image, at one place,\n"
        "                  rising over the nights of a sequence to its peak on night 3\n"
        "                  (40 sigma) and fading (\"supernova\" in truth.txt)\n"
        "  --elongation Q  point spreads of stars and new sources stretched to the axis ratio\n"
        "                  Q (1 to 5), the area kept, in one direction per field\n"
        "  --float         write every image as 32-bit floating point (BITPIX -32, SATURATE\n"
        "                  65535, uncompressed), the values those of the 16-bit pixels\n"
        "  --nan-columns N with --float: the first N columns of every test image are NaN (no\n"
        "                  data), 0 to 40 (default 0)\n"
        "  --saturated-new N  new sources per injected test image whose cores saturate (peak\n"
        "                  1.5 to 20 times the room above the sky, clipped at 65535 as the\n"
        "                  detector does), in clear sky in the box, 0 to 100 (default 0);\n"
        "                  truth.txt marks them \"saturated\"\n"
        "  --movers N      moving objects per field, 0 to 1000 (default 0): 0.1 to 100\"/min,\n"
        "                  straight lines, trailed over each exposure, absent from the\n"
        "                  reference; each test image's sightings in movers.txt\n"
        "  --cadence MIN   minutes between a field's test images, 1 to 600 (default: 3,\n"
        "                  the night's test images one after the other)\n"
        "  --causes        also write causes.txt: what in each test image may give a false\n"
        "                  candidate (cosmic, track, hot, saturated-ref, saturated, pair, star)\n"
        "  --help          this text\n"
        "recover: prints how many injected sources of TRUTH the candidate lines of REPORT\n"
        "recovered (within 1 arcsecond, allowing for the report's rounding); with CAUSES,\n"
        "also the other candidates by cause (the nearest cause within 2.5 arcseconds).\n"
        "recover --catalog: the same for every row of a candidate catalogue, kept and\n"
        "rejected apart\n"
        "tracks: how the track lines of a report made with --link-moving found the movers\n"
        "of MOVERS (movers.txt)\n",
        program, program, program, program);
    std::exit(asked ? 0 : 1);
}

// Whole decimal number in [low, high], all of the text used.
bool parseCount(const char* text, long long low, long long high, long long* value)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > static_cast<unsigned long long>(high))
        return false;
    if (static_cast<long long>(v) < low)
        return false;
    *value = static_cast<long long>(v);
    return true;
}

bool parseSize(const char* text, NightOptions* options)
{
    std::string s = text;
    const size_t cross = s.find('x');
    long long w = 0, h = 0;
    if (cross == std::string::npos) {
        if (!parseCount(text, 256, 16384, &w))
            return false;
        h = w;
    } else if (!parseCount(s.substr(0, cross).c_str(), 256, 16384, &w) ||
               !parseCount(s.substr(cross + 1).c_str(), 256, 16384, &h)) {
        return false;
    }
    options->width = static_cast<int32_t>(w);
    options->height = static_cast<int32_t>(h);
    return true;
}

int recoverMain(const char* reportPath, const char* truthPath, const char* causesPath)
{
    std::vector<TruthSource> sources;
    std::vector<ReportCandidate> candidates;
    std::vector<CauseSegment> causes;
    std::string message;
    if (readTruthFile(truthPath, &sources, &message) != 0 ||
        readReportCandidates(reportPath, &candidates, &message) != 0 ||
        (causesPath != nullptr && readCausesFile(causesPath, &causes, &message) != 0)) {
        std::fprintf(stderr, "simnight: %s\n", message.c_str());
        return 1;
    }
    const RecoveryCounts c = countRecovered(sources, candidates, 1.0);
    std::printf(
        "recovered %d of %d injected sources (%d of %d clearly detectable ones: peak >= 20 sigma, "
        "unsaturated, inside the box); %d other candidates\n",
        c.recovered, c.injected, c.detectableRecovered, c.detectable, c.unmatchedCandidates);
    if (causesPath != nullptr)
        std::fputs(formatCauseTable(scoreByCause(sources, causes, candidates, 1.0)).c_str(),
                   stdout);
    return 0;
}

int tracksMain(const char* reportPath, const char* moversPath)
{
    std::vector<MoverSighting> sightings;
    std::vector<ReportTrack> tracks;
    std::string message;
    if (readMoverFile(moversPath, &sightings, &message) != 0 ||
        readReportTracks(reportPath, &tracks, &message) != 0) {
        std::fprintf(stderr, "simnight: %s\n", message.c_str());
        return 1;
    }
    std::fputs(formatTrackScore(scoreTracks(sightings, tracks)).c_str(), stdout);
    return 0;
}

int recoverCatalogMain(const char* catalogPath, const char* truthPath, const char* causesPath)
{
    std::vector<TruthSource> sources;
    std::vector<ReportCandidate> candidates;
    std::vector<CauseSegment> causes;
    std::string message;
    if (readTruthFile(truthPath, &sources, &message) != 0 ||
        readCatalogCandidates(catalogPath, &candidates, &message) != 0 ||
        readCausesFile(causesPath, &causes, &message) != 0) {
        std::fprintf(stderr, "simnight: %s\n", message.c_str());
        return 1;
    }
    std::fputs(formatCauseTable(scoreByCause(sources, causes, candidates, 1.0)).c_str(), stdout);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "simnight";
    if (argc >= 2 && std::strcmp(argv[1], "recover") == 0) {
        if (argc == 6 && std::strcmp(argv[2], "--catalog") == 0)
            return recoverCatalogMain(argv[3], argv[4], argv[5]);
        if (argc != 4 && argc != 5)
            printUsage(program);
        return recoverMain(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    }
    if (argc >= 2 && std::strcmp(argv[1], "tracks") == 0) {
        if (argc != 4)
            printUsage(program);
        return tracksMain(argv[2], argv[3]);
    }
    NightOptions options;
    bool haveDirectory = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = nullptr;
        const size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            option.resize(equals);
        }
        if ((option == "--help" || option == "-h") && value == nullptr)
            printUsage(program, true);
        if (option == "--no-fpack" && value == nullptr) {
            options.compress = false;
            continue;
        }
        if (option == "--seeing-mix" && value == nullptr) {
            options.seeingMix = true;
            continue;
        }
        if (option == "--supernova" && value == nullptr) {
            options.supernova = true;
            continue;
        }
        if (option == "--float" && value == nullptr) {
            options.floatOutput = true;
            continue;
        }
        if (option == "--causes" && value == nullptr) {
            options.causes = true;
            continue;
        }
        if (value == nullptr) {
            if (i + 1 >= argc)
                printUsage(program);
            value = argv[++i];
        }
        long long n = 0;
        if (option == "--seed") {
            if (!parseCount(value, 0, static_cast<long long>(~0ULL >> 1), &n))
                printUsage(program);
            options.seed = static_cast<uint64_t>(n);
        } else if (option == "--size") {
            if (!parseSize(value, &options))
                printUsage(program);
        } else if (option == "--objects") {
            if (!parseCount(value, 1, 99, &n))
                printUsage(program);
            options.objects = static_cast<int>(n);
        } else if (option == "--images") {
            if (!parseCount(value, 1, 99, &n))
                printUsage(program);
            options.imagesPerObject = static_cast<int>(n);
        } else if (option == "--stars") {
            if (!parseCount(value, 0, 10000000, &n))
                printUsage(program);
            options.starsPerImage = n;
        } else if (option == "--inject") {
            if (!parseCount(value, 0, 1000, &n))
                printUsage(program);
            options.injectPerImage = static_cast<int>(n);
        } else if (option == "--galaxies" || option == "--on-galaxies" || option == "--on-stars") {
            if (!parseCount(value, 0, option == "--galaxies" ? 10000 : 1000, &n))
                printUsage(program);
            int* target = option == "--galaxies"      ? &options.galaxies
                          : option == "--on-galaxies" ? &options.onGalaxies
                                                      : &options.onStars;
            *target = static_cast<int>(n);
        } else if (option == "--cosmic" || option == "--tracks" || option == "--hot" ||
                   option == "--saturated-ref" || option == "--pairs") {
            if (!parseCount(value, 0, 100000, &n))
                printUsage(program);
            int* target = option == "--cosmic"          ? &options.cosmicPerTest
                          : option == "--tracks"        ? &options.longTracks
                          : option == "--hot"           ? &options.hotPixels
                          : option == "--saturated-ref" ? &options.saturatedInReference
                                                        : &options.closePairs;
            *target = static_cast<int>(n);
        } else if (option == "--compact-cosmic") {
            if (!parseCount(value, 0, 100000, &n))
                printUsage(program);
            options.compactCosmic = static_cast<int>(n);
        } else if (option == "--sharp-test") {
            char* end = nullptr;
            const double fwhm = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(fwhm >= 0.5 && fwhm <= 20))
                printUsage(program);
            options.sharpTestFwhm = fwhm;
        } else if (option == "--header-offset" || option == "--header-turn") {
            char* end = nullptr;
            const double v = std::strtod(value, &end);
            const double limit = option == "--header-offset" ? 50 : 10;
            if (end == value || *end != '\0' || !(v >= -limit && v <= limit))
                printUsage(program);
            (option == "--header-offset" ? options.headerOffset : options.headerTurn) = v;
        } else if (option == "--moffat" || option == "--sky-gradient" || option == "--sky-bowl") {
            char* end = nullptr;
            const double v = std::strtod(value, &end);
            const bool moffat = option == "--moffat";
            if (end == value || *end != '\0' ||
                !(moffat ? v >= 1.5 && v <= 10 : v >= 0 && v <= 0.9))
                printUsage(program);
            (moffat                       ? options.moffatBeta
             : option == "--sky-gradient" ? options.skyGradient
                                          : options.skyBowl) = v;
        } else if (option == "--night") {
            if (!parseCount(value, 1, 99, &n))
                printUsage(program);
            options.night = static_cast<int>(n);
        } else if (option == "--movers" || option == "--cadence") {
            const bool movers = option == "--movers";
            if (!parseCount(value, movers ? 0 : 1, movers ? 1000 : 600, &n))
                printUsage(program);
            (movers ? options.movers : options.cadence) = static_cast<int>(n);
        } else if (option == "--nan-columns") {
            if (!parseCount(value, 0, 40, &n))
                printUsage(program);
            options.nanColumns = static_cast<int>(n);
        } else if (option == "--elongation") {
            char* end = nullptr;
            const double v = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(v >= 1 && v <= 5))
                printUsage(program);
            options.elongation = v;
        } else if (option == "--halos" || option == "--saturated-new") {
            if (!parseCount(value, 0, 100, &n))
                printUsage(program);
            (option == "--halos" ? options.halos : options.saturatedNew) = static_cast<int>(n);
        } else if (option == "--out") {
            if (*value == '\0')
                printUsage(program);
            options.directory = value;
            haveDirectory = true;
        } else {
            printUsage(program);
        }
    }
    if (!haveDirectory || (options.nanColumns > 0 && !options.floatOutput))
        printUsage(program);
    std::string message;
    if (writeNight(options, &message) != 0) {
        std::fprintf(stderr, "simnight: %s\n", message.c_str());
        return 1;
    }
    return 0;
}
