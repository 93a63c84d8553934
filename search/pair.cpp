#include "search/pair.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/angles.hpp"
#include "base/text.hpp"
#include "fits/fits_read.hpp"
#include "search/image_file.hpp"
#include "search/options.hpp"
#include "search/run.hpp"

namespace newstars {

// Points followed along each side of a field, and sides of the box checked.
static constexpr int SIDE_POINTS = 64;
// Intervals of declination between the levels tried as the box's edges.
static constexpr int DECLINATION_STEPS = 128;
// How far (pixels) a checked point of the box may stray outside a field: the straight
// segments between the points followed bend away from the true edge by far less.
static constexpr double CHECK_SLACK = 0.01;

const char* pairBoxStatusText(PairBoxStatus status)
{
    switch (status) {
    case PairBoxStatus::Ok:
        return "Ok";
    case PairBoxStatus::NoCommonSky:
        return "no sky in common with the reference image";
    case PairBoxStatus::HoldsPole:
        return "field holds a celestial pole, which no box of right ascension fits";
    case PairBoxStatus::CrossesRaZero:
        return "the images' coordinates give the sky in common right ascensions a turn apart";
    case PairBoxStatus::EdgeOffSky:
        return "a point of the image's edge has no sky position";
    case PairBoxStatus::NoBoxInside:
        return "no box of right ascension and declination fits inside both fields";
    }
    return "unknown status";
}

namespace {

// The part of an image where stars are found, in pixel positions.
struct ScanArea {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

ScanArea scanArea(const ImageField& field)
{
    const double inset = PAIR_EDGE_PIXELS;
    return {inset, inset, field.width - 1 - inset, field.height - 1 - inset};
}

// A field's edge on the sky, a closed outline (the last point joins the first).
struct Outline {
    std::vector<double> ra, dec;
    double raMin = 0, raMax = 0, decMin = 0, decMax = 0;
};

// The difference of two right ascensions taken the short way round, in (-pi, pi].
double shortTurn(double d)
{
    d = std::remainder(d, 2 * PI);
    return d == -PI ? PI : d;
}

PairBoxStatus traceField(const ImageField& field, Outline* outline)
{
    const ScanArea a = scanArea(field);
    if (!(a.x1 > a.x0 && a.y1 > a.y0))
        return PairBoxStatus::NoCommonSky; // no star can be found in it
    const double cornerX[5] = {a.x0, a.x1, a.x1, a.x0, a.x0};
    const double cornerY[5] = {a.y0, a.y0, a.y1, a.y1, a.y0};
    for (int side = 0; side < 4; ++side) {
        for (int k = 0; k < SIDE_POINTS; ++k) {
            const double t = static_cast<double>(k) / SIDE_POINTS;
            const double x = cornerX[side] + t * (cornerX[side + 1] - cornerX[side]);
            const double y = cornerY[side] + t * (cornerY[side + 1] - cornerY[side]);
            double ra = 0, dec = 0;
            if (pixelToSky(*field.frame, x, y, &ra, &dec) != WcsStatus::Ok ||
                !std::isfinite(ra) || !std::isfinite(dec))
                return PairBoxStatus::EdgeOffSky;
            outline->ra.push_back(ra);
            outline->dec.push_back(dec);
        }
    }
    // Around a pole the right ascension turns once round. Elsewhere the outline is made
    // continuous: each point within half a turn of the one before (the frame's values
    // wrap at 0h, or at half a turn from its reference).
    double turned = 0;
    const size_t n = outline->ra.size();
    for (size_t i = 0; i < n; ++i)
        turned += shortTurn(outline->ra[(i + 1) % n] - outline->ra[i]);
    if (std::fabs(turned) > PI)
        return PairBoxStatus::HoldsPole;
    for (size_t i = 1; i < n; ++i)
        outline->ra[i] = outline->ra[i - 1] + shortTurn(outline->ra[i] - outline->ra[i - 1]);
    const auto [raLow, raHigh] = std::minmax_element(outline->ra.begin(), outline->ra.end());
    const auto [decLow, decHigh] = std::minmax_element(outline->dec.begin(), outline->dec.end());
    outline->raMin = *raLow;
    outline->raMax = *raHigh;
    outline->decMin = *decLow;
    outline->decMax = *decHigh;
    return PairBoxStatus::Ok;
}

// The right ascensions where the outline crosses declination dec: false when it does
// not, else the westmost and eastmost in *low and *high.
bool crossing(const Outline& outline, double dec, double* low, double* high)
{
    bool found = false;
    const size_t n = outline.ra.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t j = (i + 1) % n;
        const double d0 = outline.dec[i], d1 = outline.dec[j];
        if (dec < std::min(d0, d1) || dec > std::max(d0, d1))
            continue;
        const double t = d1 == d0 ? 0 : (dec - d0) / (d1 - d0);
        const double ra = outline.ra[i] + t * (outline.ra[j] - outline.ra[i]);
        *low = found ? std::min(*low, ra) : ra;
        *high = found ? std::max(*high, ra) : ra;
        found = true;
    }
    return found;
}

// Whether the pixel position lies in the scan area, give or take CHECK_SLACK.
bool inScanArea(const ScanArea& a, double x, double y)
{
    return x >= a.x0 - CHECK_SLACK && x <= a.x1 + CHECK_SLACK && y >= a.y0 - CHECK_SLACK &&
           y <= a.y1 + CHECK_SLACK;
}

// Ok when every point followed along the box's sides maps into both scan areas
// (NoBoxInside otherwise) and, for a box that does not cross 0h, back to the same right
// ascension (CrossesRaZero when a frame gives one a turn away, as a frame whose
// reference lies across 0h does: the box would not hold its stars).
PairBoxStatus boxInsideFields(const SearchBox& box, const ImageField* const fields[2])
{
    const bool crosses = box.WRA > box.ERA;
    const double east = crosses ? box.ERA + 2 * PI : box.ERA;
    const double cornerRa[5] = {box.WRA, east, east, box.WRA, box.WRA};
    const double cornerDec[5] = {box.SDec, box.SDec, box.NDec, box.NDec, box.SDec};
    for (int f = 0; f < 2; ++f) {
        const ScanArea area = scanArea(*fields[f]);
        for (int side = 0; side < 4; ++side) {
            for (int k = 0; k < SIDE_POINTS; ++k) {
                const double t = static_cast<double>(k) / SIDE_POINTS;
                const double ra = cornerRa[side] + t * (cornerRa[side + 1] - cornerRa[side]);
                const double dec = cornerDec[side] + t * (cornerDec[side + 1] - cornerDec[side]);
                double x = 0, y = 0, back = 0, ignored = 0;
                if (skyToPixel(*fields[f]->frame, ra, dec, &x, &y) != WcsStatus::Ok ||
                    !inScanArea(area, x, y) ||
                    pixelToSky(*fields[f]->frame, x, y, &back, &ignored) != WcsStatus::Ok)
                    return PairBoxStatus::NoBoxInside;
                if (!crosses && std::fabs(back - ra) > PI)
                    return PairBoxStatus::CrossesRaZero;
            }
        }
    }
    return PairBoxStatus::Ok;
}

// The box that the reference table reads from the fields formatBoxFields writes.
bool boxAsTableReadsIt(const SearchBox& box, SearchBox* read)
{
    std::string line = "pair " + formatBoxFields(box) + " reference\n";
    FILE* table = fmemopen(line.data(), line.size(), "r");
    if (table == nullptr)
        return false;
    ReferenceEntry entry;
    std::string message;
    const SkyStatus status = findReferenceEntry(table, "pair", read, &entry, &message);
    std::fclose(table);
    return status == SkyStatus::Ok;
}

} // namespace

PairBoxStatus commonSearchBox(const ImageField& reference, const ImageField& test,
                              double tolerance, SearchBox* box)
{
    Outline outlines[2];
    const ImageField* const fields[2] = {&reference, &test};
    for (int f = 0; f < 2; ++f) {
        if (PairBoxStatus s = traceField(*fields[f], &outlines[f]); s != PairBoxStatus::Ok)
            return s;
    }
    // The test image's outline moved by whole turns to lie beside the reference's.
    const Outline& a = outlines[0];
    Outline& b = outlines[1];
    const double turns = std::round((a.ra[0] - b.ra[0]) / (2 * PI));
    for (double& ra : b.ra)
        ra += turns * 2 * PI;
    b.raMin += turns * 2 * PI;
    b.raMax += turns * 2 * PI;
    if (!(b.raMin <= a.raMax && a.raMin <= b.raMax))
        return PairBoxStatus::NoCommonSky;
    const double south = std::max(a.decMin, b.decMin);
    const double north = std::min(a.decMax, b.decMax);
    if (!(north > south))
        return PairBoxStatus::NoCommonSky;

    // The span of right ascension inside both outlines at each level of declination.
    const int levels = DECLINATION_STEPS + 1;
    std::vector<double> level(levels), west(levels), east(levels);
    std::vector<char> open(levels);
    for (int k = 0; k < levels; ++k) {
        level[k] = k == DECLINATION_STEPS ? north : south + (north - south) * k / DECLINATION_STEPS;
        double lowA = 0, highA = 0, lowB = 0, highB = 0;
        open[k] = crossing(a, level[k], &lowA, &highA) && crossing(b, level[k], &lowB, &highB);
        west[k] = std::max(lowA, lowB);
        east[k] = std::min(highA, highB);
        open[k] = open[k] && east[k] > west[k];
    }

    // Every pair of levels as south and north edges: the box between them spans what all
    // levels between them share; the largest area once shrunk by the tolerance wins.
    double bestArea = 0;
    SearchBox best;
    for (int i = 0; i < levels; ++i) {
        double w = -INFINITY, e = INFINITY;
        for (int j = i; j < levels && open[j]; ++j) {
            w = std::max(w, west[j]);
            e = std::min(e, east[j]);
            if (!(e > w))
                break;
            const double cosEdge = std::min(std::cos(level[i]), std::cos(level[j]));
            if (!(cosEdge > 0))
                continue;
            const double raMargin = tolerance / cosEdge;
            const double width = (e - w - 2 * raMargin) * std::cos((level[i] + level[j]) / 2);
            const double height = level[j] - level[i] - 2 * tolerance;
            if (width > 0 && height > 0 && width * height > bestArea) {
                bestArea = width * height;
                best.WRA = w + raMargin;
                best.ERA = e - raMargin;
                best.SDec = level[i] + tolerance;
                best.NDec = level[j] - tolerance;
            }
        }
    }
    if (!(bestArea > 0))
        return PairBoxStatus::NoCommonSky;
    // Right ascensions from 0h; a box reaching past 24h crosses 0h: its west edge then lies
    // east of its east edge, and the stars' right ascensions are taken modulo a turn.
    const double fromZero = best.WRA - std::floor(best.WRA / (2 * PI)) * 2 * PI;
    best.ERA += fromZero - best.WRA;
    best.WRA = fromZero;
    if (best.ERA >= 2 * PI)
        best.ERA -= 2 * PI;
    SearchBox read;
    if (!boxAsTableReadsIt(best, &read))
        return PairBoxStatus::NoBoxInside;
    if (PairBoxStatus s = boxInsideFields(read, fields); s != PairBoxStatus::Ok)
        return s;
    *box = read;
    return PairBoxStatus::Ok;
}

std::string formatBoxFields(const SearchBox& box)
{
    return formatText("%.10f %.10f %.10f %.10f", radiansToDegrees(box.ERA) / 15,
                      radiansToDegrees(box.NDec), radiansToDegrees(box.WRA) / 15,
                      radiansToDegrees(box.SDec));
}

WcsStatus imageCentre(const FitsImage& image, WcsMode mode, double* ra, double* dec)
{
    WorldFrame frame;
    if (WcsStatus s = readWorldFrame(image, mode, &frame); s != WcsStatus::Ok)
        return s;
    double r = 0, d = 0;
    const WcsStatus s = pixelToSky(frame, (image.width - 1) / 2.0, (image.height - 1) / 2.0, &r, &d);
    if (s != WcsStatus::Ok)
        return s;
    r = std::fmod(r, 2 * PI);
    *ra = r < 0 ? r + 2 * PI : r;
    *dec = d;
    return WcsStatus::Ok;
}

int readPairReference(const char* name, WcsMode mode, double tolerance,
                      const ImageReading& reading, PairReference* reference, std::string* message,
                      ImageLog* log)
{
    const std::string shown = printableText(name);
    std::string reason;
    DecompressorOutput decompressor;
    OpenedImage opened;
    const int status = openImage(name, reading, &opened, &reason, &decompressor);
    logProgramOutput(log, decompressor.output, decompressor.errors);
    FitsImage header;
    initFitsImage(&header);
    if (status != 0 || readOpenImage(opened.fd, &header, &reason, reading.fits, opened.hdu) != 0) {
        *message = shown + ": " + printableText(reason.c_str());
        return -1;
    }
    // The cards and the size are kept; the pixels are read again for each comparison.
    header.pixels = {};
    header.values = {};
    header.noData = {};
    if (header.width < 65 || header.height < 65) {
        *message = formatText("%s: image of %d x %d pixels is too small to hold stars",
                              shown.c_str(), static_cast<int>(header.width),
                              static_cast<int>(header.height));
        return -1;
    }
    WorldFrame frame;
    std::string detail;
    if (WcsStatus s = readWorldFrame(header, mode, &frame, &detail); s != WcsStatus::Ok) {
        *message = shown + ": " + printableText(wcsProblemText(s, detail).c_str());
        return -1;
    }
    const ImageField field{&frame, header.width, header.height};
    SearchBox box;
    if (PairBoxStatus s = commonSearchBox(field, field, tolerance, &box); s != PairBoxStatus::Ok) {
        *message = shown + ": " +
                   (s == PairBoxStatus::NoCommonSky ? "field too small to search at this tolerance"
                                                    : pairBoxStatusText(s));
        return -1;
    }
    reference->name = name;
    reference->header = std::move(header);
    return 0;
}

int pairEntry(const PairReference& reference, const FitsImage& test, const char* testName,
              WcsMode mode, double tolerance, std::string* objectName, SearchBox* box,
              ReferenceEntry* entry, std::string* message)
{
    const std::string shown = printableText(testName);
    WorldFrame testFrame, referenceFrame;
    std::string detail;
    WcsStatus s = readWorldFrame(test, mode, &testFrame, &detail);
    if (s != WcsStatus::Ok) {
        *message = shown + ": " + printableText(wcsProblemText(s, detail).c_str());
        return -1;
    }
    // The reference was read whole by readPairReference.
    s = readWorldFrame(reference.header, mode, &referenceFrame);
    if (s != WcsStatus::Ok) {
        *message = printableText(reference.name.c_str()) + ": " + wcsStatusText(s);
        return -1;
    }
    SearchBox common;
    const PairBoxStatus p =
        commonSearchBox({&referenceFrame, reference.header.width, reference.header.height},
                        {&testFrame, test.width, test.height}, tolerance, &common);
    if (p != PairBoxStatus::Ok) {
        *message = shown + ": " + pairBoxStatusText(p);
        return -1;
    }
    if (objectName->find_first_not_of(' ') == std::string::npos)
        *objectName = baseName(testName);
    *box = common;
    entry->objectName = *objectName;
    entry->referenceName = reference.name;
    return 0;
}

int takePairOption(int argc, char** argv, bool pairRun, const char** toleranceText,
                   bool* matchPosition, int* used, std::string* message)
{
    *used = 0;
    if (argc < 2 || argv[1] == nullptr)
        return 0;
    const char* name = pairRun ? "--tolerance" : "--match";
    const char* value = nullptr;
    int words = 0;
    if (optionValue(argc, argv, name, &value, &words) == 0)
        return 0;
    if (value == nullptr) {
        *message = std::string(name) + (pairRun ? " needs a number of arcseconds"
                                                : " takes object or position");
        return -1;
    }
    if (pairRun) {
        *toleranceText = value;
    } else if (std::strcmp(value, "object") == 0 || std::strcmp(value, "position") == 0) {
        *matchPosition = std::strcmp(value, "position") == 0;
    } else {
        *message = std::string("--match takes object or position, not `") +
                   printableText(value) + "'";
        return -1;
    }
    *used = words;
    return 0;
}

} // namespace newstars
