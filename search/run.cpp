#include "search/run.hpp"

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "base/angles.hpp"
#include "base/file_descriptor.hpp"
#include "base/statistics.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "fits/fits_read.hpp"
#include "fits/fits_read_any.hpp"
#include "search/difference.hpp"
#include "search/image_file.hpp"
#include "search/options.hpp"
#include "search/output_files.hpp"
#include "base/ordered_work.hpp"
#include "search/progress.hpp"
#include "search/report.hpp"
#include "search/stop_signals.hpp"
#include "search/memory_budget.hpp"
#include "search/history_run.hpp"
#include "search/merge.hpp"
#include "search/moving.hpp"
#include "search/night_piece.hpp"

namespace newstars {

// Most test images compared at once (-j).
static constexpr int MAX_WORKERS = 256;

CommandLineForm commandLineForm(int argc, char** argv)
{
    int arguments = argc - 1;
    if (arguments == 4 && std::strcmp(argv[1], "-f") == 0)
        return FILE_OF_FILES_FORM;
    if (arguments >= 3)
        return IMAGE_LIST_FORM;
    return USAGE_FORM;
}

void printUsage(const char* programName, FILE* err)
{
    std::fprintf(err, "%s: arcsec_sep config_file test1.fts ...\n", programName);
    std::fprintf(err, "   or\n");
    std::fprintf(err, "%s: -f file_of_files arcsec_sep config_file\n", programName);
    std::fprintf(err, "   either form may start with --wcs auto|classic|fits\n");
    std::fprintf(
        err, "   and with -j N: compare N test images at a time (default: one per processor)\n");
    std::fprintf(err,
                 "   and with --part K/N: only the K-th of N consecutive pieces of the list\n");
    std::fprintf(err, "%s: merge report1 ...   joins the reports of consecutive pieces\n",
                 programName);
    std::fprintf(err, "%s: pair [options] reference test1.fts ...   compares without a table\n",
                 programName);
    std::fprintf(err, "   or\n%s: pair [options] -f file_of_files reference\n", programName);
}

int takeWcsOption(int argc, char** argv, WcsMode* mode, int* used)
{
    *used = 0;
    if (argc < 2 || argv[1] == nullptr)
        return 0;
    const char* value = nullptr;
    int words = 0;
    if (optionValue(argc, argv, "--wcs", &value, &words) == 0)
        return 0;
    if (value == nullptr || !parseWcsMode(value, mode))
        return -1;
    *used = words;
    return 0;
}

int takeWorkersOption(int argc, char** argv, int* workers, int* used)
{
    *used = 0;
    if (argc < 2 || argv[1] == nullptr || std::strncmp(argv[1], "-j", 2) != 0)
        return 0;
    const char* text = argv[1] + 2;
    int words = 1;
    if (*text == '\0') {
        if (argc < 3 || argv[2] == nullptr)
            return -1;
        text = argv[2];
        words = 2;
    }
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < 1 || n > MAX_WORKERS)
        return -1;
    *workers = static_cast<int>(n);
    *used = words;
    return 0;
}

int takePartOption(int argc, char** argv, NightPiece* piece, int* used, std::string* message)
{
    *used = 0;
    if (argc < 2 || argv[1] == nullptr)
        return 0;
    const char* value = nullptr;
    int words = 0;
    if (optionValue(argc, argv, "--part", &value, &words) == 0)
        return 0;
    std::string reason;
    if (value == nullptr) {
        *message = "--part needs K/N";
        return -1;
    }
    if (parseNightPiece(value, piece, &reason) != 0) {
        *message = std::string("--part ") + value + ": " + reason;
        return -1;
    }
    *used = words;
    return 0;
}

double toleranceFromText(const char* arcsecText)
{
    return degreesToRadians(std::atof(arcsecText) / 3600);
}

int parseTolerance(const char* arcsecText, double* tolerance)
{
    char* end = nullptr;
    const double arcsec = std::strtod(arcsecText, &end);
    if (end == arcsecText || !std::isfinite(arcsec) || arcsec < 0)
        return -1;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0')
        return -1;
    *tolerance = toleranceFromText(arcsecText);
    return 0;
}

int readOpenImage(int fd, FitsImage* image, std::string* message, const FitsReadOptions& options,
                  const std::string& hdu)
{
    const FileDescriptor owner(fd);
    // Both readers keep the image's buffers: an image of the same size or smaller fills
    // memory the system has already provided, instead of fresh pages it must clear first.
    if (!hdu.empty() || fitsFileForm(fd) != FitsFileForm::SixteenBit)
        return readAnyFitsImage(fd, hdu, options, image, message);
    return readFitsImage(fd, image, message) == 0 ? 0 : -1;
}

