// diffeval: runs the difference-imaging search on a night made by simnight and holds every
// detection against the truth file at full precision: recovery by where the new source
// lies (clear sky, on a galaxy, beside a star) and by its peak in sky noise units, the
// position errors, and the detections that match no injected source.
//
//   diffeval [--threshold S] [--no-cosmic-rays] [--background-cell N] [--min-score S]
//            [--features FILE] [--kernel-scale fitted|apertures] files.txt table.txt
//            truth.txt                                      (in the night's directory)
//
// --no-cosmic-rays leaves cosmic-ray hits and hot pixels to the sharp-pixel test alone;
// --background-cell N sets the background mesh's cells (0: no background taken out);
// --min-score S keeps only candidates whose detection score is S or more (default: the
// product's default; 0 keeps every score); --features FILE
// writes one line per detection: image, position, whether it lies within 2.5 pixels of an
// injected source (real 1, else 0), that source's peak in sky noise units (0 for none),
// the rejection bits, the score, then the score's features (the columns tools/train_score
// trains on); --kernel-scale apertures measures the flux scale in large apertures and holds
// it while the kernel is fitted (fitted, the default: fitted with the kernel).
//
// With --catalog it holds the rows of a catalogue that newstars wrote (either method)
// against the truth instead, the kept rows as the candidates (with --all-rows every row,
// as the report without --vet holds them), so that both methods are measured alike:
//
//   diffeval --catalog FILE [--all-rows] files.txt truth.txt

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/angles.hpp"
#include "base/file_descriptor.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "diff/difference.hpp"
#include "diff/image_plane.hpp"
#include "diff/score.hpp"
#include "fits/fits_read_any.hpp"
#include "sky/reference_table.hpp"
#include "wcs/world_frame.hpp"

using namespace newstars;

namespace {

struct Truth {
    std::string object, image, where = "sky";
    double peakSigmas = 0, x = 0, y = 0;
    double ra = 0, dec = 0; // hours, degrees
    bool inBox = false, saturated = false;
};

// Recovery tallies of one kind of source and one band of brightness.
struct Tally {
    int injected = 0, recovered = 0, masked = 0; // masked: unusable pixels at the source
    std::vector<double> errors;                  // arcseconds
};

const char* band(double sigmas)
{
    return sigmas >= 20 ? ">=20" : sigmas >= 10 ? "10-20" : "5-10";
}

// The injected sources of a truth file into *truth: 0, or -1 with "PATH: REASON" in
// *message when the file cannot be opened (no file must not read as no sources).
int readTruth(const char* path, std::vector<Truth>* truth, std::string* message)
{
    std::ifstream in(path);
    if (!in) {
        *message = printableText(path) + ": can not open the truth file";
        return -1;
    }
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        Truth t;
        double peak = 0, sky = 0, sigma = 0;
        int inBox = 0;
        fields >> t.object >> t.image >> t.ra >> t.dec >> peak >> sky >> sigma >> t.x >> t.y >>
            inBox;
        std::string where;
        if (fields >> where)
            t.where = where;
        t.peakSigmas = peak / sigma;
        t.inBox = inBox != 0;
        t.saturated = peak + sky + 5 * sigma >= 65535;
        truth->push_back(t);
    }
    return 0;
}

// The recovery table and the summary line.
void printTallies(std::map<std::string, Tally>& tallies, int images, int falseCount,
                  int rejectedTrue, double seconds)
{
    std::vector<double> all;
    std::printf("%-8s %-6s %9s %9s %8s %7s %14s\n", "where", "peak", "injected", "recovered",
                "fraction", "masked", "median error\"");
    for (auto& [key, tally] : tallies) {
        std::vector<double> e = tally.errors;
        all.insert(all.end(), e.begin(), e.end());
        std::sort(e.begin(), e.end());
        const std::string where = key.substr(0, key.find(' '));
        std::printf("%-8s %-6s %9d %9d %8.3f %7d %14.4f\n", where.c_str(),
                    key.substr(key.find(' ') + 1).c_str(), tally.injected, tally.recovered,
                    tally.injected > 0 ? static_cast<double>(tally.recovered) / tally.injected : 0,
                    tally.masked, e.empty() ? 0.0 : e[e.size() / 2]);
    }
    std::sort(all.begin(), all.end());
    std::printf("images %d; false candidates %d (%.2f per image); injected sources rejected %d; "
                "median position error %.4f arcsec; %.3f s per image\n",
                images, falseCount, images > 0 ? static_cast<double>(falseCount) / images : 0,
                rejectedTrue, all.empty() ? 0.0 : all[all.size() / 2],
                images > 0 ? seconds / images : 0);
}

