#pragma once
// The columns a catalogue gains when the search links moving objects: the track each
// candidate belongs to, and the track's rate and direction.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace newstars {

// The track cells of one catalogue row.
struct TrackCells {
    int32_t track = 0; // the track's number in the report, from 1; 0: in no track
    double rate = std::numeric_limits<double>::quiet_NaN();  // arcseconds per minute
    double angle = std::numeric_limits<double>::quiet_NaN(); // degrees east of north
};

// The names of the columns added, in order: "track", "track_rate", "track_angle".
const std::vector<std::string>& trackColumnNames();

// Adds the three track columns at the end of an ECSV catalogue as formatCatalogEcsv and
// formatDifferenceCatalogEcsv write it: their header entries after the last column
// entry ("# - {name: ...}"), their names at the end of the column-name line (the first
// line not starting with "#"), and the cells of cells[k] at the end of the k-th row
// (the rate to 4 decimals and the angle to 2, an angle that would round to 360 as 0, "nan" outside a track). 0; -1 with the
// reason in *message (*ecsv untouched) when the text has no column entry or no
// column-name line, or its rows are not as many as cells.
int addTrackColumns(std::string* ecsv, const std::vector<TrackCells>& cells, std::string* message);

} // namespace newstars
