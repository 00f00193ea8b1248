#include "core/io/text_columns.hpp"

#include <array>

#include "core/io/color_bytes.hpp"
#include "core/number_text.hpp"

namespace nubiro::io::text_columns {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

constexpr std::size_t kMaxColumns = 7;

// The leading numbers of a line (at most kMaxColumns); stops at the first token that is not one.
std::size_t numbers(std::string_view line, std::array<double, kMaxColumns>& out) {
    std::size_t i = 0, n = 0;
    while (n < kMaxColumns) {
        while (i < line.size() && is_space(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        if (i == start) break;
        const auto v = text::parse_lenient(line.substr(start, i - start));
        if (!v) break;
        out[n++] = *v;
    }
    return n;
}

}  // namespace

Result<Cloud> read(std::string_view text, Layout layout) {
    Cloud out;
    auto& c = out.cloud;
    std::size_t pos = 0, columns = 0;  // pts: the column count of the first point line
    bool first_line = true;
    std::array<double, kMaxColumns> v{};
    while (pos < text.size()) {
        std::size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) lf = text.size();
        const std::size_t n = numbers(text.substr(pos, lf - pos), v);
        pos = lf + 1;
        if (n == 0) continue;
        const bool was_first = first_line;
        first_line = false;
        if (layout != Layout::Pts) {
            if (n < 6) continue;
            c.points.push_back({v[0], v[1], v[2]});
            (layout == Layout::Xyzn ? c.normals : c.colors).push_back({v[3], v[4], v[5]});
            continue;
        }
        if (was_first && n == 1) continue;  // the count line
        if (columns == 0) {
            if (n < 3) continue;
            columns = n >= 7 ? 7 : n >= 6 ? 6 : n >= 4 ? 4 : 3;
        }
        if (n < columns) continue;
        c.points.push_back({v[0], v[1], v[2]});
        if (columns == 4 || columns == 7) out.intensity.push_back(v[3]);
        if (columns >= 6) {
            const std::size_t k = columns == 7 ? 4 : 3;
            c.colors.push_back({v[k] / 255.0, v[k + 1] / 255.0, v[k + 2] / 255.0});
        }
    }
    if (c.points.size() == 0) {
        const char* need = layout == Layout::Pts ? "lines of at least three numbers" : "lines of six numbers";
        return value_error(std::string("no point could be read (the format needs ") + need + ")");
    }
    return out;
}

std::string write(const geometry::PointCloud& cloud, Layout layout) {
    std::string out;
    const std::size_t n = cloud.points.size();
    out.reserve(n * 64);
    const bool colours = cloud.has_colors();
    if (layout == Layout::Pts) out += std::to_string(n) + "\n";
    for (std::size_t i = 0; i < n; ++i) {
        const Vector3d& p = cloud.points[i];
        text::append_shortest(out, p[0]);
        out += ' ';
        text::append_shortest(out, p[1]);
        out += ' ';
        text::append_shortest(out, p[2]);
        if (layout == Layout::Pts) {
            if (colours)
                for (double x : cloud.colors[i]) out += ' ' + std::to_string(color_byte(x));
        } else {
            const bool normals = layout == Layout::Xyzn;
            const bool have = normals ? cloud.has_normals() : colours;
            const Vector3d q = have ? (normals ? cloud.normals[i] : cloud.colors[i]) : Vector3d{0, 0, 0};
            for (double x : q) {
                out += ' ';
                text::append_shortest(out, x);
            }
        }
        out += '\n';
    }
    return out;
}

}  // namespace nubiro::io::text_columns
