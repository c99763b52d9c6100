#include "opening.h"

#include "../reader/open_file.h"
#include "caches.h"
#include "header.h"

namespace vantoro {

Result<ReaderRecord> open_reader(std::string path) {
    HeaderFacts facts;
    {
        auto file = OpenFile::open(path);
        if (!file) return file.error();
        auto probed = probe_header(*file);
        if (!probed) return probed.error();
        facts = probed.value();
    }
    ReaderRecord rec;
    rec.version = facts.version;
    rec.creation_time = facts.creation_time;
    rec.path = std::move(path);
    if (auto err = fill_caches(rec)) return *err;
    return rec;
}

}  // namespace vantoro
