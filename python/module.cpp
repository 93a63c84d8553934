// The compiled half of the newstars Python module: numpy arrays and header text in, the
// libraries' results out. The Python half (newstars/__init__.py) shapes the results into
// structured arrays, frames and tables; everything here works on buffers already in
// memory and releases the interpreter lock while the libraries run.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/angles.hpp"
#include "base/text.hpp"
#include "fits/fits_image.hpp"
#include "diff/difference.hpp"
#include "search/difference.hpp"
#include "search/pair.hpp"
#include "search/run.hpp"
#include "vet/catalog.hpp"
#include "stars/find_stars.hpp"
#include "wcs/world_frame.hpp"

namespace py = pybind11;
using namespace newstars;

namespace {

// A failure the libraries reported, with their message; newstars.Error in Python.
struct LibraryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool nativeOrder(const py::dtype& type)
{
    const char order = type.byteorder();
    if (order == '=' || order == '|')
        return true;
    const uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return (first == 1) == (order == '<');
}

// The element type of a numpy dtype, or a TypeError for anything but real numbers
// and booleans.
PixelType pixelType(const py::dtype& type, const char* what)
{
    const char kind = type.kind();
    const auto size = type.itemsize();
    if (kind == 'b' && size == 1)
        return PixelType::UInt8;
    if (kind == 'i' || kind == 'u') {
        const bool isSigned = kind == 'i';
        switch (size) {
        case 1: return isSigned ? PixelType::Int8 : PixelType::UInt8;
        case 2: return isSigned ? PixelType::Int16 : PixelType::UInt16;
        case 4: return isSigned ? PixelType::Int32 : PixelType::UInt32;
        case 8: return isSigned ? PixelType::Int64 : PixelType::UInt64;
        default: break;
        }
    }
    if (kind == 'f' && size == 4)
        return PixelType::Float32;
    if (kind == 'f' && size == 8)
        return PixelType::Float64;
    const std::string name = py::str(type.attr("name"));
    throw py::type_error(std::string(what) + ": pixels of dtype " + name +
                         " are not supported (integers, float32, float64 or bool)");
}

// A 2-D numpy array (rows, columns) seen where it lies.
struct ArrayView {
    py::array array; // keeps the buffer alive
    PixelView view;
    int width = 0, height = 0;
};

ArrayView viewArray(const py::handle& object, const char* what)
{
    ArrayView a;
    a.array = py::array::ensure(object);
    if (!a.array)
        throw py::type_error(std::string(what) + ": not an array");
    a.view.type = pixelType(a.array.dtype(), what);
    if (a.array.ndim() != 2)
        throw py::value_error(std::string(what) + ": a 2-D array (rows, columns) is needed, not " +
                              std::to_string(a.array.ndim()) + "-D");
    const py::ssize_t rows = a.array.shape(0), columns = a.array.shape(1);
    if (rows > std::numeric_limits<int>::max() || columns > std::numeric_limits<int>::max())
        throw py::value_error(std::string(what) + ": more than 2^31 - 1 rows or columns");
    a.height = static_cast<int>(rows);
    a.width = static_cast<int>(columns);
    a.view.data = a.array.data();
    a.view.byteSwapped = !nativeOrder(a.array.dtype());
    a.view.rowStride = a.array.strides(0);
    a.view.columnStride = a.array.strides(1);
    return a;
}

bool isSixteenBit(const PixelView& view)
{
    return view.type == PixelType::UInt16 || view.type == PixelType::Int16;
}

// Whether a 16-bit array is already what the 16-bit finder reads: unsigned, in this
// machine's order, row after row without gaps.
bool isFinderPixels(const ArrayView& a)
{
    return a.view.type == PixelType::UInt16 && !a.view.byteSwapped && a.view.columnStride == 2 &&
           a.view.rowStride == 2 * static_cast<ptrdiff_t>(a.width);
}

bool readsInPlace(const py::handle& data)
{
    const ArrayView a = viewArray(data, "data");
    return !isSixteenBit(a.view) || isFinderPixels(a);
}

// The pixels of a 16-bit array as the image reader holds a 16-bit image: file value +
// 32768 modulo 65536, which for unsigned arrays (astropy's for BZERO = 32768) is the value
// itself and for signed ones (file values without their offset) the value + 32768.
// Points into the array when it is laid out as the finder reads it, else into *copy.
const uint16_t* sixteenBitPixels(const ArrayView& a, std::vector<uint16_t>* copy)
{
    if (isFinderPixels(a))
        return static_cast<const uint16_t*>(a.view.data);
    copy->resize(static_cast<size_t>(a.width) * static_cast<size_t>(a.height));
    const uint16_t offset = a.view.type == PixelType::Int16 ? 0x8000 : 0;
    for (int y = 0; y < a.height; ++y) {
        const auto* row = static_cast<const unsigned char*>(a.view.data) + y * a.view.rowStride;
        for (int x = 0; x < a.width; ++x) {
            unsigned char bytes[2];
            std::memcpy(bytes, row + x * a.view.columnStride, 2);
            if (a.view.byteSwapped)
                std::swap(bytes[0], bytes[1]);
            uint16_t v = 0;
            std::memcpy(&v, bytes, 2);
            (*copy)[static_cast<size_t>(y) * a.width + x] = static_cast<uint16_t>(v ^ offset);
        }
    }
    return copy->data();
}

// The no-data value of an option (the command line's --no-data): none, or a finite
// number that a float holds, rounded to float as the image reader compares it.
std::optional<float> noDataValue(std::optional<double> value)
{
    if (!value)
        return std::nullopt;
    if (!std::isfinite(*value) || std::fabs(*value) > std::numeric_limits<float>::max())
        throw py::value_error("no_data: a finite number that float32 holds, not " +
                              std::to_string(*value));
    return static_cast<float>(*value);
}

// The stars of data as four arrays (x, y, peak, flags).
py::tuple findStarsInArray(const py::handle& data, const py::handle& mask,
                           std::optional<double> saturation, std::optional<double> noData)
{
    const ArrayView values = viewArray(data, "data");
    std::optional<ArrayView> masked;
    if (!mask.is_none()) {
        masked = viewArray(mask, "mask");
        if (masked->width != values.width || masked->height != values.height)
            throw py::value_error("mask: shape differs from the data's");
    }
    const std::optional<float> noDataLevel = noDataValue(noData);
    StarList stars;
    std::string message;
    int count = 0;
    {
        py::gil_scoped_release unlocked;
        StarFinderWorkspace workspace;
        std::vector<uint16_t> copy;
        const bool sixteenBit = isSixteenBit(values.view);
        const PixelView* maskView = masked ? &masked->view : nullptr;
        if (sixteenBit && !masked && (!saturation || *saturation == 65535.0)) {
            count = findStars(sixteenBitPixels(values, &copy), values.width, values.height,
                              &stars, &workspace, &message);
        } else if (sixteenBit) {
            const PixelView pixels{sixteenBitPixels(values, &copy), PixelType::UInt16, false,
                                   2 * static_cast<ptrdiff_t>(values.width), 2};
            count = findStarsInView(pixels, maskView, values.width, values.height,
                                    saturation.value_or(65535.0), &stars, &workspace, &message);
        } else if (noDataLevel) {
            // The pixels of the no-data value marked as the image reader marks them: the
            // values and mask the finder would copy anyway, made once here.
            const size_t n = static_cast<size_t>(values.width) * static_cast<size_t>(values.height);
            std::vector<float> level(n);
            std::vector<uint8_t> missing(n);
            copyViewValues(values.view, maskView, values.width, values.height, &*noDataLevel,
                           level.data(), missing.data());
            count = findStarsInValues(level.data(), missing.data(), values.width, values.height,
                                      saturation.value_or(std::numeric_limits<double>::infinity()),
                                      &stars, &workspace, &message);
        } else {
            count = findStarsInView(values.view, maskView, values.width, values.height,
                                    saturation.value_or(std::numeric_limits<double>::infinity()),
                                    &stars, &workspace, &message);
        }
    }
    if (count < 0)
        throw std::bad_alloc();
    const auto n = static_cast<size_t>(count);
    py::array_t<double> x(n), y(n), peak(n);
    py::array_t<uint8_t> flags(n);
    for (size_t i = 0; i < n; ++i) {
        x.mutable_at(i) = stars.x[i];
        y.mutable_at(i) = stars.y[i];
        peak.mutable_at(i) = i < stars.peakValue.size() ? stars.peakValue[i] : stars.peak[i];
        flags.mutable_at(i) = i < stars.flags.size() ? stars.flags[i] : 0;
    }
    return py::make_tuple(x, y, peak, flags);
}

// Header cards from their text: 80 characters each, up to the END card or the text's
// end (a last piece shorter than a card is refused).
FitsImage headerImage(const std::string& text)
{
    FitsImage image;
    initFitsImage(&image);
    size_t at = 0;
    for (; at + FITS_CARD_LENGTH <= text.size(); at += FITS_CARD_LENGTH) {
        if (text.compare(at, 8, "END     ") == 0)
            return image;
        if (addCard(&image, text.data() + at) != 0)
            throw std::bad_alloc();
    }
    if (at != text.size() && text.find_first_not_of(' ', at) != std::string::npos)
        throw py::value_error("header: the text is not a whole number of 80-character cards");
    return image;
}

WcsMode wcsMode(const std::string& text)
{
    WcsMode mode = WcsMode::Auto;
    if (!parseWcsMode(text.c_str(), &mode))
        throw py::value_error("wcs: auto, classic or fits, not '" + text + "'");
    return mode;
}

// A header's world-coordinate frame, as the search reads it.
struct Frame {
    WorldFrame frame;
    std::string cardsSetAside; // readWorldFrame's note on cards set aside ("" when none)
    bool standard() const { return frame.standard; }
};

Frame readFrame(const std::string& cards, const std::string& mode)
{
    const WcsMode m = wcsMode(mode);
    const FitsImage image = headerImage(cards);
    Frame f;
    WcsStatus status = WcsStatus::Ok;
    {
        py::gil_scoped_release unlocked;
        status = readWorldFrame(image, m, &f.frame, &f.cardsSetAside);
    }
    if (status != WcsStatus::Ok)
        throw LibraryError(wcsProblemText(status, f.cardsSetAside));
    return f;
}

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Converts count positions through convert; NaN where a position does not convert.
template <typename Convert>
py::tuple convertPositions(const Doubles& a, const Doubles& b, Convert convert)
{
    if (a.size() != b.size())
        throw py::value_error("the two coordinate arrays differ in size");
    const auto n = static_cast<size_t>(a.size());
    py::array_t<double> outA(n), outB(n);
    const double* inA = a.data();
    const double* inB = b.data();
    double* resultA = outA.mutable_data();
    double* resultB = outB.mutable_data();
    {
        py::gil_scoped_release unlocked;
        for (size_t i = 0; i < n; ++i) {
            if (!convert(inA[i], inB[i], &resultA[i], &resultB[i])) {
                resultA[i] = std::numeric_limits<double>::quiet_NaN();
                resultB[i] = std::numeric_limits<double>::quiet_NaN();
            }
        }
    }
    return py::make_tuple(outA, outB);
}

py::tuple framePixelToSky(const Frame& f, const Doubles& x, const Doubles& y)
{
    return convertPositions(x, y, [&](double px, double py, double* ra, double* dec) {
        if (pixelToSky(f.frame, px, py, ra, dec) != WcsStatus::Ok)
            return false;
        *ra *= 180.0 / PI;
        *dec *= 180.0 / PI;
        return true;
    });
}

py::tuple frameSkyToPixel(const Frame& f, const Doubles& ra, const Doubles& dec)
{
    return convertPositions(ra, dec, [&](double r, double d, double* x, double* y) {
        return skyToPixel(f.frame, r * PI / 180.0, d * PI / 180.0, x, y) == WcsStatus::Ok;
    });
}

// One image handed over from Python: its pixels and optional mask seen where they lie,
// and its header cards. Made with the interpreter lock held; read without it.
struct ImageInput {
    ArrayView values;
    std::optional<ArrayView> mask;
    std::string cards;
    std::string name;
};

ImageInput imageInput(const py::handle& values, const py::handle& mask, std::string cards,
                      std::string name, const char* what)
{
    ImageInput input{viewArray(values, what), std::nullopt, std::move(cards), std::move(name)};
    // The image record holds at most 2^31 - 1 pixels, as the image reader reads them.
    if (static_cast<int64_t>(input.values.width) * input.values.height >
        std::numeric_limits<int32_t>::max())
        throw py::value_error(std::string(what) + ": image of " +
                              std::to_string(input.values.width) + " x " +
                              std::to_string(input.values.height) + " pixels is too large");
    if (!mask.is_none()) {
        input.mask = viewArray(mask, (std::string(what) + "_mask").c_str());
        if (input.mask->width != input.values.width || input.mask->height != input.values.height)
            throw py::value_error(std::string(what) + "_mask: shape differs from the " + what +
                                  "'s");
    }
    return input;
}

// The image as the reader gives one: a 16-bit array without a mask as a 16-bit image
// (uint16 values as they are, int16 ones + 32768; the no-data value does not apply, as
// --no-data leaves 16-bit files alone); any other array, or one with a mask, as physical
// values and their no-data mask (copyViewValues), read once where they lie. Runs without
// the interpreter lock.
FitsImage readerImage(const ImageInput& input, const std::optional<float>& noData)
{
    FitsImage image = headerImage(input.cards);
    image.width = input.values.width;
    image.height = input.values.height;
    const size_t n = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    if (isSixteenBit(input.values.view) && !input.mask) {
        image.bitpix = 16;
        std::vector<uint16_t> copy;
        const uint16_t* pixels = sixteenBitPixels(input.values, &copy);
        if (pixels == copy.data())
            image.pixels = std::move(copy);
        else
            image.pixels.assign(pixels, pixels + n);
        return image;
    }
    image.bitpix = -32;
    image.values.resize(n);
    image.noData.resize(n);
    copyViewValues(input.values.view, input.mask ? &input.mask->view : nullptr, image.width,
                   image.height, noData ? &*noData : nullptr, image.values.data(),
                   image.noData.data());
    return image;
}

// A header-only copy of an image (cards and size), as the pair run keeps its reference.
PairReference pairReference(const FitsImage& image, const std::string& name)
{
    PairReference reference;
    reference.name = name;
    reference.header.bitpix = image.bitpix;
    reference.header.width = image.width;
    reference.header.height = image.height;
    reference.header.cards = image.cards;
    reference.header.cardCount = image.cardCount;
    return reference;
}

// The test image's object as the pair run takes it: OBJECT without trailing blanks
// (pairEntry puts the test's base name in place of a blank one).
std::string objectOf(const FitsImage& test)
{
    std::string object;
    if (getStringCard(&test, "OBJECT", &object) < 0)
        object.clear();
    const size_t end = object.find_last_not_of(' ');
    object.erase(end == std::string::npos ? 0 : end + 1);
    return object;
}

// The pair run's refusal of a reference too small for the star finder (every test star
// would be new): "NAME: image of W x H pixels is too small to hold stars"; "" otherwise.
std::string smallReferenceText(const FitsImage& reference, const std::string& name)
{
    if (reference.width >= 65 && reference.height >= 65)
        return {};
    return printableText(name.c_str()) + ": image of " + std::to_string(reference.width) + " x " +
           std::to_string(reference.height) + " pixels is too small to hold stars";
}

double toleranceRadians(double arcsec)
{
    if (!(arcsec >= 0) || !std::isfinite(arcsec))
        throw py::value_error("tolerance: a finite number of arcseconds >= 0");
    return arcsec / 3600 * PI / 180;
}

// The messages and the summary line of a log.
void splitLog(const ImageLog& log, std::string* messages, std::string* summary)
{
    for (const ImageLog::Piece& piece : log.pieces)
        (piece.error ? *messages : *summary) += piece.text;
}

py::array_t<float> planeArray(const FloatImage& plane)
{
    py::array_t<float> a({static_cast<py::ssize_t>(plane.height), static_cast<py::ssize_t>(plane.width)});
    std::copy(plane.pixels.begin(), plane.pixels.end(), a.mutable_data());
    return a;
}

// The difference-imaging search of one pair as the pair run makes it.
py::dict differencePair(const py::handle& referencePixels, const py::handle& referenceMask,
                        const std::string& referenceCards, const py::handle& testPixels,
                        const py::handle& testMask, const std::string& testCards,
                        const std::string& referenceName, const std::string& testName,
                        double toleranceArcsec, double threshold, const std::string& mode,
                        std::optional<double> noData)
{
    const WcsMode m = wcsMode(mode);
    const ImageInput referenceInput =
        imageInput(referencePixels, referenceMask, referenceCards, referenceName, "reference");
    const ImageInput testInput = imageInput(testPixels, testMask, testCards, testName, "test");
    const std::optional<float> noDataLevel = noDataValue(noData);
    const double tolerance = toleranceRadians(toleranceArcsec);
    if (!(threshold > 0) || !std::isfinite(threshold))
        throw py::value_error("threshold: a finite number above 0");
    std::string failure;
    ImageLog log;
    DifferenceOutputs outputs;
    DifferenceResult kept;
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        const FitsImage reference = readerImage(referenceInput, noDataLevel);
        const FitsImage test = readerImage(testInput, noDataLevel);
        SearchRun run;
        run.tolerance = tolerance;
        run.wcsMode = m;
        run.method = SearchMethod::Difference;
        run.differenceThreshold = threshold;
        std::string object = objectOf(test);
        SearchBox box;
        ReferenceEntry entry;
        failure = smallReferenceText(reference, referenceName);
        if (!failure.empty() ||
            pairEntry(pairReference(reference, referenceName), test, testName.c_str(), m,
                      run.tolerance, &object, &box, &entry, &failure) != 0) {
            status = -1;
        } else {
            VetOptions vetting;
            status = compareImagesByDifference(&run, box, &reference, &test, referenceName.c_str(),
                                               testName.c_str(), object.c_str(), &log, &vetting,
                                               &outputs, &kept);
        }
    }
    std::string messages;
    std::string summary;
    splitLog(log, &messages, &summary);
    if (status != 0)
        throw LibraryError(failure.empty() ? messages : failure);
    py::dict result;
    result["messages"] = py::bytes(messages);
    result["summary"] = py::bytes(summary);
    result["catalog"] = py::bytes(formatDifferenceCatalogEcsv(outputs.registrations, outputs.rows));
    result["difference"] = planeArray(kept.difference);
    FloatImage noise = kept.variance;
    for (float& v : noise.pixels)
        v = v > 0 ? std::sqrt(v) : (v == 0 ? 0.0f : std::numeric_limits<float>::quiet_NaN());
    result["noise"] = planeArray(noise);
    result["matched_reference"] = planeArray(kept.reference);
    py::array_t<uint8_t> mask({static_cast<py::ssize_t>(kept.difference.height),
                               static_cast<py::ssize_t>(kept.difference.width)});
    std::copy(kept.mask.begin(), kept.mask.end(), mask.mutable_data());
    result["mask"] = mask;
    return result;
}

