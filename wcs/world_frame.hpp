#pragma once
// The world-coordinate frame of an image: its header's coordinate description read once,
// then used for every star.
//
// Two kinds of description:
//   classic   CTYPE1, CRVAL1/2, CRPIX1/2, CDELT1/2, CROTA2 through the projections of
//             sky/projections.hpp, pixel positions used exactly as passed (the convention
//             of CRPIX1/2 as written). Gives bit for bit what pixelToSky and skyToPixel of
//             wcs/world_coords.hpp give for the same header in ICRS or FK5 J2000 (those
//             read the cards as they are, in whatever equatorial system).
//   standard  the FITS world-coordinate standard through WCSLIB: CD or PC matrices,
//             distortion (SIP, TPV, ...), every standard projection. The first pixel's
//             centre is 1 there; positions here are 0-based, so a position x is the
//             standard pixel coordinate x + 1.
// A header with CRPIX written for pixels counted from 1 is therefore one pixel apart
// between the two: classic reads position x where standard reads x - 1.

#include <cstddef>
#include <memory>
#include <string>

#include "fits/fits_image.hpp"
#include "sky/projections.hpp"

namespace newstars {

// Which description readWorldFrame uses.
//   Auto     classic when CTYPE1, CRVAL1/2, CRPIX1/2, CDELT1/2 and CROTA2 are all present,
//            there is no CD or PC matrix card, and CTYPE1 names no projection or
//            distortion the classic formulas do not know; standard otherwise
//   Classic  always classic
//   Fits     always standard
enum class WcsMode { Auto, Classic, Fits };

enum class WcsStatus {
    Ok = 0,
    MissingCard,       // a card the classic formulas read is missing or not a value
    NotRightAscension, // the first celestial axis is not right ascension
    ZeroScale,         // a zero increment, or a matrix that cannot be inverted
    NotFinite,         // a coordinate value is not a finite number
    NoCelestialAxes,   // no world-coordinate description with two celestial axes
    Unreadable,        // the standard reader refuses the header or runs out of memory
    Invalid,           // the standard description is inconsistent
    OutsideDomain,     // one position that the projection cannot convert
    UnknownEquinox,    // an FK4 equinox other than B1950
    UnreadableCard,    // a world-coordinate number card holds no number
    FarEquinox,        // an FK5 equinox outside the years 1000 to 3000
};

// The text for a status, for the program to print beside the file name ("" never).
const char* wcsStatusText(WcsStatus status);

// "auto", "classic" or "fits" to a mode: true and *mode set, or false (*mode untouched).
bool parseWcsMode(const char* text, WcsMode* mode);

// The classic cards of one header, angles in degrees.
struct ClassicCards {
    double crval1 = 0, crval2 = 0;
    double crpix1 = 0, crpix2 = 0;
    double cdelt1 = 0, cdelt2 = 0;
    double crota2 = 0;
    std::string projectionCode; // CTYPE1 from its fifth character on
};

// Reads CRVAL1, CRVAL2, CRPIX1, CRPIX2, CDELT1, CDELT2, CROTA2 and CTYPE1 in this order.
// Ok; MissingCard at the first one absent (CTYPE1: absent or not a quoted text);
// UnreadableCard at the first number card that holds no number (readNumberValue of
// fits/fits_image.hpp: a text, a logical, nothing, characters after the number);
// NotRightAscension when CTYPE1 does not start with exactly "RA--". Values are not
// judged. On failure *cards holds the cards read before the failing one.
WcsStatus readClassicCards(const FitsImage& image, ClassicCards* cards);

struct StandardFrame; // WCSLIB's description; defined in world_frame.cpp

// How the right ascension and declination of a header's equatorial system become ICRS
// (J2000) ones. The system is RADESYS (or RADECSYS); without it, FK4 when EQUINOX (or
// EPOCH) is below 1984, FK5 when it is 1984 or more, ICRS without either. The equinox is
// EQUINOX (or EPOCH); without it, B1950 for FK4 and J2000 for FK5.
//   None       ICRS, FK5 J2000, and systems without a conversion here (GAPPT, ...):
//              positions as the projection gives them
//   Fk4        FK4 B1950, through ERFA's eraFk45z (zero proper motion in FK5) at the
//              Besselian epoch of the observation (readObservationTime of
//              fits/observation_time.hpp; B1950 when the header gives none); FK4-NO-E
//              has the E-terms of aberration added first
//   Precessed  FK5 of another equinox, precessed to J2000 (IAU 2006 precession)
struct EquatorialConversion {
    enum class Kind { None, Fk4, Precessed };
    Kind kind = Kind::None;
    bool eTermsRemoved = false;    // FK4-NO-E
    double epoch = 1950;           // Besselian epoch of the observation (Fk4)
    double precession[3][3] = {};  // J2000 to the equinox of the header (Precessed)
    double referenceRa = 0;        // reference point's ICRS right ascension, radians
};

// One image's coordinate description, ready for conversions. Copies share the standard
// description. Conversions through one frame may run on several threads at once (the
// standard description is used under its own lock).
struct WorldFrame {
    bool standard = false;
    ProjectionFrame classic;               // when !standard
    std::shared_ptr<StandardFrame> wcslib; // when standard
    EquatorialConversion equatorial;       // native positions to ICRS
};

// Reads the image's coordinate description once, with the conversion of its equatorial
// system to ICRS (EquatorialConversion).
// Ok and *frame replaced; otherwise the reason and *frame untouched:
//   classic   MissingCard, UnreadableCard (one of the seven numbers holds none),
//             NotRightAscension, ZeroScale (CDELT1 or CDELT2 zero), NotFinite (any of the
//             seven values)
//   standard  NoCelestialAxes, NotRightAscension (celestial axes of another kind),
//             ZeroScale (singular matrix), NotFinite, Unreadable, Invalid,
//             UnreadableCard (below)
//   both      UnknownEquinox (FK4 of an equinox other than B1950), FarEquinox (FK5 of
//             an equinox outside the years 1000 to 3000, where precession is not defined)
// Standard headers: the number cards of the primary description (CRVALi, CRPIXi, CDELTi,
// CROTAi, PCi_j, CDi_j, PVi_m, LONPOLE, LATPOLE and the SIP coefficients A_p_q, B_p_q,
// AP_p_q, BP_p_q) must each be a well-formed card holding a finite number, or the header
// is refused (UnreadableCard, NotFinite): the standard reader would otherwise put a
// default in the card's place (no rotation, a unit matrix element) and give wrong
// positions. Only a card of a kind the description does not use is set aside instead,
// with a note: a PC matrix takes precedence over a CD matrix, and either over CROTAi; a
// CD matrix over CDELTi; SIP coefficients count only when CTYPE1 or CTYPE2 names "-SIP".
// A CD matrix whose celestial part is singular (all zero, for one) is refused as
// ZeroScale: the reader's own fix would make its zero diagonal one degree per pixel.
WcsStatus readWorldFrame(const FitsImage& image, WcsMode mode, WorldFrame* frame);

// readWorldFrame, and in *detail what the status alone does not say, for the program to
// print beside the file name:
//   on failure   the card or matrix at fault ("PC1_1 holds 'NAN', not a number", "the CD
//                matrix is singular"), or "" when the status text says all
//   on success   the cards set aside and what is used in their place ("CROTA2 holds 'N/A',
//                not a number: set aside, the CD matrix gives the rotation"; several
//                joined by "; "), "" for a header read whole
WcsStatus readWorldFrame(const FitsImage& image, WcsMode mode, WorldFrame* frame,
                         std::string* detail);

// The detail of readWorldFrame when it has one, else the status text.
std::string wcsProblemText(WcsStatus status, const std::string& detail);

// Pixel position (0-based, x along NAXIS1, y along NAXIS2) to ICRS right ascension and
// declination in radians; the right ascension lies within half a turn of the reference
// right ascension (in ICRS) and is non-negative. Ok, or OutsideDomain with the outputs
// untouched.
WcsStatus pixelToSky(const WorldFrame& frame, double x, double y, double* ra, double* dec);

// ICRS right ascension and declination in radians to a pixel position (0-based). Ok, or
// OutsideDomain with the outputs untouched.
WcsStatus skyToPixel(const WorldFrame& frame, double ra, double dec, double* x, double* y);

// pixelToSky for count positions at once (one lock for a standard frame). placed[i]
// becomes 1 when position i converted, 0 when not (ra[i] and dec[i] then untouched).
// Returns the number converted.
size_t pixelsToSky(const WorldFrame& frame, size_t count, const double* x, const double* y,
                   double* ra, double* dec, unsigned char* placed);

} // namespace newstars
