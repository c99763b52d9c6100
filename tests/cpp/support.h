// Helpers shared by the C++ tests: temporary directories, sparse files,
// another program's handle on a file, and a check for handles left open.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vantoro::test {

namespace fs = std::filesystem;

using Regions = std::map<std::uint64_t, std::vector<std::uint8_t>>;

// The UTF-8 path text the core takes, and back.
std::string utf8(const fs::path& p);
fs::path from_utf8(std::string_view text);

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(std::string_view utf8_name) const { return path_ / from_utf8(utf8_name); }

private:
    fs::path path_;
};

// Creates or replaces a file of `size` bytes holding `regions` at their
// offsets; the rest are holes where the file system has them. Paths past
// the classic Windows length limit are fine.
void write_sparse(const fs::path& p, std::uint64_t size, const Regions& regions);
void remove_file(const fs::path& p);
void make_directories(const fs::path& p);

// A handle opened for writing as another program would: it allows others to
// read but not to write or delete (on Windows), or, `exclusive`, nothing at
// all. ok() is false when the system refused the open.
class OtherHandle {
public:
    OtherHandle(const fs::path& p, bool exclusive = false);
    ~OtherHandle();
    OtherHandle(const OtherHandle&) = delete;
    OtherHandle& operator=(const OtherHandle&) = delete;
    bool ok() const;
    // Overwrites bytes at an offset, growing the file if needed.
    bool write_at(std::uint64_t offset, std::string_view bytes);

private:
    std::intptr_t h_;
};

// A pipe another program could be writing to: a FIFO in `dir`, or a
// Windows named pipe with its server end held open by this object.
class Pipe {
public:
    explicit Pipe(const fs::path& dir);
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    std::string path;  // UTF-8 path text

private:
    std::intptr_t server_ = -1;
};

// True when this process holds no handle on the file (an existing one).
bool no_handle_open(const fs::path& p);

}  // namespace vantoro::test
