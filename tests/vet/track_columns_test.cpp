#include "vet/track_columns.hpp"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vet/catalog.hpp"

namespace newstars {
namespace {

// Adds the columns to the catalogue of formatCatalogEcsv and checks the header entries,
// the column-name line and each row's cells.
TEST(AddTrackColumns, AppendsEntriesNamesAndCellsOrRefusesMismatchedRows)
{
    std::vector<CatalogRow> rows(2);
    rows[0].object = rows[1].object = "FLD01";
    rows[0].image = "a.fts";
    rows[1].image = "b.fts";
    const std::string catalogue = formatCatalogEcsv(rows);
    TrackCells inTrack;
    inTrack.track = 2;
    inTrack.rate = 12.345678;
    inTrack.angle = 359.996;
    struct Case {
        const char* name;
        std::string text;
        std::vector<TrackCells> cells;
        int status;
        std::vector<std::string> rowEnds; // each row's end, when status is 0
    };
    const Case cases[] = {
        {"one in a track", catalogue, {TrackCells{}, inTrack}, 0,
         {",0,nan,nan", ",2,12.3457,0.00"}},
        {"no rows", formatCatalogEcsv({}), {}, 0, {}},
        {"fewer cells than rows", catalogue, {inTrack}, -1, {}},
        {"more cells than rows", catalogue, {inTrack, inTrack, inTrack}, -1, {}},
        {"not a catalogue", "a,b\n1,2\n", {TrackCells{}}, -1, {}},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        std::string message;
        ASSERT_EQ(addTrackColumns(&text, c.cells, &message), c.status) << c.name << message;
        if (c.status != 0) {
            EXPECT_EQ(text, c.text) << c.name;
            EXPECT_FALSE(message.empty()) << c.name;
            continue;
        }
        // The entries follow the last of the catalogue's own, before "# schema".
        const size_t entry = text.find("# - {name: track, datatype: int32");
        const size_t schema = text.find("# schema: astropy-2.0");
        ASSERT_NE(entry, std::string::npos) << c.name;
        EXPECT_LT(text.find("# - {name: obs_mjd"), entry) << c.name;
        EXPECT_LT(text.find("# - {name: track_angle, unit: deg"), schema) << c.name;
        std::vector<std::string> lines;
        for (size_t start = schema; start < text.size();) {
            const size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        ASSERT_EQ(lines.size(), 2 + c.rowEnds.size()) << c.name;
        EXPECT_EQ(lines[1].substr(lines[1].size() - 29), ",track,track_rate,track_angle");
        for (size_t k = 0; k < c.rowEnds.size(); ++k) {
            const std::string& row = lines[2 + k];
            EXPECT_EQ(row.substr(row.size() - c.rowEnds[k].size()), c.rowEnds[k]) << c.name;
        }
    }
}

} // namespace
} // namespace newstars
