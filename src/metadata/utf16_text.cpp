#include "utf16_text.h"

#include "../reader/utf8.h"

namespace vantoro::text {

void Utf16Decoder::push(std::uint16_t u) {
    if (bad_) return;  // the text is lost already; keep nothing more of it
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (pending_high_) {
        if (!low) {
            bad_ = true;
            out_.clear();
            return;
        }
        utf8::append(out_, 0x10000 + ((char32_t(pending_high_) - 0xD800) << 10) + (char32_t(u) - 0xDC00));
        pending_high_ = 0;
    } else if (high) {
        pending_high_ = u;
    } else if (low) {
        bad_ = true;
        out_.clear();
    } else {
        utf8::append(out_, u);
    }
}

std::optional<std::string> Utf16Decoder::finish() {
    const bool ok = !bad_ && pending_high_ == 0;
    std::optional<std::string> r;
    if (ok) r = std::move(out_);
    out_.clear();
    pending_high_ = 0;
    bad_ = false;
    return r;
}

}  // namespace vantoro::text
