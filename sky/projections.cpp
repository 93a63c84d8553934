#include "sky/projections.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/angles.hpp"

namespace newstars {

// Degrees to radians, one full turn in radians and the small-value tolerance. The
// first two are deliberately the short forms used throughout this code, not pi/180
// and 2 pi at full precision.
static constexpr double D = 0.01745329252;
static constexpr double T = 6.28318530717959;
static constexpr double E = 1.0e-5;
static constexpr double HALF_PI = PI / 2;

enum ProjectionNumber {
    LINEAR = 0,
    SIN = 1,
    TAN = 2,
    ARC = 3,
    NCP = 4,
    GLS = 5,
    MER = 6,
    AIT = 7,
    STG = 8
};

// Codes of projections 1 to 8, in the order of their numbers.
static constexpr const char* PROJECTION_CODES[] = {"-SIN", "-TAN", "-ARC", "-NCP",
                                                   "-GLS", "-MER", "-AIT", "-STG"};

// Projection number of a code; linear when no code matches.
static int selectProjection(const char* code)
{
    int number = LINEAR;
    if (code == nullptr)
        return number;
    for (int i = 0; i < 8; i++)
        if (std::strncmp(code, PROJECTION_CODES[i], 4) == 0)
            number = i + 1;
    return number;
}

// Scale constants of the Mercator and Aitoff projections, derived from the
// reference values on every call.
struct ProjectionScale {
    double g1 = 0, g2 = 0, g3 = 0;
};

static ProjectionScale mercatorScale(double crval2, double cdelt1, double cdelt2, double cr,
                                     double sr)
{
    ProjectionScale scale;
    double t = cdelt2 * cr + cdelt1 * sr;
    if (t == 0)
        t = 1;
    double y1 = (crval2 / 2 + 45) * D;
    double y2 = y1 + (t / 2) * D;
    double l1 = std::log(std::tan(y1));
    double l2 = std::log(std::tan(y2));
    scale.g2 = t * D / (l2 - l1);
    scale.g3 = scale.g2 * l1;
    scale.g1 = std::cos(crval2 * D);
    if (scale.g1 <= 0)
        scale.g1 = 1;
    return scale;
}

static ProjectionScale aitoffScale(double crval2, double cdelt1, double cdelt2, double cr,
                                   double sr)
{
    ProjectionScale scale;
    double t = cdelt2 * cr + cdelt1 * sr;
    if (t == 0)
        t = 1;
    t = t * D;
    double y0 = crval2 * D;
    double q = std::sin(y0 + t) / std::sqrt((1 + std::cos(y0 + t)) / 2) -
               std::sin(y0) / std::sqrt((1 + std::cos(y0)) / 2);
    if (q == 0)
        q = 1;
    scale.g2 = t / q;
    double t2 = cdelt1 * cr - cdelt2 * sr;
    if (t2 == 0)
        t2 = 1;
    t2 = t2 * D;
    double q2 = 2 * std::cos(y0) * std::sin(t2 / 2);
    if (q2 == 0)
        q2 = 1;
    scale.g1 = t2 * std::sqrt((1 + std::cos(y0) * std::cos(t2 / 2)) / 2) / q2;
    scale.g3 = scale.g2 * std::sin(y0) / std::sqrt((1 + std::cos(y0)) / 2);
    return scale;
}

// Everything the forward projections need: reference point and direction offsets l, m
// in radians, s = l^2 + m^2, and the Mercator or Aitoff scale.
struct PlaneOffset {
    double ra0, dec0, l, m, s, cos0, sin0;
    ProjectionScale g;
    bool atPole; // reference declination clamped to a pole (ARC and STG)
};

// Each forward projection returns 0 and the sky position (alpha, delta) in radians, or
// 1 when the offset is outside its domain.

static ProjectionStatus sinToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    if (p.s > 1)
        return PROJECTION_OUTSIDE;
    double c = std::sqrt(1 - p.s);
    double t = p.sin0 * c + p.cos0 * p.m;
    if (t > 1 || t < -1)
        return PROJECTION_OUTSIDE;
    *delta = std::asin(t);
    double u = p.cos0 * c - p.sin0 * p.m;
    if (u == 0 && p.l == 0)
        return PROJECTION_OUTSIDE;
    *alpha = std::atan2(p.l, u) + p.ra0;
    return PROJECTION_OK;
}

