#include "vet/catalog.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "fits/observation_time.hpp"

namespace newstars {

namespace {

// One catalogue column: name, unit (empty: none), ECSV datatype, description.
struct Column {
    const char* name;
    const char* unit;
    const char* datatype;
    const char* description;
};

const Column COLUMNS[] = {
    {"object", "", "string", "OBJECT of the test image"},
    {"image", "", "string", "test image"},
    {"reference", "", "string", "reference image"},
    {"number", "", "int64", "candidate number within the test image, from 1"},
    {"x", "pix", "float64", "test image column, from 0 at the first pixel centre"},
    {"y", "pix", "float64", "test image row, from 0 at the first pixel centre"},
    {"ra", "deg", "float64", "right ascension"},
    {"dec", "deg", "float64", "declination"},
    {"verdict", "", "string", "kept or rejected"},
    {"reasons", "", "string", "reasons for a rejection, separated by semicolons; none"},
    {"measured", "", "bool", "shape and flux measured in the test image"},
    {"peak", "adu", "float64", "brightest pixel above the local sky"},
    {"background", "adu", "float64", "local sky, median of the annulus"},
    {"noise", "adu", "float64", "local sky noise, robust deviation of the annulus"},
    {"snr", "", "float64", "peak over noise"},
    {"fwhm", "pix", "float64", "full width at half maximum from windowed moments"},
    {"sharpness", "", "float64", "mean of the 8 neighbours over the peak, sky removed"},
    {"elongation", "", "float64", "square root of the ratio of the principal moments"},
    {"flux", "adu", "float64", "aperture flux in the test image"},
    {"flux_err", "adu", "float64", "error of the aperture flux"},
    {"ref_x", "pix", "float64", "reference image column of the same sky position"},
    {"ref_y", "pix", "float64", "reference image row of the same sky position"},
    {"ref_flux", "adu", "float64", "forced aperture flux in the reference"},
    {"ref_flux_err", "adu", "float64", "error of the forced reference flux"},
    {"ref_snr", "", "float64", "forced reference flux over its error"},
    {"ref_saturated", "", "bool", "saturated reference pixel close by"},
    {"ref_star_dist", "pix", "float64",
     "distance to the nearest reference star (reference pixels)"},
    {"ref_star_peak", "adu", "float64", "peak pixel value of that star"},
    {"stars_used", "", "int64", "matched stars in the shape statistics of the image"},
    {"stars_sharpness", "", "float64", "median sharpness of the matched stars of the image"},
    {"stars_sharpness_spread", "", "float64", "robust spread of that sharpness"},
    {"stars_elongation", "", "float64", "median elongation of the matched stars of the image"},
    {"stars_fwhm", "pix", "float64", "median FWHM of the matched stars of the image"},
    {"flux_scale", "", "float64", "median test over reference flux of matched stars"},
    {"flags", "", "string", "remarks, separated by semicolons (saturated: its core saturates in "
                            "the test image); none"},
    {"obs_time", "", "string", "observation time of the test image, ISO 8601 UTC"},
    {"obs_mjd", "d", "float64", "observation time of the test image, MJD (UTC)"},
};

const Column DIFFERENCE_COLUMNS[] = {
    {"object", "", "string", "OBJECT of the test image"},
    {"image", "", "string", "test image"},
    {"reference", "", "string", "reference image"},
    {"number", "", "int64", "detection number within the test image, from 1"},
    {"x", "pix", "float64", "test image column, from 0 at the first pixel centre"},
    {"y", "pix", "float64", "test image row, from 0 at the first pixel centre"},
    {"ra", "deg", "float64", "right ascension"},
    {"dec", "deg", "float64", "declination"},
    {"verdict", "", "string", "kept or rejected"},
    {"reasons", "", "string", "reasons for a rejection, separated by semicolons; none"},
    {"flux", "adu", "float64", "flux on the difference image, point-spread fit"},
    {"flux_err", "adu", "float64", "error of that flux"},
    {"snr", "", "float64", "flux over its error"},
    {"peak_snr", "", "float64", "matched-filter signal-to-noise at the detecting pixel"},
    {"ref_flux", "adu", "float64", "flux of the matched reference at the same place"},
    {"mag_change", "mag", "float64", "magnitude change; nan when the reference flux is faint"},
    {"sharpness", "", "float64", "nearest pixel over the point-spread model there"},
    {"elongation", "", "float64", "axis ratio of the second moments"},
    {"dipole", "", "float64", "negative lobe flux over positive flux"},
    {"score", "", "float64", "real-bogus score, 0 (artefact) to 1 (real source)"},
    {"ref_x", "pix", "float64", "reference image column of the same position"},
    {"ref_y", "pix", "float64", "reference image row of the same position"},
    {"flags", "", "string", "remarks, separated by semicolons (saturated: its core saturates in "
                            "the test image); none"},
    {"obs_time", "", "string", "observation time of the test image, ISO 8601 UTC"},
    {"obs_mjd", "d", "float64", "observation time of the test image, MJD (UTC)"},
};

std::string number(double value, const char* format)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string full(double value)
{
    return number(value, "%.17g");
}

std::string measure(double value)
{
    return number(value, "%.6g");
}

// Length of the well-formed UTF-8 sequence starting at text[i] (shortest form, no
// surrogates, at most U+10FFFF); 0 when the bytes there are not one.
size_t utf8Length(const std::string& text, size_t i)
{
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    const unsigned char second = static_cast<unsigned char>(length > 1 ? text[i + 1] : 0);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// The text with control characters and bytes that are not well-formed UTF-8 as "?" and
// every character in quote doubled; *found tells whether one of the characters of
// special was there.
std::string cleanText(const std::string& text, char quote, const char* special, bool* found)
{
    std::string clean;
    *found = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            const size_t length = utf8Length(text, i);
            clean += length == 0 ? std::string("?") : text.substr(i, length);
            i += length == 0 ? 0 : length - 1;
            continue;
        }
        if (u < 32 || u == 127) {
            clean += '?';
            continue;
        }
        if (std::strchr(special, c) != nullptr)
            *found = true;
        clean += c;
        if (c == quote)
            clean += quote;
    }
    return clean;
}

// A CSV field: control characters and bytes that are not well-formed UTF-8 become "?";
// quoted when empty or holding a delimiter, a quote, a blank or a "#" (so that no line
// starts like a comment).
std::string field(const std::string& text)
{
    bool quote = false;
    const std::string clean = cleanText(text, '"', ",\" #", &quote);
    if (!quote && !text.empty())
        return clean;
    std::string quoted = "\"";
    quoted += clean;
    quoted += '"';
    return quoted;
}

// A text in the YAML header: single-quoted, quotes doubled.
std::string yamlText(const std::string& text)
{
    bool unused = false;
    std::string quoted = "'";
    quoted += cleanText(text, '\'', "", &unused);
    quoted += '\'';
    return quoted;
}

// A number in the YAML header, one that YAML reads as a floating-point value: 6 digits
// and always a decimal point; .nan, .inf, -.inf.
std::string yamlNumber(double value)
{
    if (std::isnan(value))
        return ".nan";
    if (std::isinf(value))
        return value > 0 ? ".inf" : "-.inf";
    std::string text = measure(value);
    if (text.find('.') == std::string::npos) {
        const size_t e = text.find('e');
        text.insert(e == std::string::npos ? text.size() : e, ".0");
    }
    return text;
}

// The YAML header lines of the columns, the meta lines given (each already "# "-prefixed
// and ended), the schema line, and the column-name line.
template <size_t N>
std::string ecsvHeader(const Column (&columns)[N], const std::string& meta)
{
    std::string text = "# %ECSV 1.0\n# ---\n# delimiter: ','\n# datatype:\n";
    for (const Column& c : columns) {
        text += "# - {name: ";
        text += c.name;
        if (*c.unit != '\0') {
            text += ", unit: ";
            text += c.unit;
        }
        text += ", datatype: ";
        text += c.datatype;
        text += ", description: '";
        text += c.description;
        text += "'}\n";
    }
    text += meta;
    text += "# schema: astropy-2.0\n";
    for (size_t i = 0; i < N; ++i) {
        if (i > 0)
            text += ',';
        text += columns[i].name;
    }
    text += '\n';
    return text;
}

template <size_t N>
void appendRow(const std::string (&cells)[N], std::string* text)
{
    for (size_t i = 0; i < N; ++i) {
        if (i > 0)
            *text += ',';
        *text += cells[i];
    }
    *text += '\n';
}

template <size_t N>
std::vector<std::string> columnNames(const Column (&columns)[N])
{
    std::vector<std::string> list;
    for (const Column& c : columns)
        list.emplace_back(c.name);
    return list;
}

std::string regionName(const std::string& text)
{
    std::string clean;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        clean += (c == '{' || c == '}' || c == '"' || c == '\'' || u < 32 || u == 127) ? '_' : c;
    }
    return clean;
}

