#pragma once
// Rendering a galaxy into a simulated frame: an elliptical Sersic profile seen through the
// frame's point spread (Gaussian, or Moffat).

#include "night_plan.hpp"
#include "night_render.hpp"

// Adds the galaxy centred at pixel (x, y) of the frame, its total flux times fluxScale
// (ADU), convolved with a Gaussian of psfSigma pixels. toArcsec maps a pixel offset
// (dx, dy) to offsets east and north in arcseconds: east = toArcsec[0] dx + toArcsec[1] dy,
// north = toArcsec[2] dx + toArcsec[3] dy. The profile is cut at 8 half-light radii (at most
// galaxy.reach pixels); parts outside the frame are dropped. With moffatBeta > 1 the point
// spread is instead a Moffat profile of that index and the Gaussian's full width at half
// maximum, sampled at pixel centres within 3 such widths and normalised to a sum of 1.
void addGalaxy(NightFrame* frame, double x, double y, const double toArcsec[4],
               const SkyGalaxy& galaxy, double fluxScale, double psfSigma, double moffatBeta = 0);