static ProjectionStatus tanToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    if (p.s > 1)
        return PROJECTION_OUTSIDE;
    double u = p.cos0 - p.m * p.sin0;
    if (u == 0)
        return PROJECTION_OUTSIDE;
    *alpha = p.ra0 + std::atan2(p.l, u);
    *delta = std::atan(std::cos(*alpha - p.ra0) * (p.m * p.cos0 + p.sin0) / u);
    return PROJECTION_OK;
}

static ProjectionStatus arcToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    if (p.s >= T * T / 4)
        return PROJECTION_OUTSIDE;
    double r = std::sqrt(p.s);
    double c = std::cos(r);
    double k = r != 0 ? std::sin(r) / r : 1;
    double t = p.m * p.cos0 * k + p.sin0 * c;
    if (t > 1 || t < -1)
        return PROJECTION_OUTSIDE;
    *delta = std::asin(t);
    double a = c - t * p.sin0;
    double b = p.l * k * p.cos0;
    if (p.atPole) {
        // Both terms carry the vanishing cosine of the reference declination, and the
        // first is lost to cancellation; without that common factor the direction from
        // the pole remains. The reference pixel itself is the reference point.
        a = -p.m * k * p.sin0;
        b = p.l * k;
        if (a == 0 && b == 0) {
            *alpha = p.ra0;
            return PROJECTION_OK;
        }
    }
    if (a == 0 && b == 0)
        return PROJECTION_OUTSIDE;
    *alpha = p.ra0 + std::atan2(b, a);
    return PROJECTION_OK;
}

static ProjectionStatus ncpToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    double u = p.cos0 - p.m * p.sin0;
    if (u == 0)
        return PROJECTION_OUTSIDE;
    *alpha = p.ra0 + std::atan2(p.l, u);
    double t = std::cos(*alpha - p.ra0);
    if (t == 0)
        return PROJECTION_OUTSIDE;
    double v = u / t;
    if (v > 1 || v < -1)
        return PROJECTION_OUTSIDE;
    *delta = std::acos(v);
    if (p.dec0 < 0)
        *delta = -*delta;
    return PROJECTION_OK;
}

static ProjectionStatus glsToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    *delta = p.dec0 + p.m;
    if (std::fabs(*delta) > T / 4)
        return PROJECTION_OUTSIDE;
    double c = std::cos(*delta);
    if (std::fabs(p.l) > T * c / 2)
        return PROJECTION_OUTSIDE;
    *alpha = p.ra0;
    if (c > E)
        *alpha = *alpha + p.l / c;
    return PROJECTION_OK;
}

static ProjectionStatus merToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    const ProjectionScale& g = p.g;
    *alpha = p.l / g.g1 + p.ra0;
    if (std::fabs(*alpha - p.ra0) > T)
        return PROJECTION_OUTSIDE;
    double v = g.g2 != 0 ? (p.m + g.g3) / g.g2 : 0;
    *delta = 2 * std::atan(std::exp(v)) - T / 4;
    return PROJECTION_OK;
}

static ProjectionStatus aitToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    const ProjectionScale& g = p.g;
    if (p.l == 0 && p.m == 0) {
        *alpha = p.ra0;
        *delta = p.dec0;
        return PROJECTION_OK;
    }
    double w = (p.m + g.g3) / g.g2;
    double z = 4 - p.l * p.l / (4 * (g.g1 * g.g1)) - w * w;
    if (z > 4 || z < 2)
        return PROJECTION_OUTSIDE;
    z = std::sqrt(z) / 2;
    double d = (p.m + g.g3) * z / g.g2;
    if (std::fabs(d) > 1)
        return PROJECTION_OUTSIDE;
    *delta = std::asin(d);
    double cosDelta = std::cos(*delta);
    if (std::fabs(cosDelta) < E)
        return PROJECTION_OUTSIDE;
    double a = p.l * z / (2 * g.g1 * cosDelta);
    if (std::fabs(a) > 1)
        return PROJECTION_OUTSIDE;
    *alpha = p.ra0 + 2 * std::asin(a);
    return PROJECTION_OK;
}

