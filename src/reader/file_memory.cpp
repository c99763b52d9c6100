// The platform file layer over the in-memory files of memory_files.h, for
// the fuzz targets. Same interface and error values as the operating
// system's layer: a missing path is ENOENT, a read past the end is the
// end-of-file error.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "memory_files.h"
#include "platform_file.h"

namespace vantoro {

namespace {

using ImagePtr = std::shared_ptr<const memory_files::Image>;

struct Registry {
    std::mutex lock;
    std::map<std::string, ImagePtr, std::less<>> files;
};

Registry& registry() {
    static Registry r;
    return r;
}

// What a handle points at: the image as it was when the file was opened.
struct OpenImage {
    ImagePtr image;
};

const memory_files::Image& image_of(std::intptr_t handle) {
    return *reinterpret_cast<const OpenImage*>(handle)->image;
}

}  // namespace

namespace memory_files {

void put(std::string path, Image image) {
    auto shared = std::make_shared<const Image>(std::move(image));
    std::lock_guard<std::mutex> g(registry().lock);
    registry().files[std::move(path)] = std::move(shared);
}

void remove(const std::string& path) {
    std::lock_guard<std::mutex> g(registry().lock);
    registry().files.erase(path);
}

void clear() {
    std::lock_guard<std::mutex> g(registry().lock);
    registry().files.clear();
}

}  // namespace memory_files

Result<PlatformFile> PlatformFile::open_existing(std::string_view utf8_path) {
    ImagePtr image;
    {
        std::lock_guard<std::mutex> g(registry().lock);
        auto it = registry().files.find(utf8_path);
        if (it == registry().files.end()) return IoError::from_os(ENOENT);
        image = it->second;
    }
    auto* open = new OpenImage{std::move(image)};
    return PlatformFile(reinterpret_cast<Handle>(open));
}

void PlatformFile::close() noexcept {
    if (handle_ != kInvalid) {
        delete reinterpret_cast<OpenImage*>(handle_);
        handle_ = kInvalid;
    }
}

Result<std::uint64_t> PlatformFile::length() const { return image_of(handle_).length; }

Status PlatformFile::read_exact_at(std::uint64_t offset, void* buf, std::size_t n) const {
    const memory_files::Image& img = image_of(handle_);
    if (n == 0) return std::nullopt;  // no read reaches the system
    if (img.read_error != 0) return IoError::from_os(img.read_error);
    const std::uint64_t end = std::min(img.length, img.readable);
    if (offset >= end || n > end - offset) return IoError::eof();
    auto* out = static_cast<std::uint8_t*>(buf);
    std::memset(out, 0, n);
    for (const auto& [at, bytes] : img.regions) {
        // The overlap of [at, at + size) with [offset, offset + n).
        const std::uint64_t from = std::max(at, offset);
        const std::uint64_t to = std::min(at + bytes.size(), offset + n);
        if (from < to) std::memcpy(out + (from - offset), bytes.data() + (from - at), to - from);
    }
    return std::nullopt;
}

}  // namespace vantoro
