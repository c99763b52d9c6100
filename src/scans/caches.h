// The per-scan tables of a reader record, filled from fixed file positions
// chosen by the format version and the path markers.
#pragma once

#include "../reader/io_error.h"
#include "../reader/open_file.h"
#include "record.h"

namespace vantoro {

// Rebuilds num_scans and the six per-scan tables. Values whose position lies
// past the end of the file stay 0. On an I/O error the record is left
// exactly as it was.
Status fill_caches(ReaderRecord& rec);

// The same from a file the caller has open for the record's path.
Status fill_caches(ReaderRecord& rec, const OpenFile& file);

// fill_caches for a record whose file may have changed since it was opened
// (the initialize_caches method): a path that no longer names something the
// header can be read from, such as a directory or a FIFO, fails with the
// error the constructor's header read gets, and the record stays as it was.
Status refill_caches(ReaderRecord& rec);

}  // namespace vantoro
