#pragma once
// Finding the point-like sources (stars) in a 16-bit image.
//
// Pixels are unsigned 16-bit values, row after row: the pixel at column x, row y
// (both from 0) is pixels[y * width + x]. Positions are in pixels, x the column and
// y the row, with integer values at pixel centres. 65535 counts as saturated.

#include <cstdint>
#include <string>
#include <vector>

namespace newstars {

// The stars found in one image, three parallel arrays in the order the stars were
// accepted (rows top to bottom, columns left to right of the candidate that led to
// each star). Element i of each array describes the same star.
struct StarList {
    std::vector<double> x;      // sub-pixel column
    std::vector<double> y;      // sub-pixel row
    std::vector<uint16_t> peak; // value of the brightest pixel (never 65535)
};

// Finds the stars in an image of width x height pixels. The caller's pixels are only
// read; the detection runs on a private working copy.
// Returns the number of stars, with *stars replaced by them (each array of that many
// elements and room for at least one). Images with fewer than 65 columns or rows hold
// no scan area: 0 stars, no pixel read.
// Returns -1 when memory runs out, with "findStars(): Can not malloc <bytes>" in
// *message when message is not null; *stars is then left untouched and nothing stays
// allocated. *message is untouched on success.
int findStars(const uint16_t* pixels, int width, int height, StarList* stars,
              std::string* message = nullptr);

} // namespace newstars
