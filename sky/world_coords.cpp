#include "sky/world_coords.hpp"

#include <string>

#include "base/angles.hpp"
#include "sky/projections.hpp"

namespace newstars {

// The world-coordinate cards of one header, angles in degrees.
struct WorldCoordCards {
    double crval1 = 0, crval2 = 0;
    double crpix1 = 0, crpix2 = 0;
    double cdelt1 = 0, cdelt2 = 0;
    double crota2 = 0;
    std::string projectionCode; // CTYPE1 from its fifth character on
};

// Reads the eight cards in a fixed order, stopping at the first one missing, and checks
// the coordinate type. 0, or -1 on any failure (cards then only partly read).
static int readWorldCoordCards(const FitsImage* image, WorldCoordCards* cards)
{
    if (image == nullptr)
        return -1;
    if (getRealCard(image, "CRVAL1", &cards->crval1) != 0)
        return -1;
    if (getRealCard(image, "CRVAL2", &cards->crval2) != 0)
        return -1;
    if (getRealCard(image, "CRPIX1", &cards->crpix1) != 0)
        return -1;
    if (getRealCard(image, "CRPIX2", &cards->crpix2) != 0)
        return -1;
    if (getRealCard(image, "CDELT1", &cards->cdelt1) != 0)
        return -1;
    if (getRealCard(image, "CDELT2", &cards->cdelt2) != 0)
        return -1;
    if (getRealCard(image, "CROTA2", &cards->crota2) != 0)
        return -1;
    std::string type;
    if (getStringCard(image, "CTYPE1", &type) != 0)
        return -1;
    if (type.compare(0, 4, "RA--") != 0)
        return -1;
    cards->projectionCode = type.substr(4);
    return 0;
}

// Stores the status where the caller asked for it and gives 0 or -1.
static int report(int projectionStatus, int* status)
{
    if (status != nullptr)
        *status = projectionStatus;
    return projectionStatus == PROJECTION_OK ? 0 : -1;
}

int pixelToSky(const FitsImage* image, double x, double y, double* ra, double* dec, int* status)
{
    WorldCoordCards cards;
    if (readWorldCoordCards(image, &cards) != 0)
        return report(-1, status);
    double raDeg = 0, decDeg = 0;
    const int projected = projectionPixelToSky(
        x, y, cards.crval1, cards.crval2, cards.crpix1, cards.crpix2, cards.cdelt1, cards.cdelt2,
        cards.crota2, cards.projectionCode.c_str(), &raDeg, &decDeg);
    if (projected != PROJECTION_OK)
        return report(projected, status);
    *ra = degreesToRadians(raDeg);
    *dec = degreesToRadians(decDeg);
    return report(PROJECTION_OK, status);
}

int skyToPixel(const FitsImage* image, double ra, double dec, double* x, double* y, int* status)
{
    double raDeg = radiansToDegrees(ra);
    double decDeg = radiansToDegrees(dec);
    WorldCoordCards cards;
    if (readWorldCoordCards(image, &cards) != 0)
        return report(-1, status);
    return report(projectionSkyToPixel(raDeg, decDeg, cards.crval1, cards.crval2, cards.crpix1,
                                       cards.crpix2, cards.cdelt1, cards.cdelt2, cards.crota2,
                                       cards.projectionCode.c_str(), x, y),
                  status);
}

} // namespace newstars
