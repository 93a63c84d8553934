#include "wcs/world_frame.hpp"

#include <erfa.h>
#include <wcslib/wcs.h>
#include <wcslib/wcsfix.h>
#include <wcslib/wcshdr.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "base/angles.hpp"
#include "fits/observation_time.hpp"

namespace newstars {

// WCSLIB's description of one image. WCSLIB keeps scratch space inside the description
// (for distortions and intermediate coordinates), so every conversion holds the lock.
struct StandardFrame {
    wcsprm* all = nullptr; // every description the header holds, as wcspih returns them
    int count = 0;
    wcsprm* wcs = nullptr; // the primary one, set
    std::mutex lock;
    double referenceRa = 0; // degrees
    StandardFrame() = default;
    StandardFrame(const StandardFrame&) = delete;
    StandardFrame& operator=(const StandardFrame&) = delete;
    ~StandardFrame()
    {
        wcsvfree(&count, &all);
    }
};

// WCSLIB's mark of a value the header does not give (UNDEFINED of wcslib/wcsmath.h,
// which cannot be included beside base/angles.hpp: it defines PI as a macro).
static constexpr double WCSLIB_UNDEFINED = 9.87654321e+107;

// The numbers of a classic header, in the order readClassicCards reads them.
static constexpr const char* CLASSIC_REALS[] = {"CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2",
                                                "CDELT1", "CDELT2", "CROTA2"};

// Projection codes the classic formulas know (CTYPE1 from its fifth character).
static constexpr const char* CLASSIC_CODES[] = {"-SIN", "-TAN", "-ARC", "-NCP",
                                                "-GLS", "-MER", "-AIT", "-STG"};

const char* wcsStatusText(WcsStatus status)
{
    switch (status) {
    case WcsStatus::Ok:
        return "world coordinates read";
    case WcsStatus::MissingCard:
        return "a world-coordinate card is missing";
    case WcsStatus::NotRightAscension:
        return "the first celestial axis is not right ascension";
    case WcsStatus::ZeroScale:
        return "the pixel scale is zero";
    case WcsStatus::NotFinite:
        return "a world-coordinate value is not finite";
    case WcsStatus::NoCelestialAxes:
        return "no celestial world coordinates";
    case WcsStatus::Unreadable:
        return "world-coordinate cards cannot be read";
    case WcsStatus::Invalid:
        return "world-coordinate cards are inconsistent";
    case WcsStatus::OutsideDomain:
        return "position outside the projection";
    case WcsStatus::UnknownEquinox:
        return "FK4 coordinates of an equinox other than B1950";
    case WcsStatus::UnreadableCard:
        return "a world-coordinate card cannot be read";
    case WcsStatus::FarEquinox:
        return "FK5 coordinates of an equinox outside the years 1000 to 3000";
    }
    return "unknown world-coordinate status";
}

bool parseWcsMode(const char* text, WcsMode* mode)
{
    if (text == nullptr)
        return false;
    if (std::strcmp(text, "auto") == 0)
        *mode = WcsMode::Auto;
    else if (std::strcmp(text, "classic") == 0)
        *mode = WcsMode::Classic;
    else if (std::strcmp(text, "fits") == 0)
        *mode = WcsMode::Fits;
    else
        return false;
    return true;
}

WcsStatus readClassicCards(const FitsImage& image, ClassicCards* cards)
{
    const struct {
        const char* keyword;
        double* value;
    } reals[] = {{"CRVAL1", &cards->crval1}, {"CRVAL2", &cards->crval2}, {"CRPIX1", &cards->crpix1},
                 {"CRPIX2", &cards->crpix2}, {"CDELT1", &cards->cdelt1}, {"CDELT2", &cards->cdelt2},
                 {"CROTA2", &cards->crota2}};
    for (const auto& r : reals) {
        const char* card = nullptr;
        if (findCard(&image, r.keyword, &card) != 0)
            return WcsStatus::MissingCard;
        if (!readNumberValue(card, r.value))
            return WcsStatus::UnreadableCard;
    }
    std::string type;
    if (getStringCard(&image, "CTYPE1", &type) != 0)
        return WcsStatus::MissingCard;
    if (type.compare(0, 4, "RA--") != 0)
        return WcsStatus::NotRightAscension;
    cards->projectionCode = type.substr(4);
    return WcsStatus::Ok;
}

// True for a keyword of a linear transformation matrix element: CDi_j or PCi_j, i and j
// axis numbers (columns 1-8 of the card).
static bool isMatrixKeyword(const char* card)
{
    if (!((card[0] == 'C' && card[1] == 'D') || (card[0] == 'P' && card[1] == 'C')))
        return false;
    int i = 2;
    if (!std::isdigit(static_cast<unsigned char>(card[i])))
        return false;
    while (i < 8 && std::isdigit(static_cast<unsigned char>(card[i])))
        ++i;
    if (i >= 7 || card[i] != '_' || !std::isdigit(static_cast<unsigned char>(card[i + 1])))
        return false;
    ++i;
    while (i < 8 && std::isdigit(static_cast<unsigned char>(card[i])))
        ++i;
    for (; i < 8; ++i) {
        if (card[i] != ' ')
            return false;
    }
    return true;
}

// Whether Auto reads the header through the classic formulas.
static bool isClassicHeader(const FitsImage& image)
{
    ClassicCards cards;
    if (readClassicCards(image, &cards) == WcsStatus::MissingCard)
        return false;
    for (int32_t i = 0; i < image.cardCount; ++i) {
        if (isMatrixKeyword(image.cards.data() + static_cast<size_t>(i) * FITS_CARD_LENGTH))
            return false;
    }
    // A distortion after the projection code ("-TAN-SIP"), or a standard projection the
    // classic formulas would take as linear ("-ZEA"), is for the standard reader.
    const std::string& code = cards.projectionCode;
    if (code.size() > 4)
        return false;
    if (code.size() == 4 && code[0] == '-') {
        for (const char* known : CLASSIC_CODES) {
            if (code == known)
                return true;
        }
        return false;
    }
    return true;
}

// The E-terms of aberration of the FK4 catalogue at B1950 (radians), as in ERFA's
// eraFk425.
static constexpr double E_TERMS[3] = {-1.62557e-6, -0.31919e-6, -0.13843e-6};

static double dot(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// An FK4 position without E-terms (FK4-NO-E) to one with them: the inverse of
// removeETerms, by fixed-point iteration (the terms are 1e-6, ten steps reach rounding).
static void addETerms(double* ra, double* dec)
{
    double p0[3], p[3];
    eraS2c(*ra, *dec, p0);
    std::copy(p0, p0 + 3, p);
    for (int step = 0; step < 10; ++step) {
        const double scale = 1 + dot(E_TERMS, p);
        for (int i = 0; i < 3; ++i)
            p[i] = (p0[i] + E_TERMS[i]) / scale;
    }
    eraC2s(p, ra, dec);
}

// An FK4 position with E-terms to one without (FK4-NO-E): p - A + (A . p) p.
static void removeETerms(double* ra, double* dec)
{
    double p[3];
    eraS2c(*ra, *dec, p);
    const double a = dot(E_TERMS, p);
    for (int i = 0; i < 3; ++i)
        p[i] = p[i] - E_TERMS[i] + a * p[i];
    eraC2s(p, ra, dec);
}

// A right ascension in radians made to lie within half a turn of the reference and
// non-negative, as the classic projections leave theirs.
static double normaliseRaRadians(double ra, double referenceRa)
{
    if (ra - referenceRa > PI)
        ra -= 2 * PI;
    if (ra - referenceRa < -PI)
        ra += 2 * PI;
    if (ra < 0)
        ra += 2 * PI;
    return ra;
}

// A position of the header's system (degrees) to ICRS (radians), right ascension in
// [0, 2 pi) before it is normalised to the reference.
static void toIcrs(const EquatorialConversion& c, double raDeg, double decDeg, double* ra,
                   double* dec)
{
    double r = degreesToRadians(raDeg), d = degreesToRadians(decDeg);
    if (c.kind == EquatorialConversion::Kind::Fk4) {
        if (c.eTermsRemoved)
            addETerms(&r, &d);
        eraFk45z(r, d, c.epoch, &r, &d);
    } else if (c.kind == EquatorialConversion::Kind::Precessed) {
        double p[3], q[3];
        eraS2c(r, d, p);
        double m[3][3];
        std::copy(&c.precession[0][0], &c.precession[0][0] + 9, &m[0][0]);
        eraTrxp(m, p, q);
        eraC2s(q, &r, &d);
    }
    *ra = eraAnp(r);
    *dec = d;
}

// An ICRS position (radians) to the header's system (degrees), right ascension within
// half a turn of nativeReferenceRa (degrees).
static void fromIcrs(const EquatorialConversion& c, double ra, double dec, double nativeReferenceRa,
                     double* raDeg, double* decDeg)
{
    double r = ra, d = dec;
    if (c.kind == EquatorialConversion::Kind::Fk4) {
        double dr = 0, dd = 0;
        eraFk54z(ra, dec, c.epoch, &r, &d, &dr, &dd);
        if (c.eTermsRemoved)
            removeETerms(&r, &d);
        // eraFk54z undoes eraFk45z to a few microarcseconds; two corrections through
        // the forward conversion make the pair inverse to rounding.
        for (int step = 0; step < 2; ++step) {
            double forwardRa = 0, forwardDec = 0;
            toIcrs(c, radiansToDegrees(r), radiansToDegrees(d), &forwardRa, &forwardDec);
            r += eraAnpm(ra - forwardRa);
            d += dec - forwardDec;
        }
    } else if (c.kind == EquatorialConversion::Kind::Precessed) {
        double p[3], q[3];
        eraS2c(ra, dec, p);
        double m[3][3];
        std::copy(&c.precession[0][0], &c.precession[0][0] + 9, &m[0][0]);
        eraRxp(m, p, q);
        eraC2s(q, &r, &d);
    }
    *raDeg = radiansToDegrees(normaliseRaRadians(eraAnp(r), degreesToRadians(nativeReferenceRa)));
    *decDeg = radiansToDegrees(d);
}

// The conversion for a header whose system is radesys (empty: not given) and equinox
// (NaN: not given), whose reference point lies at (referenceRa, referenceDec), degrees.
static WcsStatus equatorialConversion(const FitsImage& image, std::string radesys, double equinox,
                                      double referenceRa, double referenceDec,
                                      EquatorialConversion* conversion)
{
    while (!radesys.empty() && radesys.back() == ' ')
        radesys.pop_back();
    if (radesys.empty())
        radesys = std::isnan(equinox) ? "ICRS" : equinox < 1984 ? "FK4" : "FK5";
    EquatorialConversion c;
    if (radesys == "FK4" || radesys == "FK4-NO-E") {
        if (!std::isnan(equinox) && equinox != 1950)
            return WcsStatus::UnknownEquinox;
        c.kind = EquatorialConversion::Kind::Fk4;
        c.eTermsRemoved = radesys == "FK4-NO-E";
        ObservationTime time;
        if (readObservationTime(image, &time) == 0)
            c.epoch = eraEpb(2400000.5, time.mjd);
    } else if (radesys == "FK5" && !std::isnan(equinox) && equinox != 2000) {
        if (!std::isfinite(equinox))
            return WcsStatus::NotFinite;
        // The precession model holds for some thousand years about J2000; far beyond it
        // gives no position at all.
        if (equinox < 1000 || equinox > 3000)
            return WcsStatus::FarEquinox;
        c.kind = EquatorialConversion::Kind::Precessed;
        double djm0 = 0, djm = 0, bias[3][3], biasPrecession[3][3];
        eraEpj2jd(equinox, &djm0, &djm);
        eraBp06(djm0, djm, bias, c.precession, biasPrecession);
    }
    double ra = 0, dec = 0;
    toIcrs(c, referenceRa, referenceDec, &ra, &dec);
    c.referenceRa = ra;
    *conversion = c;
    return WcsStatus::Ok;
}

// RADESYS (or RADECSYS) and EQUINOX (or EPOCH) of a header as the classic reading
// takes them: "" and NaN where absent (an EQUINOX that is not a number is absent).
static void classicSystemCards(const FitsImage& image, std::string* radesys, double* equinox)
{
    radesys->clear();
    if (getStringCard(&image, "RADESYS", radesys) != 0 &&
        getStringCard(&image, "RADECSYS", radesys) != 0)
        radesys->clear();
    *equinox = std::nan("");
    for (const char* keyword : {"EQUINOX", "EPOCH"}) {
        const char* card = nullptr;
        double value = 0;
        if (findCard(&image, keyword, &card) == 0 && readNumberValue(card, &value)) {
            *equinox = value;
            return;
        }
    }
}

static std::string cardFaultText(const char* card, const std::string& keyword);
static std::string classicCardFault(const FitsImage& image);

static WcsStatus readClassicFrame(const FitsImage& image, WorldFrame* frame, std::string* detail)
{
    ClassicCards c;
    if (WcsStatus s = readClassicCards(image, &c); s != WcsStatus::Ok) {
        if (s == WcsStatus::UnreadableCard)
            *detail = classicCardFault(image);
        return s;
    }
    const double values[] = {c.crval1, c.crval2, c.crpix1, c.crpix2, c.cdelt1, c.cdelt2, c.crota2};
    for (size_t i = 0; i < std::size(values); ++i) {
        if (!std::isfinite(values[i])) {
            const char* card = nullptr;
            findCard(&image, CLASSIC_REALS[i], &card);
            *detail = cardFaultText(card, CLASSIC_REALS[i]);
            return WcsStatus::NotFinite;
        }
    }
    if (c.cdelt1 == 0 || c.cdelt2 == 0)
        return WcsStatus::ZeroScale;
    std::string radesys;
    double equinox = 0;
    classicSystemCards(image, &radesys, &equinox);
    EquatorialConversion conversion;
    if (WcsStatus s = equatorialConversion(image, radesys, equinox, c.crval1, c.crval2,
                                           &conversion);
        s != WcsStatus::Ok)
        return s;
    frame->standard = false;
    frame->wcslib.reset();
    prepareProjection(c.crval1, c.crval2, c.crpix1, c.crpix2, c.cdelt1, c.cdelt2, c.crota2,
                      c.projectionCode.c_str(), &frame->classic);
    frame->equatorial = conversion;
    return WcsStatus::Ok;
}

static bool allFinite(const double* values, int count)
{
    if (values == nullptr)
        return true;
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i]))
            return false;
    }
    return true;
}

