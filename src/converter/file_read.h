#pragma once
// Reading input files: whole, within a size limit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "error.h"

namespace kestro {

// A descriptor closed when it goes out of scope.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Reads the file at `path` whole. The size the file system reports is
// checked first; since a FIFO or /dev/stdin report 0, at most limit + 1 bytes are read
// and a file that turns out larger is refused too. `too_large` makes the size error
// (given the size seen). System failures throw os_error. The buffer's capacity leaves
// `spare` bytes after the data, so that a caller can append that many without a copy.
// `opened`, when given, receives the status of the file that was opened.
std::vector<uint8_t> read_file_capped(const std::string& path, uint64_t limit,
                             const std::function<Error(uint64_t size)>& too_large,
                             size_t spare = 0, struct stat* opened = nullptr);

// An input file's bytes, read-only, for as long as anything holds them. A regular file is
// mapped, not read, so its bytes stay the page cache's and are never copied privately;
// they can also be copied to another file inside the kernel through `fd()`. Anything else
// (a pipe, a FIFO, /dev/stdin, a file whose size the system reports as 0) is read into one
// anonymous mapping that grows in place, so growing never holds two copies.
//
// A mapped file that shrinks under the mapping would kill the process on the next access to
// the lost pages. Those pages are replaced by zeros instead, and `changed()` reports it: a
// reader must not trust what it read once `changed()` is true.
// Called from the fault guard's signal handler when a SIGBUS it cannot mend (outside every
// guarded mapping, or sent by another process) is about to end the process, so that the
// writer can remove its temporary file first. Must be async-signal-safe; null for none.
void set_unguarded_bus_hook(void (*hook)());

class InputBytes {
public:
    // Sees all bytes read so far after each read of a stream (never for a mapped file), so
    // that a reader can refuse garbage as soon as it arrives instead of at the size limit.
    using Progress = std::function<void(const uint8_t* data, uint64_t size)>;

    static std::shared_ptr<const InputBytes> open(
        const std::string& path, uint64_t limit,
        const std::function<Error(uint64_t size)>& too_large, const Progress& on_data = {});

    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;
    ~InputBytes();

    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    // The open file the bytes are a view of, or -1 when they were read from a stream.
    int fd() const { return mapped_fd_; }
    // The status of the opened file when it was opened.
    const struct stat& opened() const { return seen_; }
    // True once the mapped file is no longer what was mapped: its size, modification time
    // or change time differ, or some of its pages vanished under the mapping. Never true for
    // bytes read from a stream, which are a private copy.
    bool changed() const;

private:
    InputBytes() = default;

    int fd_ = -1;         // open for the object's life
    int mapped_fd_ = -1;  // fd_ when the bytes are a map of it
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    void* map_ = nullptr;  // what to unmap
    size_t map_len_ = 0;
    int slot_ = -1;  // the fault guard's entry for a file mapping
    struct stat seen_ {};
};

}  // namespace kestro
