// Construction of a reader record: the header probe, then the per-scan tables.
#pragma once

#include <string>

#include "../reader/io_error.h"
#include "record.h"

namespace vantoro {

Result<ReaderRecord> open_reader(std::string path);

}  // namespace vantoro
