#include "header.h"

#include <vector>

#include "../format/layout.h"

namespace vantoro {

Result<HeaderFacts> probe_header(const OpenFile& file) {
    namespace h = layout::header;
    // One read of the whole header covers every word the probe needs. It
    // goes to the file whatever length was reported, so a path that names
    // no regular file (a directory, a FIFO) fails with the system's error.
    std::vector<std::uint8_t> bytes(h::kSize);
    if (auto err = file.read_into(0, bytes.data(), bytes.size())) return *err;
    const FetchedRange head(0, std::move(bytes));
    const std::uint32_t word = head.u32(h::kVersionWord);
    HeaderFacts facts;
    facts.version = (word == h::kVersion57 || word == h::kVersion66) ? word : head.u32(h::kFallbackVersionWord);
    facts.creation_time = head.u64(h::kCreationTime);
    return facts;
}

std::string creation_date_text(std::uint64_t creation_time) {
    const std::uint64_t s = creation_time / layout::kTicksPerSecond;
    return std::to_string(s >= layout::kSecondsFrom1601To1970 ? s - layout::kSecondsFrom1601To1970 : 0);
}

}  // namespace vantoro
