// Texts found as UTF-16 runs after a fixed anchor: the status-log parameter
// labels and the acquisition warning messages.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stream_search.h"

namespace vantoro {

// Both give an empty list when the file cannot be read or holds no anchor.
std::vector<std::string> status_log_labels(std::string_view path);
std::vector<std::string> error_logs(std::string_view path);

// The same, asking `stop` before each chunk read; nothing when it ended the scan.
std::optional<std::vector<std::string>> status_log_labels(std::string_view path, const StopCheck& stop);
std::optional<std::vector<std::string>> error_logs(std::string_view path, const StopCheck& stop);

}  // namespace vantoro