static ProjectionStatus stgToSky(const PlaneOffset& p, double* alpha, double* delta)
{
    double z = (4 - p.s) / (4 + p.s);
    if (std::fabs(z) > 1)
        return PROJECTION_OUTSIDE;
    double t = z * p.sin0 + p.m * p.cos0 * (1 + z) / 2;
    if (std::fabs(t) > 1)
        return PROJECTION_OUTSIDE;
    *delta = std::asin(t);
    double c = std::cos(*delta);
    if (std::fabs(c) < E)
        return PROJECTION_OUTSIDE;
    double a = p.l * (1 + z) / (2 * c);
    if (std::fabs(a) > 1)
        return PROJECTION_OUTSIDE;
    a = std::asin(a);
    double sinDelta = std::sin(*delta);
    double g = 1 + sinDelta * p.sin0 + c * p.cos0 * std::cos(a);
    if (std::fabs(g) < E)
        return PROJECTION_OUTSIDE;
    g = 2 * (sinDelta * p.cos0 - c * p.sin0 * std::cos(a)) / g;
    // Two longitudes share the arcsine; the one whose projected m matches is kept.
    if (std::fabs(g - p.m) > E)
        a = T / 2 - a;
    *alpha = p.ra0 + a;
    return PROJECTION_OK;
}

// Moves alpha to within half a turn of ra0, then makes it non-negative.
static double normaliseRightAscension(double alpha, double ra0)
{
    if (alpha - ra0 > T / 2)
        alpha = alpha - T;
    if (alpha - ra0 < -T / 2)
        alpha = alpha + T;
    if (alpha < 0)
        alpha = alpha + T;
    return alpha;
}

// Direction offsets (l, m) in radians of a sky position from the reference point, by
// projection; 0, or the failure status.
struct SkyOffset {
    double dec0, sin0, cos0, d0, cd, sd, delta;
    ProjectionScale g;
};

static ProjectionStatus skyToPlane(int projection, const SkyOffset& q, double* lOut, double* mOut)
{
    double l = std::sin(q.delta) * q.cd;
    double h = q.sd * q.sin0 + q.cd * q.cos0 * std::cos(q.delta);
    double n = q.sd * q.cos0 - q.cd * q.sin0 * std::cos(q.delta);
    double m = 0;
    switch (projection) {
    case SIN:
        if (h < 0)
            return PROJECTION_OUTSIDE;
        m = n;
        break;
    case TAN:
        if (h <= 0)
            return PROJECTION_OUTSIDE;
        l = l / h;
        m = n / h;
        break;
    case ARC: {
        double a = h;
        if (a < -1)
            a = -1;
        if (a > 1)
            a = 1;
        a = std::acos(a);
        double k = a != 0 ? a / std::sin(a) : 1;
        l = l * k;
        m = n * k;
        break;
    }
    case NCP:
        if (q.dec0 == 0)
            return PROJECTION_OUTSIDE;
        m = (q.cos0 - q.cd * std::cos(q.delta)) / q.sin0;
        break;
    case GLS:
        if (std::fabs(q.d0) > T / 4)
            return PROJECTION_OUTSIDE;
        if (std::fabs(q.dec0) > T / 4)
            return PROJECTION_OUTSIDE;
        m = q.d0 - q.dec0;
        l = q.delta * q.cd;
        break;
    case MER: {
        const ProjectionScale& g = q.g;
        l = g.g1 * q.delta;
        double t = std::tan(q.d0 / 2 + T / 8);
        if (t < E)
            return PROJECTION_ZERO_INCREMENT;
        m = g.g2 * std::log(t) - g.g3;
        break;
    }
    case AIT: {
        double a = q.delta / 2;
        if (std::fabs(a) > T / 4)
            return PROJECTION_OUTSIDE;
        const ProjectionScale& g = q.g;
        double t = std::sqrt((1 + q.cd * std::cos(a)) / 2);
        if (std::fabs(t) < E)
            return PROJECTION_OPPOSITE_POINT;
        l = 2 * g.g1 * q.cd * std::sin(a) / t;
        m = g.g2 * q.sd / t - g.g3;
        break;
    }
    case STG: {
        if (std::fabs(q.d0) > T / 4)
            return PROJECTION_OUTSIDE;
        double t = 1 + q.sd * q.sin0 + q.cd * q.cos0 * std::cos(q.delta);
        if (std::fabs(t) < E)
            return PROJECTION_OUTSIDE;
        t = 2 / t;
        l = l * t;
        m = n * t;
        break;
    }
    default:
        return PROJECTION_OUTSIDE;
    }
    *lOut = l;
    *mOut = m;
    return PROJECTION_OK;
}

