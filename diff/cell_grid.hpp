#pragma once
// Points bucketed in square cells, so that the points near a position are found by
// looking at nine cells rather than at every point.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace newstars {

// Square cells of side cell (> 0) covering the box [minX, maxX] x [minY, maxY]; each
// holds the indices added in it, in the order they were added.
class CellGrid {
public:
    CellGrid(double minX, double minY, double maxX, double maxY, double cell)
        : minX_(minX), minY_(minY), cell_(cell), width_(static_cast<int>((maxX - minX) / cell) + 1),
          height_(static_cast<int>((maxY - minY) / cell) + 1),
          cells_(static_cast<size_t>(width_) * static_cast<size_t>(height_))
    {
    }

    // The grid over the bounding box of the points (xs[i], ys[i]) with index i of each
    // added, in order; xs must not be empty and ys as long.
    static CellGrid of(const std::vector<double>& xs, const std::vector<double>& ys, double cell)
    {
        double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
        for (size_t i = 0; i < xs.size(); ++i) {
            minX = std::min(minX, xs[i]);
            maxX = std::max(maxX, xs[i]);
            minY = std::min(minY, ys[i]);
            maxY = std::max(maxY, ys[i]);
        }
        CellGrid grid(minX, minY, maxX, maxY, cell);
        for (size_t i = 0; i < xs.size(); ++i)
            grid.add(xs[i], ys[i], static_cast<uint32_t>(i));
        return grid;
    }

    // Adds index at (x, y), which must lie inside the box.
    void add(double x, double y, uint32_t index)
    {
        const size_t cx = static_cast<size_t>((x - minX_) / cell_);
        const size_t cy = static_cast<size_t>((y - minY_) / cell_);
        cells_[cy * static_cast<size_t>(width_) + cx].push_back(index);
    }

    // Calls visit(index) for every index in the 3 x 3 cells around the cell of (x, y),
    // row after row, each cell in the order added, until visit returns false. A position
    // off the box visits the cells of the box within one cell of it.
    template <typename Visit>
    void visitNear(double x, double y, Visit visit) const
    {
        const double fx = std::floor((x - minX_) / cell_);
        const double fy = std::floor((y - minY_) / cell_);
        if (!(fx >= -1 && fx <= width_ && fy >= -1 && fy <= height_))
            return;
        const int gx = static_cast<int>(fx), gy = static_cast<int>(fy);
        for (int cy = std::max(0, gy - 1); cy <= std::min(height_ - 1, gy + 1); ++cy) {
            for (int cx = std::max(0, gx - 1); cx <= std::min(width_ - 1, gx + 1); ++cx) {
                for (uint32_t index : cells_[static_cast<size_t>(cy) * width_ + cx]) {
                    if (!visit(index))
                        return;
                }
            }
        }
    }

private:
    double minX_, minY_, cell_;
    int width_, height_;
    std::vector<std::vector<uint32_t>> cells_;
};

} // namespace newstars
