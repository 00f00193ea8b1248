#include "core/io/xyz.hpp"

#include "core/number_text.hpp"
#include "core/parallel.hpp"

namespace nubiro::io::xyz {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The next token of `line` from position i, or an empty view at the end.
std::string_view next_token(std::string_view line, std::size_t& i) {
    while (i < line.size() && is_space(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    return line.substr(start, i - start);
}

}  // namespace

Storage<Vector3d> read(std::string_view text) {
    Storage<Vector3d> points;
    std::size_t pos = 0;
    for (std::size_t line_number = 0; pos < text.size(); ++line_number) {
        if (line_number % 65536 == 0) {
            parallel::check_cancelled();
            parallel::report_progress("parsing", pos, text.size());
        }
        std::size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) lf = text.size();
        const std::string_view line = text.substr(pos, lf - pos);
        pos = lf + 1;
        std::size_t i = 0;
        Vector3d p{};
        bool ok = true;
        for (int k = 0; k < 3 && ok; ++k) {
            const std::string_view token = next_token(line, i);
            const auto v = token.empty() ? std::nullopt : text::parse_lenient(token);
            ok = v.has_value();
            if (ok) p[k] = *v;
        }
        if (ok) points.push_back(p);
    }
    return points;
}

std::string write(std::span<const Vector3d> points) {
    std::string out;
    out.reserve(points.size() * 48);
    for (const Vector3d& p : points) {
        text::append_fixed10(out, p[0]);
        out += ' ';
        text::append_fixed10(out, p[1]);
        out += ' ';
        text::append_fixed10(out, p[2]);
        out += '\n';
    }
    return out;
}

}  // namespace nubiro::io::xyz