// Whether the 80 characters of card are a well-formed FITS value card: printable ASCII
// only; a keyword of capital letters, digits, '-' and '_' left-justified in columns 1-8;
// the value indicator "= " in columns 9-10; a string value closed by its quote.
// Commentary cards carry no world coordinates.
static bool isWellFormedCard(const char* card)
{
    if (!std::all_of(card, card + FITS_CARD_LENGTH, [](char c) { return c >= 32 && c <= 126; }))
        return false;
    int k = 0;
    while (k < 8 && ((card[k] >= 'A' && card[k] <= 'Z') || (card[k] >= '0' && card[k] <= '9') ||
                     card[k] == '-' || card[k] == '_'))
        ++k;
    for (int i = k; i < 8; ++i) {
        if (card[i] != ' ')
            return false;
    }
    if (k == 0 || card[8] != '=' || card[9] != ' ')
        return false;
    int at = 10;
    while (at < FITS_CARD_LENGTH && card[at] == ' ')
        ++at;
    if (at == FITS_CARD_LENGTH || card[at] != '\'')
        return true;
    for (++at; at < FITS_CARD_LENGTH; ++at) {
        if (card[at] != '\'')
            continue;
        if (at + 1 < FITS_CARD_LENGTH && card[at + 1] == '\'')
            ++at; // a doubled quote stands for one
        else
            return true;
    }
    return false;
}

