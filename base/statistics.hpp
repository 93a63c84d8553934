#pragma once
// Medians, and the constants of robust statistics, Gaussian profiles and image sizes that
// the libraries share.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace newstars {

// Standard deviation per median absolute deviation for normally distributed values
// (1 / 0.6745, the inverse of the normal distribution's upper quartile, rounded).
inline constexpr double ROBUST_SIGMA_PER_MAD = 1.4826;

// Full width at half maximum of a Gaussian per standard deviation: 2 sqrt(2 ln 2).
inline constexpr double FWHM_PER_SIGMA = 2.3548200450309493;

// Fewest columns and rows of an image that can hold stars: the star finder leaves a band
// of 32 pixels along each edge unscanned and needs one pixel inside it.
inline constexpr int MIN_STAR_IMAGE_SIDE = 65;

// Which middle value stands for the median of an even count of values.
enum class MedianSide {
    Lower, // rank (n - 1) / 2 counted from 0 in ascending order
    Upper, // rank n / 2
};

// The median of the values: the value of the rank side gives (for an odd count n both
// give the middle one). *values is reordered (std::nth_element); it must not be empty.
// Values that do not compare (NaN) make the result unspecified.
template <typename T>
T medianInPlace(std::vector<T>* values, MedianSide side)
{
    const size_t rank = side == MedianSide::Upper ? values->size() / 2 : (values->size() - 1) / 2;
    const auto at = values->begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(values->begin(), at, values->end());
    return *at;
}

// The median of the values as medianInPlace gives it, or whenEmpty when there are none.
inline double medianOf(std::vector<double> values, MedianSide side, double whenEmpty)
{
    return values.empty() ? whenEmpty : medianInPlace(&values, side);
}

} // namespace newstars
