// Reading input files within a size limit: streams in chunks, regular files mapped and guarded.
#include "converter/file_read.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

namespace kestro {

namespace {

// One read(2) of at most n bytes, retried when a signal interrupts it; 0 at the end.
size_t read_some(int fd, uint8_t* into, size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd, into, n);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) throw os_error(errno);
    }
}

// A stream's size is known only at its end. It is read in chunks of 1 MiB, then moved into
// one buffer of its size, each chunk freed once copied, so the text is held about once: a
// buffer doubling as it fills holds up to three times the text while it grows, and keeps
// the unused half.
std::vector<uint8_t> read_stream_capped(int fd, uint64_t limit,
                                        const std::function<Error(uint64_t size)>& too_large,
                                        size_t spare) {
    constexpr uint64_t kChunk = 1 << 20;
    std::vector<std::vector<uint8_t>> chunks;
    uint64_t used = 0;
    bool ended = false;
    // At most limit + 1 bytes are read, so a stream past the limit is seen as such.
    while (!ended && used <= limit) {
        std::vector<uint8_t> chunk(static_cast<size_t>(std::min(kChunk, limit + 1 - used)));
        size_t got = 0;
        while (got < chunk.size()) {
            const size_t n = read_some(fd, chunk.data() + got, chunk.size() - got);
            if (n == 0) {
                ended = true;
                break;
            }
            got += n;
        }
        chunk.resize(got);
        used += got;
        if (got > 0) chunks.push_back(std::move(chunk));
    }
    if (used > limit) throw too_large(used);
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(used) + spare);
    for (std::vector<uint8_t>& chunk : chunks) {
        data.insert(data.end(), chunk.begin(), chunk.end());
        std::vector<uint8_t>().swap(chunk);
    }
    return data;
}

}  // namespace

std::vector<uint8_t> read_file_capped(const std::string& path, uint64_t limit,
                             const std::function<Error(uint64_t size)>& too_large,
                             size_t spare, struct stat* opened) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) throw os_error(errno);
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) throw os_error(errno);
    if (opened != nullptr) *opened = st;
    if (S_ISDIR(st.st_mode)) throw os_error(EISDIR);
    const uint64_t reported = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (reported > limit) throw too_large(reported);

    if (!S_ISREG(st.st_mode)) return read_stream_capped(file.fd, limit, too_large, spare);
    std::vector<uint8_t> data;
    // A regular file is read into a buffer of its size, grown should it grow meanwhile.
    data.resize(static_cast<size_t>(reported) + 1 + spare);
    size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (used > limit) break;
            data.resize(std::min<uint64_t>(limit + 1, static_cast<uint64_t>(data.size()) * 2));
        }
        const size_t n = read_some(file.fd, data.data() + used, data.size() - used);
        if (n == 0) break;
        used += n;
        if (used > limit) break;
    }
    if (used > limit) throw too_large(used);
    data.resize(used);
    if (data.capacity() - used < spare) data.reserve(used + spare);
    return data;
}

namespace {

// ---- the fault guard of file mappings ----
//
// A mapped file that is truncated while mapped raises SIGBUS on the next access to a page
// past its new end. The handler below maps a page of zeros over the lost page, so that the
// access completes, and marks the mapping as damaged; the owner reports that as a changed
// file. The alternative, jumping out of the access, would skip the destructors of whatever
// code was running. The table is fixed so that the handler needs no allocation or lock;
// conversion is single-threaded, and the slots are atomics only so the handler reads whole
// values.
constexpr int kGuardSlots = 64;

struct GuardSlot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> damaged{false};
};

GuardSlot g_guard[kGuardSlots];
uintptr_t g_page_size = 4096;
std::atomic<void (*)()> g_unguarded_hook{nullptr};

void on_sigbus(int, siginfo_t* info, void*) {
    // Only a fault has an address; a SIGBUS another process sent carries its sender instead.
    const bool fault = info->si_code > 0;
    const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& slot : g_guard) {
        if (!fault) break;
        const uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
        if (begin == 0 || addr < begin || addr >= slot.end.load(std::memory_order_relaxed)) {
            continue;
        }
        void* page = reinterpret_cast<void*>(addr & ~(g_page_size - 1));
        if (::mmap(page, g_page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                   0) != MAP_FAILED) {
            slot.damaged.store(true, std::memory_order_relaxed);
            return;
        }
        break;
    }
    // Not a guarded mapping (or no page to put there): the default action, which the
    // access that faulted meets again when this returns (or a sender's SIGBUS, raised again).
    if (void (*hook)() = g_unguarded_hook.load(std::memory_order_relaxed)) hook();
    ::signal(SIGBUS, SIG_DFL);
    if (!fault) ::raise(SIGBUS);
}

int guard_mapping(const void* base, size_t len) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        if (const long page = ::sysconf(_SC_PAGESIZE); page > 0) {
            g_page_size = static_cast<uintptr_t>(page);
        }
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGBUS, &sa, nullptr);
    });
    for (int i = 0; i < kGuardSlots; ++i) {
        GuardSlot& slot = g_guard[i];
        if (slot.begin.load() != 0) continue;
        const auto b = reinterpret_cast<uintptr_t>(base);
        slot.damaged.store(false);
        slot.end.store(b + len);
        slot.begin.store(b);
        return i;
    }
    return -1;
}

