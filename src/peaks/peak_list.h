// Locating and decoding the peak list of one scan by a bounded search from
// the scan's offset, without the RAW format's own index structures.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../reader/buffer.h"

namespace vantoro {

// Equal-length arrays in file order; a list that is found is never empty.
struct PeakList {
    Buffer<double> mz;
    Buffer<float> intensity;
};

// The peak list of the scan at `scan_offset` in a file of format `version`,
// or nothing: a file that cannot be opened or read, an offset at or past the
// end of the file and a search that finds no block all give std::nullopt.
// Reads only the search window and the extent of the block it decodes.
std::optional<PeakList> read_peak_list(std::string_view path, std::uint32_t version, std::uint64_t scan_offset);

}  // namespace vantoro
