// Tests of the scanning page's writer (hostile names stay text), the per-image region
// files, and the page stamps' orientation and stretch.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "vet/catalog.hpp"
#include "vet/page.hpp"
#include "vet/stamps.hpp"

using namespace newstars;

namespace {

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(Base64Text, MatchesTheStandardVectors)
{
    struct Case {
        const char* bytes;
        const char* expected;
    };
    const Case cases[] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"},
                          {"\xff\xfe\x00", "//4A"}};
    for (const Case& c : cases) {
        const std::string text = c.bytes;
        const size_t length = text == "\xff\xfe" ? 3 : text.size();
        const std::vector<uint8_t> bytes(c.bytes, c.bytes + length);
        EXPECT_EQ(base64Text(bytes), c.expected) << c.bytes;
    }
}

TEST(ScanPage, HostileNamesReachThePageOnlyAsEscapedText)
{
    struct Case {
        std::string image;
        std::string json; // how the name must appear in the page's data
    };
    const Case cases[] = {
        {"plain.fts", "\"image\":\"plain.fts\""},
        {"q\"uote'.fts", "\"image\":\"q\\\"uote'.fts\""},
        {"</script><script>alert(1)</script>", "\"image\":\"\\u003c/script\\u003e\\u003cscript"
                                               "\\u003ealert(1)\\u003c/script\\u003e\""},
        {"<!--a&b-->", "\"image\":\"\\u003c!--a\\u0026b--\\u003e\""},
        {"line\nend\r.fts", "\"image\":\"line?end?.fts\""},
        {"back\\slash", "\"image\":\"back\\\\slash\""},
        {"sep\xE2\x80\xA8.fts", "\"image\":\"sep\\u2028.fts\""},
        {"bad\xff.fts", "\"image\":\"bad?.fts\""},
    };
    std::vector<PageCandidate> candidates;
    for (const Case& c : cases) {
        PageCandidate p;
        p.image = c.image;
        p.number = static_cast<int32_t>(candidates.size()) + 1;
        p.ra = 10.5;
        p.dec = -5.25;
        p.reasons = "</script>";
        p.kept = false;
        p.stamp.test = {1, 2, 3};
        candidates.push_back(p);
    }
    const std::string page = formatScanPage("night <b>&\"'</b>", candidates);
    // Only the page's own two script elements end.
    EXPECT_EQ(occurrences(page, "</script"), 2u);
    EXPECT_EQ(occurrences(page, "<script"), 2u);
    EXPECT_EQ(occurrences(page, "<!--"), 0u);
    EXPECT_EQ(occurrences(page, "<b>"), 0u);
    EXPECT_NE(page.find("<title>night &lt;b&gt;&amp;&quot;&#39;&lt;/b&gt;</title>"),
              std::string::npos);
    for (const Case& c : cases)
        EXPECT_NE(page.find(c.json), std::string::npos) << c.json;
    // Positions as the catalogue prints them, the panel as base64, unknown numbers null.
    EXPECT_NE(page.find("\"ra\":\"10.5000000000\",\"dec\":\"-5.2500000000\""), std::string::npos);
    EXPECT_NE(page.find("\"score\":null,\"snr\":null,\"dmag\":null,\"o\":null,\"p\":[\"\","
                        "\"AQID\",\"\"]"),
              std::string::npos);
    // No raw line end inside the data: one candidate a line.
    const size_t begin = page.find("id=\"candidates\">[");
    const size_t end = page.find("]</script>", begin);
    ASSERT_NE(begin, std::string::npos);
    EXPECT_EQ(occurrences(page.substr(begin, end - begin), "\n"), std::size(cases) + 1);
}

