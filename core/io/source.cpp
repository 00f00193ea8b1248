#include "core/io/source.hpp"

#include "core/parallel.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nubiro::io {

bool MemorySource::read_at(std::uint64_t offset, std::size_t n, char* to) const {
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    if (n) std::memcpy(to, bytes_.data() + offset, n);
    return true;
}

FileSource::FileSource(const std::string& path) {
    if (path.find('\0') != std::string::npos) return;  // would name another file
    // Non-blocking, so opening a FIFO without a writer cannot hang.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileSource::read_at(std::uint64_t offset, std::size_t n, char* to) const {
    if (fd_ < 0) return false;
    while (n > 0) {
        const ssize_t got = ::pread(fd_, to, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file ends early now
        to += got;
        offset += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string_view view_of(const Source& source, std::uint64_t offset, std::size_t n, ReadBuffer& buffer, bool& ok) {
    ok = offset <= source.size() && n <= source.size() - offset;
    if (!ok) return {};
    // Readers take files block by block through here: the place to show progress and to stop.
    parallel::check_cancelled();
    parallel::report_progress("reading", offset + n, source.size());
    if (const char* memory = source.memory()) return {memory + offset, n};
    char* to = buffer.at_least(n);
    ok = source.read_at(offset, n, to);
    return ok ? std::string_view(to, n) : std::string_view();
}

}  // namespace nubiro::io
