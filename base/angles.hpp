#pragma once
// The circle constant, conversions between degrees and radians, and the arc between two
// sky positions.

#include <algorithm>
#include <cmath>

namespace newstars {

inline constexpr double PI = 3.141592653589793;

// degrees * PI / 180, evaluated in that order (results are bit-identical to the
// expression written out).
constexpr double degreesToRadians(double degrees)
{
    return degrees * PI / 180;
}

// radians * 180 / PI, evaluated in that order.
constexpr double radiansToDegrees(double radians)
{
    return radians * 180 / PI;
}

// The great-circle arc between (ra1, dec1) and (ra2, dec2), all in radians, by the
// haversine formula (accurate for small arcs too).
inline double skyArc(double ra1, double dec1, double ra2, double dec2)
{
    const double a = std::sin((dec2 - dec1) / 2), b = std::sin((ra2 - ra1) / 2);
    return 2 * std::asin(std::min(1.0, std::sqrt(a * a + std::cos(dec1) * std::cos(dec2) * b * b)));
}

} // namespace newstars
