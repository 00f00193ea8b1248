// Where a reader takes its bytes from: a block already in memory, or a regular file read piece
// by piece at known offsets.
//
// Files are read with positioned reads into the reader's own small buffers, never mapped: a
// mapped file that another process truncates mid-read would kill the process with SIGBUS,
// whereas a read past the new end just comes back short and the read fails cleanly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nubiro::io {

class Source {
public:
    virtual ~Source() = default;
    // The byte count the reader may rely on (a file's size when it was opened).
    virtual std::uint64_t size() const = 0;
    // Copies bytes [offset, offset + n) into `to`; false when they are not all there (a file
    // that shrank). Safe to call from several threads at once.
    virtual bool read_at(std::uint64_t offset, std::size_t n, char* to) const = 0;
    // All the bytes, when they are in memory already (nothing to copy); else null.
    virtual const char* memory() const { return nullptr; }
};

class MemorySource final : public Source {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read_at(std::uint64_t offset, std::size_t n, char* to) const override;
    const char* memory() const override { return bytes_.data(); }

private:
    std::string_view bytes_;
};

// A regular file opened for reading; `ok()` is false when it could not be opened or is not a
// regular file (a FIFO or a device could block or never end).
class FileSource final : public Source {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::uint64_t size() const override { return size_; }
    bool read_at(std::uint64_t offset, std::size_t n, char* to) const override;

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// A reusable read buffer that grows without zero-filling: every byte it hands out is read
// into before it is looked at, and clearing tens of megabytes first costs as much as the read.
class ReadBuffer {
public:
    char* at_least(std::size_t n) {
        if (n > size_) {
            bytes_ = std::make_unique_for_overwrite<char[]>(n);
            size_ = n;
        }
        return bytes_.get();
    }
    void release() { bytes_.reset(), size_ = 0; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

// Bytes [offset, offset + n) of `source` as one view: straight into memory when it is there,
// else read into `buffer` (grown as needed and reused). Empty with ok = false when short.
std::string_view view_of(const Source& source, std::uint64_t offset, std::size_t n, ReadBuffer& buffer, bool& ok);

}  // namespace nubiro::io
