#include "history/marks_file.hpp"

#include <fitsio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/text_file.hpp"

namespace newstars {

namespace {

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' ||
                           text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    return text.substr(begin, end - begin);
}

// The index of the first column whose lower-case name is one of names, or -1.
int findColumn(const std::vector<std::string>& columns, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        for (size_t i = 0; i < columns.size(); ++i) {
            if (lowerCase(trimmed(columns[i])) == name)
                return static_cast<int>(i);
        }
    }
    return -1;
}

const std::initializer_list<const char*> RA_NAMES = {"ra", "raj2000", "ra_icrs", "ra_deg",
                                                     "alpha"};
const std::initializer_list<const char*> DEC_NAMES = {"dec", "dej2000", "decj2000", "de_icrs",
                                                      "dec_deg", "delta"};
const std::initializer_list<const char*> NAME_NAMES = {"name", "id", "object", "main_id",
                                                       "designation"};

// A number that is the whole text.
bool wholeNumber(const std::string& text, double* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

// The lines of a text file, without their line ends.
int readLines(const std::string& path, std::vector<std::string>* lines, std::string* message)
{
    FILE* file = openTextFile(path.c_str(), message);
    if (file == nullptr)
        return -1;
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    std::string line;
    int c = 0;
    while ((c = std::getc(file)) != EOF) {
        if (c == '\n') {
            lines->push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (std::ferror(file)) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    if (!line.empty())
        lines->push_back(line);
    return 0;
}

// A delimited text table: its column names and rows with their line numbers.
struct TextTable {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::vector<size_t> lineNumbers;
};

int readTextTable(const std::string& path, TextTable* table, std::string* message)
{
    std::vector<std::string> lines;
    if (readLines(path, &lines, message) != 0)
        return -1;
    char delimiter = ',';
    if (!lines.empty() && lines[0].rfind("# %ECSV", 0) == 0) {
        delimiter = ' ';
        for (const std::string& line : lines) {
            if (line.rfind("#", 0) != 0)
                break;
            const std::string text = trimmed(line.substr(1));
            if (text.rfind("delimiter:", 0) == 0) {
                const std::string value = trimmed(text.substr(10));
                if (value == "','" || value == "\",\"" || value == ",")
                    delimiter = ',';
            }
        }
    }
    bool haveColumns = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("#", 0) == 0 || trimmed(line).empty())
            continue;
        std::vector<std::string> fields;
        if (!splitTableLine(line, delimiter, &fields)) {
            *message = path + ": line " + std::to_string(i + 1) + ": a quote is not closed";
            return -1;
        }
        if (!haveColumns) {
            table->columns = fields;
            haveColumns = true;
            continue;
        }
        table->rows.push_back(fields);
        table->lineNumbers.push_back(i + 1);
    }
    if (!haveColumns) {
        *message = path + ": no column names";
        return -1;
    }
    return 0;
}

// Whether the file starts as a FITS file does.
bool isFitsFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char start[9] = {};
    const size_t n = std::fread(start, 1, 8, file);
    std::fclose(file);
    return n == 8 && std::memcmp(start, "SIMPLE  ", 8) == 0;
}