// Puts "NAME: MESSAGE" and a line end in the log for standard error, control characters
// escaped so that the report of one image stays on one line.
static void logNameAndMessage(ImageLog* log, const char* name, const std::string& message)
{
    logError(log, "%s: %s\n", printableText(name).c_str(), printableText(message.c_str()).c_str());
}

int readTestImage(const char* testName, FitsImage* image, std::string* objectName, ImageLog* log,
                  bool* hasObject, const ImageReading& reading)
{
    std::string message;
    DecompressorOutput decompressor;
    OpenedImage opened;
    const int status = openImage(testName, reading, &opened, &message, &decompressor);
    logProgramOutput(log, decompressor.output, decompressor.errors);
    if (status != 0) {
        logNameAndMessage(log, testName, message);
        return -1;
    }
    if (readOpenImage(opened.fd, image, &message, reading.fits, opened.hdu) != 0) {
        logNameAndMessage(log, testName, message);
        return -1;
    }
    if (hasObject != nullptr)
        *hasObject = getStringCard(image, "OBJECT", objectName) >= 0;
    if (hasObject != nullptr && !*hasObject) {
        objectName->clear();
    } else if (getStringCard(image, "OBJECT", objectName) < 0) {
        logNameAndMessage(log, testName, "no OBJECT field");
        freeFitsImage(image);
        return -1;
    }
    size_t end = objectName->find_last_not_of(' ');
    objectName->erase(end == std::string::npos ? 0 : end + 1);
    return 0;
}

// Whether the image at the start of fd is under MIN_STAR_IMAGE_SIDE pixels on a side,
// its size then in *width and *height; false when not, or when its header cannot be
// read (reading the whole image then tells why). fd is left at the start of the file.
static bool tooSmallForStars(const OpenedImage& opened, int32_t* width, int32_t* height)
{
    std::string ignored;
    if (!opened.hdu.empty() || fitsFileForm(opened.fd) != FitsFileForm::SixteenBit) {
        return readAnyFitsSize(opened.fd, opened.hdu, width, height, &ignored) == 0 &&
               (*width < MIN_STAR_IMAGE_SIDE || *height < MIN_STAR_IMAGE_SIDE);
    }
    const int fd = opened.fd;
    FitsImage header;
    const bool small = readFitsHeader(fd, &header, &ignored) == 0 &&
                       (header.width < MIN_STAR_IMAGE_SIDE || header.height < MIN_STAR_IMAGE_SIDE);
    *width = header.width;
    *height = header.height;
    freeFitsImage(&header);
    lseek(fd, 0, SEEK_SET);
    return small;
}

// The stars of one reference image as sky positions, or why there are none.
struct ReferenceSearch {
    ReferenceStars stars; // set on success
    std::string fatal;    // the image cannot be read: text that ends the run
    std::string error;    // the star search failed: text for standard error
    bool vetting = false; // also fill placed, for vetting
    PlacedStars placed;
};

// Reads the reference image from the descriptor openImageFile gave into *image and
// finds its stars.
static void searchReference(OpenedImage opened, const FitsReadOptions& reading, const char* name,
                            WcsMode mode, FitsImage* image, StarFinderWorkspace* workspace,
                            ReferenceSearch* search)
{
    std::string message;
    if (readOpenImage(opened.fd, image, &message, reading, opened.hdu) != 0) {
        search->fatal = printableText(name) + ": " + printableText(message.c_str()) + "\n";
        return;
    }
    auto sky = std::make_shared<ReferenceSky>();
    if (findSkyStars(image, name, mode, workspace, &sky->positions, &sky->note, &search->error,
                     search->vetting ? &search->placed : nullptr) == 0)
        search->stars = std::move(sky);
}

