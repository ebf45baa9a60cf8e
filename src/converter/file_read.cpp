#include "converter/file_read.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestro {

namespace {
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

std::vector<uint8_t> read_file_capped(const std::string& path, uint64_t limit,
                             const std::function<Error(uint64_t size)>& too_large,
                             size_t spare) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) throw os_error(errno);
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) throw os_error(errno);
    if (S_ISDIR(st.st_mode)) throw os_error(EISDIR);
    const uint64_t reported = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (reported > limit) throw too_large(reported);

    std::vector<uint8_t> data;
    // Regular files are read into a buffer of their size; anything else grows as it comes.
    size_t capacity = S_ISREG(st.st_mode) ? static_cast<size_t>(reported) + 1 + spare : 1 << 16;
    data.resize(capacity);
    size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (used > limit) break;
            data.resize(std::min<uint64_t>(limit + 1, static_cast<uint64_t>(data.size()) * 2));
        }
        ssize_t n = ::read(file.fd, data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw os_error(errno);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
        if (used > limit) break;
    }
    if (used > limit) throw too_large(used);
    data.resize(used);
    if (data.capacity() - used < spare) data.reserve(used + spare);
    return data;
}

}  // namespace kestro