// The vetting thresholds by the names of the command line's options (without "--", "_"
// for "-"), each a finite number above 0.
VetParams vetParams(const py::dict& thresholds)
{
    struct Threshold {
        const char* name;
        double VetParams::*parameter;
    };
    static const Threshold THRESHOLDS[] = {
        {"sharp", &VetParams::sharpSpreads},
        {"elongation", &VetParams::elongationSpreads},
        {"reference_snr", &VetParams::referenceSnr},
        {"brightening", &VetParams::brighteningFactor},
        {"saturation_fwhm", &VetParams::saturationFwhm},
    };
    VetParams params;
    for (const auto& [key, value] : thresholds) {
        const std::string name = py::str(key);
        const Threshold* threshold = nullptr;
        for (const Threshold& t : THRESHOLDS) {
            if (name == t.name)
                threshold = &t;
        }
        if (threshold == nullptr)
            throw py::type_error("unknown vetting threshold " + name);
        double v = 0;
        try {
            v = py::cast<double>(value);
        } catch (const py::cast_error&) {
            throw py::type_error(name + ": a number, not " + std::string(py::repr(value)));
        }
        if (!(v > 0) || !std::isfinite(v))
            throw py::value_error(name + ": a finite number above 0");
        params.*(threshold->parameter) = v;
    }
    return params;
}

