#pragma once
// Point-spread matching: a convolution kernel that turns the sharper of two registered
// images into the blurrier one, fitted to stamps around stars.
//
// The kernel is a sum of basis functions, each a Gaussian times a monomial
// (x / h)^i (y / h)^j of total degree up to the Gaussian's degree, h the kernel's half
// width. The first basis function sums to 1 and every other one sums to 0, so the
// coefficient of the first is the kernel's sum: the flux scale between the images. Each
// coefficient, and a background term, varies over the image as a polynomial of total
// degree spatialOrder in s = (x - centreX) / scale, t = (y - centreY) / scale.
// Convolution here is (source * K)(x, y) = sum over (a, b) of K(a, b) source(x - a, y - b),
// with a, b from -h to h.

#include <cstdint>
#include <vector>

#include "diff/diff_image.hpp"

namespace newstars {

// Noise of one image: variance of a pixel of value p (ADU, sky included) is
// max(p, 0) / gain + readNoise^2.
struct NoiseModel {
    double gain = 1;      // electrons per ADU, > 0
    double readNoise = 0; // ADU
};

// The basis of the kernel and, once fitted, its coefficients.
struct KernelSolution {
    int halfWidth = 0;
    std::vector<double> sigmas; // one per Gaussian, pixels
    std::vector<int> degrees;   // the monomials' largest total degree, per Gaussian
    // Basis images, (2 halfWidth + 1)^2 values each, row after row from (-h, -h).
    std::vector<std::vector<double>> basis;
    // How each basis image was made: basis k = (raw_k - termSum[k] * basis 0) / termNorm[k]
    // (basis 0 = raw_0 / termSum[0]), raw_k the Gaussian termGaussian[k] times
    // (x / h)^termPowerX[k] (y / h)^termPowerY[k], termSum[k] its sum.
    std::vector<int> termGaussian, termPowerX, termPowerY;
    std::vector<double> termSum, termNorm;
    int spatialOrder = 0;
    double centreX = 0, centreY = 0, scale = 1;
    // (basis count + 1) x (spatial terms): coefficient m of basis k at k * terms + m; the
    // last row is the background.
    std::vector<double> coefficients;
    int stampsUsed = 0;
    int stampsRejected = 0;
    double chiSquare = 0; // mean over kept stamps of chi-square per pixel
};

// What fitKernel needs besides the images.
struct KernelFitOptions {
    std::vector<double> sigmas{0.7, 1.5, 3.0}; // Gaussians of the basis, pixels
    std::vector<int> degrees{4, 3, 2};         // monomial degree per Gaussian
    int halfWidth = 8;                         // kernel half width h, pixels (1 to 30)
    int stampHalfSize = 10;                    // fitted pixels within this of a star
    int spatialOrder = 1;                      // 0 to 2
    double rejectSigmas = 4; // stamps whose chi-square exceeds the median by this many
                             // robust deviations are dropped
    int minStamps = 3;       // usable stamps the fit needs (at least 1)
    // The kernel's sum held at this value over the whole image (> 0), e.g. a flux scale
    // measured by apertureFluxScale; 0: fitted with the rest. Only the shape and the
    // background are then fitted, so that a kernel too small for extended wings (Moffat
    // point spreads) cannot trade flux for a closer core.
    double fixedSum = 0;
};

// Builds the basis of the options into *kernel (coefficients cleared). BadInput when
// sigmas and degrees differ in length, are empty, a sigma is not positive, a degree is
// outside 0 to 6 or the half width outside 1 to 30.
DiffStatus makeKernelBasis(const KernelFitOptions& options, KernelSolution* kernel);

// Fits the kernel that turns source into target (both width x height, registered) from
// stamps centred on the given integer pixel positions (stars). A stamp is used only when
// every pixel within stampHalfSize + halfWidth of its centre lies in the image and has a
// zero mask byte (mask may be null). Each stamp is first fitted alone and then with the
// spatial model; stamps whose chi-square per pixel is an outlier (rejectSigmas) are
// dropped, up to 3 rounds. The spatial order is lowered when fewer than 8 stamps per
// spatial term remain. Pixel weights come from the two noise models.
// Ok with *kernel filled; BadInput; TooFewStars when fewer than options.minStamps stamps
// are usable; SingularFit. *kernel untouched on failure.
DiffStatus fitKernel(const FloatImage& source, const FloatImage& target, const uint8_t* mask,
                     const NoiseModel& sourceNoise, const NoiseModel& targetNoise,
                     const std::vector<int32_t>& centreX, const std::vector<int32_t>& centreY,
                     const KernelFitOptions& options, KernelSolution* kernel);

// What apertureFluxScale needs besides the images.
struct ApertureScaleOptions {
    int radius = 16;         // aperture radius, pixels (2 to 100)
    double least = 30;       // a peak of the source at least this many sky deviations
    int maxApertures = 60;   // brightest first (1 to 1000)
    int minApertures = 3;    // usable apertures the measure needs (at least 1)
    double leastSignal = 50; // aperture signal-to-noise in the source, at least
};

// The flux scale between two registered images from large apertures: around the brightest
// unmasked peaks of source (brightPixelStamps with reach radius + 1: stars, galaxies'
// cores, blends alike), the sums over a disc of radius of target minus targetLevel and of
// source minus sourceLevel. Static light (a galaxy's halo, a neighbour) holds the same
// ratio, so that only the wings beyond the radius bias it. Apertures whose source sum falls
// short of leastSignal times the noise of both sums (from the two models) are left out.
// *scale is the median (upper of two middle ones) of the slopes through every pair of the
// apertures left whose brighter source sum is at least twice the fainter, so that an error
// of either sky level cancels; without such a pair, the median ratio of the sums. *used is
// the number of apertures (may be null).
// Ok; BadInput (sizes, options, noise, levels); TooFewStars when fewer than minApertures are
// usable. *scale and *used untouched on failure.
DiffStatus apertureFluxScale(const FloatImage& source, const FloatImage& target,
                             const uint8_t* mask, const NoiseModel& sourceNoise,
                             const NoiseModel& targetNoise, double sourceLevel, double targetLevel,
                             double sourceSigma, const ApertureScaleOptions& options, double* scale,
                             int* used);

// Stamp centres for a kernel fit where stars are too few: the local maxima (of their 5 x 5
// squares) of image at least level + least * sigma whose square of half side reach
// (stamp half size + kernel half width) lies inside the image with zero mask bytes (mask
// null: none masked), brightest first, each more than 2 reach from those before along one
// axis at least, up to maxCount. Galaxies' cores and blends count as well as stars; saturated
// cores are left out by their mask. Empty for a reach below 1 or an image too small.
void brightPixelStamps(const FloatImage& image, const uint8_t* mask, double level, double sigma,
                       double least, int reach, int maxCount, std::vector<int32_t>* centreX,
                       std::vector<int32_t>* centreY);

// The kernel at image position (x, y): (2 halfWidth + 1)^2 values into *values.
void kernelAt(const KernelSolution& kernel, double x, double y, std::vector<double>* values);

// The fitted background difference at (x, y), ADU of the target.
double backgroundAt(const KernelSolution& kernel, double x, double y);

// The kernel's sum at (x, y): the flux of the target per unit flux of the source.
double kernelSumAt(const KernelSolution& kernel, double x, double y);

} // namespace newstars
