#include "support.h"

#include <random>
#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include "reader/win32_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vantoro::test {

std::string utf8(const fs::path& p) {
    auto s = p.u8string();
    return {s.begin(), s.end()};
}

fs::path from_utf8(std::string_view text) { return fs::path(std::u8string(text.begin(), text.end())); }

#ifdef _WIN32
namespace {
// The extended-length form, so that long paths work without the
// system-wide long-path setting.
std::wstring long_form(const fs::path& p) { return win32::path_for_open(fs::absolute(p).wstring()); }
[[noreturn]] void fail(const char* what, const fs::path& p) {
    throw std::runtime_error(std::string(what) + " failed for " + utf8(p) + ": error " +
                             std::to_string(GetLastError()));
}
// One pass over the tree, whatever fails: a file still open elsewhere must
// not keep the test from ending.
void remove_tree(const std::wstring& dir) {
    WIN32_FIND_DATAW entry;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(dir + L"\\" + name);
            else
                DeleteFileW((dir + L"\\" + name).c_str());
        } while (FindNextFileW(h, &entry));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}
}  // namespace
#else
namespace {
[[noreturn]] void fail(const char* what, const fs::path& p) {
    throw std::runtime_error(std::string(what) + " failed for " + utf8(p));
}
}  // namespace
#endif

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        path_ = fs::temp_directory_path() / ("vantoro-test-" + std::to_string(rd()));
        if (fs::create_directory(path_)) break;
    }
}

TempDir::~TempDir() {
#ifdef _WIN32
    remove_tree(long_form(path_));
#else
    std::error_code ec;
    fs::remove_all(path_, ec);
#endif
}

#ifdef _WIN32

void write_sparse(const fs::path& p, std::uint64_t size, const Regions& regions) {
    HANDLE h = CreateFileW(long_form(p).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("CreateFileW", p);
    DWORD ignored;
    // Without the sparse mark NTFS would write out every hole.
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    bool ok = true;
    for (const auto& [offset, bytes] : regions) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD put = 0;
        ok = ok && WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, &at) &&
             put == bytes.size();
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    ok = ok && SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    if (!ok) fail("writing", p);
}

void remove_file(const fs::path& p) {
    if (!DeleteFileW(long_form(p).c_str())) fail("DeleteFileW", p);
}

void make_directories(const fs::path& p) {
    fs::path partial;
    for (const auto& part : fs::absolute(p)) {
        partial /= part;
        if (!partial.has_relative_path()) continue;  // the drive
        if (!CreateDirectoryW(long_form(partial).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            fail("CreateDirectoryW", partial);
    }
}

OtherHandle::OtherHandle(const fs::path& p, bool exclusive) {
    HANDLE h = CreateFileW(long_form(p).c_str(), GENERIC_READ | GENERIC_WRITE,
                           exclusive ? 0 : FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    h_ = reinterpret_cast<std::intptr_t>(h);
}

OtherHandle::~OtherHandle() {
    if (ok()) CloseHandle(reinterpret_cast<HANDLE>(h_));
}

bool OtherHandle::ok() const { return reinterpret_cast<HANDLE>(h_) != INVALID_HANDLE_VALUE; }

bool OtherHandle::write_at(std::uint64_t offset, std::string_view bytes) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD put = 0;
    return WriteFile(reinterpret_cast<HANDLE>(h_), bytes.data(), static_cast<DWORD>(bytes.size()),
                     &put, &at) &&
           put == bytes.size();
}

Pipe::Pipe(const fs::path& dir) {
    path = "\\\\.\\pipe\\" + utf8(dir.filename());
    HANDLE h = CreateNamedPipeW(from_utf8(path).wstring().c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0,
                                0, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("CreateNamedPipeW", dir);
    server_ = reinterpret_cast<std::intptr_t>(h);
}

Pipe::~Pipe() { CloseHandle(reinterpret_cast<HANDLE>(server_)); }

bool no_handle_open(const fs::path& p) {
    // Succeeds only if no handle anywhere has the file open.
    HANDLE h = CreateFileW(long_form(p).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    if (GetLastError() == ERROR_SHARING_VIOLATION) return false;
    fail("CreateFileW", p);
}

#else

void write_sparse(const fs::path& p, std::uint64_t size, const Regions& regions) {
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("open", p);
    bool ok = true;
    for (const auto& [offset, bytes] : regions)
        ok = ok && ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                       static_cast<ssize_t>(bytes.size());
    ok = ok && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    ::close(fd);
    if (!ok) fail("writing", p);
}

void remove_file(const fs::path& p) { fs::remove(p); }

void make_directories(const fs::path& p) { fs::create_directories(p); }

OtherHandle::OtherHandle(const fs::path& p, bool /*exclusive: POSIX has no share modes*/)
    : h_(::open(p.c_str(), O_RDWR | O_CLOEXEC)) {}

OtherHandle::~OtherHandle() {
    if (ok()) ::close(static_cast<int>(h_));
}

bool OtherHandle::ok() const { return h_ >= 0; }

bool OtherHandle::write_at(std::uint64_t offset, std::string_view bytes) {
    return ::pwrite(static_cast<int>(h_), bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(bytes.size());
}

Pipe::Pipe(const fs::path& dir) : path(utf8(dir / "pipe")) {
    if (::mkfifo(path.c_str(), 0600) != 0) fail("mkfifo", dir);
}

Pipe::~Pipe() = default;

bool no_handle_open(const fs::path& p) {
    // Every descriptor of this process, by the file it refers to.
    auto target = fs::canonical(p);
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto link = fs::read_symlink(fd.path(), ec);
        if (!ec && link == target) return false;
    }
    return true;
}

#endif

}  // namespace vantoro::test
