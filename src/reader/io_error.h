// The I/O error value returned by file operations, and a small result type.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vantoro {

enum class ErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    TimedOut,
    Interrupted,
    InvalidInput,
    UnexpectedEof,
    OutOfMemory,
    IsADirectory,
    NotADirectory,
    ResourceBusy,
    InvalidFilename,
    Other,
};

struct IoError {
    ErrorKind kind = ErrorKind::Other;
    int os_code = 0;      // the system's error number, 0 for the fixed-text errors
    std::string message;  // complete text as the user sees it

    static IoError from_os(int code);  // platform layer: kind + description
    static IoError fixed(ErrorKind kind, std::string text) { return {kind, 0, std::move(text)}; }
    static IoError nul_in_path() {
        return fixed(ErrorKind::InvalidInput, "strings passed to WinAPI cannot contain NULs");
    }
    static IoError eof() { return fixed(ErrorKind::UnexpectedEof, "failed to fill whole buffer"); }
    static IoError oom() { return fixed(ErrorKind::OutOfMemory, "out of memory"); }

    const std::string& text() const { return message; }
};

// A value or an I/O error; C++20 has no std::expected.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(IoError err) : v_(std::in_place_index<1>, std::move(err)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    IoError& error() { return std::get<1>(v_); }
    const IoError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, IoError> v_;
};

using Status = std::optional<IoError>;  // nullopt means success

}  // namespace vantoro
