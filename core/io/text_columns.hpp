// Whitespace-separated text with one point per line and a fixed meaning per column, beside
// the plain three-column XYZ text:
//   xyzn    x y z nx ny nz
//   xyzrgb  x y z r g b          colours in [0, 1]
//   pts     a point count line, then x y z [intensity] [r g b] with colours in 0 ... 255
// The readers are forgiving in the same way as the XYZ reader: lines without enough numbers are
// skipped, numbers take the lenient parse; a file without a single usable line is an error.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/result.hpp"

namespace nubiro::io::text_columns {

enum class Layout { Xyzn, Xyzrgb, Pts };

struct Cloud {
    geometry::PointCloud cloud;
    std::vector<double> intensity;  // pts only, one per point when the file has the column
};

Result<Cloud> read(std::string_view text, Layout layout);

// Numbers in their shortest exact form, so a written file reads back bit for bit.
std::string write(const geometry::PointCloud& cloud, Layout layout);

}  // namespace nubiro::io::text_columns
