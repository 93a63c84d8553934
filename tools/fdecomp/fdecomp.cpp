// fdecomp: turns a compressed FITS image NAME.fth into the plain 16-bit FITS image
// NAME.fts beside it.
//
//   fdecomp [-r] NAME.fth
//
// NAME.fth holds a tile-compressed image (Rice, HCOMPRESS, GZIP or PLIO tiles, as the
// standard fpack tool writes it) or a plain FITS image. NAME.fts receives the original
// header cards and the stored 16-bit values unchanged, so a file that was compressed
// without loss comes back byte for byte. -r removes NAME.fth after success.
// Status 0 on success; otherwise one line on standard error, status 1, and no NAME.fts.

#include <fitsio.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static constexpr size_t CARD_LENGTH = 80;
static constexpr size_t RECORD_LENGTH = 2880;

struct Arguments {
    bool removeInput = false;
    std::string input;
    std::string output;
};

// The compressed image as the original file had it: its header cards (80 characters
// each, END not included) and its stored 16-bit values in file order.
struct PlainImage {
    std::vector<std::string> cards;
    std::vector<int16_t> values;
};

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

// Moves to the image: the primary array when it holds pixels, otherwise a compressed
// image in the first extension. 0, or -1 with *message set.
static int moveToImage(fitsfile* file, std::string* message)
{
    int status = 0;
    int naxis = 0;
    if (fits_get_img_dim(file, &naxis, &status) == 0 && naxis > 0)
        return 0;
    status = 0;
    int hdus = 0;
    if (fits_get_num_hdus(file, &hdus, &status) == 0 && hdus < 2) {
        *message = "holds no image";
        return -1;
    }
    int type = 0;
    if (fits_movabs_hdu(file, 2, &type, &status) != 0) {
        *message = "can not read the first extension: " + fitsErrorText(status);
        return -1;
    }
    if (!fits_is_compressed_image(file, &status)) {
        *message = "holds neither a compressed nor a plain image";
        return -1;
    }
    return 0;
}