// The catalogue comparison of one pair as the pair run makes it with --catalog: the stars
// of both images, placed on the sky, matched inside the sky both cover, and every test star
// without a counterpart vetted. With candidates (test pixel positions) given, those are
// vetted instead, against the same comparison's matched stars, numbered from 1 in the
// order given. Returns the catalogue text, the report's summary line, its candidate lines
// and the messages for standard error.
py::dict comparePair(const py::handle& referencePixels, const py::handle& referenceMask,
                     const std::string& referenceCards, const py::handle& testPixels,
                     const py::handle& testMask, const std::string& testCards,
                     const std::string& referenceName, const std::string& testName,
                     double toleranceArcsec, const std::string& mode, std::optional<double> noData,
                     const py::dict& thresholds, const py::handle& candidateX,
                     const py::handle& candidateY)
{
    const WcsMode m = wcsMode(mode);
    const ImageInput referenceInput =
        imageInput(referencePixels, referenceMask, referenceCards, referenceName, "reference");
    const ImageInput testInput = imageInput(testPixels, testMask, testCards, testName, "test");
    const std::optional<float> noDataLevel = noDataValue(noData);
    const double tolerance = toleranceRadians(toleranceArcsec);
    VetOptions vetting;
    vetting.params = vetParams(thresholds);
    const bool given = !candidateX.is_none();
    std::vector<double> givenX, givenY;
    if (given) {
        const auto x = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(candidateX);
        const auto y = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(candidateY);
        if (!x || !y || x.ndim() != 1 || y.ndim() != 1 || x.size() != y.size())
            throw py::value_error("x, y: two 1-D arrays of the same length are needed");
        givenX.assign(x.data(), x.data() + x.size());
        givenY.assign(y.data(), y.data() + y.size());
    }
    std::string failure, messages, summary;
    ImageLog log;
    std::vector<CatalogRow> rows;
    std::vector<ImageNote> notes;
    SearchRun run;
    {
        py::gil_scoped_release unlocked;
        const FitsImage reference = readerImage(referenceInput, noDataLevel);
        const FitsImage test = readerImage(testInput, noDataLevel);
        std::string object = objectOf(test);
        SearchBox box;
        ReferenceEntry entry;
        StarFinderWorkspace workspace;
        std::vector<SkyPosition> referenceSky, testSky;
        std::string referenceNote, testNote;
        PlacedStars referencePlaced, testPlaced;
        const char* refName = referenceName.c_str();
        const char* tstName = testName.c_str();
        failure = smallReferenceText(reference, referenceName);
        if (failure.empty() &&
            pairEntry(pairReference(reference, referenceName), test, tstName, m, tolerance,
                      &object, &box, &entry, &failure) == 0 &&
            findSkyStars(&reference, refName, m, &workspace, &referenceSky, &referenceNote,
                         &failure, &referencePlaced) == 0 &&
            findSkyStars(&test, tstName, m, &workspace, &testSky, &testNote, &failure,
                         &testPlaced) == 0) {
            messages = referenceNote + testNote;
            run.tolerance = tolerance;
            run.wcsMode = m;
            run.filter = [&](const ComparisonView& view, std::vector<char>* keep) {
                ImageVetting result;
                std::string unused;
                if (!given) {
                    vetComparison(vetting, view, &result, &unused);
                    for (size_t k = 0; k < keep->size() && k < result.kept.size(); ++k)
                        (*keep)[k] = result.kept[k];
                    rows = std::move(result.rows);
                    return;
                }
                // The comparison's matched stars make the yardstick; the given positions
                // are the candidates, carrying the finder's flags where they are a star's.
                std::vector<ComparedStar> stars;
                for (const ComparedStar& s : *view.testStars) {
                    if (s.matched)
                        stars.push_back(s);
                }
                for (size_t i = 0; i < givenX.size(); ++i) {
                    ComparedStar c;
                    c.x = givenX[i];
                    c.y = givenY[i];
                    if (view.testFrame == nullptr ||
                        pixelToSky(*view.testFrame, c.x, c.y, &c.ra, &c.dec) != WcsStatus::Ok) {
                        c.ra = std::numeric_limits<double>::quiet_NaN();
                        c.dec = std::numeric_limits<double>::quiet_NaN();
                    }
                    for (const ComparedStar& s : *view.testStars) {
                        if (s.x == c.x && s.y == c.y)
                            c.flags = s.flags;
                    }
                    stars.push_back(c);
                }
                ComparisonView candidates = view;
                candidates.testStars = &stars;
                vetComparison(vetting, candidates, &result, &unused);
                rows = std::move(result.rows);
            };
            reportComparison(&run, box, referenceSky, testSky, &test, refName, tstName,
                             object.c_str(), &log, &reference, &referencePlaced, &testPlaced);
            // Cards set aside in either image, for the catalogue's header.
            std::string aside;
            if (!testPlaced.cardsSetAside.empty())
                aside = std::string(baseName(tstName)) + ": " + testPlaced.cardsSetAside;
            if (!referencePlaced.cardsSetAside.empty())
                aside += std::string(aside.empty() ? "" : "; ") + baseName(refName) + ": " +
                         referencePlaced.cardsSetAside;
            if (!aside.empty())
                notes.push_back({baseName(tstName), aside});
        }
    }
    if (!failure.empty())
        throw LibraryError(failure);
    splitLog(log, &messages, &summary);
    py::dict result;
    result["messages"] = py::bytes(messages);
    result["summary"] = py::bytes(summary);
    result["catalog"] = py::bytes(formatCatalogEcsv(rows, notes));
    py::list lines;
    for (const std::string& line : run.candidates.lines)
        lines.append(py::bytes(line));
    result["candidates"] = lines;
    return result;
}

