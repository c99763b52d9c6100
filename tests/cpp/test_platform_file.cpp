// The platform file layer: opening by UTF-8 path with full sharing, exact
// positioned reads, lengths, error kinds and texts, and closing.
#include <doctest/doctest.h>

#include <cstring>

#include "reader/platform_file.h"
#include "support.h"
#ifdef _WIN32
#include "reader/win32_path.h"
#endif

using namespace vantoro;
using namespace vantoro::test;

namespace vantoro {
std::ostream& operator<<(std::ostream& os, ErrorKind k) { return os << "ErrorKind(" << int(k) << ")"; }
}  // namespace vantoro

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

const std::string kContent = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40 bytes

fs::path write_text(const fs::path& p, const std::string& text = kContent) {
    write_sparse(p, text.size(), {{0, {text.begin(), text.end()}}});
    return p;
}

PlatformFile open_ok(const fs::path& p) {
    auto f = PlatformFile::open_read(utf8(p));
    if (!f) FAIL(f.error().text());
    return std::move(f.value());
}

std::string read_text(const PlatformFile& f, std::uint64_t offset, std::size_t n) {
    std::string out(n, '\0');
    if (auto err = f.read_exact_at(offset, out.data(), n)) FAIL(err->text());
    return out;
}

IoError open_error(const std::string& path) {
    auto f = PlatformFile::open_read(path);
    REQUIRE_FALSE(f.ok());
    return f.error();
}

// An operating-system error: its number, and the text "{description} (os error N)".
void check_os_error(const IoError& e, ErrorKind kind, int code) {
    CAPTURE(e.message);
    CHECK(e.kind == kind);
    CHECK(e.os_code == code);
    std::string tail = " (os error " + std::to_string(code) + ")";
    REQUIRE(e.message.size() > tail.size());
    CHECK(e.message.compare(e.message.size() - tail.size(), tail.size(), tail) == 0);
    CHECK(e.message.find_first_of("\r\n") == std::string::npos);
    CHECK(e.message == IoError::from_os(code).message);
}

void check_fixed(const IoError& e, ErrorKind kind, const char* text) {
    CHECK(e.kind == kind);
    CHECK(e.os_code == 0);
    CHECK(e.message == text);
}

}  // namespace

