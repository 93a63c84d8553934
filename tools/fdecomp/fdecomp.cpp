// fdecomp: turns a FITS image NAME.fth, compressed or not, into the plain 16-bit FITS
// image NAME.fts beside it.
//
//   fdecomp [-r] NAME.fth
//
// NAME.fth may hold anything the FITS library reads, whatever its name says: a plain
// FITS file, a FITS file compressed as a whole (gzip, as .gz files hold them), or
// tile-compressed images (Rice, HCOMPRESS, GZIP or PLIO tiles, as .fz files and the
// standard fpack tool hold them). The first two-dimensional 16-bit image in it (further
// axes of length 1 allowed, at least one pixel), in the primary array or in any
// extension, compressed or not, becomes NAME.fts: a single-image file whose primary
// header (SIMPLE = T) carries the image's own cards (for an extension, followed by the
// primary-header cards it inherits: OBJECT, DATE-OBS and TIME-OBS when it lacks them,
// every card it lacks with INHERIT = T) and whose data are the stored 16-bit values
// unchanged, so a file compressed without loss comes back byte for byte. An
// image newstars would refuse as too large (more than 2^31 - 1 pixels, or a header of
// more than 10000 records) is refused before anything is written. -r removes NAME.fth
// after success.
// Status 0 on success; otherwise one line on standard error, status 1, and no NAME.fts.
// Stopped by SIGINT, SIGTERM or SIGHUP, it removes its partial output and ends by
// that signal.

#include <fitsio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/end_by_signal.hpp"
#include "fits/fits_read_any.hpp"

static constexpr size_t CARD_LENGTH = 80;
static constexpr size_t RECORD_LENGTH = 2880;

// The most pixels newstars reads in one image (its pixel indices are 32-bit).
static constexpr LONGLONG MAX_PIXELS = std::numeric_limits<int32_t>::max();

// The most records newstars reads in a header, and so the most cards the written
// header may hold before END.
static constexpr int MAX_HEADER_RECORDS = 10000;
static constexpr size_t MAX_CARDS = MAX_HEADER_RECORDS * (RECORD_LENGTH / CARD_LENGTH) - 1;

// Pixels read and written at once, roughly (whole rows, whole rows of tiles).
static constexpr LONGLONG PIXELS_PER_PIECE = LONGLONG{1} << 20;

// The signals on which the partial output is removed before the program ends.
static constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary output file while it exists, for the stop-signal handler to remove.
static std::atomic<const char*> partialOutput{nullptr};

struct Arguments {
    bool removeInput = false;
    std::string input;
    std::string output;
};

// The image chosen in the input: its place and shape.
struct ImageShape {
    int naxis = 0;
    std::vector<LONGLONG> axes; // NAXIS1 .. NAXISn
    LONGLONG pixels = 0;        // NAXIS1 x NAXIS2
    bool compressed = false;
};

extern "C" void removePartialOutputAndStop(int signal)
{
    int savedErrno = errno;
    if (const char* name = partialOutput.load())
        unlink(name);
    newstars::endBySignal(signal);
    errno = savedErrno;
}

// Removes the partial output on the stop signals, except those already ignored (as
// under nohup), which stay ignored.
static void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = removePartialOutputAndStop;
    sigemptyset(&action.sa_mask);
    for (int signal : STOP_SIGNALS)
        sigaddset(&action.sa_mask, signal);
    for (int signal : STOP_SIGNALS) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

// Blocks (block true) or unblocks the stop signals, so that creating, renaming or
// removing the temporary output and recording it in partialOutput happen as one step.
static void holdStopSignals(bool block)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : STOP_SIGNALS)
        sigaddset(&set, signal);
    sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// Checks the command line and forms the output name (final h of .fth turned into s,
// H of .FTH into S). 0, or -1 with the reason in *message.
static int parseArguments(int argc, char** argv, Arguments* arguments, std::string* message)
{
    int next = 1;
    if (next < argc && std::strcmp(argv[next], "-r") == 0) {
        arguments->removeInput = true;
        ++next;
    }
    if (argc - next != 1) {
        *message = "usage: fdecomp [-r] NAME.fth";
        return -1;
    }
    std::string name = argv[next];
    size_t n = name.size();
    bool lower = n >= 4 && name.compare(n - 4, 4, ".fth") == 0;
    bool upper = n >= 4 && name.compare(n - 4, 4, ".FTH") == 0;
    if (!lower && !upper) {
        *message = name + ": name does not end in .fth; usage: fdecomp [-r] NAME.fth";
        return -1;
    }
    arguments->input = name;
    arguments->output = name;
    arguments->output[n - 1] = lower ? 's' : 'S';
    return 0;
}

