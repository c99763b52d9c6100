#include "opening.h"

#include "../reader/open_file.h"
#include "caches.h"
#include "header.h"

namespace vantoro {

Result<ReaderRecord> open_reader(std::string path) {
    // One open file serves the header probe and the tables.
    auto file = OpenFile::open(path);
    if (!file) return file.error();
    auto probed = probe_header(*file);
    if (!probed) return probed.error();
    ReaderRecord rec;
    rec.version = probed->version;
    rec.creation_time = probed->creation_time;
    rec.path = std::move(path);
    if (auto err = fill_caches(rec, *file)) return *err;
    return rec;
}

}  // namespace vantoro
