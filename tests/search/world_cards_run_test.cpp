// End-to-end: world-coordinate cards that cannot be read, and singular matrices, are never
// passed over in silence. A card the header's description uses refuses the image, naming
// the card; one it does not use is set aside with one message saying what is used
// instead; a singular CD matrix refuses the image. Good headers give the report as ever.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

// A card whose value field is the given text, as written.
std::string rawCard(const char* keyword, const std::string& value)
{
    std::string card = keyword;
    card.resize(8, ' ');
    card += "= " + value;
    card.resize(80, ' ');
    return card;
}

// The standard scene's test image with its cards changed: keywords removed, then cards
// added (or put in place of the card of the same keyword).
TestImage changedTest(const std::vector<const char*>& removed,
                      const std::vector<std::string>& cards)
{
    TestImage image = skyImage("M31", 150, 0, {{150, 120}, {180, 120}});
    for (const std::string& card : cards) {
        bool replaced = false;
        for (std::string& old : image.cards) {
            if (old.compare(0, 8, card, 0, 8) == 0) {
                old = card;
                replaced = true;
            }
        }
        if (!replaced)
            image.cards.push_back(card);
    }
    for (const char* keyword : removed) {
        std::string key = keyword;
        key.resize(8, ' ');
        std::erase_if(image.cards, [&](const std::string& c) { return c.compare(0, 8, key) == 0; });
    }
    return image;
}

// The same sky as the classic cards through a CD matrix: pixels counted from 1.
std::vector<std::string> cdCards()
{
    return {realCard("CRPIX1", 151),
            realCard("CRPIX2", 121),
            realCard("CD1_1", -1.0 / 3600),
            realCard("CD1_2", 0),
            realCard("CD2_1", 0),
            realCard("CD2_2", 1.0 / 3600),
            stringCard("CTYPE1", "RA---TAN"),
            stringCard("CTYPE2", "DEC--TAN")};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(WorldCardsRun, UnreadableCardsAndSingularMatricesAreNamed)
{
    const std::string summary = STANDARD_SUMMARY;
    const std::string found = summary + "\f\n" + STANDARD_CANDIDATE + "\n";
    const std::string refused =
        "M31          ref.fts      test.fts     2026-12-07 01:02:03   1   0   0\n\f\n";
    const std::string pipeline =
        "test.fts: difference imaging: too few bright isolated stars common to both images\n";
    struct Case {
        const char* name;
        std::vector<const char*> removed;
        std::vector<std::string> cards;
        std::vector<std::string> options;
        int status;
        std::string out; // "" for the difference method: the report is not compared
        std::string err;
    };
    const Case cases[] = {
        {"classic header", {}, {}, {}, 0, found, ""},
        {"CD matrix", {"CDELT1", "CDELT2", "CROTA2"}, cdCards(), {}, 0, found, ""},
        {"CROTA2 a text",
         {},
         {rawCard("CROTA2", "'NAN'")},
         {},
         0,
         refused,
         "test.fts: CROTA2 holds 'NAN', not a number: 2 stars left out\n"},
        {"CRPIX1 not a number",
         {},
         {rawCard("CRPIX1", "150 px")},
         {},
         0,
         refused,
         "test.fts: CRPIX1 holds 150 px, not a number: 2 stars left out\n"},
        {"CDELT2 beyond the range",
         {},
         {rawCard("CDELT2", "1E400")},
         {},
         0,
         refused,
         "test.fts: CDELT2 = 1E400 is beyond the range of numbers: 2 stars left out\n"},
        {"PC1_1 a text",
         {},
         {rawCard("PC1_1", "'NAN'")},
         {},
         0,
         refused,
         "test.fts: PC1_1 holds 'NAN', not a number: 2 stars left out\n"},
        {"CD1_2 not a number",
         {"CDELT1", "CDELT2", "CROTA2"},
         cdCards() + std::vector<std::string>{rawCard("CD1_2", "'0.0'")},
         {},
         0,
         refused,
         "test.fts: CD1_2 holds '0.0', not a number: 2 stars left out\n"},
        {"all-zero CD matrix",
         {"CDELT1", "CDELT2", "CROTA2"},
         cdCards() + std::vector<std::string>{realCard("CD1_1", 0), realCard("CD2_2", 0)},
         {},
         0,
         refused,
         "test.fts: the CD matrix is singular: 2 stars left out\n"},
        {"CROTA2 beside a CD matrix, set aside",
         {"CDELT1", "CDELT2"},
         cdCards() + std::vector<std::string>{rawCard("CROTA2", "'N/A'")},
         {},
         0,
         found,
         "test.fts: CROTA2 holds 'N/A', not a number: set aside, the CD matrix gives the "
         "rotation\n"},
        {"difference method, PC1_1 a text",
         {},
         {rawCard("PC1_1", "'NAN'")},
         {"--method", "difference"},
         0,
         "",
         "test.fts: PC1_1 holds 'NAN', not a number\n"},
        {"difference method, refused image counts for --strict",
         {},
         {rawCard("PC1_1", "'NAN'")},
         {"--strict", "--method", "difference"},
         3,
         "",
         "test.fts: PC1_1 holds 'NAN', not a number\nNEWSTARS: 1 of 1 test images could not be "
         "searched\n"},
        {"difference method, card set aside",
         {"CDELT1", "CDELT2"},
         cdCards() + std::vector<std::string>{rawCard("CROTA2", "'N/A'")},
         {"--method", "difference"},
         0,
         "",
         "test.fts: CROTA2 holds 'N/A', not a number: set aside, the CD matrix gives the "
         "rotation\n" +
             pipeline},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory d;
        writeStandardScene(d);
        writeFile(d.file("table.txt"), STANDARD_TABLE_LINE);
        writeTestImage(d.file("test.fts"), changedTest(c.removed, c.cards));
        std::vector<std::string> arguments = c.options;
        for (const char* word : {"2", "table.txt", "test.fts"})
            arguments.emplace_back(word);
        const ProgramResult r = runNewstars(d.path, arguments);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (!c.out.empty()) {
            EXPECT_EQ(r.out, c.out);
        }
        std::string error = c.err;
        for (size_t at = 0; (at = error.find("NEWSTARS")) != std::string::npos;)
            error.replace(at, 8, newstarsPath());
        EXPECT_EQ(r.err, error);
    }
}

// A card set aside is recorded in the catalogue's header, under the test image's entry.
TEST(WorldCardsRun, CardsSetAsideAreRecordedInTheCatalogue)
{
    ScratchDirectory d;
    writeStandardScene(d);
    writeFile(d.file("table.txt"), STANDARD_TABLE_LINE);
    writeTestImage(d.file("test.fts"),
                   changedTest({"CDELT1", "CDELT2"},
                               cdCards() + std::vector<std::string>{rawCard("CROTA2", "'N/A'")}));
    const ProgramResult r =
        runNewstars(d.path, {"--vet", "--catalog", "c.ecsv", "2", "table.txt", "test.fts"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string catalog = readFile(d.file("c.ecsv"));
    EXPECT_NE(catalog.find("# meta:\n#   images:\n#   - {image: 'test.fts', cards_set_aside: "
                           "'test.fts: CROTA2 holds ''N/A'', not a number: set aside, the CD "
                           "matrix gives the rotation'}\n# schema: astropy-2.0\n"),
              std::string::npos)
        << catalog;
    // The whole header read without a note has no meta.
    writeStandardScene(d);
    const ProgramResult plain =
        runNewstars(d.path, {"--vet", "--catalog", "c.ecsv", "2", "table.txt", "test.fts"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(readFile(d.file("c.ecsv")).find("# meta:"), std::string::npos);
}
