// Tests of what the catalogue and the scanning page show of the candidate history: the
// catalogue's extra columns read back by astropy, and the page's data kept as text.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "support/files.hpp"
#include "support/program.hpp"
#include "vet/candidate_history.hpp"
#include "vet/catalog.hpp"
#include "vet/page.hpp"

using namespace newstars;

namespace {

std::vector<CandidateHistory> sampleHistories()
{
    std::vector<CandidateHistory> h(3);
    h[0].present = true;
    h[0].source = 17;
    h[0].firstSeen = "2026-03-08T01:30:00.000";
    h[0].timesSeen = 6;
    h[0].nights = 3;
    h[0].lightCurve = {{"2026-03-07", 110}, {"2026-03-08", 1234567.25}, {"2026-03-09", NAN}};
    h[0].label = "real";
    h[1].present = true;
    h[1].source = 18;
    h[1].timesSeen = 1;
    h[1].known = "V* AB, \"Cyg\"";
    h[1].flagged = true;
    h[2].present = true; // rejected, on no source
    return h;
}

std::vector<CatalogRow> rowsFor(size_t n)
{
    CatalogRow row;
    row.object = std::string("F");
    row.image = std::string("a.fts");
    row.reference = std::string("r.fts");
    row.observed = {std::string("2026-03-08T01:30:00.000"), 61107.0625};
    std::vector<CatalogRow> rows(n, row);
    for (size_t i = 0; i < n; ++i)
        rows[i].number = static_cast<int32_t>(i) + 1;
    return rows;
}

} // namespace

TEST(HistoryColumns, AstropyReadsTheColumnsAppendedToEitherCatalogue)
{
    ScratchDirectory dir;
    const std::vector<CandidateHistory> histories = sampleHistories();
    std::vector<DifferenceRow> differenceRows(3);
    for (size_t i = 0; i < 3; ++i) {
        differenceRows[i].image = "d.fts";
        differenceRows[i].number = static_cast<int32_t>(i) + 1;
    }
    const std::string texts[] = {formatCatalogEcsv(rowsFor(3)),
                                 formatDifferenceCatalogEcsv({}, differenceRows)};
    for (const std::string& original : texts) {
        std::string text = original;
        ASSERT_EQ(addHistoryColumns(histories, &text), 0);
        const std::string path = dir.file("catalog.ecsv");
        writeFile(path, text);
        const char* script = R"(
import sys
from astropy.table import Table
t = Table.read(sys.argv[1], format='ascii.ecsv')
names = sys.argv[2].split()
print(t.colnames[-len(names):] == names, len(t))
for r in t:
    print('|'.join(str(r[n]) for n in names))
print(t['times_seen'].dtype.kind, t['flagged'].dtype.kind, t['history_source'].dtype.kind)
)";
        std::string names;
        for (const std::string& n : historyColumnNames()) {
            names += n;
            names += ' ';
        }
        const ProgramResult r = runProgram({"/usr/bin/python3", "-c", script, path, names});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out,
                  "True 3\n"
                  "17|2026-03-08T01:30:00.000|6|3|2026-03-07:110;2026-03-08:1.23457e+06;"
                  "2026-03-09:nan|real|--|False\n" // empty texts read as missing
                  "18|--|1|0|--|--|V* AB, \"Cyg\"|True\n"
                  "0|--|0|0|--|--|--|False\n"
                  "i b i\n");
    }
}

TEST(HistoryColumns, RefusesTextThatIsNotACatalogueOfThoseRows)
{
    const std::string catalogue = formatCatalogEcsv(rowsFor(2));
    struct Case {
        std::string text;
        size_t histories;
    };
    const Case cases[] = {
        {catalogue, 3},                                        // a row short
        {catalogue, 1},                                        // a row over
        {catalogue.substr(0, catalogue.size() - 1), 2},        // last line not ended
        {"a,b\n1,2\n", 1},                                     // no column list
        {"", 0},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(addHistoryColumns(std::vector<CandidateHistory>(c.histories), &text), -1)
            << c.text.size() << " " << c.histories;
        EXPECT_EQ(text, c.text);
    }
}

TEST(ScanPage, HistoryReachesThePageAsEscapedDataOnlyWhenKept)
{
    std::vector<PageCandidate> candidates(1);
    candidates[0].image = "a.fts";
    candidates[0].number = 1;
    const std::string without = formatScanPage("night", candidates);
    EXPECT_EQ(without.find("\"h\":"), std::string::npos);
    EXPECT_EQ(without.find("window.newstarsColumns ="), std::string::npos);

    candidates[0].history = sampleHistories()[0];
    candidates[0].history.known = "</script><b>&'\xE2\x80\xA8";
    const std::string page = formatScanPage("night", candidates);
    EXPECT_NE(page.find("\"h\":{\"first\":\"2026-03-08T01:30:00.000\",\"seen\":6,\"nights\":3,"
                        "\"curve\":[[\"2026-03-07\",110],[\"2026-03-08\",1.23457e+06],"
                        "[\"2026-03-09\",null]],\"label\":\"real\",\"known\":"
                        "\"\\u003c\\u002fscript\\u003e\\u003cb\\u003e\\u0026\\u0027\\u2028\","
                        "\"flagged\":false}"),
              std::string::npos);
    EXPECT_EQ(page.find("</script><b>"), std::string::npos);
    // The history's script comes before the page's own, which draws its columns.
    const size_t columns = page.find("window.newstarsColumns =");
    const size_t own = page.find("var EXTRA = window.newstarsColumns");
    ASSERT_NE(columns, std::string::npos);
    ASSERT_NE(own, std::string::npos);
    EXPECT_LT(columns, own);
}