int readFitsKnownObjects(const std::string& path, std::vector<HistoryMark>* marks,
                         std::string* message)
{
    fitsfile* fits = nullptr;
    int status = 0;
    char text[FLEN_ERRMSG] = {};
    const auto failed = [&](const char* what) {
        fits_get_errstatus(status, text);
        *message = path + ": " + what + text;
        int ignored = 0;
        if (fits != nullptr)
            fits_close_file(fits, &ignored);
        return -1;
    };
    // The file name goes to CFITSIO as a file, never as its extended syntax.
    if (fits_open_diskfile(&fits, path.c_str(), READONLY, &status) != 0)
        return failed("");
    int type = 0;
    int hdus = 0;
    fits_get_num_hdus(fits, &hdus, &status);
    int table = 0;
    for (int h = 2; h <= hdus && status == 0 && table == 0; ++h) {
        if (fits_movabs_hdu(fits, h, &type, &status) == 0 &&
            (type == BINARY_TBL || type == ASCII_TBL))
            table = h;
    }
    if (status != 0)
        return failed("");
    if (table == 0) {
        *message = path + ": no table extension";
        int ignored = 0;
        fits_close_file(fits, &ignored);
        return -1;
    }
    int columns = 0;
    long rows = 0;
    fits_get_num_cols(fits, &columns, &status);
    fits_get_num_rows(fits, &rows, &status);
    std::vector<std::string> names;
    for (int c = 1; c <= columns && status == 0; ++c) {
        char key[FLEN_KEYWORD], value[FLEN_VALUE] = {};
        std::snprintf(key, sizeof key, "TTYPE%d", c);
        int keyStatus = 0;
        fits_read_key(fits, TSTRING, key, value, nullptr, &keyStatus);
        names.emplace_back(keyStatus == 0 ? value : "");
    }
    if (status != 0)
        return failed("");
    const int ra = findColumn(names, RA_NAMES);
    const int dec = findColumn(names, DEC_NAMES);
    const int name = findColumn(names, NAME_NAMES);
    if (ra < 0 || dec < 0) {
        *message = path + ": no column of right ascension and declination";
        int ignored = 0;
        fits_close_file(fits, &ignored);
        return -1;
    }
    std::vector<HistoryMark> found;
    for (long r = 1; r <= rows; ++r) {
        double values[2] = {0, 0};
        int anyNull = 0;
        const int columnsOf[2] = {ra + 1, dec + 1};
        for (int k = 0; k < 2; ++k) {
            double nullValue = std::nan("");
            fits_read_col(fits, TDOUBLE, columnsOf[k], r, 1, 1, &nullValue, &values[k], &anyNull,
                          &status);
        }
        if (status != 0)
            return failed("");
        HistoryMark mark;
        mark.kind = "known";
        if (!std::isfinite(values[0]) || !std::isfinite(values[1]) || values[0] < 0 ||
            values[0] >= 360 || values[1] < -90 || values[1] > 90) {
            *message = path + ": row " + std::to_string(r) + ": no position";
            int ignored = 0;
            fits_close_file(fits, &ignored);
            return -1;
        }
        mark.ra = values[0];
        mark.dec = values[1];
        mark.name = std::to_string(r);
        if (name >= 0) {
            int width = 0;
            fits_get_col_display_width(fits, name + 1, &width, &status);
            if (status == 0 && width > 0 && width < 4096) {
                std::vector<char> buffer(static_cast<size_t>(width) + 1, '\0');
                char* pointer = buffer.data();
                char nullText[] = "";
                fits_read_col(fits, TSTRING, name + 1, r, 1, 1, nullText, &pointer, &anyNull,
                              &status);
                if (status == 0 && buffer[0] != '\0')
                    mark.name = trimmed(buffer.data());
            }
            if (status != 0)
                return failed("");
        }
        found.push_back(std::move(mark));
    }
    fits_close_file(fits, &status);
    marks->insert(marks->end(), found.begin(), found.end());
    return 0;
}

} // namespace

bool splitTableLine(const std::string& line, char delimiter, std::vector<std::string>* fields)
{
    fields->clear();
    size_t i = 0;
    const size_t n = line.size();
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (delimiter == ' ') {
        while (i < n && blank(line[i]))
            ++i;
        if (i == n)
            return true;
    }
    while (true) {
        std::string field;
        if (i < n && line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                if (line[i] == '"') {
                    if (i + 1 < n && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                field += line[i++];
            }
            if (!closed)
                return false;
            while (i < n && line[i] != delimiter && !(delimiter == ' ' && blank(line[i])))
                field += line[i++];
        } else {
            while (i < n && line[i] != delimiter && !(delimiter == ' ' && blank(line[i])))
                field += line[i++];
        }
        fields->push_back(field);
        if (delimiter == ' ') {
            while (i < n && blank(line[i]))
                ++i;
            if (i == n)
                return true;
        } else {
            if (i == n)
                return true;
            ++i; // the comma
        }
    }
}

bool parseSkyCoordinate(const std::string& text, bool hours, double* degrees)
{
    const std::string t = trimmed(text);
    double value = 0;
    if (wholeNumber(t, &value)) {
        // Decimal degrees.
    } else {
        std::string s = t;
        bool negative = false;
        if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
            negative = s[0] == '-';
            s = s.substr(1);
        }
        for (char& c : s) {
            if (c == ':')
                c = ' ';
        }
        std::vector<std::string> parts;
        if (!splitTableLine(s, ' ', &parts) || parts.size() < 2 || parts.size() > 3)
            return false;
        double p[3] = {0, 0, 0};
        for (size_t k = 0; k < parts.size(); ++k) {
            if (!wholeNumber(parts[k], &p[k]) || p[k] < 0 || parts[k][0] == '-' ||
                parts[k][0] == '+')
                return false;
            if (k > 0 && p[k] >= 60)
                return false;
        }
        value = p[0] + p[1] / 60 + p[2] / 3600;
        if (hours)
            value *= 15;
        if (negative)
            value = -value;
    }
    if (hours ? !(value >= 0 && value < 360) : !(value >= -90 && value <= 90))
        return false;
    *degrees = value;
    return true;
}

