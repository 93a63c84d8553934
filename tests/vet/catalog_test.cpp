// Tests of the catalogue outputs read back independently: the ECSV table by astropy
// (Debian's python3-astropy, which scripts/setup installs), the region lines by their
// grammar.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <sstream>

#include "support/files.hpp"
#include "support/program.hpp"
#include "vet/catalog.hpp"

using namespace newstars;

namespace {

// Three rows: a kept candidate, a rejected one, and one that could not be measured, with
// names that need quoting.
std::vector<CatalogRow> sampleRows()
{
    std::vector<CatalogRow> rows(3);
    rows[0].object = "NGC 1316";
    rows[0].image = "a,b.fts";
    rows[0].reference = "ref \"deep\".fts";
    rows[0].ra = 50.6738;
    rows[0].dec = -37.2082;
    rows[0].vetting.x = 100.25;
    rows[0].vetting.y = 0.1 + 0.2; // needs 17 digits
    rows[0].vetting.measured = true;
    rows[0].vetting.shape.snr = 42;
    rows[0].vetting.hasReference = true;
    rows[0].vetting.referenceX = 98.5;
    rows[0].stars.count = 12;
    rows[0].stars.fluxScale = 0.4;
    rows[0].number = 1;
    rows[0].observed = {"2022-11-02T13:50:17.456", 59885.5765909287};
    rows[1] = rows[0];
    rows[1].number = 2;
    rows[1].object = "#FLD";
    rows[1].vetting.reasons = VET_SHARP | VET_IN_REFERENCE;
    rows[1].vetting.referenceSaturated = true;
    rows[2].object = "FLD02";
    rows[2].image = "t\xff\xc3\xa9\t.fts"; // a stray byte, an e acute, a tab
    rows[2].reference = "r.fts";
    rows[2].number = 1;
    rows[2].ra = 359.9999999;
    rows[2].dec = 89.5;
    rows[2].vetting.nearestStarDistance = NAN;
    rows[2].observed.iso = "2026-03-02"; // the date alone: no MJD
    return rows;
}

TEST(CatalogEcsv, AstropyReadsNamesUnitsTypesAndRows)
{
    ScratchDirectory dir;
    const std::string path = dir.file("catalog.ecsv");
    writeFile(path, formatCatalogEcsv(sampleRows()));
    // Prints one line per column (name, unit, dtype kind), then row values to compare.
    const char* script = R"(
import sys
from astropy.table import Table
t = Table.read(sys.argv[1], format='ascii.ecsv')
for c in t.columns.values():
    print(c.name, c.unit if c.unit is not None else '-', c.dtype.kind)
print('rows', len(t))
print(t['object'][0], '|', t['image'][0], '|', t['reference'][0], '|', t['object'][1])
print(repr(float(t['y'][0])), t['verdict'][0], t['reasons'][0], t['verdict'][1], t['reasons'][1])
print(bool(t['ref_saturated'][1]), bool(t['measured'][2]), int(t['stars_used'][0]))
print(repr(float(t['ra'][2])), float(t['ref_x'][2]), t['image'][2])
from astropy.time import Time
print(Time(t['obs_time'][0]).mjd - t['obs_mjd'][0] < 1e-8, repr(float(t['obs_mjd'][0])), t['obs_time'][2], float(t['obs_mjd'][2]))
)";
    // Debian's own interpreter, the one python3-astropy installs into (a python3 found
    // first on PATH may be another installation without it).
    const ProgramResult r = runProgram({"/usr/bin/python3", "-c", script, path});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream out(r.out);
    std::string line;
    for (const std::string& name : catalogColumnNames()) {
        ASSERT_TRUE(std::getline(out, line));
        std::istringstream fields(line);
        std::string readName, unit, kind;
        fields >> readName >> unit >> kind;
        EXPECT_EQ(readName, name);
        const std::map<std::string, std::pair<std::string, std::string>> expected = {
            {"object", {"-", "U"}},   {"x", {"pix", "f"}},
            {"ra", {"deg", "f"}},     {"peak", {"adu", "f"}},
            {"measured", {"-", "b"}}, {"stars_used", {"-", "i"}},
            {"snr", {"-", "f"}},      {"ref_star_dist", {"pix", "f"}},
            {"obs_time", {"-", "U"}}, {"obs_mjd", {"d", "f"}},
        };
        if (auto e = expected.find(name); e != expected.end()) {
            EXPECT_EQ(unit, e->second.first) << name;
            EXPECT_EQ(kind, e->second.second) << name;
        }
    }
    const char* rest[] = {
        "rows 3",
        "NGC 1316 | a,b.fts | ref \"deep\".fts | #FLD",
        "0.30000000000000004 kept none rejected sharp;in-reference",
        "True False 12",
        "359.9999999 nan t?\u00e9?.fts",
        "True 59885.57659093 2026-03-02 nan",
    };
    for (const char* expected : rest) {
        ASSERT_TRUE(std::getline(out, line));
        EXPECT_EQ(line, expected);
    }
}