TEST_CASE("exact reads at absolute offsets, up to and past the end") {
    TempDir dir;
    auto f = open_ok(write_text(dir / "forty.raw"));
    CHECK(f.length().value() == 40);
    CHECK(read_text(f, 0, 40) == kContent);
    CHECK(read_text(f, 36, 4) == "ABCD");
    CHECK(read_text(f, 10, 3) == "abc");  // any order, no shared position
    CHECK(read_text(f, 40, 0).empty());
    for (auto [offset, n] : {std::pair<std::uint64_t, std::size_t>{38, 4}, {40, 1}, {39, 2},
                             {1ull << 40, 4}, {~0ull - 1, 4}}) {
        CAPTURE(offset);
        char buf[8];
        auto err = f.read_exact_at(offset, buf, n);
        REQUIRE(err);
        check_fixed(*err, ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    }
    CHECK(read_text(f, 0, 4) == "0123");  // a failed read leaves the handle usable
}

TEST_CASE("offsets and lengths beyond 32 bits") {
    TempDir dir;
    constexpr std::uint64_t k4G = 1ull << 32;
    std::string mark = "high";
    auto p = dir / "sparse.raw";
    write_sparse(p, k4G + 64, {{8, {'l', 'o', 'w', '!'}}, {k4G + 8, {mark.begin(), mark.end()}}});
    auto f = open_ok(p);
    CHECK(f.length().value() == k4G + 64);
    CHECK(read_text(f, k4G + 8, 4) == mark);
    CHECK(read_text(f, 8, 4) == "low!");
    CHECK(read_text(f, k4G + 60, 4) == std::string(4, '\0'));
    char buf[8];
    CHECK(f.read_exact_at(k4G + 62, buf, 4));
}

TEST_CASE("open failures: kinds, numbers and texts") {
    TempDir dir;
    check_os_error(open_error(utf8(dir / "missing.raw")), ErrorKind::NotFound, 2);
    // Windows tells a missing directory from a missing file.
    check_os_error(open_error(utf8(dir / "no-dir" / "missing.raw")), ErrorKind::NotFound,
                   kWindows ? 3 : 2);

    // A NUL anywhere fails before any system call, even where the file exists.
    write_text(dir / "a.raw");
    for (std::string path : {utf8(dir / "a.raw") + '\0', utf8(dir.path()) + std::string("/a\0.raw", 7),
                             std::string("\0", 1)})
        check_fixed(open_error(path), ErrorKind::InvalidInput,
                    "strings passed to WinAPI cannot contain NULs");
}

TEST_CASE("a directory is refused by the platform's own rule") {
    TempDir dir;
    if (kWindows) {
        // CreateFileW opens directories only with backup semantics.
        check_os_error(open_error(utf8(dir.path())), ErrorKind::PermissionDenied, 5);
    } else {
        // open() accepts a directory; reading from it fails.
        auto f = open_ok(dir.path());
        char buf[4];
        auto err = f.read_exact_at(0, buf, 4);
        REQUIRE(err);
        check_os_error(*err, ErrorKind::IsADirectory, 21);
    }
}

TEST_CASE("a pipe fails at once instead of waiting for input") {
    TempDir dir;
    Pipe pipe(dir.path());
    auto f = PlatformFile::open_read(pipe.path);
    if (kWindows) {
        // Refused at open: a read would ignore the offset and block.
        REQUIRE_FALSE(f.ok());
        check_os_error(f.error(), ErrorKind::Other, 132);
    } else {
        // Opened without blocking; a positioned read is refused.
        REQUIRE(f.ok());
        char buf[4];
        auto err = f->read_exact_at(0, buf, 4);
        REQUIRE(err);
        check_os_error(*err, ErrorKind::Other, 29);
    }
}

TEST_CASE("non-ASCII and long paths") {
    TempDir dir;
    SUBCASE("non-ASCII names in file and directory") {
        // Two-, three- and four-byte UTF-8 (a surrogate pair in UTF-16).
        for (const char* name : {"\xc3\xa9t\xc3\xa9.raw", "\xe6\x97\xa5\xe6\x9c\xac.raw",
                                 "clef \xf0\x9d\x84\x9e.raw"}) {
            auto sub = dir / "d\xc3\xbc";
            make_directories(sub);
            auto p = write_text(sub / name, name);
            CHECK(read_text(open_ok(p), 0, std::strlen(name)) == name);
        }
    }
    SUBCASE("a path past 260 characters") {
        auto deep = dir.path();
        for (char c : std::string("abc")) deep /= std::string(100, c);
        make_directories(deep);
        auto p = write_text(deep / "long.raw");
        REQUIRE(utf8(p).size() > 300);
        CHECK(read_text(open_ok(p), 36, 4) == "ABCD");
        check_os_error(open_error(utf8(deep / "missing.raw")), ErrorKind::NotFound, 2);
        remove_file(p);
    }
}

TEST_CASE("other handles may write, rename and delete the open file") {
    TempDir dir;
    auto p = write_text(dir / "shared.raw");
    SUBCASE("a writer that opened first") {
        OtherHandle writer(p);
        REQUIRE(writer.ok());
        auto f = open_ok(p);
        CHECK(writer.write_at(40, "EFGH"));
        CHECK(f.length().value() == 44);  // each length query sees the file as it is now
        CHECK(read_text(f, 38, 6) == "CDEFGH");
    }
    SUBCASE("a writer that opens while we read") {
        auto f = open_ok(p);
        OtherHandle writer(p);
        REQUIRE(writer.ok());
        CHECK(writer.write_at(0, "XY"));
        CHECK(read_text(f, 0, 4) == "XY23");
    }
    SUBCASE("rename and delete while open") {
        auto f = open_ok(p);
        auto moved = dir / "moved.raw";
        fs::rename(p, moved);
        remove_file(moved);
        CHECK(read_text(f, 36, 4) == "ABCD");
        {
            // Deleting an open file: POSIX unlinks the name at once; Windows
            // keeps it, "delete pending", until the last handle closes, and
            // refuses new opens meanwhile (Wine still allows them).
            auto again = PlatformFile::open_read(utf8(moved));
            MESSAGE("reopening a deleted file that is still open: "
                    << (again.ok() ? std::string("opened") : again.error().message)
                    << "; name still listed: " << fs::exists(moved));
        }
        f.close();
        CHECK_FALSE(fs::exists(moved));
    }
    if (kWindows) {
        SUBCASE("a holder that shares nothing makes the file busy") {
            OtherHandle holder(p, /*exclusive=*/true);
            REQUIRE(holder.ok());
            check_os_error(open_error(utf8(p)), ErrorKind::ResourceBusy, 32);
        }
    }
}

TEST_CASE("no handle stays open") {
    TempDir dir;
    auto a = write_text(dir / "a.raw");
    auto b = write_text(dir / "b.raw");
    {
        auto f = open_ok(a);
        REQUIRE_FALSE(no_handle_open(a));
        char buf[4];
        CHECK(f.read_exact_at(50, buf, 4));  // a failed read keeps it open...
        CHECK_FALSE(no_handle_open(a));
    }
    CHECK(no_handle_open(a));  // ...and the destructor closes it
    {
        auto fa = open_ok(a);
        auto fb = open_ok(b);
        fa = std::move(fb);  // closes a, takes over b
        CHECK(no_handle_open(a));
        CHECK_FALSE(no_handle_open(b));
        PlatformFile moved(std::move(fa));
        fa.close();  // a moved-from file closes nothing
        CHECK_FALSE(no_handle_open(b));
        CHECK(read_text(moved, 0, 2) == "01");
    }
    CHECK(no_handle_open(b));
}

#ifdef _WIN32
TEST_CASE("Windows path text") {
    TempDir dir;
    SUBCASE("malformed UTF-8 is refused before any system call") {
        write_text(dir / "a.raw");
        std::string base = utf8(dir / "a.raw");
        for (std::string bad : {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80",
                                "\xc3", "\xf8\x88\x80\x80\x80"}) {
            CAPTURE(bad);
            check_fixed(open_error(base + bad), ErrorKind::InvalidInput, "path is not valid UTF-8");
        }
        CHECK(*win32::widen_strict("\xf0\x9d\x84\x9e\xc3\xa9") == L"\xd834\xdd1e\x00e9");
    }
    SUBCASE("names the file system refuses") {
        check_os_error(open_error(utf8(dir / "a<b>.raw")), ErrorKind::InvalidFilename, 123);
    }
    SUBCASE("extended-length form only past the limit") {
        std::wstring part(100, L'x');
        std::wstring unc = L"\\\\server\\share\\" + part + L"\\" + part + L"\\" + part + L".raw";
        CHECK(win32::path_for_open(unc) == L"\\\\?\\UNC\\server\\share\\" + part + L"\\" + part +
                                                  L"\\" + part + L".raw");
        std::wstring drive = L"C:/" + part + L"/" + part + L"/" + part + L".raw";
        CHECK(win32::path_for_open(drive) ==
              L"\\\\?\\C:\\" + part + L"\\" + part + L"\\" + part + L".raw");
        for (std::wstring kept : {std::wstring(L"C:/short/name.raw"), std::wstring(L"rel.raw"),
                                  L"\\\\?\\C:\\" + part + part + part})
            CHECK(win32::path_for_open(kept) == kept);
    }
}
#endif
