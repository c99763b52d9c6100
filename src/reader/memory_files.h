// Files held in memory, for the fuzz targets. A core built with
// file_memory.cpp in place of the operating system's file layer opens these
// by path text instead of files on disk; the extension module and the C++
// tests, which use real files, never do.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vantoro::memory_files {

// A file of `length` bytes: zero except where a region puts bytes. Regions
// apply in order, a later one winning where they overlap; bytes past
// `length` are not part of the file. Describing a large file by its few
// non-zero regions keeps images with data megabytes in cheap to build.
struct Image {
    std::uint64_t length = 0;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> regions;  // (offset, bytes)

    // Reads that reach past this many bytes fail with the end-of-file error
    // although `length` is what the file reports: a file that shrank after
    // it was opened.
    std::uint64_t readable = std::numeric_limits<std::uint64_t>::max();

    // When non-zero, opening succeeds but every read fails with this system
    // error number, the way reads of a directory (EISDIR) or a FIFO (ESPIPE) do.
    int read_error = 0;
};

// Makes `image` the file named `path`, replacing any earlier one. A file
// already open keeps reading the image it opened.
void put(std::string path, Image image);

// Removes the file named `path`; opening it then fails with ENOENT.
void remove(const std::string& path);

// Removes every file.
void clear();

}  // namespace vantoro::memory_files