// What a world-coordinate card describes, for the cards readWorldFrame checks before the
// standard reader sees them: those of the primary description (no alternate letter).
enum class CardKind {
    None,
    Reference,  // CRVALi, CRPIXi, LONPOLE, LATPOLE
    Scale,      // CDELTi
    Rotation,   // CROTAi
    PcMatrix,   // PCi_j
    CdMatrix,   // CDi_j
    Projection, // PVi_m
    Polynomial, // A_p_q, B_p_q, AP_p_q, BP_p_q
};

// Whether text holds one digit or more and nothing else.
static bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// Whether keyword is the prefix followed by an index ("CRVAL1") or, with pair, by two
// indices joined by "_" ("PC1_2").
static bool isIndexed(std::string_view keyword, std::string_view prefix, bool pair)
{
    if (keyword.substr(0, prefix.size()) != prefix)
        return false;
    std::string_view rest = keyword.substr(prefix.size());
    if (!pair)
        return allDigits(rest);
    const size_t bar = rest.find('_');
    return bar != std::string_view::npos && allDigits(rest.substr(0, bar)) &&
           allDigits(rest.substr(bar + 1));
}

static CardKind worldCardKind(const char* card)
{
    std::string_view keyword(card, 8);
    while (!keyword.empty() && keyword.back() == ' ')
        keyword.remove_suffix(1);
    if (isIndexed(keyword, "CRVAL", false) || isIndexed(keyword, "CRPIX", false) ||
        keyword == "LONPOLE" || keyword == "LATPOLE")
        return CardKind::Reference;
    if (isIndexed(keyword, "CDELT", false))
        return CardKind::Scale;
    if (isIndexed(keyword, "CROTA", false))
        return CardKind::Rotation;
    if (isIndexed(keyword, "PC", true))
        return CardKind::PcMatrix;
    if (isIndexed(keyword, "CD", true))
        return CardKind::CdMatrix;
    if (isIndexed(keyword, "PV", true))
        return CardKind::Projection;
    if (isIndexed(keyword, "A_", true) || isIndexed(keyword, "B_", true) ||
        isIndexed(keyword, "AP_", true) || isIndexed(keyword, "BP_", true))
        return CardKind::Polynomial;
    return CardKind::None;
}

