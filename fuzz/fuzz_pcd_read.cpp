// libFuzzer target: the PCD reader on arbitrary bytes. It must return a cloud or an error,
// never crash, hang or allocate far beyond the input's size. A cloud it reads must write in
// each encoding (unless its field names clash with the ones the writer adds) and read back with
// the same coordinates.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/io/pcd.hpp"

using namespace nubiro;

namespace {

bool same_points(const geometry::PointCloud& a, const geometry::PointCloud& b) {
    if (a.points.size() != b.points.size()) return false;
    for (std::size_t i = 0; i < a.points.size(); ++i)
        for (int k = 0; k < 3; ++k) {
            const double x = a.points[i][k], y = b.points[i][k];
            if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
        }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto read = io::pcd::read(bytes, size % 2 == 1);
    if (!read) return 0;
    for (auto encoding : {io::pcd::Encoding::Binary, io::pcd::Encoding::BinaryCompressed, io::pcd::Encoding::Ascii}) {
        io::pcd::WriteOptions options;
        options.encoding = encoding;
        options.double_precision = true;  // every value read is exactly a double
        std::string out;
        const io::Output to_memory{[&](std::string_view piece) {
                                       out.append(piece);
                                       return true;
                                   },
                                   {}};
        auto written = io::pcd::write(read->cloud, read->fields, options, to_memory);
        if (!written) continue;  // e.g. a second field named x
        if (!*written) std::abort();
        auto again = io::pcd::read(out, false);
        if (!again || !same_points(read->cloud, again->cloud)) std::abort();
    }
    return 0;
}