// The label that ends a region line: image, number and verdict (or the reasons), closed.
std::string regionLabel(bool kept, const std::string& image, int32_t number,
                        const std::string& reasons)
{
    std::string text = regionName(image);
    text += ' ';
    text += std::to_string(number);
    text += ' ';
    text += kept ? std::string("kept") : reasons;
    text += "}\n";
    return text;
}

// The region line of one candidate or detection.
std::string regionLine(double ra, double dec, double radiusArcsec, bool kept,
                       const std::string& image, int32_t number, const std::string& reasons)
{
    char line[160];
    std::snprintf(line, sizeof line, "circle(%.8f,%+.8f,%.3f\") # color=%s text={", ra, dec,
                  radiusArcsec, kept ? "green" : "red");
    return line + regionLabel(kept, image, number, reasons);
}

const char REGION_HEADER[] = "# Region file format: DS9 version 4.1\n"
                             "global color=green width=1 font=\"helvetica 10 normal roman\" "
                             "select=1 highlite=1 dash=0 fixed=0 edit=1 move=1 delete=1 "
                             "include=1 source=1\nfk5\n";

// A circle of one test image's region file, in its pixels counted from 1.
std::string imageRegionLine(double x, double y, const StampOrientation& orientation,
                            double radiusArcsec, bool kept, const std::string& image,
                            int32_t number, const std::string& reasons)
{
    const double radius = orientation.known && orientation.arcsecPerPixel > 0
                              ? radiusArcsec / orientation.arcsecPerPixel
                              : 3.0;
    char line[160];
    std::snprintf(line, sizeof line, "circle(%.3f,%.3f,%.3f) # color=%s text={", x + 1, y + 1,
                  radius, kept ? "green" : "red");
    return line + regionLabel(kept, image, number, reasons);
}