// Number of pixels of the current image, refusing counts that overflow. 0 or -1.
static int countPixels(fitsfile* file, size_t* count, std::string* message)
{
    int status = 0;
    int naxis = 0;
    if (fits_get_img_dim(file, &naxis, &status) != 0 || naxis <= 0) {
        *message = "image has no axes";
        return -1;
    }
    std::vector<LONGLONG> axes(static_cast<size_t>(naxis));
    if (fits_get_img_sizell(file, naxis, axes.data(), &status) != 0) {
        *message = fitsErrorText(status);
        return -1;
    }
    size_t total = 1;
    const size_t limit = std::numeric_limits<size_t>::max() / sizeof(int16_t) / 2;
    for (LONGLONG axis : axes) {
        if (axis < 0 || (axis > 0 && total > limit / static_cast<size_t>(axis))) {
            *message = "image size out of range";
            return -1;
        }
        total *= static_cast<size_t>(axis);
    }
    *count = total;
    return 0;
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

// Fills image from the open file: the image's header cards and its stored values
// (no BZERO/BSCALE applied). 0, or -1 with *message set.
static int readOpenImage(fitsfile* file, PlainImage* image, std::string* message)
{
    size_t count = 0;
    if (moveToImage(file, message) != 0 || countPixels(file, &count, message) != 0)
        return -1;
    int status = 0;
    int bitpix = 0;
    if (fits_get_img_type(file, &bitpix, &status) != 0) {
        *message = fitsErrorText(status);
        return -1;
    }
    if (bitpix != SHORT_IMG) {
        *message = "not a 16-bit image (BITPIX " + std::to_string(bitpix) + ")";
        return -1;
    }
    if (checkDataSum(file, message) != 0)
        return -1;
    int got = fits_is_compressed_image(file, &status)
                  ? readCompressedCards(file, &image->cards, &status)
                  : readCards(file, &image->cards, &status);
    if (got != 0) {
        *message = "can not read the header: " + fitsErrorText(status);
        return -1;
    }
    image->values.resize(count);
    int anyNull = 0;
    if (count > 0 && (fits_set_bscale(file, 1.0, 0.0, &status) != 0 ||
                      fits_read_img(file, TSHORT, 1, static_cast<LONGLONG>(count), nullptr,
                                    image->values.data(), &anyNull, &status) != 0)) {
        *message = "can not read the pixels: " + fitsErrorText(status);
        return -1;
    }
    return 0;
}

// Reads the image of the named file as readOpenImage does. 0, or -1 with *message set.
static int readImage(const char* name, PlainImage* image, std::string* message)
{
    fitsfile* file = nullptr;
    int status = 0;
    // The disk-file form takes the name literally, without CFITSIO's filename syntax.
    if (fits_open_diskfile(&file, name, READONLY, &status) != 0) {
        *message = "can not read: " + fitsErrorText(status);
        fits_clear_errmsg();
        return -1;
    }
    int result = readOpenImage(file, image, message);
    status = 0;
    fits_close_file(file, &status);
    fits_clear_errmsg();
    return result;
}

// The whole file: cards, END, blanks to the record end, then the values big-endian
// and zeros to the record end. 0, or -1 when the size would overflow.
static int formatFile(const PlainImage& image, std::vector<unsigned char>* bytes)
{
    size_t headerLength = (image.cards.size() + 1) * CARD_LENGTH;
    headerLength = (headerLength + RECORD_LENGTH - 1) / RECORD_LENGTH * RECORD_LENGTH;
    size_t dataLength = image.values.size() * sizeof(int16_t);
    if (dataLength > std::numeric_limits<size_t>::max() / 2 - headerLength)
        return -1;
    dataLength = (dataLength + RECORD_LENGTH - 1) / RECORD_LENGTH * RECORD_LENGTH;
    bytes->assign(headerLength, ' ');
    size_t at = 0;
    for (const std::string& card : image.cards) {
        std::memcpy(bytes->data() + at, card.data(), CARD_LENGTH);
        at += CARD_LENGTH;
    }
    std::memcpy(bytes->data() + at, "END", 3);
    bytes->resize(headerLength + dataLength, 0);
    unsigned char* data = bytes->data() + headerLength;
    for (size_t i = 0; i < image.values.size(); ++i) {
        uint16_t value = static_cast<uint16_t>(image.values[i]);
        data[2 * i] = static_cast<unsigned char>(value >> 8);
        data[2 * i + 1] = static_cast<unsigned char>(value & 0xff);
    }
    return 0;
}

// Writes all bytes to fd, going on after short writes and interruptions. 0 or -1.
static int writeAll(int fd, const std::vector<unsigned char>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Writes the file under a fresh temporary name in the output's directory and renames
// it to the output name, so that the output appears whole or not at all.
// 0, or -1 with *message set and nothing left behind.
static int writeOutput(const std::string& output, const std::vector<unsigned char>& bytes,
                       std::string* message)
{
    std::string temporary = output + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *message = "can not create a file beside " + output + ": " + std::strerror(errno);
        return -1;
    }
    mode_t mask = umask(0);
    umask(mask);
    int failed = fchmod(fd, 0666 & ~mask) != 0 || writeAll(fd, bytes) != 0;
    int error = errno;
    if (close(fd) != 0 && !failed) {
        failed = 1;
        error = errno;
    }
    if (!failed && rename(temporary.c_str(), output.c_str()) != 0) {
        failed = 1;
        error = errno;
    }
    if (failed) {
        unlink(temporary.c_str());
        *message = "can not write " + output + ": " + std::strerror(error);
        return -1;
    }
    return 0;
}

// Decompresses as the arguments say. 0, or -1 with *message set.
static int decompress(const Arguments& arguments, std::string* message)
{
    PlainImage image;
    std::vector<unsigned char> bytes;
    if (readImage(arguments.input.c_str(), &image, message) != 0)
        return -1;
    if (formatFile(image, &bytes) != 0) {
        *message = "image too large";
        return -1;
    }
    image = PlainImage();
    if (writeOutput(arguments.output, bytes, message) != 0)
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
