// The operating-system file layer: the few calls the reader needs, behind one
// small type so that another platform can supply its own implementation file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "io_error.h"

namespace vantoro {

class PlatformFile {
public:
    // Opens an existing file read-only. Other programs may keep reading,
    // writing, renaming or deleting it meanwhile; nothing is created. A path
    // holding a NUL fails here, for every platform, before any system call:
    // the system would read it as a shorter path.
    static Result<PlatformFile> open_read(std::string_view utf8_path) {
        if (utf8_path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
        return open_existing(utf8_path);
    }

    PlatformFile(PlatformFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
    PlatformFile& operator=(PlatformFile&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            other.handle_ = kInvalid;
        }
        return *this;
    }
    PlatformFile(const PlatformFile&) = delete;
    PlatformFile& operator=(const PlatformFile&) = delete;
    ~PlatformFile() { close(); }

    // Current length of the file in bytes.
    Result<std::uint64_t> length() const;

    // Reads exactly n bytes at an absolute offset, retrying short and
    // interrupted reads; running into the end of the file is UnexpectedEof.
    Status read_exact_at(std::uint64_t offset, void* buf, std::size_t n) const;

    void close() noexcept;

private:
    using Handle = std::intptr_t;  // a descriptor here, a HANDLE elsewhere
    static constexpr Handle kInvalid = -1;
    explicit PlatformFile(Handle h) : handle_(h) {}
    // open_read for a path without NUL: each platform's implementation file.
    static Result<PlatformFile> open_existing(std::string_view utf8_path);
    Handle handle_;
};

}  // namespace vantoro