const char IMAGE_REGION_HEADER[] = "# Region file format: DS9 version 4.1\n"
                                   "global color=green width=1 font=\"helvetica 10 normal "
                                   "roman\" select=1 highlite=1 dash=0 fixed=0 edit=1 move=1 "
                                   "delete=1 include=1 source=1\nimage\n";

// Splits rows into images (see formatImageRegionFiles) and writes each one's file.
// line(row) gives a row's circle.
template <typename Row, typename Line>
std::vector<ImageRegionFile> imageRegionFiles(const std::vector<Row>& rows, Line line)
{
    std::vector<ImageRegionFile> files;
    std::vector<std::pair<std::string, int>> seen; // file stems and how many images so far
    const Row* previous = nullptr;
    for (const Row& row : rows) {
        if (previous == nullptr || row.image != previous->image || row.number <= previous->number) {
            std::string stem = row.image.empty() ? std::string("_") : row.image;
            std::replace(stem.begin(), stem.end(), '/', '_');
            auto at = std::find_if(seen.begin(), seen.end(),
                                   [&](const auto& s) { return s.first == stem; });
            int count = 1;
            if (at == seen.end())
                seen.emplace_back(stem, 1);
            else
                count = ++at->second;
            std::string name = stem;
            if (count > 1) {
                name += '-';
                name += std::to_string(count);
            }
            name += ".reg";
            files.push_back({name, IMAGE_REGION_HEADER});
        }
        files.back().text += line(row);
        previous = &row;
    }
    return files;
}

const char* truth(bool value)
{
    return value ? "True" : "False";
}

} // namespace