// CFITSIO's short text for a status code.
static std::string fitsErrorText(int status)
{
    char text[FLEN_STATUS] = {0};
    fits_get_errstatus(status, text);
    return std::string(text) + " (status " + std::to_string(status) + ")";
}

// Opens name for reading when it is a regular file, checked without waiting on a FIFO
// or device. The descriptor, or -1 with *message set.
static int openRegularFile(const std::string& name, std::string* message)
{
    int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *message = std::string("can not read: ") + std::strerror(errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        *message = "not a regular file";
        return -1;
    }
    return fd;
}

// Reads every header card of the current HDU of file, padded to 80 characters.
static int readCards(fitsfile* file, std::vector<std::string>* cards, int* status)
{
    int count = 0;
    if (fits_get_hdrspace(file, &count, nullptr, status) != 0)
        return -1;
    char card[FLEN_CARD];
    for (int i = 1; i <= count; ++i) {
        if (fits_read_record(file, i, card, status) != 0)
            return -1;
        std::string text(card);
        text.resize(CARD_LENGTH, ' ');
        cards->push_back(text);
    }
    return 0;
}

// The original header of a compressed image: CFITSIO restores the image keywords from
// their Z forms and leaves out the table's own structure and checksums.
static int readCompressedCards(fitsfile* file, std::vector<std::string>* cards, int* status)
{
    fitsfile* header = nullptr;
    if (fits_create_file(&header, "mem://", status) != 0)
        return -1;
    if (fits_img_decompress_header(file, header, status) == 0)
        readCards(header, cards, status);
    int closeStatus = 0;
    fits_close_file(header, &closeStatus);
    return *status == 0 ? 0 : -1;
}

// Whether the current HDU is a 16-bit image of two dimensions (further axes of length 1)
// holding at least one pixel; fills *shape when it is.
static bool isPlainTwoDimensional(fitsfile* file, ImageShape* shape, int* status)
{
    int type = 0;
    int bitpix = 0;
    int naxis = 0;
    if (fits_get_hdu_type(file, &type, status) != 0 || type != IMAGE_HDU ||
        fits_get_img_type(file, &bitpix, status) != 0 || bitpix != SHORT_IMG ||
        fits_get_img_dim(file, &naxis, status) != 0 || naxis < 2)
        return false;
    std::vector<LONGLONG> axes(static_cast<size_t>(naxis));
    if (fits_get_img_sizell(file, naxis, axes.data(), status) != 0 || axes[0] <= 0 || axes[1] <= 0)
        return false;
    for (int i = 2; i < naxis; ++i) {
        if (axes[static_cast<size_t>(i)] != 1)
            return false;
    }
    shape->naxis = naxis;
    shape->axes = axes;
    shape->compressed = fits_is_compressed_image(file, status) != 0;
    shape->pixels =
        axes[0] > MAX_PIXELS || axes[1] > MAX_PIXELS ? MAX_PIXELS + 1 : axes[0] * axes[1];
    return *status == 0;
}

// Moves to the first HDU holding a two-dimensional 16-bit image. 0 with *shape filled,
// or -1 with *message set.
static int moveToImage(fitsfile* file, ImageShape* shape, std::string* message)
{
    for (int hdu = 1;; ++hdu) {
        int status = 0;
        int type = 0;
        if (fits_movabs_hdu(file, hdu, &type, &status) != 0) {
            if (status == END_OF_FILE && hdu > 1)
                *message = "holds no 2-D 16-bit image";
            else
                *message = "can not read HDU " + std::to_string(hdu) + ": " + fitsErrorText(status);
            return -1;
        }
        if (isPlainTwoDimensional(file, shape, &status))
            return 0;
        if (status != 0) {
            *message = "can not read HDU " + std::to_string(hdu) + ": " + fitsErrorText(status);
            return -1;
        }
    }
}

// Refuses data whose DATASUM card (fpack writes one) does not match: damaged
// compressed tiles can otherwise decode into wrong pixels without any error.
// 0 when the sum matches or is absent; -1 with *message set.
static int checkDataSum(fitsfile* file, std::string* message)
{
    int status = 0;
    int dataOk = 0;
    int headerOk = 0;
    if (fits_verify_chksum(file, &dataOk, &headerOk, &status) != 0) {
        *message = "can not read the data: " + fitsErrorText(status);
        return -1;
    }
    if (dataOk < 0) {
        *message = "data do not match their DATASUM card: file damaged";
        return -1;
    }
    return 0;
}

