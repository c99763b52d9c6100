// The header facts: format version and creation time.
#pragma once

#include <cstdint>
#include <string>

#include "../reader/io_error.h"
#include "../reader/open_file.h"

namespace vantoro {

struct HeaderFacts {
    std::uint32_t version = 0;
    std::uint64_t creation_time = 0;
};

// Reads the header words. The version is the version word when that holds a
// known version, else the older version word. A file shorter than the header
// is an end-of-file error.
Result<HeaderFacts> probe_header(const OpenFile& file);

// The creation time as whole seconds since 1970 (UTC), in decimal; 0 for
// times before 1970.
std::string creation_date_text(std::uint64_t creation_time);

}  // namespace vantoro
