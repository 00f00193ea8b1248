// Where writers put their bytes, and the two ways they fill it from the worker pool.
//
// A writer streams pieces in order through `write`. A regular file also takes pieces at given
// offsets from several threads at once (`write_at`): a body of fixed-size rows is then filled
// and written block by block in parallel, each block at its own place, with no pass that
// gathers the whole body in memory first.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fetch_ahead.hpp"
#include "core/parallel.hpp"

namespace nubiro::io {

// Returns false to stop (a failed file write); the writer then returns false too.
using Sink = std::function<bool(std::string_view)>;

struct Output {
    Sink write;
    std::function<bool(std::uint64_t offset, std::string_view piece)> write_at;  // may be empty
    std::function<void(std::uint64_t offset, std::uint64_t length)> reserve;   // may be empty
};

// Rows of a variable size (text), rows(begin, end, buffer) appending rows [begin, end) to
// `buffer`: blocks are formatted in parallel, each into its own reused buffer, and handed to
// `write` in row order.
template <class Rows>
bool write_rows_in_order(std::size_t n, Rows&& rows, const Sink& write) {
    constexpr std::size_t kRowsPerBlock = 8192, kBlocksPerBatch = 16;
    std::vector<std::string> blocks(std::min(kBlocksPerBatch, (n + kRowsPerBlock - 1) / kRowsPerBlock));
    for (std::size_t first = 0; first < n; first += kRowsPerBlock * kBlocksPerBatch) {
        const std::size_t batch_rows = std::min(n - first, kRowsPerBlock * kBlocksPerBatch);
        const std::size_t count = (batch_rows + kRowsPerBlock - 1) / kRowsPerBlock;
        parallel::parallel_for(count, [&](std::size_t b) {
            const std::size_t begin = first + b * kRowsPerBlock;
            blocks[b].clear();
            rows(begin, std::min(begin + kRowsPerBlock, first + batch_rows), blocks[b]);
        });
        for (std::size_t b = 0; b < count; ++b)
            if (!write(blocks[b])) return false;
        parallel::check_cancelled();
    }
    return true;
}

// Rows of `row_size` bytes starting at byte `at`; fill(begin, end, dst) writes rows
// [begin, end) at dst, (end - begin) * row_size bytes. Each block is filled in its thread's
// reused buffer, small enough to still be in that core's cache when it is written at its own
// offset. Without `write_at` (a pipe, memory), the blocks go through `write` in order instead.
template <class Fill>
bool write_rows_at(std::uint64_t at, std::size_t n, std::size_t row_size, Fill&& fill, const Output& out) {
    if (!out.write_at) {
        auto rows = [&](std::size_t begin, std::size_t end, std::string& buffer) {
            const std::size_t start = buffer.size();
            buffer.resize(start + (end - begin) * row_size);
            fill(begin, end, buffer.data() + start);
        };
        return write_rows_in_order(n, rows, out.write);
    }
    constexpr std::size_t kBlockBytes = std::size_t{256} << 10;
    const std::size_t block_rows = std::max<std::size_t>(1, kBlockBytes / std::max<std::size_t>(row_size, 1));
    const std::size_t blocks = (n + block_rows - 1) / block_rows;
    if (out.reserve) out.reserve(at, std::uint64_t{n} * row_size);
    std::atomic<bool> failed{false};
    parallel::parallel_for(blocks, [&](std::size_t b) {
        if (failed.load(std::memory_order_relaxed)) return;
        thread_local std::vector<char> buffer;  // grown, never shrunk or cleared: every byte is filled
        const std::size_t begin = b * block_rows, end = std::min(begin + block_rows, n);
        const std::size_t bytes = (end - begin) * row_size;
        if (buffer.size() < bytes) buffer.resize(bytes);
        fill(begin, end, buffer.data());
        if (!out.write_at(at + begin * row_size, {buffer.data(), bytes})) failed.store(true, std::memory_order_relaxed);
    });
    return !failed.load();
}

}  // namespace nubiro::io
