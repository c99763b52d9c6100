// POSIX implementation of the platform file layer.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform_file.h"

namespace vantoro {

namespace {

ErrorKind kind_of(int code) {
    switch (code) {
        case ENOENT: return ErrorKind::NotFound;
        case EACCES:
        case EPERM: return ErrorKind::PermissionDenied;
        case ECONNREFUSED: return ErrorKind::ConnectionRefused;
        case ECONNRESET: return ErrorKind::ConnectionReset;
        case ECONNABORTED: return ErrorKind::ConnectionAborted;
        case EPIPE: return ErrorKind::BrokenPipe;
        case EEXIST: return ErrorKind::AlreadyExists;
        case EAGAIN: return ErrorKind::WouldBlock;
        case ETIMEDOUT: return ErrorKind::TimedOut;
        case EINTR: return ErrorKind::Interrupted;
        case EINVAL: return ErrorKind::InvalidInput;
        case ENOMEM: return ErrorKind::OutOfMemory;
        case EISDIR: return ErrorKind::IsADirectory;
        case ENOTDIR: return ErrorKind::NotADirectory;
        case EBUSY: return ErrorKind::ResourceBusy;
        case ENAMETOOLONG: return ErrorKind::InvalidFilename;
        default: return ErrorKind::Other;
    }
}

// strerror_r comes in a GNU (char*) and an XSI (int) flavour; accept both.
[[maybe_unused]] const char* pick(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* pick(const char* s, const char*) { return s; }

std::string describe(int code) {
    char buf[256] = {0};
    return pick(strerror_r(code, buf, sizeof buf), buf);
}

}  // namespace

IoError IoError::from_os(int code) {
    return {kind_of(code), code, describe(code) + " (os error " + std::to_string(code) + ")"};
}

Result<PlatformFile> PlatformFile::open_read(std::string_view utf8_path) {
    if (utf8_path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
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

PlatformFile& PlatformFile::operator=(PlatformFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = kInvalid;
    }
    return *this;
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