ImageSearch compareTestImage(SearchShared* shared, SearchWorker* worker, const char* testName,
                             TestImageOutcome* outcome)
{
    ImageLog* log = &outcome->log;
    FitsImage& test = worker->testImage;
    const bool vetting = vettingWanted(shared->vetting);
    std::string objectName;
    bool hasObject = true;
    if (readTestImage(testName, &test, &objectName, log,
                      shared->pair || shared->matchPosition ? &hasObject : nullptr,
                      shared->reading) != 0)
        return ImageSearch::NotSearched;

    ReferenceEntry entry;
    SearchBox box;
    std::string message;
    ReferenceStars stars;
    FileIdentity identity;
    bool claimed = false, named = false;
    OpenedImage opened;
    SkyStatus found = SkyStatus::EndOfTable;
    // Takes the entries next() gives in turn until one names a reference image that
    // opens (or whose stars are known from before).
    auto openReference = [&](auto next) {
        while ((found = next()) == SkyStatus::Ok) {
            named = true;
            const char* referenceName = entry.referenceName.c_str();
            // A reference file unchanged since its stars were found needs no second look
            // (the difference method and vetting need its pixels every time).
            claimed = shared->method == SearchMethod::Catalog && !vetting &&
                      fileIdentity(referenceName, &identity) == 0;
            if (claimed && shared->references.findOrClaim(identity, &stars)) {
                claimed = false;
                return;
            }
            DecompressorOutput decompressor;
            opened = OpenedImage{};
            openImage(referenceName, shared->reading, &opened, &message, &decompressor);
            logProgramOutput(log, decompressor.output, decompressor.errors);
            int32_t width = 0, height = 0;
            if (opened.fd >= 0 && !tooSmallForStars(opened, &width, &height))
                return;
            if (opened.fd >= 0) {
                // Every test star would be new: passed over as a reference that does not open.
                close(opened.fd);
                opened.fd = -1;
                message = formatText("image of %d x %d pixels is too small to hold stars",
                                     static_cast<int>(width), static_cast<int>(height));
            }
            logNameAndMessage(log, referenceName, message);
            if (claimed)
                shared->references.release(identity);
            claimed = false;
        }
    };

    if (shared->pair) {
        if (pairEntry(*shared->pair, test, testName, shared->wcsMode, shared->tolerance,
                      &objectName, &box, &entry, &message) != 0) {
            logError(log, "%s\n", message.c_str());
            return ImageSearch::NotSearched;
        }
        bool given = false;
        openReference([&given] {
            return given ? SkyStatus::EndOfTable : (given = true, SkyStatus::Ok);
        });
        if (found != SkyStatus::Ok)
            return ImageSearch::NotSearched; // the reference image no longer opens: reported
    } else {
        // The table from its start, as the run read it.
        FILE* table = fmemopen(shared->tableText.data(), shared->tableText.size(), "r");
        if (table == nullptr) {
            logError(log, "No reference file listed for object %s\n",
                     printableText(objectName.c_str()).c_str());
            return ImageSearch::NotSearched;
        }
        if (hasObject) {
            openReference([&] {
                return findReferenceEntry(table, objectName.c_str(), &box, &entry, &message);
            });
        }
        double ra = 0, dec = 0;
        const bool byPosition = shared->matchPosition && found == SkyStatus::EndOfTable && !named;
        if (byPosition && imageCentre(test, shared->wcsMode, &ra, &dec) == WcsStatus::Ok) {
            std::rewind(table);
            openReference(
                [&] { return findReferenceEntryAt(table, ra, dec, &box, &entry, &message); });
            if (found == SkyStatus::Ok && objectName.find_first_not_of(' ') == std::string::npos)
                objectName = entry.objectName;
        }
        std::fclose(table);
        if (found != SkyStatus::Ok && found != SkyStatus::EndOfTable) {
            logError(log, "%s", message.c_str());
            return ImageSearch::RunEnds;
        }
        if (found != SkyStatus::Ok && !hasObject) {
            logNameAndMessage(log, testName,
                              named
                                  ? "no reference image of the table line holding its centre opens"
                                  : "no OBJECT field, and no table box holds its centre");
            return ImageSearch::NotSearched;
        }
        if (found != SkyStatus::Ok) {
            logError(log, "No reference file listed for object %s\n",
                     printableText(objectName.c_str()).c_str());
            return ImageSearch::NotSearched;
        }
    }

    const char* referenceName = entry.referenceName.c_str();
    if (shared->method == SearchMethod::Difference) {
        FitsImage& reference = worker->referenceImage;
        if (readOpenImage(opened.fd, &reference, &message, shared->reading.fits, opened.hdu) != 0) {
            logNameAndMessage(log, referenceName, message);
            return ImageSearch::RunEnds;
        }
        SearchRun run;
        run.tolerance = shared->tolerance;
        run.wcsMode = shared->wcsMode;
        run.method = shared->method;
        run.differenceThreshold = shared->differenceThreshold;
        run.minScore = shared->minScore;
        run.backgroundCell = shared->backgroundCell;
        run.threads = shared->threads;
        const int status = compareImagesByDifference(&run, box, &reference, &test, referenceName,
                                                     testName, objectName.c_str(), log,
                                                     vetting ? &shared->vetting : nullptr,
                                                     &outcome->difference);
        if (status == -2)
            return ImageSearch::RunEnds;
        outcome->candidates = std::move(run.candidates);
        if (shared->linkMoving)
            outcome->trackImage = trackImage(test, objectName.c_str(), testName);
        return status == -1 ? ImageSearch::NotSearched : ImageSearch::Searched;
    }

    // The reference's stars (unless kept from before) and the test's, found at the same
    // time when the run has the workers for it.
    ReferenceSearch reference;
    reference.vetting = vetting;
    std::vector<SkyPosition> testSky;
    std::string testNote, testError;
    PlacedStars testPlaced;
    int testStatus = 0;
    auto searchTest = [&] {
        testStatus = findSkyStars(&test, testName, shared->wcsMode, &worker->testFinder, &testSky,
                                  &testNote, &testError, vetting ? &testPlaced : nullptr);
    };
    if (stars) {
        reference.stars = stars;
        searchTest();
    } else {
        std::thread helper;
        if (shared->searchesTogether) {
            try {
                helper = std::thread(searchReference, opened, shared->reading.fits, referenceName,
                                     shared->wcsMode, &worker->referenceImage,
                                     &worker->referenceFinder, &reference);
            } catch (const std::system_error&) {
                // One after the other, then.
            }
        }
        if (helper.joinable()) {
            searchTest();
            helper.join();
        } else {
            searchReference(opened, shared->reading.fits, referenceName, shared->wcsMode,
                            &worker->referenceImage, &worker->referenceFinder, &reference);
            if (reference.stars)
                searchTest();
        }
    }
    if (claimed) {
        if (reference.stars)
            shared->references.keep(identity, reference.stars);
        else
            shared->references.release(identity);
    }
    if (!reference.fatal.empty()) {
        logError(log, "%s", reference.fatal.c_str());
        return ImageSearch::RunEnds;
    }
    if (!reference.stars) {
        logError(log, "%s", reference.error.c_str());
        return ImageSearch::NotSearched;
    }
    if (!reference.stars->note.empty())
        logError(log, "%s", reference.stars->note.c_str());
    if (testStatus != 0) {
        logError(log, "%s", testError.c_str());
        return ImageSearch::NotSearched;
    }
    if (!testNote.empty())
        logError(log, "%s", testNote.c_str());
    SearchRun run;
    run.tolerance = shared->tolerance;
    run.wcsMode = shared->wcsMode;
    bool outputFailed = false;
    if (vetting) {
        run.saturatedCandidates = shared->vetting.vet;
        run.filter = [shared, outcome, log, &outputFailed](const ComparisonView& view,
                                                           std::vector<char>* keep) {
            ImageVetting result;
            std::string vetMessage;
            if (vetComparison(shared->vetting, view, &result, &vetMessage) != 0) {
                // A stamp that cannot be written ends the run, as any output would.
                logError(log, "newstars: %s\n", vetMessage.c_str());
                outputFailed = true;
            }
            for (size_t k = 0; k < keep->size() && k < result.kept.size(); ++k)
                (*keep)[k] = result.kept[k];
            outcome->catalogRows = std::move(result.rows);
        };
    }
    reportComparison(&run, box, reference.stars->positions, testSky, &test, referenceName, testName,
                     objectName.c_str(), log, vetting ? &worker->referenceImage : nullptr,
                     vetting ? &reference.placed : nullptr, vetting ? &testPlaced : nullptr);
    if (vetting) {
        // Cards set aside in either image, recorded in the catalogue's header.
        std::string aside;
        if (!testPlaced.cardsSetAside.empty())
            aside = std::string(baseName(testName)) + ": " + testPlaced.cardsSetAside;
        if (!reference.placed.cardsSetAside.empty())
            aside += std::string(aside.empty() ? "" : "; ") + baseName(referenceName) + ": " +
                     reference.placed.cardsSetAside;
        if (!aside.empty())
            outcome->catalogNotes.push_back({baseName(testName), aside});
    }
    outcome->candidates = std::move(run.candidates);
    if (shared->linkMoving)
        outcome->trackImage = trackImage(test, objectName.c_str(), testName);
    return outputFailed ? ImageSearch::RunEnds : ImageSearch::Searched;
}

