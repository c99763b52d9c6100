// One file opened by path for the length of one operation, with ranged reads.
// Its length L is the file's size when it was opened; callers fetch only the
// byte ranges they need.
#pragma once

#include <cstdint>
#include <string_view>

#include "fetched_range.h"
#include "io_error.h"
#include "platform_file.h"

namespace vantoro {

class OpenFile {
public:
    static Result<OpenFile> open(std::string_view path);

    std::uint64_t length() const { return length_; }

    // Whether [offset, offset + n) lies inside L.
    bool contains(std::uint64_t offset, std::uint64_t n) const { return offset <= length_ && n <= length_ - offset; }

    // Exactly [offset, offset + n); a range past L is an end-of-file error.
    Result<FetchedRange> read(std::uint64_t offset, std::uint64_t n) const;

    // [offset, min(offset + n, L)): empty when offset is at or past L.
    Result<FetchedRange> read_clipped(std::uint64_t offset, std::uint64_t n) const;

    // Fills buf with [offset, offset + n), which the caller keeps inside L.
    Status read_into(std::uint64_t offset, void* buf, std::size_t n) const;

private:
    OpenFile(PlatformFile f, std::uint64_t len) : file_(std::move(f)), length_(len) {}
    PlatformFile file_;
    std::uint64_t length_;
};

}  // namespace vantoro