// Adds to the cards of an extension image what it inherits from the primary header
// (OBJECT, DATE-OBS, TIME-OBS when it lacks them; with INHERIT = T every other card it
// lacks, not the structural ones), as newstars reads extensions itself. 0, or -1 with
// CFITSIO's *status.
static int inheritPrimaryCards(fitsfile* file, std::vector<std::string>* cards, int* status)
{
    int number = 0;
    fits_get_hdu_num(file, &number);
    if (number <= 1)
        return 0;
    int inherit = 0, ignored = 0;
    if (fits_read_key(file, TLOGICAL, "INHERIT", &inherit, nullptr, &ignored) != 0)
        inherit = 0;
    std::vector<std::string> primary;
    if (fits_movabs_hdu(file, 1, nullptr, status) != 0 || readCards(file, &primary, status) != 0 ||
        fits_movabs_hdu(file, number, nullptr, status) != 0)
        return -1;
    const std::vector<std::string> inherited =
        newstars::inheritedCards(*cards, primary, inherit != 0);
    cards->insert(cards->end(), inherited.begin(), inherited.end());
    return 0;
}

// The keyword of a card, blanks removed from its end.
static std::string keywordOf(const std::string& card)
{
    std::string keyword = card.substr(0, 8);
    keyword.erase(keyword.find_last_not_of(' ') + 1);
    return keyword;
}

// A value card in the fixed layout: keyword in columns 1-8, "= " and the value
// right-justified to column 30.
static std::string valueCard(const char* keyword, const std::string& value)
{
    char text[CARD_LENGTH + 1];
    std::snprintf(text, sizeof text, "%-8.8s= %20s", keyword, value.c_str());
    std::string card(text);
    card.resize(CARD_LENGTH, ' ');
    return card;
}

// The cards of a primary header for the image: the image's own cards when they already
// open with SIMPLE = T, BITPIX = 16, NAXIS and NAXIS1..n of the image in the fixed
// layout (kept byte for byte); otherwise those cards written afresh, followed by the
// image's other cards without the ones that belong to an extension or to the old
// mandatory cards (XTENSION, PCOUNT, GCOUNT, INHERIT, SIMPLE, BITPIX, NAXISn) and
// without CHECKSUM, which the changed header would no longer match.
static std::vector<std::string> primaryHeader(const std::vector<std::string>& cards,
                                              const ImageShape& shape)
{
    std::vector<std::string> mandatory = {valueCard("SIMPLE", "T"), valueCard("BITPIX", "16"),
                                          valueCard("NAXIS", std::to_string(shape.naxis))};
    for (int i = 0; i < shape.naxis; ++i) {
        std::string keyword = "NAXIS" + std::to_string(i + 1);
        mandatory.push_back(
            valueCard(keyword.c_str(), std::to_string(shape.axes[static_cast<size_t>(i)])));
    }
    bool opensWell = cards.size() >= mandatory.size();
    for (size_t i = 0; opensWell && i < mandatory.size(); ++i)
        opensWell = cards[i].compare(0, 30, mandatory[i], 0, 30) == 0;
    if (opensWell)
        return cards;
    std::vector<std::string> header = mandatory;
    for (const std::string& card : cards) {
        std::string keyword = keywordOf(card);
        bool axisCard = keyword.size() > 5 && keyword.compare(0, 5, "NAXIS") == 0 &&
                        keyword.find_first_not_of("0123456789", 5) == std::string::npos;
        if (keyword == "SIMPLE" || keyword == "XTENSION" || keyword == "BITPIX" ||
            keyword == "NAXIS" || axisCard || keyword == "PCOUNT" || keyword == "GCOUNT" ||
            keyword == "INHERIT" || keyword == "CHECKSUM")
            continue;
        header.push_back(card);
    }
    return header;
}

// The header as it is written: cards, END, blanks to the end of the record.
static std::vector<unsigned char> formatHeader(const std::vector<std::string>& cards)
{
    size_t length = (cards.size() + 1) * CARD_LENGTH;
    length = (length + RECORD_LENGTH - 1) / RECORD_LENGTH * RECORD_LENGTH;
    std::vector<unsigned char> bytes(length, ' ');
    size_t at = 0;
    for (const std::string& card : cards) {
        std::memcpy(bytes.data() + at, card.data(), CARD_LENGTH);
        at += CARD_LENGTH;
    }
    std::memcpy(bytes.data() + at, "END", 3);
    return bytes;
}

