#include "vet/track_columns.hpp"

#include <cmath>
#include <cstdio>

namespace newstars {

namespace {

const char* const COLUMN_ENTRIES =
    "# - {name: track, datatype: int32, description: 'number of the moving-object track the "
    "candidate belongs to (the report''s track lines); 0: none'}\n"
    "# - {name: track_rate, unit: arcsec / min, datatype: float64, description: 'rate of "
    "motion of the track'}\n"
    "# - {name: track_angle, unit: deg, datatype: float64, description: 'position angle of "
    "the track''s motion, east of north'}\n";

std::string cellText(const TrackCells& c)
{
    char text[96];
    if (c.track == 0 || !std::isfinite(c.rate) || !std::isfinite(c.angle))
        std::snprintf(text, sizeof text, ",%d,nan,nan", static_cast<int>(c.track));
    else
        std::snprintf(text, sizeof text, ",%d,%.4f,%.2f", static_cast<int>(c.track), c.rate,
                      c.angle >= 359.995 ? 0.0 : c.angle); // never "360.00"
    return text;
}

} // namespace

const std::vector<std::string>& trackColumnNames()
{
    static const std::vector<std::string> names = {"track", "track_rate", "track_angle"};
    return names;
}

int addTrackColumns(std::string* ecsv, const std::vector<TrackCells>& cells, std::string* message)
{
    const std::string& in = *ecsv;
    std::string out;
    out.reserve(in.size() + in.size() / 4 + 512);
    size_t lastEntryEnd = std::string::npos;
    size_t namesStart = std::string::npos;
    for (size_t start = 0; start < in.size();) {
        size_t end = in.find('\n', start);
        end = end == std::string::npos ? in.size() : end + 1;
        if (in.compare(start, 11, "# - {name: ") == 0)
            lastEntryEnd = end;
        if (in[start] != '#') {
            namesStart = start;
            break;
        }
        start = end;
    }
    if (lastEntryEnd == std::string::npos || namesStart == std::string::npos) {
        *message = "the catalogue has no column entries or no column-name line";
        return -1;
    }
    out.append(in, 0, lastEntryEnd);
    out += COLUMN_ENTRIES;
    out.append(in, lastEntryEnd, namesStart - lastEntryEnd);
    size_t row = 0;
    bool names = true;
    for (size_t start = namesStart; start < in.size();) {
        size_t end = in.find('\n', start);
        const bool ended = end != std::string::npos;
        end = ended ? end : in.size();
        out.append(in, start, end - start);
        if (names) {
            out += ",track,track_rate,track_angle";
            names = false;
        } else {
            if (row >= cells.size()) {
                *message = "the catalogue has more rows than track cells";
                return -1;
            }
            out += cellText(cells[row++]);
        }
        out += '\n';
        start = end + 1;
    }
    if (row != cells.size()) {
        *message = "the catalogue has fewer rows than track cells";
        return -1;
    }
    ecsv->swap(out);
    return 0;
}

} // namespace newstars
