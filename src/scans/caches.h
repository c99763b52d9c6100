// The per-scan tables of a reader record, filled from fixed file positions
// chosen by the format version and the path markers.
#pragma once

#include "../reader/io_error.h"
#include "../reader/record.h"

namespace vantoro {

// Rebuilds num_scans and the six per-scan tables. Values whose position lies
// past the end of the file stay 0. On an I/O error the record is left
// exactly as it was.
Status fill_caches(ReaderRecord& rec);

}  // namespace vantoro
