#include "wcs/world_coords.hpp"

#include "base/angles.hpp"
#include "sky/projections.hpp"
#include "wcs/world_frame.hpp"

namespace newstars {

// Stores the status where the caller asked for it and gives 0 or -1.
static int report(int projectionStatus, int* status)
{
    if (status != nullptr)
        *status = projectionStatus;
    return projectionStatus == PROJECTION_OK ? 0 : -1;
}

int pixelToSky(const FitsImage* image, double x, double y, double* ra, double* dec, int* status)
{
    ClassicCards cards;
    if (image == nullptr || readClassicCards(*image, &cards) != WcsStatus::Ok)
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
    ClassicCards cards;
    if (image == nullptr || readClassicCards(*image, &cards) != WcsStatus::Ok)
        return report(-1, status);
    return report(projectionSkyToPixel(raDeg, decDeg, cards.crval1, cards.crval2, cards.crpix1,
                                       cards.crpix2, cards.cdelt1, cards.cdelt2, cards.crota2,
                                       cards.projectionCode.c_str(), x, y),
                  status);
}

} // namespace newstars
