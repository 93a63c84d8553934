#pragma once
// A real-bogus score for the detections of a difference image: measured features of each
// detection fed to a gradient-boosted tree model trained on simulated nights with known
// truth (tools/train_score), the model built into the library.

#include <cstddef>
#include <string>
#include <vector>

#include "diff/difference.hpp"

namespace newstars {

// Features measured for each detection, in this order (the model's columns):
//   0 snr              flux over its error (DifferenceSource::snr)
//   1 peak_snr         matched-filter S/N at the detecting pixel
//   2 sharpness        nearest pixel over the point-spread model's value there (held to 99)
//   3 elongation       axis ratio of the positive pixels (held to 99)
//   4 dipole           negative over positive flux around it (held to 99)
//   5 reference_ratio  reference flux over the larger of the flux and its error (held to
//                      +-10000): how much brighter what lies beneath is in the reference
//   6 reference_snr    reference flux over the flux error (held to +-10000)
//   7 star_distance    distance to the nearest bright reference star (peak 50 sky
//                      deviations or more above its sky), test pixels over the point
//                      spread's deviation, held to 30
//   8 mask_fraction    share of the pixels within 3 deviations that are MASK_UNUSABLE
//   9 cosmic_fraction  share of the pixels within 2 deviations (at least 2 pixels) that
//                      are MASK_COSMIC
//  10 psf_chi2         chi-square per pixel of the flux times the point spread against the
//                      difference within 2 deviations (at least 2 pixels), the variance
//                      scaled by the noise scale squared; held to 10000
//  11 psf_sigma        the point spread's deviation, test pixels: the larger of the test's
//                      and the resampled reference's (as detection uses)
//  12 neighbours       other detections within 12 pixels (at most 20)
//  13 negative_min     the lowest difference pixel within 3 deviations over its noise
//                      (held to -10000)
//  14 reference_convolved  1 when the reference was the image convolved, else 0
inline constexpr int SCORE_FEATURE_COUNT = 15;

// The score a difference candidate needs unless told otherwise (newstars --min-score),
// chosen on simulated nights held out from the model's training.
inline constexpr double DEFAULT_MIN_SCORE = 0.5;

// The column name of feature index (0 to SCORE_FEATURE_COUNT - 1) as above; "" outside.
const char* scoreFeatureName(int index);

// The features of each of result.sources from the result's planes and stars, row after
// row (SCORE_FEATURE_COUNT floats per source). They depend on the result alone. Ok with
// *features replaced; BadInput when the planes and the mask differ in size from one
// another; OutOfMemory; *features untouched on failure.
DiffStatus measureScoreFeatures(const DifferenceResult& result, std::vector<float>* features);

// The built-in model's score of each row of features (count rows of SCORE_FEATURE_COUNT
// floats; NaN counts as missing), 0 (bogus) to 1 (real), on one thread: the same bits on
// every machine and whatever runs beside it. Ok with *scores replaced (count values);
// BadInput when features holds fewer than count rows; ModelFailed with the model library's
// text in *message when the model cannot be loaded or run (message may be null); *scores
// untouched on failure.
DiffStatus scoreFeatures(const std::vector<float>& features, size_t count,
                         std::vector<double>* scores, std::string* message);

// Measures and scores every source of *result, setting each DifferenceSource::score.
// The statuses of the two routines above; the scores untouched on failure.
DiffStatus scoreSources(DifferenceResult* result, std::string* message);

} // namespace newstars