// A stream whose text ends in memory (open_memstream), closed on destruction.
class MemoryStream {
public:
    MemoryStream() : file_(open_memstream(&text_, &size_))
    {
        if (file_ == nullptr)
            throw std::bad_alloc();
    }
    ~MemoryStream()
    {
        close();
        std::free(text_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    FILE* file() const { return file_; }
    // Closes the stream and returns what was written to it.
    py::bytes text()
    {
        close();
        return py::bytes(text_ != nullptr ? text_ : "", size_);
    }

private:
    void close()
    {
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = nullptr;
    }
    char* text_ = nullptr;
    size_t size_ = 0;
    FILE* file_ = nullptr;
};

// Runs the search of a command line's arguments (argument 0 being the program name) in
// this process: (exit status, report bytes, message bytes, catalogue text).
py::tuple runNight(const std::vector<std::string>& arguments, const std::string& decompressor)
{
    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    MemoryStream out, err;
    std::string catalog;
    SearchHost host;
    host.out = out.file();
    host.err = err.file();
    host.ownsProcess = false;
    host.catalogText = &catalog;
    host.decompressor = decompressor;
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        status = runSearch(static_cast<int>(words.size()), argv.data(), host);
    }
    return py::make_tuple(status, out.text(), err.text(), py::bytes(catalog));
}

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "Compiled core of newstars; use the functions of the newstars package.";
    static py::exception<LibraryError> error(m, "Error", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const LibraryError& e) {
            PyErr_SetString(error.ptr(), e.what());
        }
    });

    m.def("find_stars", &findStarsInArray, py::arg("data"), py::arg("mask"),
          py::arg("saturation"), py::arg("no_data"),
          "(x, y, peak, flags) arrays of the stars of a 2-D array; see newstars.find_stars.");
    m.def("reads_in_place", &readsInPlace, py::arg("data"),
          "Whether find_stars reads the array where it lies (no copy of the pixels).");

    py::class_<Frame>(m, "Frame")
        .def_property_readonly("standard", &Frame::standard)
        .def_readonly("cards_set_aside", &Frame::cardsSetAside)
        .def("pixel_to_sky", &framePixelToSky, py::arg("x"), py::arg("y"))
        .def("sky_to_pixel", &frameSkyToPixel, py::arg("ra"), py::arg("dec"));
    m.def("run_night", &runNight, py::arg("arguments"), py::arg("decompressor"),
          "(status, report, messages, catalogue) of a search command line run in this process.");
    m.def("difference", &differencePair, py::arg("reference"), py::arg("reference_mask"),
          py::arg("reference_cards"), py::arg("test"), py::arg("test_mask"),
          py::arg("test_cards"), py::arg("reference_name"), py::arg("test_name"),
          py::arg("tolerance"), py::arg("threshold"), py::arg("wcs"), py::arg("no_data"),
          "The difference-imaging search of one pair; see newstars.difference.");
    m.def("compare", &comparePair, py::arg("reference"), py::arg("reference_mask"),
          py::arg("reference_cards"), py::arg("test"), py::arg("test_mask"),
          py::arg("test_cards"), py::arg("reference_name"), py::arg("test_name"),
          py::arg("tolerance"), py::arg("wcs"), py::arg("no_data"), py::arg("thresholds"),
          py::arg("x"), py::arg("y"),
          "The catalogue comparison of one pair; see newstars.search and newstars.vet.");
    m.def("read_frame", &readFrame, py::arg("cards"), py::arg("wcs"),
          "The world-coordinate frame of header card text; see newstars.read_frame.");
}
