// libFuzzer target: the LZF decoder on arbitrary streams (the first two bytes choose the
// expected output size) must fail cleanly or fill the output exactly; and any input must
// compress and decompress back to itself.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/io/lzf.hpp"

using namespace nubiro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 2) {
        const std::size_t expected = std::size_t{data[0]} << 8 | data[1];
        std::vector<std::uint8_t> out(expected);
        (void)io::lzf::decompress({data + 2, size - 2}, out);
    }
    const std::string packed = io::lzf::compress({data, size});
    std::vector<std::uint8_t> back(size);
    const auto* p = reinterpret_cast<const std::uint8_t*>(packed.data());
    if (io::lzf::decompress({p, packed.size()}, back) || (size && std::memcmp(back.data(), data, size) != 0)) std::abort();
    return 0;
}
