#pragma once
// Reading an input file whole, within a size limit.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "error.h"

namespace kestro {

// Reads the file at `path` whole. The size the file system reports is
// checked first; since a FIFO or /dev/stdin report 0, at most limit + 1 bytes are read
// and a file that turns out larger is refused too. `too_large` makes the size error
// (given the size seen). System failures throw os_error. The buffer's capacity leaves
// `spare` bytes after the data, so that a caller can append that many without a copy.
std::vector<uint8_t> read_file_capped(const std::string& path, uint64_t limit,
                             const std::function<Error(uint64_t size)>& too_large,
                             size_t spare = 0);

}  // namespace kestro
