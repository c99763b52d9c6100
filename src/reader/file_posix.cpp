// POSIX implementation of the platform file layer.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform_file.h"

namespace vantoro {

Result<PlatformFile> PlatformFile::open_existing(std::string_view utf8_path) {
    std::string path(utf8_path);
    int fd;
    // O_NONBLOCK: a FIFO or device must fail promptly rather than hang the
    // interpreter in open(); regular files ignore the flag.
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::from_os(errno);
    return PlatformFile(fd);
}

void PlatformFile::close() noexcept {
    if (handle_ != kInvalid) {
        ::close(static_cast<int>(handle_));
        handle_ = kInvalid;
    }
}

Result<std::uint64_t> PlatformFile::length() const {
    struct stat st;
    if (::fstat(static_cast<int>(handle_), &st) != 0) return IoError::from_os(errno);
    return static_cast<std::uint64_t>(st.st_size);
}

Status PlatformFile::read_exact_at(std::uint64_t offset, void* buf, std::size_t n) const {
    auto* out = static_cast<unsigned char*>(buf);
    while (n > 0) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) return IoError::eof();
        ssize_t got = ::pread(static_cast<int>(handle_), out, n, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return IoError::from_os(errno);
        }
        if (got == 0) return IoError::eof();
        out += got;
        n -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return std::nullopt;
}

}  // namespace vantoro
