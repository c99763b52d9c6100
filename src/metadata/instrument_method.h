// The instrument method's XML block: from the first "<?xml" near the start
// of the file to the end of the method block.
#pragma once

#include <string>
#include <string_view>

namespace vantoro {

// "" when the file cannot be read, holds no start marker in its search
// region (layout::method::kSearchRegion), or the selected text is not valid
// UTF-8.
std::string instrument_method(std::string_view path);

}  // namespace vantoro
