// libFuzzer target: the XYZ reader on arbitrary bytes; what it reads must write and read back
// to the same number of points.
#include <cstdlib>

#include "core/io/xyz.hpp"

using namespace nubiro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto points = io::xyz::read({reinterpret_cast<const char*>(data), size});
    const std::string text = io::xyz::write(points.span());
    if (io::xyz::read(text).size() != points.size()) std::abort();
    return 0;
}
