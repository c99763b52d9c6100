// Path text for the Win32 file calls: strict UTF-8 to UTF-16 conversion and
// the extended-length form of paths beyond the classic 260-character limit.
// Windows builds only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantoro::win32 {

// UTF-16 form of well-formed UTF-8 text; nothing for overlong forms, encoded
// surrogates, values above U+10FFFF, stray or missing continuation bytes.
std::optional<std::wstring> widen_strict(std::string_view text);

// The path to hand to CreateFileW. A path whose full form reaches the
// classic limit becomes "\\?\C:\..." or "\\?\UNC\server\share\..."; shorter
// paths, paths already in a "\\?\" or "\\.\" form, and paths the system
// cannot make full stay as they are.
std::wstring path_for_open(const std::wstring& path);

}  // namespace vantoro::win32