void prepareProjection(double crval1, double crval2, double crpix1, double crpix2, double cdelt1,
                       double cdelt2, double crota2, const char* code, ProjectionFrame* frame)
{
    ProjectionFrame f;
    f.crval1 = crval1;
    f.crval2 = crval2;
    f.crpix1 = crpix1;
    f.crpix2 = crpix2;
    f.cdelt1 = cdelt1;
    f.cdelt2 = cdelt2;
    f.crota2 = crota2;
    f.projection = selectProjection(code);
    f.usable = std::isfinite(crval1) && std::isfinite(crval2) && std::isfinite(crpix1) &&
               std::isfinite(crpix2) && std::isfinite(cdelt1) && std::isfinite(cdelt2) &&
               std::isfinite(crota2) && cdelt1 != 0 && cdelt2 != 0;
    f.cr = std::cos(crota2 * D);
    f.sr = std::sin(crota2 * D);
    f.ra0 = crval1 * D;
    f.dec0 = crval2 * D;
    // With the short degree factor a reference at +-90 degrees lands just beyond the pole,
    // where the cosine changes sign and ARC and STG turn right ascensions by half a turn.
    if ((f.projection == ARC || f.projection == STG) && std::fabs(f.dec0) >= HALF_PI) {
        f.dec0 = std::clamp(f.dec0, -HALF_PI, HALF_PI);
        f.atPole = true;
    }
    f.cos0 = std::cos(f.dec0);
    f.sin0 = std::sin(f.dec0);
    ProjectionScale g;
    if (f.projection == MER)
        g = mercatorScale(crval2, cdelt1, cdelt2, f.cr, f.sr);
    if (f.projection == AIT)
        g = aitoffScale(crval2, cdelt1, cdelt2, f.cr, f.sr);
    f.g1 = g.g1;
    f.g2 = g.g2;
    f.g3 = g.g3;
    *frame = f;
}

ProjectionStatus projectionFramePixelToSky(const ProjectionFrame& f, double x, double y, double* ra,
                                           double* dec)
{
    if (!f.usable)
        return PROJECTION_ZERO_INCREMENT;
    double dx = (x - f.crpix1) * f.cdelt1;
    double dy = (y - f.crpix2) * f.cdelt2;
    if (f.crota2 != 0) {
        double rotatedX = dx * f.cr - dy * f.sr;
        double rotatedY = dy * f.cr + dx * f.sr;
        dx = rotatedX;
        dy = rotatedY;
    }
    *ra = f.crval1 + dx;
    *dec = f.crval2 + dy;

    PlaneOffset p;
    p.ra0 = f.ra0;
    p.dec0 = f.dec0;
    p.l = dx * D;
    p.m = dy * D;
    p.s = p.l * p.l + p.m * p.m;
    p.cos0 = f.cos0;
    p.sin0 = f.sin0;
    p.g.g1 = f.g1;
    p.g.g2 = f.g2;
    p.g.g3 = f.g3;
    p.atPole = f.atPole;

    double alpha = 0;
    double delta = 0;
    ProjectionStatus status = PROJECTION_OK;
    switch (f.projection) {
    case SIN:
        status = sinToSky(p, &alpha, &delta);
        break;
    case TAN:
        status = tanToSky(p, &alpha, &delta);
        break;
    case ARC:
        status = arcToSky(p, &alpha, &delta);
        break;
    case NCP:
        status = ncpToSky(p, &alpha, &delta);
        break;
    case GLS:
        status = glsToSky(p, &alpha, &delta);
        break;
    case MER:
        status = merToSky(p, &alpha, &delta);
        break;
    case AIT:
        status = aitToSky(p, &alpha, &delta);
        break;
    case STG:
        status = stgToSky(p, &alpha, &delta);
        break;
    default:
        alpha = p.ra0 + p.l;
        delta = p.dec0 + p.m;
        break;
    }
    if (status != PROJECTION_OK)
        return PROJECTION_OUTSIDE;
    alpha = normaliseRightAscension(alpha, p.ra0);
    // The linear offset is not bounded by any projection: one turn taken off or put
    // back may not be enough, so the rest is folded by whole turns.
    if (f.projection == LINEAR && std::fabs(alpha - p.ra0) > T / 2 && std::isfinite(alpha)) {
        alpha = p.ra0 + std::remainder(alpha - p.ra0, T);
        if (alpha < 0)
            alpha = alpha + T;
    }
    double raDegrees = alpha / D;
    double decDegrees = delta / D;
    // Degenerate reference values (a Mercator reference at a pole, for instance),
    // non-finite inputs or offsets beyond the range of doubles give no position; that is
    // a failure, not a result.
    if (!std::isfinite(raDegrees) || !std::isfinite(decDegrees))
        return PROJECTION_OUTSIDE;
    *ra = raDegrees;
    *dec = decDegrees;
    return PROJECTION_OK;
}