ObservedAt observedAt(const FitsImage& image)
{
    ObservedAt at;
    ObservationTime time;
    if (readObservationTime(image, &time) != 0)
        return at;
    at.iso = isoObservationTime(time);
    if (time.hasTime)
        at.mjd = time.mjd;
    return at;
}

const std::vector<std::string>& catalogColumnNames()
{
    static const std::vector<std::string> names = columnNames(COLUMNS);
    return names;
}

const std::vector<std::string>& differenceCatalogColumnNames()
{
    static const std::vector<std::string> names = columnNames(DIFFERENCE_COLUMNS);
    return names;
}

std::string formatCatalogEcsv(const std::vector<CatalogRow>& rows,
                              const std::vector<ImageNote>& notes)
{
    std::string meta;
    if (!notes.empty()) {
        meta = "# meta:\n";
        meta += IMAGE_LIST_LINE;
        meta += '\n';
        for (const ImageNote& n : notes) {
            meta += IMAGE_ENTRY_START;
            meta += "{image: " + yamlText(n.image) +
                    ", cards_set_aside: " + yamlText(n.cardsSetAside) + "}\n";
        }
    }
    std::string text = ecsvHeader(COLUMNS, meta);
    for (const CatalogRow& r : rows) {
        const CandidateVetting& v = r.vetting;
        const SourceShape& s = v.shape;
        const double nan = std::nan("");
        const bool m = v.measured, rm = v.referenceMeasured;
        const std::string cells[] = {
            field(r.object),
            field(r.image),
            field(r.reference),
            std::to_string(r.number),
            full(v.x),
            full(v.y),
            number(r.ra, "%.10f"),
            number(r.dec, "%.10f"),
            v.reasons == 0 ? "kept" : "rejected",
            v.reasons == 0 ? std::string("none") : field(vetReasonText(v.reasons)),
            truth(m),
            measure(m ? s.peak : nan),
            measure(m ? s.background : nan),
            measure(m ? s.noise : nan),
            measure(m ? s.snr : nan),
            measure(m ? s.fwhm : nan),
            measure(m ? s.sharpness : nan),
            measure(m ? s.elongation : nan),
            measure(m ? v.testFlux.flux : nan),
            measure(m ? v.testFlux.error : nan),
            full(v.hasReference ? v.referenceX : nan),
            full(v.hasReference ? v.referenceY : nan),
            measure(rm ? v.referenceFlux.flux : nan),
            measure(rm ? v.referenceFlux.error : nan),
            measure(rm ? v.referenceSnr : nan),
            truth(v.referenceSaturated),
            measure(v.nearestStarDistance),
            measure(v.nearestStarPeak),
            std::to_string(r.stars.count),
            measure(r.stars.sharpnessMedian),
            measure(r.stars.sharpnessSpread),
            measure(r.stars.elongationMedian),
            measure(r.stars.fwhmMedian),
            measure(r.stars.fluxScale),
            v.saturated ? std::string("saturated") : std::string("none"),
            field(r.observed.iso),
            number(r.observed.mjd, "%.8f"),
        };
        static_assert(std::size(cells) == std::size(COLUMNS));
        appendRow(cells, &text);
    }
    return text;
}

