// Win32 implementation of the platform file layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <iterator>

#include "platform_file.h"
#include "utf8.h"
#include "win32_path.h"

namespace vantoro {

namespace {

// Winsock numbers are Win32 error numbers too; only a few have a kind.
constexpr DWORD kWsaEintr = 10004, kWsaEacces = 10013, kWsaEinval = 10022, kWsaEwouldblock = 10035,
                kWsaEconnaborted = 10053, kWsaEconnreset = 10054, kWsaEtimedout = 10060,
                kWsaEconnrefused = 10061;
// Newer than the headers of some toolchains.
constexpr DWORD kErrorDirectoryNotSupported = 336;

ErrorKind kind_of(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME: return ErrorKind::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED:
        case kWsaEacces: return ErrorKind::PermissionDenied;
        case kWsaEconnrefused: return ErrorKind::ConnectionRefused;
        case kWsaEconnreset: return ErrorKind::ConnectionReset;
        case kWsaEconnaborted: return ErrorKind::ConnectionAborted;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return ErrorKind::BrokenPipe;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return ErrorKind::AlreadyExists;
        case kWsaEwouldblock: return ErrorKind::WouldBlock;
        case ERROR_SEM_TIMEOUT:
        case WAIT_TIMEOUT:
        case ERROR_TIMEOUT:
        case kWsaEtimedout: return ErrorKind::TimedOut;
        case kWsaEintr: return ErrorKind::Interrupted;
        case ERROR_INVALID_PARAMETER:
        case kWsaEinval: return ErrorKind::InvalidInput;
        case ERROR_HANDLE_EOF: return ErrorKind::UnexpectedEof;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ErrorKind::OutOfMemory;
        case kErrorDirectoryNotSupported: return ErrorKind::IsADirectory;
        case ERROR_DIRECTORY: return ErrorKind::NotADirectory;
        // Another handle's sharing mode or byte-range lock is in the way:
        // the file is busy, the caller's rights are not in question.
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY: return ErrorKind::ResourceBusy;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE: return ErrorKind::InvalidFilename;
        default: return ErrorKind::Other;
    }
}

std::string narrow(const wchar_t* text, int units) {
    if (units <= 0) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), n, nullptr, nullptr);
    return out;
}

// The system's description of an error number, without the line break
// that FormatMessageW puts at its end.
std::string describe(DWORD code) {
    wchar_t buf[2048];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buf, static_cast<DWORD>(std::size(buf)), nullptr);
    while (n > 0 && (buf[n - 1] == L'\n' || buf[n - 1] == L'\r')) --n;
    if (n == 0) return "Unknown error";
    return narrow(buf, static_cast<int>(n));
}

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool starts_with(const std::wstring& s, const wchar_t* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The largest single ReadFile request; longer reads take several.
constexpr std::size_t kMaxRead = 1u << 30;

}  // namespace

namespace win32 {

std::optional<std::wstring> widen_strict(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    const auto bytes = utf8::as_bytes(text);
    for (std::size_t i = 0; i < bytes.size();) {
        auto decoded = utf8::decode_next(bytes, i);
        if (!decoded) return std::nullopt;
        char32_t cp = *decoded;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }
    return out;
}

std::wstring path_for_open(const std::wstring& path) {
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\")) return path;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return path;  // CreateFileW reports what is wrong with it
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);  // n counts the terminating NUL here
    }
    if (full.size() < MAX_PATH) return path;
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
    if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace win32

IoError IoError::from_os(int code) {
    auto dw = static_cast<DWORD>(code);
    return {kind_of(dw), code, describe(dw) + " (os error " + std::to_string(code) + ")"};
}

Result<PlatformFile> PlatformFile::open_existing(std::string_view utf8_path) {
    auto wide = win32::widen_strict(utf8_path);
    if (!wide) return IoError::fixed(ErrorKind::InvalidInput, "path is not valid UTF-8");
    HANDLE h = CreateFileW(win32::path_for_open(*wide).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return IoError::from_os(static_cast<int>(GetLastError()));
    PlatformFile file(reinterpret_cast<Handle>(h));
    // Positioned reads need a file on a disk: a pipe or a console would
    // ignore the offset and could block the interpreter waiting for input.
    if (GetFileType(h) != FILE_TYPE_DISK) return IoError::from_os(ERROR_SEEK_ON_DEVICE);
    return file;
}

void PlatformFile::close() noexcept {
    if (handle_ != kInvalid) {
        CloseHandle(as_handle(handle_));
        handle_ = kInvalid;
    }
}

Result<std::uint64_t> PlatformFile::length() const {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(as_handle(handle_), &size)) return IoError::from_os(static_cast<int>(GetLastError()));
    return static_cast<std::uint64_t>(size.QuadPart);
}

Status PlatformFile::read_exact_at(std::uint64_t offset, void* buf, std::size_t n) const {
    auto* out = static_cast<unsigned char*>(buf);
    while (n > 0) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) return IoError::eof();
        // A synchronous handle reads at the offset given in OVERLAPPED.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD want = static_cast<DWORD>(n < kMaxRead ? n : kMaxRead);
        DWORD got = 0;
        if (!ReadFile(as_handle(handle_), out, want, &got, &at)) {
            DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF) return IoError::eof();
            return IoError::from_os(static_cast<int>(err));
        }
        if (got == 0) return IoError::eof();
        out += got;
        n -= got;
        offset += got;
    }
    return std::nullopt;
}

}  // namespace vantoro