// Writes all n bytes to fd, going on after short writes and interruptions. 0 or -1.
static int writeAll(int fd, const unsigned char* bytes, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, bytes, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return -1;
        bytes += done;
        n -= static_cast<size_t>(done);
    }
    return 0;
}

// Rows read at once: about PIXELS_PER_PIECE pixels, in whole rows of tiles for a
// compressed image, so that each tile is decompressed once.
static LONGLONG rowsPerPiece(fitsfile* file, const ImageShape& shape)
{
    LONGLONG width = shape.axes[0];
    LONGLONG height = shape.axes[1];
    LONGLONG rows = std::max<LONGLONG>(1, PIXELS_PER_PIECE / width);
    long tileRows = 1;
    int status = 0;
    if (shape.compressed &&
        fits_read_key(file, TLONG, "ZTILE2", &tileRows, nullptr, &status) == 0 && tileRows > 1)
        rows = tileRows >= height ? height : (rows + tileRows - 1) / tileRows * tileRows;
    return std::min(rows, height);
}

// Writes the stored values of the image to fd, big-endian, piece by piece, then zeros to
// the end of the record. 0, or -1 with *message set.
static int writePixels(fitsfile* file, const ImageShape& shape, int fd, std::string* message)
{
    LONGLONG width = shape.axes[0];
    LONGLONG height = shape.axes[1];
    LONGLONG rows = rowsPerPiece(file, shape);
    std::vector<int16_t> values(static_cast<size_t>(rows * width));
    std::vector<unsigned char> bytes(values.size() * 2);
    int status = 0;
    fits_set_bscale(file, 1.0, 0.0, &status);
    for (LONGLONG row = 0; row < height && status == 0; row += rows) {
        LONGLONG count = std::min(rows, height - row) * width;
        int anyNull = 0;
        if (fits_read_img(file, TSHORT, row * width + 1, count, nullptr, values.data(), &anyNull,
                          &status) != 0)
            break;
        for (LONGLONG i = 0; i < count; ++i) {
            uint16_t value = static_cast<uint16_t>(values[static_cast<size_t>(i)]);
            bytes[static_cast<size_t>(2 * i)] = static_cast<unsigned char>(value >> 8);
            bytes[static_cast<size_t>(2 * i + 1)] = static_cast<unsigned char>(value & 0xff);
        }
        if (writeAll(fd, bytes.data(), static_cast<size_t>(2 * count)) != 0) {
            *message = std::string("can not write: ") + std::strerror(errno);
            return -1;
        }
    }
    if (status != 0) {
        *message = "can not read the pixels: " + fitsErrorText(status);
        return -1;
    }
    size_t tail = static_cast<size_t>(shape.pixels * 2 % static_cast<LONGLONG>(RECORD_LENGTH));
    std::vector<unsigned char> zeros(tail == 0 ? 0 : RECORD_LENGTH - tail, 0);
    if (writeAll(fd, zeros.data(), zeros.size()) != 0) {
        *message = std::string("can not write: ") + std::strerror(errno);
        return -1;
    }
    return 0;
}

// Removes the temporary output, with the stop signals held off.
static void discardPartialOutput(const std::string& temporary)
{
    holdStopSignals(true);
    unlink(temporary.c_str());
    partialOutput.store(nullptr);
    holdStopSignals(false);
}

// Writes header and pixels under a fresh temporary name in the output's directory and
// renames the file to the output name, so that the output appears whole or not at all.
// 0, or -1 with *message set and nothing left behind.
static int writeOutput(fitsfile* file, const ImageShape& shape,
                       const std::vector<unsigned char>& header, const std::string& output,
                       std::string* message)
{
    std::string temporary = output + ".XXXXXX";
    holdStopSignals(true);
    int fd = mkstemp(temporary.data());
    int error = errno;
    if (fd >= 0)
        partialOutput.store(temporary.c_str());
    holdStopSignals(false);
    if (fd < 0) {
        *message = "can not create a file beside " + output + ": " + std::strerror(error);
        return -1;
    }
    mode_t mask = umask(0);
    umask(mask);
    int failed = 0;
    if (fchmod(fd, 0666 & ~mask) != 0 || writeAll(fd, header.data(), header.size()) != 0) {
        failed = 1;
        *message = "can not write " + output + ": " + std::strerror(errno);
    } else if (writePixels(file, shape, fd, message) != 0) {
        failed = 1;
    }
    if (close(fd) != 0 && !failed) {
        failed = 1;
        *message = "can not write " + output + ": " + std::strerror(errno);
    }
    if (failed) {
        discardPartialOutput(temporary);
        return -1;
    }
    holdStopSignals(true);
    failed = rename(temporary.c_str(), output.c_str()) != 0;
    error = errno;
    partialOutput.store(nullptr);
    holdStopSignals(false);
    if (failed) {
        discardPartialOutput(temporary);
        *message = "can not write " + output + ": " + std::strerror(error);
        return -1;
    }
    return 0;
}