std::string formatDifferenceCatalogEcsv(const std::vector<ImageRegistration>& images,
                                        const std::vector<DifferenceRow>& rows)
{
    std::string meta = "# meta:\n#   method: difference\n";
    meta += IMAGE_LIST_LINE;
    meta += '\n';
    for (const ImageRegistration& g : images) {
        meta += IMAGE_ENTRY_START;
        meta += "{image: " + yamlText(g.image) + ", reference: " + yamlText(g.reference);
        meta += ", refined: " + std::string(g.refined ? "true" : "false");
        meta += ", registration: " + yamlText(g.registration);
        meta += ", wcs_offset_pix: " + yamlNumber(g.coordinateOffset);
        meta += ", stars: " + std::to_string(g.stars);
        meta += ", clipped: " + std::to_string(g.clipped);
        meta += ", rms_pix: " + yamlNumber(g.rmsPixels);
        meta += ", rms_arcsec: " + yamlNumber(g.rmsArcsec);
        meta += ", test_fwhm_pix: " + yamlNumber(g.testFwhm);
        meta += ", ref_fwhm_pix: " + yamlNumber(g.referenceFwhm);
        meta += ", convolved: " + std::string(g.referenceConvolved ? "reference" : "test");
        meta += ", kernel_stamps: " + std::to_string(g.kernelStamps);
        meta += ", kernel_rejected: " + std::to_string(g.kernelRejected);
        meta += ", kernel_chi2: " + yamlNumber(g.kernelChiSquare);
        meta += ", kernel_from: " + yamlText(g.kernelFrom);
        meta += ", flux_scale: " + yamlNumber(g.fluxScale);
        meta += ", noise_scale: " + yamlNumber(g.noiseScale);
        meta += ", detections: " + std::to_string(g.detections);
        meta += ", kept: " + std::to_string(g.kept);
        meta += ", cosmic_test: " + std::to_string(g.testCosmicPixels);
        meta += ", cosmic_ref: " + std::to_string(g.referenceCosmicPixels);
        if (!g.cardsSetAside.empty())
            meta += ", cards_set_aside: " + yamlText(g.cardsSetAside);
        meta += "}\n";
    }
    std::string text = ecsvHeader(DIFFERENCE_COLUMNS, meta);
    for (const DifferenceRow& r : rows) {
        const bool kept = r.reasons.empty();
        const std::string cells[] = {
            field(r.object),
            field(r.image),
            field(r.reference),
            std::to_string(r.number),
            full(r.x),
            full(r.y),
            number(r.ra, "%.10f"),
            number(r.dec, "%.10f"),
            kept ? "kept" : "rejected",
            kept ? std::string("none") : field(r.reasons),
            measure(r.flux),
            measure(r.fluxError),
            measure(r.snr),
            measure(r.peakSnr),
            measure(r.referenceFlux),
            measure(r.magnitudeChange),
            measure(r.sharpness),
            measure(r.elongation),
            measure(r.dipole),
            measure(r.score),
            full(r.referenceX),
            full(r.referenceY),
            r.flags.empty() ? std::string("none") : field(r.flags),
            field(r.observed.iso),
            number(r.observed.mjd, "%.8f"),
        };
        static_assert(std::size(cells) == std::size(DIFFERENCE_COLUMNS));
        appendRow(cells, &text);
    }
    return text;
}

std::string formatRegionFile(const std::vector<CatalogRow>& rows, double radiusArcsec)
{
    std::string text = REGION_HEADER;
    for (const CatalogRow& r : rows) {
        const bool kept = r.vetting.reasons == 0;
        text += regionLine(r.ra, r.dec, radiusArcsec, kept, r.image, r.number,
                           kept ? std::string() : vetReasonText(r.vetting.reasons));
    }
    return text;
}

std::string formatDifferenceRegionFile(const std::vector<DifferenceRow>& rows, double radiusArcsec)
{
    std::string text = REGION_HEADER;
    for (const DifferenceRow& r : rows)
        text +=
            regionLine(r.ra, r.dec, radiusArcsec, r.reasons.empty(), r.image, r.number, r.reasons);
    return text;
}

std::vector<ImageRegionFile> formatImageRegionFiles(const std::vector<CatalogRow>& rows,
                                                    double radiusArcsec)
{
    return imageRegionFiles(rows, [&](const CatalogRow& r) {
        const bool kept = r.vetting.reasons == 0;
        return imageRegionLine(r.vetting.x, r.vetting.y, r.page.orientation, radiusArcsec, kept,
                               r.image, r.number,
                               kept ? std::string() : vetReasonText(r.vetting.reasons));
    });
}

std::vector<ImageRegionFile>
formatDifferenceImageRegionFiles(const std::vector<DifferenceRow>& rows, double radiusArcsec)
{
    return imageRegionFiles(rows, [&](const DifferenceRow& r) {
        return imageRegionLine(r.x, r.y, r.page.orientation, radiusArcsec, r.reasons.empty(),
                               r.image, r.number, r.reasons);
    });
}

std::string catalogText(const std::string& text)
{
    bool unused = false;
    return cleanText(text, '\0', "", &unused);
}

} // namespace newstars
