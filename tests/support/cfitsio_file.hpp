#pragma once
// Test helper: FITS files of any image type, plain, gzip- or tile-compressed, with
// extensions, written by CFITSIO (an implementation independent of the readers tested).

#include <fitsio.h>

#include <cmath>
#include <string>
#include <vector>

// One HDU to write.
struct HduSpec {
    int bitpix = -32;
    long width = 0, height = 0;     // 0 x 0: no data (NAXIS = 0)
    std::vector<double> stored;     // stored values row after row, written without scaling
                                    // (rounded to integers for integer types)
    std::vector<std::string> cards; // further cards, whole text ("OBJECT  = 'M 31'")
    int compression = 0;            // 0, or a CFITSIO tile compression (RICE_1, GZIP_2)
    bool table = false;             // a binary table of one column instead of an image
};

// Writes the HDUs (the first one the primary array, unless it is compressed or a table:
// CFITSIO then puts an empty primary array before it) into a new file at path; a path
// ending in ".gz" is gzip-compressed as a whole. CFITSIO's status: 0 on success.
inline int writeFitsHdus(const std::string& path, const std::vector<HduSpec>& hdus)
{
    fitsfile* file = nullptr;
    int status = 0;
    std::string name = "!" + path;
    if (fits_create_file(&file, name.c_str(), &status) != 0)
        return status;
    for (const HduSpec& hdu : hdus) {
        if (hdu.table) {
            char type[] = "1J";
            char column[] = "VALUE";
            char* types[] = {type};
            char* columns[] = {column};
            fits_create_tbl(file, BINARY_TBL, 0, 1, columns, types, nullptr, nullptr, &status);
        } else {
            fits_set_compression_type(file, hdu.compression, &status);
            if (hdu.compression == GZIP_2 || hdu.compression == GZIP_1)
                fits_set_quantize_level(file, 0.0f, &status); // floats kept exactly
            long axes[2] = {hdu.width, hdu.height};
            fits_create_img(file, hdu.bitpix, hdu.width > 0 ? 2 : 0, axes, &status);
        }
        for (const std::string& card : hdu.cards)
            fits_write_record(file, card.c_str(), &status);
        if (!hdu.table && !hdu.stored.empty()) {
            fits_set_bscale(file, 1.0, 0.0, &status);
            const LONGLONG count = static_cast<LONGLONG>(hdu.stored.size());
            if (hdu.bitpix < 0) {
                std::vector<double> values = hdu.stored;
                fits_write_img(file, TDOUBLE, 1, count, values.data(), &status);
            } else if (hdu.bitpix == 64) {
                std::vector<LONGLONG> values(hdu.stored.begin(), hdu.stored.end());
                fits_write_img(file, TLONGLONG, 1, count, values.data(), &status);
            } else if (hdu.bitpix == 16) {
                // Each type from its own C type: CFITSIO compresses only from those.
                std::vector<short> values;
                for (double v : hdu.stored)
                    values.push_back(static_cast<short>(std::lround(v)));
                fits_write_img(file, TSHORT, 1, count, values.data(), &status);
            } else {
                std::vector<int> values;
                for (double v : hdu.stored)
                    values.push_back(static_cast<int>(std::lround(v)));
                fits_write_img(file, TINT, 1, count, values.data(), &status);
            }
        }
    }
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    return status != 0 ? status : closeStatus;
}
