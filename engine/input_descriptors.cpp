// Inputs read through a descriptor instead of by path.
//
// A desktop user may not open a disk's device file, but the system's disk
// service can hand over a read-only descriptor of it.  A descriptor
// registered for a path stands in for that path wherever the engine opens
// an input: the scan, the file-system readers, the probes' readers and the
// export and read services.  Each of those opens gets a stream of its own
// over a duplicate of the descriptor.  Duplicates share one file offset, so
// the streams never use it: each keeps its own position and reads with
// pread, and a thumbnail read on another thread cannot move the scan's
// reader, nor the other way round.
#include "engine_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex registry_lock;
std::map<std::string, int> registered;  // path -> the engine's own duplicate
std::map<FILE *, int> descriptor_streams;  // open streams -> their descriptor

struct positional {
    int fd;
    off64_t position;
    FILE *file;
};

ssize_t positional_read(void *cookie, char *buffer, size_t size) {
    auto *p = static_cast<positional *>(cookie);
    for (;;) {
        ssize_t n = ::pread(p->fd, buffer, size, p->position);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) p->position += n;
        return n;
    }
}

// The input's size without touching the shared offset.
off64_t input_end(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0 || bytes > uint64_t(INT64_MAX)) return -1;
        return off64_t(bytes);
    }
    return off64_t(st.st_size);
}

int positional_seek(void *cookie, off64_t *offset, int whence) {
    auto *p = static_cast<positional *>(cookie);
    off64_t from = 0;
    if (whence == SEEK_CUR) {
        from = p->position;
    } else if (whence == SEEK_END) {
        from = input_end(p->fd);
        if (from < 0) return -1;
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if ((*offset > 0 && from > INT64_MAX - *offset) || from + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    p->position = from + *offset;
    *offset = p->position;
    return 0;
}

int positional_close(void *cookie) {
    auto *p = static_cast<positional *>(cookie);
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        descriptor_streams.erase(p->file);
    }
    int r = ::close(p->fd);
    delete p;
    return r;
}

// A read-only stream over a new duplicate of `fd`, positioned at 0.
FILE *open_positional(int fd) {
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return nullptr;
    auto *p = new positional{own, 0, nullptr};
    FILE *f = lmr::open_read_only_stream(p, positional_read, positional_seek, positional_close);
    if (!f) {
        const int err = errno;
        ::close(own);
        delete p;
        errno = err;
        return nullptr;
    }
    p->file = f;
    std::lock_guard<std::mutex> hold(registry_lock);
    descriptor_streams[f] = own;
    return f;
}

}  // namespace

namespace lmr {

FILE *open_read_only_stream(void *cookie, cookie_read_function_t *read, cookie_seek_function_t *seek,
                            cookie_close_function_t *close) {
    cookie_io_functions_t io{};
    io.read = read;
    io.write = nullptr;  // inputs are never written
    io.seek = seek;
    io.close = close;
    return fopencookie(cookie, "rb", io);
}

FILE *open_input(const char *path) {
    if (!path) return nullptr;
    {
        std::unique_lock<std::mutex> hold(registry_lock);
        auto it = registered.find(path);
        if (it != registered.end()) {
            const int fd = it->second;
            // Duplicated under the lock: a concurrent forget cannot close
            // it in between.
            const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            hold.unlock();
            if (copy < 0) return nullptr;
            FILE *f = open_positional(copy);
            const int err = errno;
            ::close(copy);
            errno = err;
            return f;
        }
    }
    return fopen(path, "rb");
}

int64_t input_size_now(int fd) { return fd < 0 ? -1 : int64_t(input_end(fd)); }

int input_fd(FILE *file) {
    if (!file) return -1;
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        auto it = descriptor_streams.find(file);
        if (it != descriptor_streams.end()) return it->second;
    }
    return fileno(file);
}

}  // namespace lmr

extern "C" {

int register_input_descriptor(const char *path, int fd) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    if (strlen(path) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Only something with a size the scan can rely on.
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    if ((flags & O_ACCMODE) == O_WRONLY) {
        errno = EBADF;
        return -1;
    }
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return -1;
    int old = -1;
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        auto it = registered.find(path);
        if (it != registered.end()) old = it->second;
        registered[path] = own;
    }
    if (old >= 0) ::close(old);
    return 0;
}

void forget_input_descriptor(const char *path) {
    std::vector<int> closing;
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        if (!path) {
            for (const auto &entry : registered) closing.push_back(entry.second);
            registered.clear();
        } else {
            auto it = registered.find(path);
            if (it != registered.end()) {
                closing.push_back(it->second);
                registered.erase(it);
            }
        }
    }
    for (int fd : closing) ::close(fd);
}

int has_input_descriptor(const char *path) {
    if (!path) return 0;
    std::lock_guard<std::mutex> hold(registry_lock);
    return registered.count(path) ? 1 : 0;
}

void general_file_start_fd(int fd, const char *display_path, const char *suffixs, const char *fs_type,
                           uint64_t total_bytes) {
    if (display_path && strlen(display_path) < PATH_MAX && register_input_descriptor(display_path, fd) != 0) {
        const int err = errno;
        lmr::diag("cannot read %s through descriptor %d, %s", display_path, fd, strerror(err));
        lmr::set_run_outcome(LMR_RUN_CANNOT_OPEN, err);
        return;
    }
    // A missing or overlong path is refused by the run itself.
    general_file_start(display_path, suffixs, fs_type, total_bytes);
}

}  // extern "C"
