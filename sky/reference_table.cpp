#include "sky/reference_table.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/angles.hpp"
#include "sky/sexagesimal.hpp"

namespace newstars {

// A line as getline keeps it, released at the end of the scope.
struct LineBuffer {
    char* text = nullptr;
    size_t size = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer()
    {
        std::free(text);
    }
};

static bool isFieldSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isAsciiLetterOrDigit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Converts one sky field of the matching entry to radians (hours or degrees in the
// table): 0 and *angle, or -1 with the message naming the field. A number too large to
// give a finite angle is refused like a field without a number: it would make a box
// that holds nothing.
static int scanBoxField(const char* text, const char* fieldName, const char* objectName,
                        bool inHours, double* angle, std::string* message)
{
    double value = 0;
    bool isNumber = scanSexagesimal(text, &value) == SkyStatus::Ok;
    double result = inHours ? degreesToRadians(value * 15) : degreesToRadians(value);
    if (!isNumber || !std::isfinite(result)) {
        *message = std::string("Bad ") + fieldName + " for " + objectName + ": " + text + "\n";
        return -1;
    }
    *angle = result;
    return 0;
}

// The sky box of a line split into its fields: 0, or -1 with the message of the first
// field that is not a number, naming objectName.
static int scanBox(char* const* fields, const char* objectName, SearchBox* box,
                   std::string* message)
{
    double east = 0, north = 0, west = 0, south = 0;
    if (scanBoxField(fields[1], "ERA", objectName, true, &east, message) != 0 ||
        scanBoxField(fields[2], "NDec", objectName, false, &north, message) != 0 ||
        scanBoxField(fields[3], "WRA", objectName, true, &west, message) != 0 ||
        scanBoxField(fields[4], "SDec", objectName, false, &south, message) != 0)
        return -1;
    box->ERA = east;
    box->NDec = north;
    box->WRA = west;
    box->SDec = south;
    box->cosMidDec = std::cos((box->SDec + box->NDec) / 2);
    return 0;
}

bool inSearchBox(const SearchBox* box, double ra, double dec, double margin)
{
    const bool inDec = box->SDec + margin <= dec && dec <= box->NDec - margin;
    if (!(box->WRA > box->ERA))
        return box->WRA + margin <= ra && ra <= box->ERA - margin && inDec;
    // The box crosses 0h: from the west edge up to 24h, and from 0h up to the east edge,
    // ra taken modulo a full turn (exactly, so the edges are tested as written).
    double r = std::fmod(ra, 2 * PI);
    if (r < 0)
        r += 2 * PI;
    const double west = box->WRA + margin;
    const double east = box->ERA - margin;
    if (west >= 2 * PI) // the margin moves the west edge past 0h
        return west - 2 * PI <= r && r <= east && inDec;
    if (east < 0) // the margin moves the east edge back past 0h
        return west <= r && r <= east + 2 * PI && inDec;
    return (west <= r || r <= east) && inDec;
}

bool sameObjectName(const char* a, const char* b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (;;) {
        while (*a == ' ')
            ++a;
        while (*b == ' ')
            ++b;
        if (*a == '\0' || *b == '\0')
            return *a == *b;
        if (lower(*a) != lower(*b))
            return false;
        ++a;
        ++b;
    }
}

int splitFields(char* line, char** starts)
{
    int count = 1;
    starts[0] = line;
    bool inField = true;
    for (char* p = line; *p != '\0'; ++p) {
        if (inField) {
            if (isFieldSpace(*p)) {
                *p = '\0';
                inField = false;
            }
        } else if (!isFieldSpace(*p)) {
            if (count < 6)
                starts[count] = p;
            ++count;
            inField = true;
        }
    }
    return count;
}

// Reads table lines from the stream's current position up to the next entry that
// chosen(fields, box) accepts, the box being the entry's (converted to radians) when
// needsBox, else not yet read; the returns of findReferenceEntry, a bad sky field named
// with objectName (the line's own object name when null).
template <typename Choice>
static SkyStatus findEntry(FILE* table, const char* objectName, bool needsBox, Choice chosen,
                     SearchBox* box, ReferenceEntry* entry, std::string* message)
{
    LineBuffer buffer;
    for (;;) {
        errno = 0; // getline leaves it at the end of the file
        if (getline(&buffer.text, &buffer.size, table) < 0)
            break;
        char* line = buffer.text;
        if (!isAsciiLetterOrDigit(line[0]))
            continue;
        char* fields[6] = {};
        if (splitFields(line, fields) != 6) {
            *message = std::string("Ref file line must contain 6 fields: ") + line;
            return SkyStatus::MalformedTable;
        }
        SearchBox lineBox;
        const char* name = objectName != nullptr ? objectName : fields[0];
        if (needsBox && scanBox(fields, name, &lineBox, message) != 0)
            return SkyStatus::MalformedTable;
        if (!chosen(fields, lineBox))
            continue;
        if (!needsBox && scanBox(fields, name, &lineBox, message) != 0)
            return SkyStatus::MalformedTable;

        *box = lineBox;
        entry->objectName = fields[0];
        entry->eastRa = fields[1];
        entry->northDec = fields[2];
        entry->westRa = fields[3];
        entry->southDec = fields[4];
        entry->referenceName = fields[5];
        return SkyStatus::Ok;
    }
    if (std::ferror(table) || errno != 0) {
        *message = std::string("Can not read the reference table: ") + std::strerror(errno) + "\n";
        return SkyStatus::UnreadableTable;
    }
    return SkyStatus::EndOfTable;
}

SkyStatus findReferenceEntry(FILE* table, const char* objectName, SearchBox* box,
                             ReferenceEntry* entry, std::string* message)
{
    return findEntry(
        table, objectName, false,
        [objectName](char* const* fields, const SearchBox&) {
            return sameObjectName(fields[0], objectName);
        },
        box, entry, message);
}

SkyStatus findReferenceEntryAt(FILE* table, double ra, double dec, SearchBox* box,
                               ReferenceEntry* entry, std::string* message)
{
    return findEntry(
        table, nullptr, true,
        [ra, dec](char* const*, const SearchBox& lineBox) {
            return inSearchBox(&lineBox, ra, dec, 0);
        },
        box, entry, message);
}

} // namespace newstars