// Finds, checks and writes out the image of the open file. 0, or -1 with *message set.
static int decompressOpenFile(fitsfile* file, const std::string& output, std::string* message)
{
    ImageShape shape;
    if (moveToImage(file, &shape, message) != 0)
        return -1;
    if (shape.pixels > MAX_PIXELS) {
        *message = "image of " + std::to_string(shape.axes[0]) + " x " +
                   std::to_string(shape.axes[1]) + " pixels is too large (at most " +
                   std::to_string(MAX_PIXELS) + " pixels)";
        return -1;
    }
    std::vector<std::string> cards;
    int status = 0;
    int got = shape.compressed ? readCompressedCards(file, &cards, &status)
                               : readCards(file, &cards, &status);
    if (got != 0) {
        *message = "can not read the header: " + fitsErrorText(status);
        return -1;
    }
    if (inheritPrimaryCards(file, &cards, &status) != 0) {
        *message = "can not read the header: " + fitsErrorText(status);
        return -1;
    }
    cards = primaryHeader(cards, shape);
    if (cards.size() > MAX_CARDS) {
        *message = "header longer than " + std::to_string(MAX_HEADER_RECORDS) + " records";
        return -1;
    }
    if (checkDataSum(file, message) != 0)
        return -1;
    return writeOutput(file, shape, formatHeader(cards), output, message);
}

// Whether the file starts as gzip data does (bytes 1f 8b).
static bool startsAsGzip(int fd)
{
    unsigned char magic[2] = {0, 0};
    ssize_t got = 0;
    do
        got = pread(fd, magic, sizeof magic, 0);
    while (got < 0 && errno == EINTR);
    return got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

// The name under which the FITS library opens the input. The library chooses how to
// expand a file compressed as a whole from its name, not from its first bytes: a name
// holding ".Z" or ".bz2" anywhere, directories included (a private directory
// /tmp/run.Zq4x/, say), sends gzip data to another decoder, which fails. Gzip data under
// such a name is therefore opened through the name of its descriptor fd, /dev/fd/N,
// which holds neither; every other file by its own name.
static std::string libraryName(const std::string& input, int fd)
{
    if ((input.find(".Z") == std::string::npos && input.find(".bz2") == std::string::npos) ||
        !startsAsGzip(fd))
        return input;
    return "/dev/fd/" + std::to_string(fd);
}

// Decompresses as the arguments say. 0, or -1 with *message set.
static int decompress(const Arguments& arguments, std::string* message)
{
    // Held open for the whole run: its /dev/fd name may be the one the library opens.
    const int input = openRegularFile(arguments.input, message);
    if (input < 0)
        return -1;
    const std::string name = libraryName(arguments.input, input);
    fitsfile* file = nullptr;
    int status = 0;
    // The disk-file form takes the name literally, without CFITSIO's filename syntax.
    if (fits_open_diskfile(&file, name.c_str(), READONLY, &status) != 0) {
        close(input);
        *message = "can not read: " + fitsErrorText(status);
        fits_clear_errmsg();
        return -1;
    }
    int result = decompressOpenFile(file, arguments.output, message);
    status = 0;
    fits_close_file(file, &status);
    fits_clear_errmsg();
    close(input);
    if (result != 0)
        return -1;
    if (arguments.removeInput && unlink(arguments.input.c_str()) != 0) {
        *message = std::string("can not remove: ") + std::strerror(errno);
        unlink(arguments.output.c_str());
        return -1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    catchStopSignals();
    Arguments arguments;
    std::string message;
    if (parseArguments(argc, argv, &arguments, &message) != 0) {
        std::fprintf(stderr, "fdecomp: %s\n", message.c_str());
        return 1;
    }
    if (decompress(arguments, &message) != 0) {
        std::fprintf(stderr, "fdecomp: %s: %s\n", arguments.input.c_str(), message.c_str());
        return 1;
    }
    return 0;
}
