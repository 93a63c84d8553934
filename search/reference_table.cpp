#include "search/reference_table.hpp"

#include <cmath>
#include <cstdlib>

#include "sky/sexagesimal.hpp"

namespace newstars {

static constexpr double PI = 3.141592653589793;

static bool isFieldSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isAsciiLetterOrDigit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Converts one sky field of the matching entry to radians (hours or degrees in the
// table), or ends the run naming the field. A number too large to give a finite angle
// is refused like a field without a number: it would make a box that holds nothing.
static double scanBoxField(const char* text, const char* fieldName, const char* objectName,
                           bool inHours)
{
    double value = 0;
    bool isNumber = scanSexagesimal(text, &value) == 0;
    double angle = inHours ? value * 15 * PI / 180 : value * PI / 180;
    if (!isNumber || !std::isfinite(angle)) {
        std::fprintf(stderr, "Bad %s for %s: %s\n", fieldName, objectName, text);
        std::exit(1);
    }
    return angle;
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

int findReferenceEntry(FILE* table, const char* objectName, SearchBox* box, ReferenceEntry* entry)
{
    char line[REFERENCE_LINE_LENGTH + 1];
    while (std::fgets(line, sizeof line, table) != nullptr) {
        if (!isAsciiLetterOrDigit(line[0]))
            continue;
        char* fields[6] = {};
        if (splitFields(line, fields) != 6) {
            std::fprintf(stderr, "Ref file line must contain 6 fields: %s", line);
            std::exit(1);
        }
        if (compareNoCase(fields[0], objectName) != 0)
            continue;

        double east = scanBoxField(fields[1], "ERA", objectName, true);
        double north = scanBoxField(fields[2], "NDec", objectName, false);
        double west = scanBoxField(fields[3], "WRA", objectName, true);
        double south = scanBoxField(fields[4], "SDec", objectName, false);

        box->ERA = east;
        box->NDec = north;
        box->WRA = west;
        box->SDec = south;
        box->cosMidDec = std::cos((box->SDec + box->NDec) / 2);

        entry->objectName = fields[0];
        entry->eastRa = fields[1];
        entry->northDec = fields[2];
        entry->westRa = fields[3];
        entry->southDec = fields[4];
        entry->referenceName = fields[5];
        return 0;
    }
    return -1;
}

} // namespace newstars