TEST(CatalogEcsv, PlainCsvFollowsTheCommentLines)
{
    const std::string text = formatCatalogEcsv(sampleRows());
    std::istringstream in(text);
    std::string line;
    int comments = 0, data = 0;
    while (std::getline(in, line)) {
        if (line[0] == '#') {
            EXPECT_EQ(data, 0) << line;
            ++comments;
        } else {
            ++data;
        }
    }
    EXPECT_EQ(comments, 5 + static_cast<int>(catalogColumnNames().size()));
    EXPECT_EQ(data, 4); // the names and three rows
}

// Runs a script under Debian's python3 (with astropy) once on all the files; its
// standard output for each file, the script ending each file's output with a line "end".
std::vector<std::string> runAstropy(const char* script, const std::vector<std::string>& paths)
{
    std::vector<std::string> arguments = {"/usr/bin/python3", "-c", script};
    arguments.insert(arguments.end(), paths.begin(), paths.end());
    const ProgramResult r = runProgram(arguments);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> outputs(1);
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (line == "end")
            outputs.emplace_back();
        else
            outputs.back() += line + "\n";
    }
    outputs.pop_back();
    return outputs;
}

TEST(DifferenceCatalogEcsv, AstropyReadsRowsAndTheImagesOfTheHeader)
{
    std::vector<ImageRegistration> images(2);
    images[0].image = "it's.fts";
    images[0].reference = "r: deep.fts";
    images[0].refined = true;
    images[0].stars = 40;
    images[0].rmsPixels = 0.00001; // must read as a number, not as text
    images[0].fluxScale = 3;
    images[1].image = "b.fts";
    images[1].rmsArcsec = NAN;
    images[1].referenceConvolved = false;
    images[1].cardsSetAside = "b.fts: CROTA2 holds 'N/A', not a number: set aside, the CD matrix "
                              "gives the rotation";
    std::vector<DifferenceRow> rows(2);
    rows[0].image = "it's.fts";
    rows[0].number = 1;
    rows[0].flux = 1234.5;
    rows[0].magnitudeChange = NAN;
    rows[0].observed = {"2018-08-04T09:23:31.598", 58334.39133794};
    rows[1] = rows[0];
    rows[1].number = 2;
    rows[1].reasons = "sharp;dipole";

    ScratchDirectory dir;
    const char* script = R"(
import sys
from astropy.table import Table
for path in sys.argv[1:]:
    t = Table.read(path, format='ascii.ecsv')
    print(','.join(t.colnames))
    print(t['flux'].unit, t['mag_change'].unit, t['ref_x'].unit, t['number'].dtype.kind)
    print(len(t), *[f"{r['verdict']} {r['reasons']} {r['flux']} {r['obs_time']} {r['obs_mjd']}" for r in t])
    m = t.meta
    print(m['method'], len(m['images']) if m['images'] is not None else None)
    for g in m['images'] or []:
        print(g['image'], '|', g['reference'], g['refined'], g['stars'], repr(g['rms_pix']),
              g['rms_arcsec'], repr(g['flux_scale']), g['convolved'], g.get('cards_set_aside'))
    print('end')
)";
    std::string joined;
    for (const std::string& name : differenceCatalogColumnNames())
        joined += (joined.empty() ? "" : ",") + name;
    const std::string expected = joined + "\n" +
                                 "adu mag pix i\n"
                                 "2 kept none 1234.5 2018-08-04T09:23:31.598 58334.39133794 "
                                 "rejected sharp;dipole 1234.5 2018-08-04T09:23:31.598 "
                                 "58334.39133794\n"
                                 "difference 2\n"
                                 "it's.fts | r: deep.fts True 40 1e-05 0.0 3.0 reference None\n"
                                 "b.fts | b.fts False 0 0.0 nan 0.0 test b.fts: CROTA2 holds "
                                 "'N/A', not a number: set aside, the CD matrix gives the "
                                 "rotation\n";
    images[1].reference = "b.fts";
    writeFile(dir.file("d.ecsv"), formatDifferenceCatalogEcsv(images, rows));
    // A run without images: no rows and an empty list.
    writeFile(dir.file("empty.ecsv"), formatDifferenceCatalogEcsv({}, {}));
    const std::vector<std::string> outputs =
        runAstropy(script, {dir.file("d.ecsv"), dir.file("empty.ecsv")});
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], expected);
    EXPECT_EQ(outputs[1], joined + "\nadu mag pix i\n0\ndifference None\n");
}