int readKnownObjects(const std::string& path, std::vector<HistoryMark>* marks,
                     std::string* message)
{
    // Refuses what is not a regular file before anything else reads it.
    if (FILE* probe = openTextFile(path.c_str(), message); probe == nullptr)
        return -1;
    else
        std::fclose(probe);
    if (isFitsFile(path))
        return readFitsKnownObjects(path, marks, message);
    TextTable table;
    if (readTextTable(path, &table, message) != 0)
        return -1;
    const int ra = findColumn(table.columns, RA_NAMES);
    const int dec = findColumn(table.columns, DEC_NAMES);
    const int name = findColumn(table.columns, NAME_NAMES);
    if (ra < 0 || dec < 0) {
        *message = path + ": no column of right ascension and declination";
        return -1;
    }
    std::vector<HistoryMark> found;
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const std::vector<std::string>& row = table.rows[r];
        HistoryMark mark;
        mark.kind = "known";
        if (static_cast<size_t>(std::max(ra, dec)) >= row.size() ||
            !parseSkyCoordinate(row[static_cast<size_t>(ra)], true, &mark.ra) ||
            !parseSkyCoordinate(row[static_cast<size_t>(dec)], false, &mark.dec)) {
            *message = path + ": line " + std::to_string(table.lineNumbers[r]) + ": no position";
            return -1;
        }
        if (name >= 0 && static_cast<size_t>(name) < row.size())
            mark.name = trimmed(row[static_cast<size_t>(name)]);
        if (mark.name.empty())
            mark.name = std::to_string(table.lineNumbers[r]);
        found.push_back(std::move(mark));
    }
    marks->insert(marks->end(), found.begin(), found.end());
    return 0;
}

int readPageLabels(const std::string& path, std::vector<HistoryMark>* marks,
                   std::string* message)
{
    TextTable table;
    if (readTextTable(path, &table, message) != 0)
        return -1;
    const int image = findColumn(table.columns, {"image"});
    const int number = findColumn(table.columns, {"number"});
    const int ra = findColumn(table.columns, {"ra"});
    const int dec = findColumn(table.columns, {"dec"});
    const int label = findColumn(table.columns, {"label"});
    if (image < 0 || number < 0 || ra < 0 || dec < 0 || label < 0) {
        *message = path + ": not a labels file (columns image, number, ra, dec, label)";
        return -1;
    }
    const size_t needed = static_cast<size_t>(std::max({image, number, ra, dec, label})) + 1;
    std::vector<HistoryMark> found;
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const std::vector<std::string>& row = table.rows[r];
        const std::string where = path + ": line " + std::to_string(table.lineNumbers[r]);
        HistoryMark mark;
        double degrees = 0;
        if (row.size() < needed || !wholeNumber(trimmed(row[static_cast<size_t>(ra)]), &degrees) ||
            !parseSkyCoordinate(row[static_cast<size_t>(ra)], true, &mark.ra) ||
            !wholeNumber(trimmed(row[static_cast<size_t>(dec)]), &degrees) ||
            !parseSkyCoordinate(row[static_cast<size_t>(dec)], false, &mark.dec)) {
            *message = where + ": no position";
            return -1;
        }
        mark.kind = trimmed(row[static_cast<size_t>(label)]);
        if (mark.kind != "real" && mark.kind != "bogus" && mark.kind != "skip") {
            *message = where + ": label `" + mark.kind + "' is none of real, bogus, skip";
            return -1;
        }
        mark.name = row[static_cast<size_t>(image)] + ":" + trimmed(row[static_cast<size_t>(number)]);
        found.push_back(std::move(mark));
    }
    marks->insert(marks->end(), found.begin(), found.end());
    return 0;
}

} // namespace newstars