ProjectionStatus projectionPixelToSky(double x, double y, double crval1, double crval2,
                                      double crpix1, double crpix2, double cdelt1, double cdelt2,
                                      double crota2, const char* code, double* ra, double* dec)
{
    ProjectionFrame frame;
    prepareProjection(crval1, crval2, crpix1, crpix2, cdelt1, cdelt2, crota2, code, &frame);
    return projectionFramePixelToSky(frame, x, y, ra, dec);
}

ProjectionStatus projectionFrameSkyToPixel(const ProjectionFrame& f, double ra, double dec,
                                           double* x, double* y)
{
    double w = ra - f.crval1;
    if (w > 180)
        ra = ra - 360;
    if (w < -180)
        ra = ra + 360;

    double dx = ra - f.crval1;
    double dy = dec - f.crval2;
    double u = f.cr * dx + f.sr * dy;
    double v = f.cr * dy - f.sr * dx;
    if (f.cdelt1 == 0 || f.cdelt2 == 0) {
        *x = 0;
        *y = 0;
        return PROJECTION_ZERO_INCREMENT;
    }
    double linearX = u / f.cdelt1 + f.crpix1;
    double linearY = v / f.cdelt2 + f.crpix2;
    *x = linearX;
    *y = linearY;

    if (f.projection == LINEAR) {
        // The estimate is the result here: one that is not finite is a failure.
        return std::isfinite(linearX) && std::isfinite(linearY) ? PROJECTION_OK
                                                                : PROJECTION_OUTSIDE;
    }

    SkyOffset q;
    q.dec0 = f.dec0;
    q.sin0 = f.sin0;
    q.cos0 = f.cos0;
    q.d0 = dec * D;
    q.cd = std::cos(q.d0);
    q.sd = std::sin(q.d0);
    q.delta = ra * D - f.ra0;
    q.g.g1 = f.g1;
    q.g.g2 = f.g2;
    q.g.g3 = f.g3;

    double l = 0;
    double m = 0;
    ProjectionStatus status = skyToPlane(f.projection, q, &l, &m);
    if (status != PROJECTION_OK)
        return status;

    dx = l / D;
    dy = m / D;
    u = f.cr * dx + f.sr * dy;
    v = f.cr * dy - f.sr * dx;
    double pixelX = u / f.cdelt1 + f.crpix1;
    double pixelY = v / f.cdelt2 + f.crpix2;
    // As forward: a position that is not finite is a failure, the estimate stays.
    if (!std::isfinite(pixelX) || !std::isfinite(pixelY))
        return PROJECTION_OUTSIDE;
    *x = pixelX;
    *y = pixelY;
    return PROJECTION_OK;
}

ProjectionStatus projectionSkyToPixel(double ra, double dec, double crval1, double crval2,
                                      double crpix1, double crpix2, double cdelt1, double cdelt2,
                                      double crota2, const char* code, double* x, double* y)
{
    ProjectionFrame frame;
    prepareProjection(crval1, crval2, crpix1, crpix2, cdelt1, cdelt2, crota2, code, &frame);
    return projectionFrameSkyToPixel(frame, ra, dec, x, y);
}

const char* projectionStatusText(int status)
{
    switch (status) {
    case PROJECTION_OK:
        return "success";
    case PROJECTION_OUTSIDE:
        return "outside the projection";
    case PROJECTION_ZERO_INCREMENT:
        return "zero or unusable pixel increment, or pole of the projection";
    case PROJECTION_OPPOSITE_POINT:
        return "point opposite the reference meridian";
    default:
        return "unknown projection status";
    }
}

} // namespace newstars
