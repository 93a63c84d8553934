#include "wcs/world_frame.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fits/fits_image.hpp"
#include "wcs/world_coords.hpp"

using namespace newstars;

static const double PI = 3.141592653589793;

// A classic header (the eight cards, 17 significant digits) over a FitsImage that owns it.
struct Header {
    FitsImage image;
    Header()
    {
        initFitsImage(&image);
    }
    ~Header()
    {
        freeFitsImage(&image);
    }
    Header(const Header&) = delete;
    Header& operator=(const Header&) = delete;
    void real(const char* keyword, double value)
    {
        setRealCard(&image, keyword, value, 17);
    }
    void text(const char* keyword, const char* value)
    {
        setStringCard(&image, keyword, value);
    }
    // A card whose value field is the given text, as written.
    void raw(const char* keyword, const char* value)
    {
        char card[81];
        std::snprintf(card, sizeof card, "%-8.8s= %-70.70s", keyword, value);
        deleteCard(&image, keyword);
        addCard(&image, card);
    }
};

static void classicCards(Header* h, const char* ctype1, double crval1, double crval2, double crpix1,
                         double crpix2, double cdelt1, double cdelt2, double crota2)
{
    h->real("CRVAL1", crval1);
    h->real("CRVAL2", crval2);
    h->real("CRPIX1", crpix1);
    h->real("CRPIX2", crpix2);
    h->real("CDELT1", cdelt1);
    h->real("CDELT2", cdelt2);
    h->real("CROTA2", crota2);
    h->text("CTYPE1", ctype1);
    h->text("CTYPE2", "DEC--TAN");
}

static bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The frame of a classic header converts exactly as the card-reading functions do, for
// every projection, random frames and random positions, both ways and in the array form.
TEST(WorldFrame, ClassicFrameGivesTheCardResultsBitForBit)
{
    const char* const types[] = {"RA--",     "RA---SIN", "RA---TAN", "RA---ARC", "RA---NCP",
                                 "RA---GLS", "RA---MER", "RA---AIT", "RA---STG"};
    std::mt19937_64 random(20261207);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int compared = 0;
    for (const char* type : types) {
        for (int frameIndex = 0; frameIndex < 150; ++frameIndex) {
            Header h;
            double crval2 = frameIndex % 50 == 0 ? 90.0 : -89.0 + 178.0 * unit(random);
            double scale = std::pow(10.0, -5 + 3 * unit(random));
            classicCards(&h, type, 360 * unit(random), crval2, 2048 * unit(random),
                         2048 * unit(random), -scale, scale * (0.8 + 0.4 * unit(random)),
                         frameIndex % 3 == 0 ? 0.0 : 360 * unit(random) - 180);
            WorldFrame frame;
            ASSERT_EQ(readWorldFrame(h.image, WcsMode::Classic, &frame), WcsStatus::Ok) << type;
            ASSERT_FALSE(frame.standard);
            std::vector<double> xs, ys;
            for (int i = 0; i < 20; ++i) {
                xs.push_back(-200 + 2500 * unit(random));
                ys.push_back(-200 + 2500 * unit(random));
            }
            std::vector<double> ras(xs.size(), -7), decs(xs.size(), -7);
            std::vector<unsigned char> placed(xs.size());
            pixelsToSky(frame, xs.size(), xs.data(), ys.data(), ras.data(), decs.data(),
                        placed.data());
            for (size_t i = 0; i < xs.size(); ++i) {
                double ra1 = -7, dec1 = -7, ra2 = -7, dec2 = -7;
                int cardStatus = pixelToSky(&h.image, xs[i], ys[i], &ra1, &dec1);
                WcsStatus frameStatus = pixelToSky(frame, xs[i], ys[i], &ra2, &dec2);
                ASSERT_EQ(cardStatus == 0, frameStatus == WcsStatus::Ok) << type;
                ASSERT_EQ(placed[i] == 1, cardStatus == 0) << type;
                EXPECT_TRUE(sameBits(ra1, ra2) && sameBits(dec1, dec2) && sameBits(ra1, ras[i]) &&
                            sameBits(dec1, decs[i]))
                    << type << " at " << xs[i] << "," << ys[i] << ": " << ra1 << " " << ra2;
                if (cardStatus != 0)
                    continue;
                double x1 = -7, y1 = -7, x2 = -7, y2 = -7;
                int backCard = skyToPixel(&h.image, ra1, dec1, &x1, &y1);
                WcsStatus backFrame = skyToPixel(frame, ra1, dec1, &x2, &y2);
                ASSERT_EQ(backCard == 0, backFrame == WcsStatus::Ok) << type;
                if (backCard == 0) {
                    EXPECT_TRUE(sameBits(x1, x2) && sameBits(y1, y2)) << type << " back";
                }
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 9 * 150 * 20 / 2);
}

TEST(WorldFrame, ReportsWhyAHeaderGivesNoFrame)
{
    struct Case {
        const char* what;
        WcsMode mode;
        std::vector<std::pair<const char*, double>> reals; // set over the classic header
        std::vector<std::pair<const char*, const char*>> texts;
        const char* removed;
        WcsStatus expected;
    };
    const Case cases[] = {
        {"classic", WcsMode::Classic, {}, {}, nullptr, WcsStatus::Ok},
        {"no CROTA2", WcsMode::Classic, {}, {}, "CROTA2", WcsStatus::MissingCard},
        {"no CTYPE1", WcsMode::Classic, {}, {}, "CTYPE1", WcsStatus::MissingCard},
        {"CDELT1 zero", WcsMode::Classic, {{"CDELT1", 0.0}}, {}, nullptr, WcsStatus::ZeroScale},
        {"CDELT2 zero", WcsMode::Auto, {{"CDELT2", 0.0}}, {}, nullptr, WcsStatus::ZeroScale},
        {"CRPIX1 overflows", WcsMode::Auto, {}, {}, nullptr, WcsStatus::NotFinite},
        {"galactic",
         WcsMode::Classic,
         {},
         {{"CTYPE1", "GLON-TAN"}},
         nullptr,
         WcsStatus::NotRightAscension},
        {"standard galactic",
         WcsMode::Fits,
         {},
         {{"CTYPE1", "GLON-TAN"}, {"CTYPE2", "GLAT-TAN"}},
         nullptr,
         WcsStatus::NotRightAscension},
        {"standard", WcsMode::Fits, {}, {}, nullptr, WcsStatus::Ok},
        {"standard, no CROTA2", WcsMode::Auto, {}, {}, "CROTA2", WcsStatus::Ok},
        {"standard, CDELT1 zero",
         WcsMode::Fits,
         {{"CDELT1", 0.0}},
         {},
         nullptr,
         WcsStatus::ZeroScale},
        {"singular CD",
         WcsMode::Auto,
         {{"CD1_1", 1e-3}, {"CD1_2", 2e-3}, {"CD2_1", 1e-3}, {"CD2_2", 2e-3}},
         {},
         nullptr,
         WcsStatus::ZeroScale},
        {"unknown projection",
         WcsMode::Fits,
         {},
         {{"CTYPE1", "RA---QQQ"}, {"CTYPE2", "DEC--QQQ"}},
         nullptr,
         WcsStatus::Invalid},
    };
    for (const auto& c : cases) {
        Header h;
        classicCards(&h, "RA---TAN", 150.0, 20.0, 100.0, 100.0, -1e-3, 1e-3, 5.0);
        for (const auto& [keyword, value] : c.reals)
            h.real(keyword, value);
        for (const auto& [keyword, value] : c.texts)
            h.text(keyword, value);
        if (std::strcmp(c.what, "CRPIX1 overflows") == 0)
            h.raw("CRPIX1", "1E999");
        if (c.removed != nullptr)
            deleteCard(&h.image, c.removed);
        WorldFrame frame;
        EXPECT_EQ(readWorldFrame(h.image, c.mode, &frame), c.expected) << c.what;
        if (c.expected != WcsStatus::Ok) {
            EXPECT_FALSE(frame.standard || frame.wcslib) << c.what << ": frame changed";
        }
        EXPECT_STRNE(wcsStatusText(c.expected), "") << c.what;
    }
    // A header without any world coordinates.
    Header empty;
    empty.real("EXPTIME", 30.0);
    WorldFrame frame;
    EXPECT_EQ(readWorldFrame(empty.image, WcsMode::Auto, &frame), WcsStatus::NoCelestialAxes);
    EXPECT_EQ(readWorldFrame(empty.image, WcsMode::Classic, &frame), WcsStatus::MissingCard);
}

// Malformed cards (bytes outside printable ASCII, an unclosed string, a keyword that is
// no keyword, a distortion coefficient that is no number) once made the standard reader
// loop forever or crash; they are left out, the other cards read as ever.
TEST(WorldFrame, StandardReaderLeavesOutMalformedCards)
{
    struct Case {
        const char* what;
        const char* keyword;
        const char* value;
        const char* extra; // one more card, as written
        WcsStatus expected;
    };
    const Case cases[] = {
        {"comment with bytes above 127", "OBJECT", "'M31' / \x80\x80", "", WcsStatus::Ok},
        {"control character in a value", "DATE-OBS", "'\x05' $\x80$\x80", "", WcsStatus::Ok},
        {"unclosed string, cards without keywords", "CTYPE1", "'RA77", "'R-", WcsStatus::Invalid},
        {"world-coordinate card", "CTYPE2", "'DEC--TAN' / \xff", "", WcsStatus::Invalid},
        {"distortion coefficient that is a text", "A_2_0", "'a'", "", WcsStatus::Ok},
        {"distortion coefficient that is two numbers", "BP_0_2", "1 2", "", WcsStatus::Ok},
        {"distortion coefficient with a bare exponent", "AP_1_1", "1.5E+ / x", "", WcsStatus::Ok},
    };
    for (const Case& c : cases) {
        Header h;
        classicCards(&h, "RA---TAN", 150.0, 20.0, 100.0, 100.0, -1e-3, 1e-3, 5.0);
        h.raw(c.keyword, c.value);
        if (c.extra[0] != '\0') {
            for (const char* text : {"0", c.extra}) {
                char card[81];
                std::snprintf(card, sizeof card, "%-80.80s", text);
                addCard(&h.image, card);
            }
        }
        WorldFrame frame;
        EXPECT_EQ(readWorldFrame(h.image, WcsMode::Fits, &frame), c.expected) << c.what;
    }
    // A coefficient read before any card that gives two axes.
    Header h;
    h.text("CTYPE1", "RA---TAN-SIP");
    h.raw("A_2_0", "1");
    WorldFrame frame;
    EXPECT_EQ(readWorldFrame(h.image, WcsMode::Fits, &frame), WcsStatus::Invalid);
}

TEST(WorldFrame, AutoReadsClassicHeadersClassicallyAndTheRestByTheStandard)
{
    struct Case {
        const char* ctype1;
        const char* extraKeyword; // a matrix card, or nullptr
        bool standard;
    };
    const Case cases[] = {
        {"RA---TAN", nullptr, false},    {"RA--", nullptr, false},    {"RA---AIT", nullptr, false},
        {"RA---TAN", "CD1_1", true},     {"RA---TAN", "PC1_2", true}, {"RA---TAN", "CD1_1A", false},
        {"RA---TAN-SIP", nullptr, true}, {"RA---ZEA", nullptr, true}, {"RA---TPV", nullptr, true},
    };
    for (const auto& c : cases) {
        Header h;
        classicCards(&h, c.ctype1, 150.0, 20.0, 100.0, 100.0, -1e-3, 1e-3, 0.0);
        h.text("CTYPE2", (std::string("DEC-") + (c.ctype1 + 4)).c_str());
        if (c.extraKeyword != nullptr) {
            // A CD matrix of one diagonal element would be singular and refused.
            h.real(c.extraKeyword, 1e-3);
            if (std::strcmp(c.extraKeyword, "CD1_1") == 0)
                h.real("CD2_2", 1e-3);
        }
        WorldFrame frame;
        readWorldFrame(h.image, WcsMode::Auto, &frame);
        EXPECT_EQ(frame.standard, c.standard)
            << c.ctype1 << " " << (c.extraKeyword ? c.extraKeyword : "");
    }
}

// The same classic header read both ways: the standard counts pixels from 1, so the
// classic position x is the standard position x - 1. The two differ otherwise only by
// the classic degree factor 0.01745329252 (a relative 3e-12).
TEST(WorldFrame, StandardConventionIsOnePixelAway)
{
    const char* const types[] = {"RA---TAN", "RA---SIN", "RA---ARC", "RA---STG"};
    for (const char* type : types) {
        Header h;
        std::string ctype2 = std::string("DEC-") + (type + 4);
        classicCards(&h, type, 359.5, -30.0, 512.0, 384.0, -2e-4, 2e-4, 17.0);
        h.text("CTYPE2", ctype2.c_str());
        WorldFrame classic, standard;
        ASSERT_EQ(readWorldFrame(h.image, WcsMode::Classic, &classic), WcsStatus::Ok);
        ASSERT_EQ(readWorldFrame(h.image, WcsMode::Fits, &standard), WcsStatus::Ok) << type;
        const double positions[][2] = {{0, 0}, {511, 383}, {1023.5, 767.25}, {-40, 900}};
        for (const auto& p : positions) {
            double ra1 = 0, dec1 = 0, ra2 = 0, dec2 = 0, x = 0, y = 0;
            ASSERT_EQ(pixelToSky(classic, p[0] + 1, p[1] + 1, &ra1, &dec1), WcsStatus::Ok);
            ASSERT_EQ(pixelToSky(standard, p[0], p[1], &ra2, &dec2), WcsStatus::Ok);
            EXPECT_NEAR(ra1, ra2, 1e-11) << type << " at " << p[0] << "," << p[1];
            EXPECT_NEAR(dec1, dec2, 1e-11) << type << " at " << p[0] << "," << p[1];
            ASSERT_EQ(skyToPixel(standard, ra2, dec2, &x, &y), WcsStatus::Ok);
            EXPECT_NEAR(x, p[0], 1e-6) << type;
            EXPECT_NEAR(y, p[1], 1e-6) << type;
        }
    }
}

// A standard frame with distortion used from several threads at once gives what it gives
// on one.
TEST(WorldFrame, StandardFrameIsSafeAcrossThreads)
{
    Header h;
    h.text("CTYPE1", "RA---TAN-SIP");
    h.text("CTYPE2", "DEC--TAN-SIP");
    h.real("CRVAL1", 150.0);
    h.real("CRVAL2", 2.0);
    h.real("CRPIX1", 1024.0);
    h.real("CRPIX2", 1024.0);
    h.real("CD1_1", -2.8e-4);
    h.real("CD1_2", 1e-6);
    h.real("CD2_1", 1e-6);
    h.real("CD2_2", 2.8e-4);
    h.real("A_ORDER", 2);
    h.real("B_ORDER", 2);
    h.real("A_2_0", 2e-6);
    h.real("B_0_2", -1.5e-6);
    WorldFrame frame;
    ASSERT_EQ(readWorldFrame(h.image, WcsMode::Auto, &frame), WcsStatus::Ok);
    const size_t count = 3000;
    std::vector<double> xs(count), ys(count);
    for (size_t i = 0; i < count; ++i) {
        xs[i] = static_cast<double>(i % 2048);
        ys[i] = static_cast<double>((i * 7) % 2048);
    }
    std::vector<double> ra(count), dec(count);
    std::vector<unsigned char> placed(count);
    ASSERT_EQ(pixelsToSky(frame, count, xs.data(), ys.data(), ra.data(), dec.data(), placed.data()),
              count);
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = static_cast<size_t>(t); i < count; i += 1) {
                double r = 0, d = 0;
                if (pixelToSky(frame, xs[i], ys[i], &r, &d) != WcsStatus::Ok || r != ra[i] ||
                    d != dec[i])
                    ++mismatches[static_cast<size_t>(t)];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(mismatches[static_cast<size_t>(t)], 0) << "thread " << t;
}

// A world-coordinate number card that cannot be read refuses the header, naming the card,
// unless the description does not use cards of its kind: then it is set aside with a note
// saying what is used instead. A singular CD matrix is refused, never made a unit one.
TEST(WorldFrame, UnreadableCardsAndSingularMatricesAreNamed)
{
    struct Case {
        const char* what;
        WcsMode mode;
        bool cdMatrix; // the header gives CD1_1..CD2_2 (else classic CDELT/CROTA2)
        std::vector<std::pair<const char*, const char*>> raw; // value fields, as written
        std::vector<const char*> removed;
        WcsStatus expected;
        const char* detail; // readWorldFrame's detail, exactly
    };
    const Case cases[] = {
        {"good classic", WcsMode::Auto, false, {}, {}, WcsStatus::Ok, ""},
        {"good standard", WcsMode::Auto, true, {}, {}, WcsStatus::Ok, ""},
        {"comment after a number",
         WcsMode::Auto,
         true,
         {{"CD1_1", "-1E-3 / deg"}},
         {},
         WcsStatus::Ok,
         ""},
        {"classic CROTA2 a text",
         WcsMode::Auto,
         false,
         {{"CROTA2", "'NAN'"}},
         {},
         WcsStatus::UnreadableCard,
         "CROTA2 holds 'NAN', not a number"},
        {"classic CRPIX1 with trailing characters",
         WcsMode::Classic,
         false,
         {{"CRPIX1", "12abc"}},
         {},
         WcsStatus::UnreadableCard,
         "CRPIX1 holds 12abc, not a number"},
        {"classic CDELT2 empty",
         WcsMode::Auto,
         false,
         {{"CDELT2", ""}},
         {},
         WcsStatus::UnreadableCard,
         "CDELT2 holds no value"},
        {"classic CRVAL1 overflows",
         WcsMode::Auto,
         false,
         {{"CRVAL1", "1D999"}},
         {},
         WcsStatus::NotFinite,
         "CRVAL1 = 1D999 is beyond the range of numbers"},
        {"standard CROTA2 a text",
         WcsMode::Fits,
         false,
         {{"CROTA2", "'NAN' / rotation"}},
         {},
         WcsStatus::UnreadableCard,
         "CROTA2 holds 'NAN', not a number"},
        {"PC1_1 a text",
         WcsMode::Auto,
         false,
         {{"PC1_1", "'NAN'"}},
         {},
         WcsStatus::UnreadableCard,
         "PC1_1 holds 'NAN', not a number"},
        {"CD1_2 a logical",
         WcsMode::Auto,
         true,
         {{"CD1_2", "T"}},
         {},
         WcsStatus::UnreadableCard,
         "CD1_2 holds T, not a number"},
        {"CRPIX2 overflows",
         WcsMode::Fits,
         true,
         {{"CRPIX2", "1E999"}},
         {},
         WcsStatus::NotFinite,
         "CRPIX2 = 1E999 is beyond the range of numbers"},
        {"PV2_1 a text",
         WcsMode::Fits,
         true,
         {{"PV2_1", "'x'"}},
         {},
         WcsStatus::UnreadableCard,
         "PV2_1 holds 'x', not a number"},
        {"control byte in a matrix card",
         WcsMode::Fits,
         true,
         {{"CD2_2", "1E-3 / \x01"}},
         {},
         WcsStatus::UnreadableCard,
         "CD2_2 is not a well-formed card"},
        {"CROTA2 beside a CD matrix",
         WcsMode::Auto,
         true,
         {{"CROTA2", "'N/A'"}},
         {},
         WcsStatus::Ok,
         "CROTA2 holds 'N/A', not a number: set aside, the CD matrix gives the "
         "rotation"},
        {"CDELT1 beside a CD matrix",
         WcsMode::Fits,
         true,
         {{"CDELT1", "x"}, {"CROTA2", "?"}},
         {},
         WcsStatus::Ok,
         "CDELT1 holds x, not a number: set aside, the CD matrix gives the scale; "
         "CROTA2 holds ?, not a number: set aside, the CD matrix gives the rotation"},
        {"CD1_1 beside a PC matrix",
         WcsMode::Fits,
         false,
         {{"PC1_1", "1"}, {"PC2_2", "1"}, {"CD1_1", "'x'"}},
         {},
         WcsStatus::Ok,
         "CD1_1 holds 'x', not a number: set aside, the PC matrix is used"},
        {"CDELT1 beside a PC matrix",
         WcsMode::Fits,
         false,
         {{"PC1_1", "1"}, {"CDELT1", "'x'"}},
         {},
         WcsStatus::UnreadableCard,
         "CDELT1 holds 'x', not a number"},
        {"SIP coefficient without SIP",
         WcsMode::Fits,
         true,
         {{"A_2_0", "'a'"}},
         {},
         WcsStatus::Ok,
         "A_2_0 holds 'a', not a number: set aside, no CTYPE names the SIP distortion"},
        {"SIP coefficient with SIP",
         WcsMode::Fits,
         true,
         {{"CTYPE1", "'RA---TAN-SIP'"},
          {"CTYPE2", "'DEC--TAN-SIP'"},
          {"A_ORDER", "2"},
          {"A_2_0", "'a'"}},
         {},
         WcsStatus::UnreadableCard,
         "A_2_0 holds 'a', not a number"},
        {"all-zero CD matrix",
         WcsMode::Auto,
         true,
         {{"CD1_1", "0"}, {"CD1_2", "0"}, {"CD2_1", "0"}, {"CD2_2", "0"}},
         {},
         WcsStatus::ZeroScale,
         "the CD matrix is singular"},
        {"CD matrix with a zero row and column",
         WcsMode::Auto,
         true,
         {{"CD2_2", "0"}},
         {},
         WcsStatus::ZeroScale,
         "the CD matrix is singular"},
        {"CD matrix without its second row",
         WcsMode::Auto,
         true,
         {},
         {"CD2_2"},
         WcsStatus::ZeroScale,
         "the CD matrix is singular"},
        {"zero PC matrix",
         WcsMode::Fits,
         false,
         {{"PC1_1", "0"}, {"PC1_2", "0"}, {"PC2_1", "0"}, {"PC2_2", "0"}},
         {},
         WcsStatus::ZeroScale,
         "the PC matrix is singular"},
        {"standard CDELT2 zero",
         WcsMode::Fits,
         false,
         {{"CDELT2", "0"}},
         {},
         WcsStatus::ZeroScale,
         "CDELT2 is zero"},
        {"classic CDELT1 zero",
         WcsMode::Classic,
         false,
         {{"CDELT1", "0.0"}},
         {},
         WcsStatus::ZeroScale,
         ""},
    };
    for (const Case& c : cases) {
        Header h;
        classicCards(&h, "RA---TAN", 150.0, 20.0, 100.0, 100.0, -1e-3, 1e-3, 0.0);
        if (c.cdMatrix) {
            deleteCard(&h.image, "CROTA2");
            h.real("CD1_1", -1e-3);
            h.real("CD1_2", 0.0);
            h.real("CD2_1", 0.0);
            h.real("CD2_2", 1e-3);
        }
        for (const auto& [keyword, value] : c.raw)
            h.raw(keyword, value);
        for (const char* keyword : c.removed)
            deleteCard(&h.image, keyword);
        WorldFrame frame;
        std::string detail = "untouched";
        EXPECT_EQ(readWorldFrame(h.image, c.mode, &frame, &detail), c.expected) << c.what;
        EXPECT_EQ(detail, c.detail) << c.what;
        EXPECT_EQ(wcsProblemText(c.expected, detail),
                  detail.empty() ? wcsStatusText(c.expected) : detail)
            << c.what;
        if (c.expected == WcsStatus::Ok) {
            // What is read is the header without the cards set aside.
            double ra = 0, dec = 0;
            ASSERT_EQ(pixelToSky(frame, 100, 100, &ra, &dec), WcsStatus::Ok) << c.what;
            EXPECT_NEAR(ra * 180 / PI, 150.0, 2e-3) << c.what;
            EXPECT_NEAR(dec * 180 / PI, 20.0, 2e-3) << c.what;
        } else {
            EXPECT_FALSE(frame.standard || frame.wcslib) << c.what << ": frame changed";
        }
    }
}
