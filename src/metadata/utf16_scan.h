// The anchored UTF-16 run scan behind the status-log labels and the warning
// messages: the file is seen as little-endian 16-bit units at even byte
// offsets (a final odd byte belongs to no unit), an anchor text is sought
// over all of it, and text runs are read on from there.
//
// Nothing here holds the file: the anchor search streams fixed-size chunks,
// and the runs after the anchor come through a small forward cursor.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "../format/layout.h"
#include "../reader/open_file.h"
#include "stream_search.h"
#include "utf16_text.h"

namespace vantoro {

// The first occurrence of `anchor` (ASCII) as UTF-16LE at an even byte
// offset; a found offset is a unit position. `stop` is asked before each
// chunk.
Match find_utf16_anchor(const OpenFile& file, std::string_view anchor, const StopCheck& stop = {});

// Units of one file read forward on demand, one chunk at a time. `stop` is
// asked before each chunk; once it says so, the units end there.
class UnitCursor {
public:
    explicit UnitCursor(const OpenFile& file, StopCheck stop = {})
        : file_(file), stop_(std::move(stop)), units_(file.length() / 2) {}

    // Number of units; shrinks to the failing position if a read fails.
    std::uint64_t units() const { return units_; }
    // The read error that cut the units short, if any.
    const Status& error() const { return error_; }
    // True when the stop check cut the units short.
    bool stopped() const { return stopped_; }

    // Unit k, or nothing past the end (or past a failed read).
    std::optional<std::uint16_t> at(std::uint64_t k) {
        if (k - first_ < held_) return unit_in_buffer(k - first_);
        if (k >= units_ || !fetch(k)) return std::nullopt;
        return unit_in_buffer(0);
    }

private:
    bool fetch(std::uint64_t k);
    std::uint16_t unit_in_buffer(std::uint64_t j) const {
        return static_cast<std::uint16_t>(buf_[2 * j] | buf_[2 * j + 1] << 8);
    }

    const OpenFile& file_;
    StopCheck stop_;
    std::uint64_t units_;
    std::vector<std::uint8_t> buf_;
    std::uint64_t first_ = 0;  // units [first_, first_ + held_) are in buf_
    std::uint64_t held_ = 0;
    Status error_;
    bool stopped_ = false;
};

// A text run: the units from `pos` up to the first unit below
// layout::status_log::kRunEnd, or the end. Returns the end position e; the run's decoded text, if the run is
// well-formed UTF-16, is left in `text`.
std::uint64_t read_run(UnitCursor& cur, std::uint64_t pos, std::optional<std::string>& text);

}  // namespace vantoro