// The catalogue method's header lists the images whose cards were set aside, and has no
// meta at all without them.
TEST(CatalogEcsv, AstropyReadsTheNotesOfTheHeader)
{
    ScratchDirectory dir;
    const std::vector<ImageNote> notes = {
        {"a.fts", "a.fts: CROTA2 holds 'N/A', not a number: set aside, the CD matrix gives the "
                  "rotation"},
        {"b: c.fts", "ref.fts: A_2_0 holds x, not a number: set aside, no CTYPE names the SIP "
                     "distortion"}};
    writeFile(dir.file("notes.ecsv"), formatCatalogEcsv({}, notes));
    writeFile(dir.file("plain.ecsv"), formatCatalogEcsv({}, {}));
    EXPECT_EQ(formatCatalogEcsv({}, {}), formatCatalogEcsv({}));
    EXPECT_EQ(formatCatalogEcsv({}, {}).find("meta"), std::string::npos);
    const char* script = R"(
import sys
from astropy.table import Table
for path in sys.argv[1:]:
    t = Table.read(path, format='ascii.ecsv')
    for g in t.meta.get('images') or []:
        print(g['image'], '|', g['cards_set_aside'])
    print(len(t), len(t.meta))
    print('end')
)";
    const std::vector<std::string> outputs =
        runAstropy(script, {dir.file("notes.ecsv"), dir.file("plain.ecsv")});
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], "a.fts | " + notes[0].cardsSetAside + "\nb: c.fts | " +
                              notes[1].cardsSetAside + "\n0 1\n");
    EXPECT_EQ(outputs[1], "0 0\n");
}

TEST(RegionFile, EveryLineParses)
{
    std::vector<CatalogRow> rows = sampleRows();
    rows[2].image = "odd{name}.fts";
    const std::string text = formatRegionFile(rows, 3);
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line))
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "# Region file format: DS9 version 4.1");
    EXPECT_EQ(lines[1].rfind("global ", 0), 0u);
    EXPECT_EQ(lines[2], "fk5");
    const std::regex circle(R"re(circle\((-?[0-9.]+),([-+][0-9.]+),([0-9.]+)"\) # )re"
                            R"re(color=(green|red) text=\{([^{}]*)\})re");
    const char* expected[][3] = {{"50.67380000", "green", "a,b.fts 1 kept"},
                                 {"50.67380000", "red", "a,b.fts 2 sharp;in-reference"},
                                 {"359.99999990", "green", "odd_name_.fts 1 kept"}};
    for (size_t i = 0; i < 3; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[3 + i], m, circle)) << lines[3 + i];
        EXPECT_EQ(m[1], expected[i][0]);
        EXPECT_EQ(m[3], "3.000");
        EXPECT_EQ(m[4], expected[i][1]);
        EXPECT_EQ(m[5], expected[i][2]);
    }
}

} // namespace
