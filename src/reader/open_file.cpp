#include "open_file.h"

#include <new>

namespace vantoro {

Result<OpenFile> OpenFile::open(std::string_view path) {
    auto file = PlatformFile::open_read(path);
    if (!file) return file.error();
    auto len = file->length();
    if (!len) return len.error();
    return OpenFile(std::move(file.value()), len.value());
}

Status OpenFile::read_into(std::uint64_t offset, void* buf, std::size_t n) const {
    return file_.read_exact_at(offset, buf, n);
}

Result<FetchedRange> OpenFile::read(std::uint64_t offset, std::uint64_t n) const {
    if (!contains(offset, n)) return IoError::eof();
    std::vector<std::uint8_t> buf;
    try {
        buf.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        return IoError::oom();
    }
    if (auto err = file_.read_exact_at(offset, buf.data(), buf.size())) return *err;
    return FetchedRange(offset, std::move(buf));
}

Result<FetchedRange> OpenFile::read_clipped(std::uint64_t offset, std::uint64_t n) const {
    if (offset >= length_) return FetchedRange(offset, {});
    return read(offset, std::min(n, length_ - offset));
}

}  // namespace vantoro
