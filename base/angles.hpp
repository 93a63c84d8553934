#pragma once
// The circle constant and conversions between degrees and radians.

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

} // namespace newstars