// The fields of one CSV line, quotes removed ("" inside quotes is one quote).
std::vector<std::string> csvFields(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// Arc between two sky positions given in degrees, arcseconds.
double arcSeconds(double ra1, double dec1, double ra2, double dec2)
{
    return radiansToDegrees(skyArc(degreesToRadians(ra1), degreesToRadians(dec1),
                                   degreesToRadians(ra2), degreesToRadians(dec2))) *
           3600;
}

// Reads the image file name as the product reads a plain or compressed one (simnight's
// .fth files are tile-compressed): 0, or -1 with "NAME: REASON" in *message.
int readImage(const std::string& name, FitsImage* image, std::string* message)
{
    std::string reason;
    const FileDescriptor file(openRegularFile(name.c_str(), &reason));
    if (!file.isOpen() || readAnyFitsImage(file.get(), "", {}, image, &reason) != 0) {
        *message = printableText(name.c_str()) + ": " + printableText(reason.c_str());
        return -1;
    }
    return 0;
}

// The world-coordinate frame of an image, read as the product reads it by default: 0, or
// -1 with "NAME: REASON" in *message.
int readFrame(const std::string& name, const FitsImage& image, WorldFrame* frame,
              std::string* message)
{
    std::string detail;
    const WcsStatus status = readWorldFrame(image, WcsMode::Auto, frame, &detail);
    if (status != WcsStatus::Ok) {
        *message = printableText(name.c_str()) + ": " + wcsProblemText(status, detail);
        return -1;
    }
    return 0;
}

// diffeval --catalog: the rows of a newstars catalogue against the truth.
int evaluateCatalogue(const char* catalogPath, bool allRows, const char* filesPath,
                      const char* truthPath)
{
    std::vector<std::string> files;
    std::string message;
    if (readFileOfFiles(filesPath, &files, &message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::vector<Truth> truth;
    if (readTruth(truthPath, &truth, &message) != 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    struct Row {
        std::string image;
        double x = 0, y = 0, ra = 0, dec = 0;
        bool candidate = false, used = false;
    };
    std::vector<Row> rows;
    std::ifstream in(catalogPath);
    if (!in) {
        std::fprintf(stderr, "%s: can not open the catalogue\n", printableText(catalogPath).c_str());
        return 1;
    }
    std::map<std::string, size_t> column;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::vector<std::string> f = csvFields(line);
        if (column.empty()) {
            for (size_t i = 0; i < f.size(); ++i)
                column[f[i]] = i;
            for (const char* name : {"image", "x", "y", "ra", "dec", "verdict"}) {
                if (column.count(name) == 0) {
                    std::fprintf(stderr, "%s: no column %s\n", printableText(catalogPath).c_str(),
                                 name);
                    return 1;
                }
            }
            continue;
        }
        if (f.size() != column.size())
            continue;
        Row r;
        r.image = f[column["image"]];
        r.x = std::atof(f[column["x"]].c_str());
        r.y = std::atof(f[column["y"]].c_str());
        r.ra = std::atof(f[column["ra"]].c_str());
        r.dec = std::atof(f[column["dec"]].c_str());
        r.candidate = allRows || f[column["verdict"]] == "kept";
        rows.push_back(r);
    }
    if (column.empty()) {
        std::fprintf(stderr, "%s: no column names\n", printableText(catalogPath).c_str());
        return 1;
    }
    std::map<std::string, Tally> tallies;
    int rejectedTrue = 0;
    for (const Truth& s : truth) {
        double best = 2.5;
        Row* at = nullptr;
        for (Row& r : rows) {
            const double d = std::hypot(r.x - s.x, r.y - s.y);
            if (r.image == s.image && d < best) {
                best = d;
                at = &r;
            }
        }
        if (at != nullptr)
            at->used = true;
        if (!s.inBox || s.saturated)
            continue;
        Tally& tally = tallies[s.where + " " + band(s.peakSigmas)];
        ++tally.injected;
        if (at != nullptr && at->candidate) {
            ++tally.recovered;
            tally.errors.push_back(arcSeconds(at->ra, at->dec, s.ra * 15, s.dec));
        } else if (at != nullptr) {
            ++rejectedTrue;
        }
    }
    int falseCount = 0;
    for (const Row& r : rows)
        falseCount += r.candidate && !r.used ? 1 : 0;
    printTallies(tallies, static_cast<int>(files.size()), falseCount, rejectedTrue, 0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "--catalog") == 0) {
        const bool allRows = argc == 6 && std::strcmp(argv[3], "--all-rows") == 0;
        if (argc == 5 || allRows)
            return evaluateCatalogue(argv[2], allRows, argv[argc - 2], argv[argc - 1]);
    }
    double threshold = 5;
    int first = 1;
    bool cosmicRays = true;
    KernelScale kernelScale = KernelScale::Fitted;
    int backgroundCell = DEFAULT_BACKGROUND_CELL;
    double minScore = DEFAULT_MIN_SCORE;
    const char* featuresPath = nullptr;
    while (argc - first > 3) {
        if (std::strcmp(argv[first], "--threshold") == 0) {
            threshold = std::atof(argv[first + 1]);
            first += 2;
        } else if (std::strcmp(argv[first], "--background-cell") == 0) {
            backgroundCell = std::atoi(argv[first + 1]);
            first += 2;
        } else if (std::strcmp(argv[first], "--min-score") == 0) {
            minScore = std::atof(argv[first + 1]);
            first += 2;
        } else if (std::strcmp(argv[first], "--features") == 0) {
            featuresPath = argv[first + 1];
            first += 2;
        } else if (std::strcmp(argv[first], "--kernel-scale") == 0 &&
                   (std::strcmp(argv[first + 1], "fitted") == 0 ||
                    std::strcmp(argv[first + 1], "apertures") == 0)) {
            kernelScale = std::strcmp(argv[first + 1], "apertures") == 0 ? KernelScale::Apertures
                                                                         : KernelScale::Fitted;
            first += 2;
        } else if (std::strcmp(argv[first], "--no-cosmic-rays") == 0) {
            cosmicRays = false;
            first += 1;
        } else {
            break;
        }
    }
    if (argc - first != 3) {
        std::fprintf(stderr,
                     "usage: %s [--threshold S] [--no-cosmic-rays] [--background-cell N] "
                     "[--min-score S] [--features FILE]\n"
                     "          [--kernel-scale fitted|apertures] files.txt table.txt truth.txt\n"
                     "       %s --catalog FILE [--all-rows] files.txt truth.txt\n",
                     argv[0], argv[0]);
        return 1;
    }
    std::vector<std::string> files;
    std::string message;
    if (readFileOfFiles(argv[first], &files, &message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::vector<Truth> truth;
    if (readTruth(argv[first + 2], &truth, &message) != 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::map<std::string, Tally> tallies;
    int images = 0, falseCount = 0, rejectedTrue = 0;
    double seconds = 0;
    FILE* table = std::fopen(argv[first + 1], "re");
    if (table == nullptr) {
        std::perror(argv[first + 1]);
        return 1;
    }
    FILE* featureFile = nullptr;
    if (featuresPath != nullptr) {
        featureFile = std::fopen(featuresPath, "we");
        if (featureFile == nullptr) {
            std::perror(featuresPath);
            std::fclose(table);
            return 1;
        }
        std::fprintf(featureFile, "image x y real peak_sigmas reasons score");
        for (int i = 0; i < SCORE_FEATURE_COUNT; ++i)
            std::fprintf(featureFile, " %s", scoreFeatureName(i));
        std::fprintf(featureFile, "\n");
    }
    for (const std::string& name : files) {
        FitsImage test, reference;
        std::string object;
        WorldFrame testFrame, referenceFrame;
        if (readImage(name, &test, &message) != 0 ||
            readFrame(name, test, &testFrame, &message) != 0) {
            std::fprintf(stderr, "%s\n", message.c_str());
            continue;
        }
        if (getStringCard(&test, "OBJECT", &object) < 0) {
            std::fprintf(stderr, "%s: no OBJECT field\n", printableText(name.c_str()).c_str());
            continue;
        }
        object.erase(object.find_last_not_of(' ') + 1);
        ReferenceEntry entry;
        SearchBox box;
        std::rewind(table);
        bool haveReference = false;
        SkyStatus lookup = SkyStatus::Ok;
        while (!haveReference && (lookup = findReferenceEntry(table, object.c_str(), &box, &entry,
                                                              &message)) == SkyStatus::Ok) {
            haveReference = readImage(entry.referenceName, &reference, &message) == 0;
        }
        if (lookup != SkyStatus::Ok && lookup != SkyStatus::EndOfTable) {
            const bool lineEnd = !message.empty() && message.back() == '\n';
            std::fprintf(stderr, "%s%s", message.c_str(), lineEnd ? "" : "\n");
            std::fclose(table);
            return 1;
        }
        if (!haveReference) {
            std::fprintf(stderr, "%s: no reference image\n", name.c_str());
            continue;
        }
        if (readFrame(entry.referenceName, reference, &referenceFrame, &message) != 0) {
            std::fprintf(stderr, "%s\n", message.c_str());
            continue;
        }
        const PixelMapping mapping = [&](double x, double y, double* u, double* v) {
            double ra = 0, dec = 0;
            return pixelToSky(testFrame, x, y, &ra, &dec) == WcsStatus::Ok &&
                   skyToPixel(referenceFrame, ra, dec, u, v) == WcsStatus::Ok;
        };
        PixelMap map;
        double error = 0;
        if (const DiffStatus s = samplePixelMap(mapping, test.width, test.height, 3, &map, &error);
            s != DiffStatus::Ok) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), diffStatusText(s));
            continue;
        }
        const double margin = 2 * 4.84813681109536e-06 / box.cosMidDec;
        const auto inside = [&](double x, double y) {
            double ra = 0, dec = 0;
            return pixelToSky(testFrame, x, y, &ra, &dec) == WcsStatus::Ok &&
                   inSearchBox(&box, ra, dec, margin);
        };
        DifferenceOptions options;
        options.detect.threshold = threshold;
        options.findCosmicRays = cosmicRays;
        options.kernelScale = kernelScale;
        options.flattenBackground = backgroundCell > 0;
        options.subtractResidualBackground = backgroundCell > 0;
        options.background.cellSize = std::max(backgroundCell, 8);
        getRealCard(&test, "GAIN", &options.testGain);
        getRealCard(&reference, "GAIN", &options.referenceGain);
        // The planes as the product makes them, from pixels of any type.
        DifferenceResult result;
        ImagePlane testPlane, referencePlane;
        const BackgroundOptions* flatten =
            options.flattenBackground ? &options.background : nullptr;
        DiffStatus status = makeImagePlane(test, &testPlane, flatten);
        if (status == DiffStatus::Ok)
            status = makeImagePlane(reference, &referencePlane, flatten);
        if (status == DiffStatus::Ok)
            status = subtractPlanes(&testPlane, &referencePlane, map, options, inside, &result);
        if (status != DiffStatus::Ok) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), diffStatusText(status));
            continue;
        }
        std::vector<float> features;
        std::vector<double> scores;
        std::string scoreMessage;
        if (DiffStatus s = measureScoreFeatures(result, &features); s == DiffStatus::Ok)
            status = scoreFeatures(features, result.sources.size(), &scores, &scoreMessage);
        else
            status = s;
        if (status != DiffStatus::Ok) {
            std::fprintf(stderr, "%s: %s %s\n", name.c_str(), diffStatusText(status),
                         scoreMessage.c_str());
            continue;
        }
        const auto candidate = [&](size_t k) {
            return result.sources[k].reasons == 0 && (minScore <= 0 || scores[k] >= minScore);
        };
        ++images;
        if (std::getenv("DIFFEVAL_VERBOSE") != nullptr)
            std::printf(
                "%s sigma test %.3f ref %.3f refconv %d scale %.3f stamps %d rejected %d "
                "chi2 %.2f apertures %d hw %d noise %.2f reg %.3f (%d) cosmic test %lld ref %lld\n",
                name.c_str(), result.testSigma, result.referenceSigma, result.referenceConvolved,
                result.fluxScale, result.kernel.stampsUsed, result.kernel.stampsRejected,
                result.kernel.chiSquare, result.scaleApertures, result.kernel.halfWidth,
                result.noiseScale, result.registration.rms, result.registration.used,
                static_cast<long long>(result.testCosmicPixels),
                static_cast<long long>(result.referenceCosmicPixels));
        const DifferenceTimings& t = result.timings;
        seconds += t.stars + t.registration + t.resampling + t.kernelFit + t.convolution +
                   t.subtraction + t.detection;
        double ra0 = 0, dec0 = 0, ra1 = 0, dec1 = 0;
        // Arcseconds per pixel at the centre; NaN (errors shown as such) where the frame
        // gives no position there.
        const double cx = test.width / 2.0, cy = test.height / 2.0;
        const bool centred = pixelToSky(testFrame, cx, cy, &ra0, &dec0) == WcsStatus::Ok &&
                             pixelToSky(testFrame, cx, cy + 1, &ra1, &dec1) == WcsStatus::Ok;
        const double scale =
            centred ? radiansToDegrees(std::fabs(dec1 - dec0)) * 3600 : std::nan("");
        const std::string base = baseName(name.c_str());
        std::vector<char> used(result.sources.size(), 0);
        std::vector<double> matchedPeak(result.sources.size(), 0);
        for (const Truth& s : truth) {
            if (s.image != base)
                continue;
            double best = 2.5;
            size_t at = result.sources.size();
            for (size_t k = 0; k < result.sources.size(); ++k) {
                const double d = std::hypot(result.sources[k].x - s.x, result.sources[k].y - s.y);
                if (d < best) {
                    best = d;
                    at = k;
                }
            }
            if (at < result.sources.size()) {
                used[at] = 1;
                matchedPeak[at] = std::max(matchedPeak[at], s.peakSigmas);
            }
            if (!s.inBox || s.saturated || !inside(s.x, s.y))
                continue;
            const bool found = at < result.sources.size() && candidate(at);
            if (at < result.sources.size() && !found)
                ++rejectedTrue;
            Tally& tally = tallies[s.where + " " + band(s.peakSigmas)];
            ++tally.injected;
            const size_t pixel = static_cast<size_t>(std::lround(s.y)) * test.width +
                                 static_cast<size_t>(std::lround(s.x));
            const bool masked = (result.mask[pixel] & MASK_UNUSABLE) != 0;
            tally.masked += masked ? 1 : 0;
            if (found) {
                ++tally.recovered;
                tally.errors.push_back(best * scale);
            } else if (s.peakSigmas >= 10) {
                const DifferenceSource* d =
                    at < result.sources.size() ? &result.sources[at] : nullptr;
                std::printf("missed %s %s %.1f sigma at %.1f %.1f: %s %u sharp %.2f elong %.2f "
                            "dipole %.2f\n",
                            s.where.c_str(), base.c_str(), s.peakSigmas, s.x, s.y,
                            d != nullptr ? "rejected"
                            : masked     ? "masked"
                                         : "not detected",
                            d ? d->reasons : 0, d ? d->sharpness : 0, d ? d->elongation : 0,
                            d ? d->dipole : 0);
            }
        }
        for (size_t k = 0; k < result.sources.size(); ++k) {
            if (featureFile != nullptr) {
                std::fprintf(featureFile, "%s %.3f %.3f %d %.3f %u %.6f", base.c_str(),
                             result.sources[k].x, result.sources[k].y, used[k] ? 1 : 0,
                             matchedPeak[k], result.sources[k].reasons, scores[k]);
                for (int i = 0; i < SCORE_FEATURE_COUNT; ++i)
                    std::fprintf(featureFile, " %.9g",
                                 static_cast<double>(features[k * SCORE_FEATURE_COUNT + i]));
                std::fprintf(featureFile, "\n");
            }
            if (!used[k] && candidate(k)) {
                ++falseCount;
                std::printf("false %s at %.1f %.1f snr %.1f sharp %.2f elong %.2f dipole %.2f score %.3f\n",
                            base.c_str(), result.sources[k].x, result.sources[k].y,
                            result.sources[k].snr, result.sources[k].sharpness,
                            result.sources[k].elongation, result.sources[k].dipole, scores[k]);
            }
        }
    }
    std::fclose(table);
    if (featureFile != nullptr && std::fclose(featureFile) != 0) {
        std::perror(featuresPath);
        return 1;
    }
    printTallies(tallies, images, falseCount, rejectedTrue, seconds);
    return 0;
}
