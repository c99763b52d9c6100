// Strict UTF-16: code units decoded into UTF-8 text, nothing ever replaced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantoro::text {

// Decodes UTF-16 code units incrementally into UTF-8. An unpaired surrogate
// anywhere poisons the whole text.
class Utf16Decoder {
public:
    void push(std::uint16_t unit);
    // The decoded text, or nothing if the units were not well-formed UTF-16.
    std::optional<std::string> finish();

private:
    std::string out_;
    std::uint16_t pending_high_ = 0;  // a high surrogate waiting for its low half
    bool bad_ = false;
};

}  // namespace vantoro::text