// The value field of a card as a message shows it: from column 11 without the blanks
// around it and without a comment after a number, bytes outside printable ASCII as "?",
// at most 30 characters.
static std::string shownValue(const char* card)
{
    std::string text(card + 10, card + FITS_CARD_LENGTH);
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return "";
    text.erase(0, first);
    if (text[0] == '\'') {
        for (size_t at = 1; at < text.size(); ++at) {
            if (text[at] == '\'' && (at + 1 == text.size() || text[at + 1] != '\'')) {
                text.resize(at + 1);
                break;
            }
            if (text[at] == '\'')
                ++at;
        }
    } else if (const size_t slash = text.find('/'); slash != std::string::npos) {
        text.resize(slash);
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    for (char& c : text) {
        if (c < 32 || c > 126)
            c = '?';
    }
    if (text.size() > 30)
        text = text.substr(0, 27) + "...";
    return text;
}

// Why a card of a world-coordinate number cannot be used: it is no well-formed value card
// (isWellFormedCard), its value is not a number, or is one beyond the range of doubles.
static std::string cardFaultText(const char* card, const std::string& keyword)
{
    if (!isWellFormedCard(card))
        return keyword + " is not a well-formed card";
    const std::string value = shownValue(card);
    double number = 0;
    if (readNumberValue(card, &number) && !std::isfinite(number))
        return keyword + " = " + value + " is beyond the range of numbers";
    if (value.empty())
        return keyword + " holds no value";
    return keyword + " holds " + value + ", not a number";
}

// The first classic number card whose value is not a number, as cardFaultText says it.
static std::string classicCardFault(const FitsImage& image)
{
    for (const char* keyword : CLASSIC_REALS) {
        const char* card = nullptr;
        double value = 0;
        if (findCard(&image, keyword, &card) == 0 && !readNumberValue(card, &value))
            return cardFaultText(card, keyword);
    }
    return "";
}

// Whether a card of one of the kinds above can be read: a well-formed value card holding a
// finite number.
static bool isReadableNumberCard(const char* card)
{
    double value = 0;
    return isWellFormedCard(card) && readNumberValue(card, &value) && std::isfinite(value);
}

// The cards of the primary description that cannot be read, and what that means. A card
// of a kind the standard reader uses refuses the header: its values would be replaced by
// defaults (a rotation of zero, a unit matrix element), giving wrong positions. A card of
// a kind it does not use is set aside with a note: a PC matrix takes precedence over a CD
// matrix, either over CDELTi (for CD) and CROTAi; polynomial coefficients count only when
// a CTYPE names the SIP distortion. An unreadable card still counts as present when
// deciding which kind is used, since the header meant to give it.
struct CardFaults {
    std::string refusal; // the first fault of a used kind; empty when none
    bool notFinite = false;
    std::string note;            // the faults set aside, "; "-separated
    std::vector<size_t> skipped; // indices of the faulty cards, in header order
};

static CardFaults standardCardFaults(const FitsImage& image)
{
    CardFaults faults;
    bool pc = false, cd = false;
    for (int32_t i = 0; i < image.cardCount; ++i) {
        const CardKind kind =
            worldCardKind(image.cards.data() + static_cast<size_t>(i) * FITS_CARD_LENGTH);
        pc = pc || kind == CardKind::PcMatrix;
        cd = cd || kind == CardKind::CdMatrix;
    }
    std::string type1, type2;
    getStringCard(&image, "CTYPE1", &type1);
    getStringCard(&image, "CTYPE2", &type2);
    const bool sip =
        type1.find("-SIP") != std::string::npos || type2.find("-SIP") != std::string::npos;
    for (int32_t i = 0; i < image.cardCount; ++i) {
        const char* card = image.cards.data() + static_cast<size_t>(i) * FITS_CARD_LENGTH;
        const CardKind kind = worldCardKind(card);
        if (kind == CardKind::None || isReadableNumberCard(card))
            continue;
        faults.skipped.push_back(static_cast<size_t>(i));
        std::string keyword(card, 8);
        keyword.resize(keyword.find_last_not_of(' ') + 1);
        const std::string fault = cardFaultText(card, keyword);
        const char* instead = nullptr;
        switch (kind) {
        case CardKind::CdMatrix:
            instead = pc ? "the PC matrix is used" : nullptr;
            break;
        case CardKind::Scale:
            instead = !pc && cd ? "the CD matrix gives the scale" : nullptr;
            break;
        case CardKind::Rotation:
            instead = pc   ? "the PC matrix gives the rotation"
                      : cd ? "the CD matrix gives the rotation"
                           : nullptr;
            break;
        case CardKind::Polynomial:
            instead = sip ? nullptr : "no CTYPE names the SIP distortion";
            break;
        default:
            break;
        }
        if (instead == nullptr) {
            if (faults.refusal.empty()) {
                faults.refusal = fault;
                double value = 0;
                faults.notFinite = isWellFormedCard(card) && readNumberValue(card, &value);
            }
        } else {
            if (!faults.note.empty())
                faults.note += "; ";
            faults.note += fault + ": set aside, " + instead;
        }
    }
    return faults;
}
// Why the matrix of the celestial axes of a description that wcspih has read (before
// wcsfix) is singular, naming what the header gives.
static std::string singularText(const wcsprm* wcs)
{
    if ((wcs->altlin & 2) != 0 && (wcs->altlin & 1) == 0)
        return "the CD matrix is singular";
    for (int i = 0; i < 2 && i < wcs->naxis; ++i) {
        if (wcs->cdelt[i] == 0)
            return "CDELT" + std::to_string(i + 1) + " is zero";
    }
    return "the PC matrix is singular";
}

// Whether the linear transformation of the first two axes, as wcspih read it from the
// header, is singular: CDELTi with the PC matrix, the CD matrix, or CDELTi with CROTAi (a
// rotation), whichever WCSLIB uses (PC before CD before CROTA). False for fewer than two
// axes (left to wcsset).
static bool isHeaderMatrixSingular(const wcsprm* wcs)
{
    const int n = wcs->naxis;
    if (n < 2)
        return false;
    const auto singular = [n](const double* m) { return m[0] * m[n + 1] - m[1] * m[n] == 0; };
    if ((wcs->altlin & 2) != 0 && (wcs->altlin & 1) == 0)
        return singular(wcs->cd);
    return wcs->cdelt[0] == 0 || wcs->cdelt[1] == 0 ||
           ((wcs->altlin & 1) != 0 || wcs->altlin == 0 ? singular(wcs->pc) : false);
}

static WcsStatus readStandardFrame(const FitsImage& image, WorldFrame* frame, std::string* detail)
{
    if (image.cardCount <= 0)
        return WcsStatus::NoCelestialAxes;
    const CardFaults faults = standardCardFaults(image);
    if (!faults.refusal.empty()) {
        *detail = faults.refusal;
        return faults.notFinite ? WcsStatus::NotFinite : WcsStatus::UnreadableCard;
    }
    // wcspih wants a modifiable header; the image stays as it is. Only well-formed value
    // cards are given to it (see isWellFormedCard): on malformed ones WCSLIB's header
    // parser can run forever or read and write outside its buffers. Its handling of
    // polynomial distortion coefficients fails in two more ways, so those cards are held
    // to what it can take: a coefficient whose value is not a number makes it follow a
    // null pointer (those, with every other unreadable number card of the description, are
    // left out: standardCardFaults), and one met while it still counts fewer than two axes
    // makes it write outside its arrays; the image is 2-D whatever its cards say, and
    // WCSLIB is told so before any other card.
    std::vector<char> header;
    header.reserve(image.cards.size() + FITS_CARD_LENGTH);
    char naxis[FITS_CARD_LENGTH + 1];
    std::snprintf(naxis, sizeof naxis, "%-8s= %20d", "NAXIS", 2);
    header.insert(header.end(), naxis, naxis + std::strlen(naxis));
    header.resize(FITS_CARD_LENGTH, ' ');
    int count = 1;
    bool anyOther = false;
    size_t nextSkipped = 0;
    for (int i = 0; i < image.cardCount; ++i) {
        const char* card = image.cards.data() + static_cast<size_t>(i) * FITS_CARD_LENGTH;
        if (nextSkipped < faults.skipped.size() &&
            faults.skipped[nextSkipped] == static_cast<size_t>(i)) {
            ++nextSkipped;
            continue;
        }
        if (isWellFormedCard(card) && std::strncmp(card, "NAXIS   ", 8) != 0) {
            header.insert(header.end(), card, card + FITS_CARD_LENGTH);
            ++count;
            anyOther = true;
        }
    }
    if (!anyOther)
        return WcsStatus::NoCelestialAxes;
    auto standard = std::make_shared<StandardFrame>();
    int rejected = 0;
    // ctrl 0: nothing is printed.
    int status =
        wcspih(header.data(), count, WCSHDR_all, 0, &rejected, &standard->count, &standard->all);
    if (status != 0)
        return WcsStatus::Unreadable;
    int alternates[27];
    if (standard->count <= 0 || wcsidx(standard->count, &standard->all, alternates) != 0 ||
        alternates[0] < 0)
        return WcsStatus::NoCelestialAxes;
    wcsprm* wcs = standard->all + alternates[0];

    std::vector<int> axisLengths(static_cast<size_t>(wcs->naxis > 0 ? wcs->naxis : 1), 1);
    if (wcs->naxis >= 2) {
        axisLengths[0] = image.width;
        axisLengths[1] = image.height;
    }
    // A singular matrix is refused as the header gives it, before wcsfix and wcsset: wcsfix
    // makes a zero row and column of a CD matrix a unit diagonal element (meant for axes
    // whose cards are left out), which would turn an all-zero matrix into one degree per
    // pixel, and wcsset keeps what it allocated for a singular matrix out of wcsvfree's
    // reach.
    const std::string singular = singularText(wcs);
    if (isHeaderMatrixSingular(wcs)) {
        *detail = singular;
        return WcsStatus::ZeroScale;
    }
    const int n = wcs->naxis;
    int fixes[NWCSFIX];
    // Fixes that fail (a date in an unknown form, for one) leave the description as it
    // was; whether it can be used is for wcsset to say.
    wcsfix(0, axisLengths.data(), wcs, fixes);
    status = wcsset(wcs);
    if (status == WCSERR_SINGULAR_MTX) {
        *detail = singular;
        return WcsStatus::ZeroScale;
    }
    if (status == WCSERR_MEMORY)
        return WcsStatus::Unreadable;
    if (status != 0)
        return WcsStatus::Invalid;
    if (wcs->lng < 0 || wcs->lat < 0)
        return WcsStatus::NoCelestialAxes;
    if (std::strncmp(wcs->lngtyp, "RA", 2) != 0)
        return WcsStatus::NotRightAscension;
    if (wcs->naxis < 2 || wcs->lng > 1 || wcs->lat > 1)
        return WcsStatus::NoCelestialAxes;
    // wcsset has put a CD matrix into pc (and cdelt to 1) where the header has one.
    if (!allFinite(wcs->crval, n) || !allFinite(wcs->crpix, n) || !allFinite(wcs->cdelt, n) ||
        !allFinite(wcs->pc, n * n))
        return WcsStatus::NotFinite;
    // wcsset does not always refuse a singular matrix: the pixel scale of the two
    // celestial axes must not vanish.
    const double* pc = wcs->pc;
    double determinant = wcs->cdelt[0] * pc[0] * wcs->cdelt[1] * pc[n + 1] -
                         wcs->cdelt[0] * pc[1] * wcs->cdelt[1] * pc[n];
    if (determinant == 0 || !allFinite(wcs->lin.imgpix, n * n)) {
        *detail = singular;
        return WcsStatus::ZeroScale;
    }
    // WCSLIB has read RADESYSa (RADECSYS) and EQUINOXa (EPOCH) of the description.
    EquatorialConversion conversion;
    if (WcsStatus s = equatorialConversion(
            image, wcs->radesys, wcs->equinox == WCSLIB_UNDEFINED ? std::nan("") : wcs->equinox,
            wcs->crval[wcs->lng], wcs->crval[wcs->lat], &conversion);
        s != WcsStatus::Ok)
        return s;
    standard->wcs = wcs;
    standard->referenceRa = wcs->crval[wcs->lng];
    frame->standard = true;
    frame->wcslib = std::move(standard);
    frame->equatorial = conversion;
    *detail = faults.note;
    return WcsStatus::Ok;
}

WcsStatus readWorldFrame(const FitsImage& image, WcsMode mode, WorldFrame* frame,
                         std::string* detail)
{
    std::string text;
    bool classic = mode == WcsMode::Classic || (mode == WcsMode::Auto && isClassicHeader(image));
    const WcsStatus status =
        classic ? readClassicFrame(image, frame, &text) : readStandardFrame(image, frame, &text);
    if (detail != nullptr)
        *detail = std::move(text);
    return status;
}

WcsStatus readWorldFrame(const FitsImage& image, WcsMode mode, WorldFrame* frame)
{
    return readWorldFrame(image, mode, frame, nullptr);
}

std::string wcsProblemText(WcsStatus status, const std::string& detail)
{
    return detail.empty() ? wcsStatusText(status) : detail;
}

// A right ascension in degrees from WCSLIB made to lie within half a turn of the
// reference and non-negative, as the classic projections leave theirs.
static double normaliseRa(double ra, double referenceRa)
{
    if (ra - referenceRa > 180)
        ra -= 360;
    if (ra - referenceRa < -180)
        ra += 360;
    if (ra < 0)
        ra += 360;
    return ra;
}

// Converts count positions through a standard frame, pixel coordinates counted from 1.
static size_t standardPixelsToSky(StandardFrame& s, const EquatorialConversion& conversion,
                                  size_t count, const double* x, const double* y, double* ra,
                                  double* dec, unsigned char* placed)
{
    const bool convert = conversion.kind != EquatorialConversion::Kind::None;
    wcsprm* wcs = s.wcs;
    const size_t n = static_cast<size_t>(wcs->naxis);
    size_t done = 0;
    // In pieces, so the work arrays stay small whatever the count.
    constexpr size_t PIECE = 256;
    std::vector<double> pixel(PIECE * n, 1.0), image(PIECE * n), world(PIECE * n);
    std::vector<double> phi(PIECE), theta(PIECE);
    std::vector<int> stat(PIECE);
    std::lock_guard<std::mutex> guard(s.lock);
    for (size_t start = 0; start < count; start += PIECE) {
        const size_t m = std::min(PIECE, count - start);
        for (size_t i = 0; i < m; ++i) {
            pixel[i * n] = x[start + i] + 1;
            pixel[i * n + 1] = y[start + i] + 1;
        }
        int status = wcsp2s(wcs, static_cast<int>(m), static_cast<int>(n), pixel.data(),
                            image.data(), phi.data(), theta.data(), world.data(), stat.data());
        for (size_t i = 0; i < m; ++i) {
            bool ok = (status == 0 || (status == WCSERR_BAD_PIX && stat[i] == 0));
            double raDeg = world[i * n + static_cast<size_t>(wcs->lng)];
            double decDeg = world[i * n + static_cast<size_t>(wcs->lat)];
            ok = ok && std::isfinite(raDeg) && std::isfinite(decDeg);
            placed[start + i] = ok ? 1 : 0;
            if (!ok)
                continue;
            if (convert) {
                toIcrs(conversion, raDeg, decDeg, &ra[start + i], &dec[start + i]);
                ra[start + i] = normaliseRaRadians(ra[start + i], conversion.referenceRa);
            } else {
                ra[start + i] = degreesToRadians(normaliseRa(raDeg, s.referenceRa));
                dec[start + i] = degreesToRadians(decDeg);
            }
            ++done;
        }
    }
    return done;
}

WcsStatus pixelToSky(const WorldFrame& frame, double x, double y, double* ra, double* dec)
{
    if (frame.standard) {
        unsigned char placed = 0;
        standardPixelsToSky(*frame.wcslib, frame.equatorial, 1, &x, &y, ra, dec, &placed);
        return placed ? WcsStatus::Ok : WcsStatus::OutsideDomain;
    }
    double raDeg = 0, decDeg = 0;
    if (projectionFramePixelToSky(frame.classic, x, y, &raDeg, &decDeg) != 0)
        return WcsStatus::OutsideDomain;
    if (frame.equatorial.kind != EquatorialConversion::Kind::None) {
        toIcrs(frame.equatorial, raDeg, decDeg, ra, dec);
        *ra = normaliseRaRadians(*ra, frame.equatorial.referenceRa);
        return WcsStatus::Ok;
    }
    *ra = degreesToRadians(raDeg);
    *dec = degreesToRadians(decDeg);
    return WcsStatus::Ok;
}

size_t pixelsToSky(const WorldFrame& frame, size_t count, const double* x, const double* y,
                   double* ra, double* dec, unsigned char* placed)
{
    if (frame.standard)
        return standardPixelsToSky(*frame.wcslib, frame.equatorial, count, x, y, ra, dec, placed);
    size_t done = 0;
    for (size_t i = 0; i < count; ++i) {
        placed[i] = pixelToSky(frame, x[i], y[i], &ra[i], &dec[i]) == WcsStatus::Ok ? 1 : 0;
        done += placed[i];
    }
    return done;
}

WcsStatus skyToPixel(const WorldFrame& frame, double ra, double dec, double* x, double* y)
{
    if (frame.standard) {
        StandardFrame& s = *frame.wcslib;
        wcsprm* wcs = s.wcs;
        const size_t n = static_cast<size_t>(wcs->naxis);
        std::vector<double> world(n, 0.0), image(n), pixel(n);
        for (size_t i = 0; i < n; ++i)
            world[i] = wcs->crval[i];
        if (frame.equatorial.kind != EquatorialConversion::Kind::None) {
            fromIcrs(frame.equatorial, ra, dec, s.referenceRa,
                     &world[static_cast<size_t>(wcs->lng)], &world[static_cast<size_t>(wcs->lat)]);
        } else {
            world[static_cast<size_t>(wcs->lng)] = radiansToDegrees(ra);
            world[static_cast<size_t>(wcs->lat)] = radiansToDegrees(dec);
        }
        double phi = 0, theta = 0;
        int stat = 0;
        std::lock_guard<std::mutex> guard(s.lock);
        if (wcss2p(wcs, 1, static_cast<int>(n), world.data(), &phi, &theta, image.data(),
                   pixel.data(), &stat) != 0 ||
            stat != 0 || !std::isfinite(pixel[0]) || !std::isfinite(pixel[1]))
            return WcsStatus::OutsideDomain;
        *x = pixel[0] - 1;
        *y = pixel[1] - 1;
        return WcsStatus::Ok;
    }
    double raDeg = radiansToDegrees(ra);
    double decDeg = radiansToDegrees(dec);
    if (frame.equatorial.kind != EquatorialConversion::Kind::None)
        fromIcrs(frame.equatorial, ra, dec, frame.classic.crval1, &raDeg, &decDeg);
    double px = 0, py = 0;
    if (projectionFrameSkyToPixel(frame.classic, raDeg, decDeg, &px, &py) != 0)
        return WcsStatus::OutsideDomain;
    *x = px;
    *y = py;
    return WcsStatus::Ok;
}

} // namespace newstars