void printCandidates(const CandidateList* list, FILE* out)
{
    writeCandidateLines(list->lines, out);
}

// The reference image named on each entry line of the table (six fields or more).
static std::vector<std::string> tableImageNames(const std::string& tableText)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start < tableText.size()) {
        size_t end = tableText.find('\n', start);
        if (end == std::string::npos)
            end = tableText.size();
        std::string line = tableText.substr(start, end - start);
        start = end + 1;
        if (line.empty() || !std::isalnum(static_cast<unsigned char>(line[0])))
            continue;
        char* fields[6] = {};
        if (splitFields(line.data(), fields) >= 6)
            names.emplace_back(fields[5]);
    }
    return names;
}

// Test images one run has under way at once: workers, lowered to what the memory
// available holds (imageWorkBytes for the size of the first of the first eight test
// images whose header reads without decompression; unchanged when none does). Lowering
// a -j the command line gave is said once on err; the default (one per processor) is
// lowered without a word, the report being the same whatever the number.
static int workersForMemory(int workers, bool workersGiven, SearchMethod method,
                            const std::vector<std::string>& imageNames, const char* programName,
                            FILE* err)
{
    if (workers <= 1)
        return workers;
    for (size_t i = 0; i < imageNames.size() && i < 8; ++i) {
        int32_t width = 0, height = 0;
        bool floatPixels = false;
        if (!peekImageSize(imageNames[i], &width, &height, &floatPixels))
            continue;
        bool addressLimited = false;
        const uint64_t available = availableMemoryBytes(&addressLimited);
        const uint64_t perImage = imageWorkBytes(method, floatPixels, width, height);
        const int fit =
            fittingWorkers(workers, perImage, available, addressLimited ? THREAD_ADDRESS_BYTES : 0);
        if (fit < workers && workersGiven)
            std::fprintf(err,
                         "%s: -j %d lowered to %d: a test image of %d x %d pixels takes about "
                         "%s with %s, %s available%s\n",
                         programName, workers, fit, static_cast<int>(width),
                         static_cast<int>(height), memoryText(perImage).c_str(),
                         method == SearchMethod::Difference ? "difference imaging"
                                                            : "the catalogue method",
                         memoryText(available).c_str(),
                         addressLimited ? " under the address-space limit" : "");
        return fit;
    }
    return workers;
}

