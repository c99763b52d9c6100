// Both anchored UTF-16 scans (status-log labels and warnings) over files of
// up to one streamed chunk and a bit, so that anchors and runs meet the chunk
// border while a run stays quick; and a stop check that ends them after a
// number of chunks the input picks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "checks.h"
#include "image_input.h"
#include "metadata/status_log.h"

using namespace vantoro;

namespace {

void check_texts(const std::vector<std::string>& texts, std::size_t most) {
    fuzz::require(texts.size() <= most, "no more texts than passes");
    for (const auto& t : texts) {
        fuzz::require(fuzz::valid_utf8(t), "texts are UTF-8");
        // A run ends at the first unit below 0x20, so no such character is in a text.
        fuzz::require(std::none_of(t.begin(), t.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
                      "texts hold no control characters");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const int stop_after = in.u8();
    namespace s = layout::status_log;
    fuzz::File f = fuzz::decode_file(in, 0, s::kUnitChunkBytes + (std::uint64_t{64} << 10));
    memory_files::put(f.path, f.image);

    const auto labels = status_log_labels(f.path);
    const auto warnings = error_logs(f.path);
    check_texts(labels, s::kLabelPasses);
    check_texts(warnings, s::kWarningPasses);
    for (std::size_t i = 0; i < warnings.size(); ++i)
        fuzz::require(std::find(warnings.begin(), warnings.begin() + i, warnings[i]) == warnings.begin() + i,
                      "warnings are distinct");

    // A scan the stop check lets finish gives the same answer.
    if (stop_after > 0) {
        int asked = 0;
        const StopCheck stop = [&] { return ++asked > stop_after; };
        const auto stopped_labels = status_log_labels(f.path, stop);
        fuzz::require(!stopped_labels || *stopped_labels == labels, "a finished scan ignores the stop check");
        asked = 0;
        const auto stopped_warnings = error_logs(f.path, stop);
        fuzz::require(!stopped_warnings || *stopped_warnings == warnings, "a finished scan ignores the stop check");
    }
    memory_files::clear();
    return 0;
}
