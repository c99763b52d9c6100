// System error numbers as I/O error values: the kind and the text users see.
// Shared by the POSIX file layer and the in-memory one that stands in for it.
#include <cerrno>
#include <cstring>
#include <string>

#include "io_error.h"

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

}  // namespace vantoro