TEST(ScanPage, CatalogueRowsGiveSignalToNoiseAndMagnitudeChange)
{
    CatalogRow bright, faintReference, unmeasured;
    bright.vetting.measured = true;
    bright.vetting.shape.snr = 40;
    bright.vetting.testFlux.flux = 1000;
    bright.vetting.referenceMeasured = true;
    bright.vetting.referenceFlux.flux = 100;
    bright.vetting.referenceSnr = 20;
    bright.stars.fluxScale = 2; // the reference gives 200 test ADU: 5 times brighter now
    faintReference = bright;
    faintReference.vetting.referenceSnr = 4.9;
    unmeasured.vetting.reasons = VET_NO_DATA;
    const std::vector<PageCandidate> list = pageCandidates({bright, faintReference, unmeasured});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].snr, 40);
    EXPECT_NEAR(list[0].magnitudeChange, -2.5 * std::log10(5.0), 1e-12);
    EXPECT_TRUE(std::isnan(list[1].magnitudeChange));
    EXPECT_TRUE(std::isnan(list[2].snr));
    EXPECT_FALSE(list[2].kept);
    EXPECT_EQ(list[2].reasons, "no-data");
    EXPECT_TRUE(std::isnan(list[0].score));
}

TEST(ImageRegionFiles, OneFilePerImageInPixelsFromOne)
{
    std::vector<DifferenceRow> rows(5);
    const char* images[] = {"a.fts", "a.fts", "b{\"x\"}.fts", "a.fts", "dir/"};
    const int32_t numbers[] = {1, 2, 1, 1, 1};
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].image = images[i];
        rows[i].number = numbers[i];
        rows[i].x = 10 * static_cast<double>(i);
        rows[i].y = 0;
        rows[i].page.orientation.known = i != 1;
        rows[i].page.orientation.arcsecPerPixel = 0.5;
    }
    rows[2].reasons = "dipole";
    const std::vector<ImageRegionFile> files = formatDifferenceImageRegionFiles(rows, 2.0);
    const std::string head = "# Region file format: DS9 version 4.1\nglobal color=green "
                             "width=1 font=\"helvetica 10 normal roman\" select=1 highlite=1 "
                             "dash=0 fixed=0 edit=1 move=1 delete=1 include=1 source=1\nimage\n";
    struct Expected {
        const char* name;
        std::string text;
    };
    const Expected expected[] = {
        {"a.fts.reg", head + "circle(1.000,1.000,4.000) # color=green text={a.fts 1 kept}\n"
                             "circle(11.000,1.000,3.000) # color=green text={a.fts 2 kept}\n"},
        {"b{\"x\"}.fts.reg",
         head + "circle(21.000,1.000,4.000) # color=red text={b__x__.fts 1 dipole}\n"},
        // The same name again, numbered from 1: another image of that name.
        {"a.fts-2.reg", head + "circle(31.000,1.000,4.000) # color=green text={a.fts 1 kept}\n"},
        {"dir_.reg", head + "circle(41.000,1.000,4.000) # color=green text={dir/ 1 kept}\n"},
    };
    ASSERT_EQ(files.size(), std::size(expected));
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].name, expected[i].name);
        EXPECT_EQ(files[i].text, expected[i].text) << expected[i].name;
    }
    EXPECT_TRUE(formatImageRegionFiles({}, 2.0).empty());
}