void release_guard(int i) {
    if (i < 0) return;
    g_guard[i].begin.store(0);
    g_guard[i].end.store(0);
}

}  // namespace

void set_unguarded_bus_hook(void (*hook)()) { g_unguarded_hook.store(hook); }

std::shared_ptr<const InputBytes> InputBytes::open(const std::string& path, uint64_t limit,
                                                   const std::function<Error(uint64_t)>& too_large,
                                                   const Progress& on_data) {
    std::shared_ptr<InputBytes> in(new InputBytes());
    in->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in->fd_ < 0) throw os_error(errno);
    if (::fstat(in->fd_, &in->seen_) != 0) throw os_error(errno);
    if (S_ISDIR(in->seen_.st_mode)) throw os_error(EISDIR);
    const uint64_t reported = in->seen_.st_size > 0 ? static_cast<uint64_t>(in->seen_.st_size) : 0;
    if (reported > limit) throw too_large(reported);

    if (S_ISREG(in->seen_.st_mode) && reported > 0) {
        void* map = ::mmap(nullptr, static_cast<size_t>(reported), PROT_READ, MAP_SHARED, in->fd_, 0);
        if (map != MAP_FAILED) {
            in->map_ = map;
            in->map_len_ = static_cast<size_t>(reported);
            in->slot_ = guard_mapping(map, in->map_len_);
            if (in->slot_ >= 0) {
                in->data_ = static_cast<const uint8_t*>(map);
                in->size_ = reported;
                in->mapped_fd_ = in->fd_;
                return in;
            }
            // No guard left: an unguarded mapping could crash, so read the file instead.
            ::munmap(map, in->map_len_);
            in->map_ = nullptr;
            in->map_len_ = 0;
        }
        // A file system that cannot map the file: read it like a stream.
    }

    // A stream, read into an anonymous mapping. Growing it moves pages, never bytes, so the
    // buffer is never held twice; pages not yet written take no memory. Huge pages and a
    // pipe of 1 MiB make a large stream cost a fault and a wake-up per megabyte rather than
    // per page (491 MiB through a pipe: 0.75 s -> 0.2 s); both are hints, refused quietly.
    size_t cap = size_t{1} << 20;
    void* map = ::mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    // Memory exhausted here is kestro's own, reported as any failed allocation is.
    if (map == MAP_FAILED) {
        if (errno == ENOMEM) throw std::bad_alloc();
        throw os_error(errno);
    }
    in->map_ = map;
    in->map_len_ = cap;
    if (S_ISFIFO(in->seen_.st_mode)) {
        const int pipe_size = ::fcntl(in->fd_, F_GETPIPE_SZ);
        if (pipe_size >= 0 && pipe_size < (1 << 20)) ::fcntl(in->fd_, F_SETPIPE_SZ, 1 << 20);
    }
    uint64_t used = 0;
    for (;;) {
        if (used == cap) {
            if (used > limit) break;
            // At most limit + 1 bytes are ever read, so a file past the limit is seen as such.
            const uint64_t want = std::min<uint64_t>(limit + 1, static_cast<uint64_t>(cap) * 2);
            const size_t next = static_cast<size_t>(std::max<uint64_t>(want, cap + 1));
            void* moved = ::mremap(in->map_, in->map_len_, next, MREMAP_MAYMOVE);
            if (moved == MAP_FAILED) {
                if (errno == ENOMEM) throw std::bad_alloc();
                throw os_error(errno);
            }
            in->map_ = moved;
            in->map_len_ = cap = next;
            ::madvise(moved, cap, MADV_HUGEPAGE);
        }
        auto* base = static_cast<uint8_t*>(in->map_);
        const size_t n = read_some(in->fd_, base + used, static_cast<size_t>(cap - used));
        if (n == 0) break;
        used += n;
        if (used > limit) break;
        if (on_data) on_data(base, used);
    }
    if (used > limit) throw too_large(used);
    ::mprotect(in->map_, in->map_len_, PROT_READ);
    in->data_ = static_cast<const uint8_t*>(in->map_);
    in->size_ = used;
    return in;
}

InputBytes::~InputBytes() {
    if (map_ != nullptr) ::munmap(map_, map_len_);
    release_guard(slot_);
    if (fd_ >= 0) ::close(fd_);
}

bool InputBytes::changed() const {
    if (mapped_fd_ < 0) return false;
    if (slot_ >= 0 && g_guard[slot_].damaged.load()) return true;
    struct stat now {};
    if (::fstat(mapped_fd_, &now) != 0) return true;
    return now.st_size != seen_.st_size || now.st_mtim.tv_sec != seen_.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != seen_.st_mtim.tv_nsec ||
           now.st_ctim.tv_sec != seen_.st_ctim.tv_sec ||
           now.st_ctim.tv_nsec != seen_.st_ctim.tv_nsec;
}

}  // namespace kestro