int runSearch(int argc, char** argv)
{
    return runSearch(argc, argv, SearchHost{});
}

int runSearch(int argc, char** argv, const SearchHost& host)
{
    FILE* const out = host.out;
    FILE* const err = host.err;
    if (argc >= 2 && std::strcmp(argv[1], "merge") == 0)
        return runMerge(argc - 1, argv + 1);
    if (argc >= 2 && std::strcmp(argv[1], "history") == 0)
        return runHistoryCommand(argc - 1, argv + 1,
                                 argv[0] != nullptr ? argv[0] : "newstars", out, err);
    if (host.ownsProcess)
        catchStopSignals();
    const char* programName = argc > 0 && argv[0] != nullptr ? argv[0] : "newstars";
    // A pair run reads the rest of its command line as a table run does, without "pair".
    const bool pairRun = argc >= 2 && std::strcmp(argv[1], "pair") == 0;
    const char* pairTolerance = "2";
    bool matchPosition = false;
    WcsMode wcsMode = pairRun ? WcsMode::Fits : WcsMode::Auto;
    int workers = availableProcessors();
    bool workersGiven = false; // -j on the command line
    SearchRun methodOptions; // --method and --threshold
    RunOptions options;
    NightPiece nightPiece;
    bool inPieces = false;
    // The options, in either order, then the rest of the command line as if they had not
    // been there.
    std::vector<char*> words(argv, argv + std::max(argc, 0));
    if (pairRun)
        words.erase(words.begin() + 1);
    words.push_back(nullptr);
    for (;;) {
        const int count = static_cast<int>(words.size()) - 1;
        int used = 0;
        if (takeWcsOption(count, words.data(), &wcsMode, &used) != 0) {
            std::fprintf(err, "%s: --wcs takes auto, classic or fits\n", programName);
            printUsage(programName, err);
            return 1;
        }
        if (used == 0 && takeWorkersOption(count, words.data(), &workers, &used) != 0) {
            std::fprintf(err,
                         "%s: -j takes a number of test images to compare at once, 1 to %d\n",
                         programName, MAX_WORKERS);
            printUsage(programName, err);
            return 1;
        }
        workersGiven = workersGiven ||
                       (used > 0 && words[1] != nullptr && std::strncmp(words[1], "-j", 2) == 0);
        if (used == 0) {
            std::string message;
            if (takePartOption(count, words.data(), &nightPiece, &used, &message) != 0) {
                std::fprintf(err, "%s: %s\n", programName, message.c_str());
                return 1;
            }
            inPieces = inPieces || used > 0;
        }
        if (used == 0) {
            const size_t before = words.size();
            std::string message;
            if (takeMethodOptions(&words, &methodOptions, &message) != 0) {
                std::fprintf(err, "%s: %s\n", programName, message.c_str());
                return 1;
            }
            if (words.size() != before)
                continue;
        }
        std::string message;
        if (used == 0 && takePairOption(count, words.data(), pairRun, &pairTolerance,
                                        &matchPosition, &used, &message) != 0) {
            std::fprintf(err, "%s: %s\n", programName, message.c_str());
            return 1;
        }
        if (used == 0 && takeRunOption(count, words.data(), &options, &used, &message) != 0) {
            std::fprintf(err, "%s: %s (see %s --help)\n", programName, message.c_str(),
                         programName);
            printUsage(programName, err);
            return 1;
        }
        if (used == 0) {
            break;
        }
        words.erase(words.begin() + 1, words.begin() + 1 + used);
        if (options.endOfOptions)
            break;
    }
    if (options.help) {
        printHelp(programName);
        return 0;
    }
    if (options.version) {
        printVersion();
        return 0;
    }
    if (options.linkMoving && inPieces) {
        std::fprintf(err,
                     "%s: --link-moving cannot be used with --part: a track needs every test "
                     "image of its field in one run\n",
                     programName);
        return 1;
    }
    argc = static_cast<int>(words.size()) - 1;
    argv = words.data();

    // pair [options] reference test1 ...  or  pair [options] -f file_of_files reference
    CommandLineForm form = !pairRun ? commandLineForm(argc, argv)
                           : argc == 4 && std::strcmp(argv[1], "-f") == 0 ? FILE_OF_FILES_FORM
                           : argc >= 3                                    ? IMAGE_LIST_FORM
                                                                          : USAGE_FORM;
    if (form == USAGE_FORM) {
        printUsage(programName, err);
        return 1;
    }

    const char* toleranceText = pairRun                      ? pairTolerance
                                : form == FILE_OF_FILES_FORM ? argv[3]
                                                             : argv[1];
    const char* tableName = form == FILE_OF_FILES_FORM ? argv[4] : argv[2];
    SearchShared shared;
    if (parseTolerance(toleranceText, &shared.tolerance) != 0) {
        std::fprintf(err, "%s `%s' is not a finite number of arcseconds >= 0\n",
                     pairRun ? "--tolerance" : "arcsec_sep", printableText(toleranceText).c_str());
        return 1;
    }
    shared.matchPosition = matchPosition;
    shared.wcsMode = wcsMode;
    shared.method = methodOptions.method;
    shared.differenceThreshold = methodOptions.differenceThreshold;
    shared.minScore = methodOptions.minScore;
    shared.backgroundCell = methodOptions.backgroundCell;
    shared.vetting = options.vetting;
    shared.vetting.catalogText = host.catalogText;
    shared.linkMoving = options.linkMoving;
    shared.reading.fits = options.reading;
    shared.reading.decompressor =
        host.decompressor.empty() ? findDecompressor() : host.decompressor;

    std::vector<std::string> imageNames;
    if (form == FILE_OF_FILES_FORM) {
        std::string message;
        const int count = readFileOfFiles(argv[2], &imageNames, &message);
        if (count < 0) {
            std::fprintf(err, "%s\n", printableText(message.c_str()).c_str());
            return 1;
        }
        if (count == 0) {
            std::fprintf(err, "%s contains no files\n", printableText(argv[2]).c_str());
            return 1;
        }
    } else {
        for (int i = pairRun ? 2 : 3; i < argc; ++i)
            imageNames.emplace_back(argv[i]);
    }
    std::string message;
    if (pairRun) {
        // No table: the reference is read below, once the outputs are checked.
    } else if (FILE* table = openTextFile(tableName, &message); table == nullptr) {
        std::fprintf(err, "%s\n", printableText(message.c_str()).c_str());
        return 1;
    } else {
        char piece[65536];
        for (size_t n = 0; (n = std::fread(piece, 1, sizeof piece, table)) > 0;)
            shared.tableText.append(piece, n);
        if (std::ferror(table)) {
            std::fprintf(err, "Can not read the reference table %s: %s\n",
                         printableText(tableName).c_str(), std::strerror(errno));
            std::fclose(table);
            return 1;
        }
        std::fclose(table);
    }
    std::string firstLine; // the piece line with --part
    if (inPieces) {
        // The piece line names the night by all it depends on besides the images' contents,
        // so that a merge takes only the pieces of one run: the whole list, the tolerance,
        // the coordinate mode, the method and its threshold, how objects are matched, the
        // vetting thresholds when --vet changes the report, and the table (or the pair's
        // reference).
        const VetParams& vet = shared.vetting.params;
        const std::string settings =
            formatText("tolerance %a wcs %d method %d threshold %a match %d", shared.tolerance,
                       static_cast<int>(wcsMode), static_cast<int>(shared.method),
                       shared.differenceThreshold, shared.matchPosition ? 1 : 0) +
            (shared.backgroundCell != DEFAULT_BACKGROUND_CELL
                 ? formatText(" background %d", shared.backgroundCell)
                 : std::string()) +
            (shared.minScore != DEFAULT_MIN_SCORE ? formatText(" min-score %a", shared.minScore)
                                                  : std::string()) +
            (pairRun ? std::string(" pair ") + (form == FILE_OF_FILES_FORM ? argv[3] : argv[1])
                     : std::string()) +
            (shared.vetting.vet ? formatText(" vet %a %a %a %a %a", vet.sharpSpreads,
                                             vet.elongationSpreads, vet.saturationFwhm,
                                             vet.referenceSnr, vet.brighteningFactor)
                                : std::string()) +
            "\n" + shared.tableText;
        firstLine = pieceLine(nightPiece, nightFingerprint(imageNames, settings));
        size_t begin = 0, end = 0;
        nightPieceRange(imageNames.size(), nightPiece, &begin, &end);
        imageNames.erase(imageNames.begin() + static_cast<ptrdiff_t>(end), imageNames.end());
        imageNames.erase(imageNames.begin(), imageNames.begin() + static_cast<ptrdiff_t>(begin));
    }
    const bool vetting = vettingWanted(shared.vetting);
    HistoryDatabase history; // open with --history
    if (vetting) {
        // No output may replace an input or another output.
        std::vector<std::string> inputs = imageNames;
        if (pairRun)
            inputs.emplace_back(form == FILE_OF_FILES_FORM ? argv[3] : argv[1]);
        else
            inputs.emplace_back(tableName);
        if (form == FILE_OF_FILES_FORM)
            inputs.emplace_back(argv[2]);
        for (std::string& name : tableImageNames(shared.tableText))
            inputs.push_back(std::move(name));
        std::vector<NamedOutput> outputs;
        if (!shared.vetting.catalogPath.empty())
            outputs.push_back({"--catalog", shared.vetting.catalogPath});
        if (!shared.vetting.regionsPath.empty())
            outputs.push_back({"--regions", shared.vetting.regionsPath});
        if (!shared.vetting.historyPath.empty())
            outputs.push_back({"--history", shared.vetting.historyPath});
        if (checkOutputPaths(outputs, inputs, &message) != 0) {
            std::fprintf(err, "%s: %s\n", programName, printableText(message.c_str()).c_str());
            return 1;
        }
        if (!shared.vetting.stampsDirectory.empty() || pageStampsWanted(shared.vetting))
            shared.vetting.inputFiles = fileKeys(inputs);
        if (prepareVetOutputs(shared.vetting, &message) != 0) {
            std::fprintf(err, "%s: %s\n", programName, message.c_str());
            return 1;
        }
        if (!shared.vetting.historyPath.empty() &&
            openHistory(shared.vetting.historyPath, &history, &message) != 0) {
            std::fprintf(err, "%s: %s\n", programName, printableText(message.c_str()).c_str());
            return 1;
        }
    }
    if (pairRun) {
        auto reference = std::make_shared<PairReference>();
        ImageLog log;
        const char* referenceName = form == FILE_OF_FILES_FORM ? argv[3] : argv[1];
        const int status = readPairReference(referenceName, shared.wcsMode, shared.tolerance,
                                             shared.reading, reference.get(), &message, &log);
        writeImageLog(log, out, err);
        if (status != 0) {
            std::fprintf(err, "%s\n", message.c_str());
            return 1;
        }
        shared.pair = std::move(reference);
    }
    // Difference imaging's bands and tiles run on all -j threads, whatever number of
    // images memory lets run at once.
    std::optional<SharedThreads> threads;
    if (shared.method == SearchMethod::Difference && workers > 1) {
        threads.emplace(workers);
        shared.threads = &*threads;
    }
    workers =
        workersForMemory(workers, workersGiven, shared.method, imageNames, programName, err);
    shared.searchesTogether = workers > 1;
    std::vector<CatalogRow> catalogRows;
    std::vector<ImageNote> catalogNotes;
    DifferenceOutputs differenceOutputs;

    const int count = static_cast<int>(imageNames.size());
    std::vector<TestImageOutcome> outcomes(imageNames.size());
    std::vector<SearchWorker> buffers(static_cast<size_t>(std::max(workers, 1)));
    CandidateList candidates;
    NightCandidates night; // with --link-moving, instead of candidates
    bool fatal = false;
    std::fputs(firstLine.c_str(), out);
    int notSearched = 0;
    ProgressLine progress;
    startProgress(&progress, count);
    progress.enabled = progress.enabled && host.ownsProcess;
    if (count > 0)
        showProgress(&progress, 0, imageNames[0].c_str());
    runInOrder(
        count, workers,
        [&](int i, int worker) {
            const SharedThreads::Busy busy(shared.threads);
            TestImageOutcome& outcome = outcomes[static_cast<size_t>(i)];
            outcome.status = compareTestImage(&shared, &buffers[static_cast<size_t>(worker)],
                                              imageNames[static_cast<size_t>(i)].c_str(), &outcome);
        },
        [&](int i) {
            TestImageOutcome& outcome = outcomes[static_cast<size_t>(i)];
            clearProgress(&progress);
            writeImageLog(outcome.log, out, err);
            if (shared.linkMoving)
                addImageCandidates(outcome.trackImage, &outcome.candidates, &night);
            for (std::string& line : outcome.candidates.lines)
                candidates.lines.push_back(std::move(line));
            for (CatalogRow& row : outcome.catalogRows)
                catalogRows.push_back(std::move(row));
            for (ImageNote& note : outcome.catalogNotes)
                catalogNotes.push_back(std::move(note));
            for (DifferenceRow& row : outcome.difference.rows)
                differenceOutputs.rows.push_back(std::move(row));
            for (ImageRegistration& entry : outcome.difference.registrations)
                differenceOutputs.registrations.push_back(std::move(entry));
            fatal = outcome.status == ImageSearch::RunEnds;
            notSearched += outcome.status == ImageSearch::NotSearched ? 1 : 0;
            outcome = TestImageOutcome{};
            if (!fatal && i + 1 < count)
                showProgress(&progress, i + 1, imageNames[static_cast<size_t>(i) + 1].c_str());
            return !fatal;
        });
    clearProgress(&progress);
    if (fatal)
        return 1;
    LinkedNight linked;
    if (shared.linkMoving) {
        linkNight(night, LINK_TOLERANCE, &linked);
        candidates.lines = std::move(linked.lines);
    }
    printCandidates(&candidates, out);
    if (shared.linkMoving)
        writeTrackLines(linked.trackLines, out);
    // A report that did not reach standard output fails the run, before any other output
    // is written.
    if (finishStandardOutput(&message, out) != 0) {
        std::fprintf(err, "%s: %s\n", programName, message.c_str());
        return 1;
    }
    if (vetting) {
        // Region circles as large as the match tolerance (2 arcseconds when it is none).
        const double radius = std::atof(toleranceText) > 0 ? std::atof(toleranceText) : 2.0;
        std::string outputMessage;
        // The run's candidates go into the history in one transaction, before the outputs
        // that show what it knows of them.
        if (!shared.vetting.historyPath.empty() &&
            (shared.method == SearchMethod::Difference
                 ? recordRowsHistory(&history, std::atof(toleranceText), &differenceOutputs.rows,
                                     &outputMessage)
                 : recordRowsHistory(&history, std::atof(toleranceText), shared.vetting.vet,
                                     &catalogRows, &outputMessage)) != 0) {
            std::fprintf(err, "%s: %s: %s\n", programName,
                         printableText(shared.vetting.historyPath.c_str()).c_str(),
                         outputMessage.c_str());
            return 1;
        }
        // With --link-moving the catalogue is made here first and written below with its
        // track columns.
        VetOptions outputs = shared.vetting;
        std::string catalogue;
        const bool trackColumns =
            shared.linkMoving && (!outputs.catalogPath.empty() || outputs.catalogText != nullptr);
        if (trackColumns) {
            outputs.catalogPath.clear();
            outputs.catalogText = &catalogue;
        }
        if ((shared.method == SearchMethod::Difference
                 ? writeDifferenceOutputs(outputs, differenceOutputs.registrations,
                                          differenceOutputs.rows, radius, &outputMessage)
                 : writeVetOutputs(outputs, catalogRows, catalogNotes, radius,
                                   &outputMessage)) != 0) {
            std::fprintf(err, "%s: %s\n", programName, outputMessage.c_str());
            return 1;
        }
        if (trackColumns && writeTrackCatalogue(shared.vetting, shared.method, catalogRows,
                                                differenceOutputs.rows, linked.members,
                                                &catalogue, &outputMessage) != 0) {
            std::fprintf(err, "%s: %s\n", programName, outputMessage.c_str());
            return 1;
        }
    }
    if (options.strict && notSearched > 0) {
        std::fprintf(err, "%s: %d of %d test images could not be searched\n", programName,
                     notSearched, count);
        return STRICT_NOT_SEARCHED_STATUS;
    }
    return 0;
}

} // namespace newstars