TEST(OrientStamp, FindsNorthEastAndScaleOfTurnedAndMirroredImages)
{
    constexpr double PI = 3.14159265358979323846;
    struct Case {
        double turnDegrees; // north measured from +y toward -x
        bool mirrored;      // east toward +x instead of -x (seen from the sky's inside)
        double dec0;        // degrees
    };
    const Case cases[] = {
        {0, false, 0}, {30, false, 45}, {-90, false, -60}, {0, true, 20}, {150, true, 80}};
    const double scale = 0.25 / 3600 * PI / 180; // 0.25 arcsec a pixel
    for (const Case& c : cases) {
        const double t = c.turnDegrees * PI / 180, dec0 = c.dec0 * PI / 180;
        const double side = c.mirrored ? 1 : -1;
        // Unit steps on the sky as pixel directions.
        const double northX = -std::sin(t), northY = std::cos(t);
        const double eastX = side * std::cos(t), eastY = side * std::sin(t);
        const SkyMapping toSky = [&](double x, double y, double* ra, double* dec) {
            // Pixel offsets projected on the east and north directions.
            const double east = (x * eastX + y * eastY) * scale;
            const double north = (x * northX + y * northY) * scale;
            *dec = dec0 + north;
            *ra = 1.0 + east / std::cos(dec0);
            return true;
        };
        StampOrientation o;
        orientStamp(toSky, 0, 0, &o);
        ASSERT_TRUE(o.known) << c.turnDegrees;
        // Tolerance: the declination's change across one pixel.
        EXPECT_NEAR(o.northX, northX, 1e-5) << c.turnDegrees << " " << c.mirrored;
        EXPECT_NEAR(o.northY, northY, 1e-5) << c.turnDegrees << " " << c.mirrored;
        EXPECT_NEAR(o.eastX, eastX, 1e-5) << c.turnDegrees << " " << c.mirrored;
        EXPECT_NEAR(o.eastY, eastY, 1e-5) << c.turnDegrees << " " << c.mirrored;
        EXPECT_NEAR(o.arcsecPerPixel, 0.25, 1e-6) << c.turnDegrees;
    }
    StampOrientation none;
    orientStamp([](double, double, double*, double*) { return false; }, 0, 0, &none);
    EXPECT_FALSE(none.known);
    orientStamp(
        [](double, double, double* ra, double* dec) {
            *ra = 0;
            *dec = 0;
            return true;
        },
        0, 0, &none);
    EXPECT_FALSE(none.known); // no area
}

TEST(PagePanel, FaintResidualBesideABrightStarStaysVisible)
{
    // Sky noise of about 10 ADU, a star of 60000 ADU 3 pixels from a 5-sigma source.
    Stamp stamp;
    stamp.test.assign(STAMP_SIZE * STAMP_SIZE, 0);
    for (size_t k = 0; k < stamp.test.size(); ++k)
        stamp.test[k] = (k % 7 < 3 ? -10.0 : 10.0) * (k % 2 == 0 ? 1 : 1.2);
    const int32_t c = STAMP_SIZE / 2;
    const size_t star = static_cast<size_t>(c) * STAMP_SIZE + static_cast<size_t>(c + 3);
    const size_t faint = static_cast<size_t>(c) * STAMP_SIZE + static_cast<size_t>(c);
    const size_t sky = 0;
    stamp.test[star] = 60000;
    stamp.test[faint] = 50;
    stamp.reference = stamp.test;
    const std::vector<uint8_t> rgb = renderPagePanel(stamp, stamp.test, 1.0);
    ASSERT_EQ(rgb.size(), static_cast<size_t>(STAMP_SIZE * STAMP_SIZE * 3));
    // Row 0 of the picture is the stamp's last row.
    const auto grey = [&](size_t k) {
        const size_t row = STAMP_SIZE - 1 - k / STAMP_SIZE, column = k % STAMP_SIZE;
        return static_cast<int>(rgb[(row * STAMP_SIZE + column) * 3]);
    };
    EXPECT_EQ(grey(star), 255);
    EXPECT_GE(grey(faint) - grey(sky), 40) << grey(faint) << " " << grey(sky);
    // The linear stretch of the stamp files leaves it within a few levels of the sky.
    int32_t width = 0, height = 0;
    const std::vector<uint8_t> linear = renderStamp(stamp, 1, 0, &width, &height);
    const auto linearGrey = [&](size_t k) {
        const size_t row = STAMP_SIZE - 1 - k / STAMP_SIZE, column = k % STAMP_SIZE;
        return static_cast<int>(
            linear[(row * static_cast<size_t>(width) + STAMP_SIZE + column) * 3]);
    };
    EXPECT_LE(linearGrey(faint) - linearGrey(sky), 3);
}

} // namespace
