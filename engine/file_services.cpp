// Positioning and the two file services on a found byte range.
#include "engine_internal.h"
#include "scan_driver.h"

#include <openssl/evp.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE_FLAG 1u
#else
#define RENAME_NOREPLACE_FLAG RENAME_NOREPLACE
#endif

extern "C" {

int seek_aligned(FILE *file, uint64_t offset) {
    if (!file) return -1;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0) return 0;
    // Some raw devices refuse unaligned positions: seek to the sector and
    // read the remainder away.
    off_t aligned = static_cast<off_t>(offset / 512 * 512);
    if (fseeko(file, aligned, SEEK_SET) != 0) return -1;
    size_t rest = static_cast<size_t>(offset % 512);
    unsigned char scratch[512];
    if (rest && fread(scratch, 1, rest, file) != rest) return -1;
    return 0;
}

namespace {

// Bytes copied at a time: large pieces keep an export near the speed of a
// plain copy of the same bytes.
constexpr size_t k_copy_piece = size_t(1) << 20;

// While held, a write that crosses the process's file-size limit fails with
// EFBIG instead of ending the process with SIGXFSZ: one export too large for
// the limit must not take the run (and every find after it) with it.  The
// signal is blocked for the calling thread only and, when the limit was hit,
// taken off the thread's pending signals before the old mask comes back.
class FileSizeSignalHeld {
public:
    FileSizeSignalHeld() {
        sigset_t xfsz;
        sigemptyset(&xfsz);
        sigaddset(&xfsz, SIGXFSZ);
        held_ = pthread_sigmask(SIG_BLOCK, &xfsz, &previous_) == 0;
    }
    ~FileSizeSignalHeld() {
        if (!held_) return;
        const int err = errno;  // the export's reason stays
        sigset_t pending;
        if (!sigismember(&previous_, SIGXFSZ) && sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ)) {
            sigset_t xfsz;
            sigemptyset(&xfsz);
            sigaddset(&xfsz, SIGXFSZ);
            struct timespec now = {0, 0};
            while (sigtimedwait(&xfsz, nullptr, &now) == SIGXFSZ) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = err;
    }
    FileSizeSignalHeld(const FileSizeSignalHeld &) = delete;
    FileSizeSignalHeld &operator=(const FileSizeSignalHeld &) = delete;

private:
    sigset_t previous_;
    bool held_ = false;
};

}  // namespace

}  // extern "C"

namespace {

int64_t pread_once(int fd, void *buf, uint64_t count, uint64_t offset);

// Reads `want` bytes at `offset` with positional reads: exactly the bytes
// asked for, none around them, so a bad sector next to a range does not
// fail it.  Returns the bytes delivered; short at the end of the input, and
// on a read error (errno set, *failed true).
uint64_t read_exact(int fd, unsigned char *buf, uint64_t want, uint64_t offset, bool *failed) {
    uint64_t done = 0;
    if (failed) *failed = false;
    if (offset > uint64_t(INT64_MAX) || want > uint64_t(INT64_MAX) - offset) {
        errno = EINVAL;
        if (failed) *failed = true;
        return 0;
    }
    while (done < want) {
        uint64_t ask = want - done;
        if (ask > (1u << 30)) ask = 1u << 30;
        const int64_t n = pread_once(fd, buf + done, ask, offset + done);
        if (n > 0) {
            done += uint64_t(n);
            continue;
        }
        if (n < 0 && failed) *failed = true;
        break;
    }
    return done;
}

// Writes all of `buf`; false (errno set) when a write fails or transfers
// nothing.
bool write_all(int fd, const unsigned char *buf, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        buf += w;
        n -= size_t(w);
    }
    return true;
}

// Total length of the runs; false when it overflows or there are none.
bool runs_length(const r_run *runs, int32_t count, uint64_t *length) {
    if (!runs || count <= 0) return false;
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (runs[i].length > UINT64_MAX - total) return false;
        total += runs[i].length;
    }
    *length = total;
    return true;
}

// Copies the runs' bytes, one after the other, from the input `in_fd` to
// `out_fd`, feeding `digest` (when given) with the same bytes on the way.
// Returns 0, 1 (the input could not be read) or 3 (writing failed), errno
// set on failure.
int copy_runs(int in_fd, const r_run *runs, int32_t count, uint64_t length, int out_fd, EVP_MD_CTX *digest) {
    unsigned char small[4096];
    size_t piece = length < k_copy_piece ? static_cast<size_t>(length) : k_copy_piece;
    unsigned char *buf = piece > sizeof small ? static_cast<unsigned char *>(malloc(piece)) : nullptr;
    if (!buf) {
        buf = small;
        piece = sizeof small;
    }
    int status = 0;
    for (int32_t r = 0; r < count && status == 0; ++r) {
        uint64_t at = runs[r].offset;
        uint64_t remaining = runs[r].length;
        while (remaining > 0) {
            const size_t want = remaining < piece ? static_cast<size_t>(remaining) : piece;
            bool failed = false;
            const uint64_t got = read_exact(in_fd, buf, want, at, &failed);
            if (got < want) {
                if (!failed) errno = 0;  // the input ends before the find does
                status = 1;
                break;
            }
            if (digest && EVP_DigestUpdate(digest, buf, want) != 1) {
                errno = ENOMEM;
                status = 3;
                break;
            }
            if (!write_all(out_fd, buf, want)) {
                status = 3;
                break;
            }
            at += want;
            remaining -= want;
        }
    }
    const int err = errno;
    if (buf != small) free(buf);
    errno = err;
    return status;
}

// Copies the runs' bytes, one after the other, into a new file `dst`.
int export_runs(const char *src, const r_run *runs, int32_t count, const char *dst) {
    if (!src || !dst) return src ? 2 : 1;
    uint64_t length = 0;
    if (!runs_length(runs, count, &length)) return 1;
    FILE *in = lmr::open_input(src);
    if (!in) return 1;
    FileSizeSignalHeld hold_xfsz;
    const int out = ::open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const int err = errno;
        fclose(in);
        errno = err;
        return 2;
    }
    int status = copy_runs(lmr::input_fd(in), runs, count, length, out, nullptr);
    int err = errno;
    fclose(in);
    // A failure reported by close (delayed write error) is a failed export too.
    if (::close(out) != 0 && status == 0) {
        err = errno;
        status = 3;
    }
    if (status == 3) ::unlink(dst);
    errno = err;
    return status;
}

// The temporary files of the exports under way that have a name (where the
// file system cannot make anonymous ones), for general_file_export_abandon,
// which a signal handler may call: fixed slots and lock-free flags only.
constexpr int k_temp_slots = 32;
constexpr size_t k_temp_path_max = 4096;
enum { slot_free = 0, slot_filling = 1, slot_used = 2 };
struct TempSlot {
    std::atomic<int> state{slot_free};
    char path[k_temp_path_max];
};
TempSlot temp_slots[k_temp_slots];
static_assert(std::atomic<int>::is_always_lock_free, "the slots are read in signal handlers");

int claim_temp_slot(const char *dir, const char *name) {
    const size_t dl = strlen(dir), nl = strlen(name);
    if (dl + 1 + nl + 1 > k_temp_path_max) return -1;
    for (int i = 0; i < k_temp_slots; ++i) {
        int expected = slot_free;
        if (temp_slots[i].state.compare_exchange_strong(expected, slot_filling)) {
            memcpy(temp_slots[i].path, dir, dl);
            temp_slots[i].path[dl] = '/';
            memcpy(temp_slots[i].path + dl + 1, name, nl + 1);
            temp_slots[i].state.store(slot_used);
            return i;
        }
    }
    return -1;
}

void release_temp_slot(int slot) {
    if (slot >= 0) temp_slots[slot].state.store(slot_free);
}

std::atomic<unsigned> temp_sequence{0};
std::atomic<int> named_temp_only{0};

// Creates a temporary file in the folder `dfd` that no existing name can
// stand in for: an anonymous file where the file system has them, else a
// new name created exclusively, never through a link.  `temp_name` gets the
// name ("" for an anonymous file).  -1 with errno when none can be made.
int create_temp(int dfd, const char *name, char *temp_name, size_t temp_size) {
    temp_name[0] = '\0';
#ifdef O_TMPFILE
    if (!named_temp_only.load()) {
        const int fd = ::openat(dfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0) return fd;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return -1;
    }
#endif
    for (int attempt = 0; attempt < 64; ++attempt) {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const unsigned tag = unsigned(now.tv_nsec) ^ (temp_sequence.fetch_add(1) * 2654435761u);
        const int n = snprintf(temp_name, temp_size, ".%.180s.%d.%08x.part", name, int(getpid()), tag);
        if (n < 0 || size_t(n) >= temp_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = ::openat(dfd, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// The k-th name to try for `name`: the name itself, then "STEM (k).EXT".
bool candidate_name(const char *name, unsigned k, char *out, size_t out_size) {
    int n;
    if (k == 0) {
        n = snprintf(out, out_size, "%s", name);
    } else {
        const char *dot = strrchr(name, '.');
        if (!dot || dot == name) dot = name + strlen(name);
        n = snprintf(out, out_size, "%.*s (%u)%s", int(dot - name), name, k, dot);
    }
    return n > 0 && size_t(n) < out_size && size_t(n) <= NAME_MAX;
}

int rename_noreplace(int dfd, const char *from, const char *to) {
#ifdef SYS_renameat2
    return int(syscall(SYS_renameat2, dfd, from, dfd, to, RENAME_NOREPLACE_FLAG));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// Gives the finished temporary file `fd` (named `temp_name`, or anonymous)
// the name `final_name` in `dfd` without replacing or following anything
// there.  0, or -1 with errno (EEXIST: the name is taken).
int place_file(int dfd, int fd, const char *temp_name, const char *final_name) {
    if (!temp_name[0]) {
        // An anonymous file gets its first name by linkat, which never
        // replaces: through the descriptor where rights allow, else
        // through its entry in /proc.
        if (::linkat(fd, "", dfd, final_name, AT_EMPTY_PATH) == 0) return 0;
        if (errno == EEXIST) return -1;
        char proc[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        return ::linkat(AT_FDCWD, proc, dfd, final_name, AT_SYMLINK_FOLLOW);
    }
    if (rename_noreplace(dfd, temp_name, final_name) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    // No rename without replace here: a second name, then the temporary
    // one goes.
    if (::linkat(dfd, temp_name, dfd, final_name, 0) == 0) {
        ::unlinkat(dfd, temp_name, 0);
        return 0;
    }
    if (errno == EEXIST) return -1;
    // No hard links either (FAT): the final name is taken first by an
    // exclusive create, and the rename then replaces only that new empty
    // file of ours.
    const int holder = ::openat(dfd, final_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (holder < 0) return -1;
    ::close(holder);
    if (::renameat(dfd, temp_name, dfd, final_name) == 0) return 0;
    const int err = errno;
    ::unlinkat(dfd, final_name, 0);
    errno = err;
    return -1;
}

// The longest run of taken names tried before giving up.
constexpr unsigned k_max_name_tries = 100000;

int export_into(const char *src, const r_run *runs, int32_t count, const char *dir, const char *name, char *written,
                size_t written_size, unsigned char *sha256) {
    if (written && written_size) written[0] = '\0';
    if (!src) return 1;
    if (!dir || !name || !name[0] || strchr(name, '/') || !strcmp(name, ".") || !strcmp(name, "..")) {
        errno = EINVAL;
        return 2;
    }
    uint64_t length = 0;
    if (!runs_length(runs, count, &length)) return 1;
    FILE *in = lmr::open_input(src);
    if (!in) return 1;
    const int dfd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        const int err = errno;
        fclose(in);
        errno = err;
        return 2;
    }
    FileSizeSignalHeld hold_xfsz;
    char temp_name[NAME_MAX + 1];
    const int out = create_temp(dfd, name, temp_name, sizeof temp_name);
    if (out < 0) {
        const int err = errno;
        fclose(in);
        ::close(dfd);
        errno = err;
        return 2;
    }
    const int slot = temp_name[0] ? claim_temp_slot(dir, temp_name) : -1;
    EVP_MD_CTX *digest = nullptr;
    if (sha256) {
        digest = EVP_MD_CTX_new();
        if (!digest || EVP_DigestInit_ex(digest, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(digest);
            digest = nullptr;
        }
    }
    int status = sha256 && !digest ? 3 : copy_runs(lmr::input_fd(in), runs, count, length, out, digest);
    int err = errno;
    fclose(in);
    if (status == 0 && digest) {
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(digest, sha256, &n) != 1 || n != 32) {
            err = EIO;
            status = 3;
        }
    }
    EVP_MD_CTX_free(digest);
    char final_name[NAME_MAX + 1];
    if (status == 0) {
        bool placed = false;
        for (unsigned k = 0; k < k_max_name_tries && !placed; ++k) {
            if (!candidate_name(name, k, final_name, sizeof final_name)) {
                err = ENAMETOOLONG;
                break;
            }
            if (place_file(dfd, out, temp_name, final_name) == 0) {
                placed = true;
                break;
            }
            err = errno;
            if (err != EEXIST) break;
        }
        if (!placed) status = 2;
    }
    // A failure reported by close (delayed write error) is a failed export
    // too; the file then goes again.
    if (::close(out) != 0 && status == 0) {
        err = errno;
        status = 3;
        ::unlinkat(dfd, final_name, 0);
    }
    if (status != 0 && temp_name[0]) ::unlinkat(dfd, temp_name, 0);
    release_temp_slot(slot);
    ::close(dfd);
    if (status == 0 && written && written_size) snprintf(written, written_size, "%s", final_name);
    errno = err;
    return status;
}

}  // namespace

extern "C" {

int general_file_export(const char *src, uint64_t offset, uint64_t length, const char *dst) {
    const r_run whole{offset, length};
    return export_runs(src, &whole, 1, dst);
}

int general_file_export_runs(const char *src, const r_run *runs, int32_t count, const char *dst) {
    return export_runs(src, runs, count, dst);
}

int general_file_export_into(const char *src, const r_run *runs, int32_t count, const char *dir, const char *name,
                             char *written, size_t written_size, unsigned char *sha256) {
    return export_into(src, runs, count, dir, name, written, written_size, sha256);
}

int set_export_named_temp(int on) { return named_temp_only.exchange(on ? 1 : 0); }

void general_file_export_abandon(void) {
    for (TempSlot &slot : temp_slots)
        if (slot.state.load() == slot_used) ::unlink(slot.path);
}

int general_file_read(const char *src, uint64_t offset, int32_t length, void *buffer) {
    if (!src || !buffer || length <= 0) return 0;
    FILE *in = lmr::open_input(src);
    if (!in) return 0;
    if (offset > uint64_t(INT64_MAX)) {
        lmr::diag("general_file_read: seek failed");
        fclose(in);
        return 0;
    }
    const uint64_t got =
        read_exact(lmr::input_fd(in), static_cast<unsigned char *>(buffer), uint64_t(length), offset, nullptr);
    fclose(in);
    return static_cast<int>(got);
}

int general_file_read_runs(const char *src, const r_run *runs, int32_t count, uint64_t offset, int32_t length,
                           void *buffer) {
    if (!src || !runs || count <= 0 || !buffer || length <= 0) return 0;
    FILE *in = lmr::open_input(src);
    if (!in) return 0;
    const int fd = lmr::input_fd(in);
    auto *out = static_cast<unsigned char *>(buffer);
    uint64_t delivered = 0;
    uint64_t at = 0;  // file offset of run r's first byte
    for (int32_t r = 0; r < count && delivered < uint64_t(length); ++r) {
        const uint64_t run_end = at + runs[r].length;
        const uint64_t want_from = offset + delivered;
        if (run_end > want_from) {
            const uint64_t skip = want_from - at;
            uint64_t n = runs[r].length - skip;
            if (n > uint64_t(length) - delivered) n = uint64_t(length) - delivered;
            if (runs[r].offset > UINT64_MAX - skip) break;
            const uint64_t got = read_exact(fd, out + delivered, n, runs[r].offset + skip, nullptr);
            delivered += got;
            if (got < n) break;
        }
        if (runs[r].length > UINT64_MAX - at) break;
        at = run_end;
    }
    fclose(in);
    return static_cast<int>(delivered);
}

static input_pread_fn input_pread = nullptr;

input_pread_fn set_input_pread(input_pread_fn fn) {
    input_pread_fn previous = input_pread;
    input_pread = fn;
    return previous;
}

}  // extern "C"

namespace {
int64_t pread_once(int fd, void *buf, uint64_t count, uint64_t offset) {
    for (;;) {
        int64_t n = input_pread ? input_pread(fd, buf, count, offset)
                                : int64_t(::pread(fd, buf, size_t(count), off_t(offset)));
        if (n >= 0 || errno != EINTR) return n;
    }
}
}  // namespace

namespace {

// read_input_range; with `marks`, each unreadable sector is also noted as
// a run of the scan window, which `buffer` lies in.
uint64_t read_range(FILE *file, uint64_t offset, unsigned char *buffer, uint64_t want, uint64_t *bad_sectors,
                    lmr::window_marks *marks) {
    if (!file || !buffer || want == 0) return 0;
    const int fd = lmr::input_fd(file);
    uint64_t done = 0;
    while (done < want) {
        uint64_t ask = want - done;
        if (ask > (1u << 30)) ask = 1u << 30;
        int64_t n = pread_once(fd, buffer + done, ask, offset + done);
        if (n > 0) {
            done += uint64_t(n);
            continue;
        }
        if (n == 0) return done;  // end of input
        break;                    // a read error: go on sector by sector
    }
    // One bad sector costs its 512 bytes, not the rest of the window: the
    // range is taken again in sector-sized pieces, unreadable ones read as
    // zeros and are counted.
    while (done < want) {
        uint64_t abs = offset + done;
        uint64_t piece = 512 - abs % 512;
        if (piece > want - done) piece = want - done;
        int64_t n = pread_once(fd, buffer + done, piece, abs);
        if (n == int64_t(piece)) {
            done += piece;
            continue;
        }
        if (n >= 0) return done + uint64_t(n);  // end of input
        memset(buffer + done, 0, size_t(piece));
        if (marks) marks->mark(uint64_t(buffer - marks->window) + done, piece);
        done += piece;
        if (bad_sectors) ++*bad_sectors;
    }
    return done;
}

}  // namespace

extern "C" uint64_t read_input_range(FILE *file, uint64_t offset, unsigned char *buffer, uint64_t want,
                          uint64_t *bad_sectors) {
    return read_range(file, offset, buffer, want, bad_sectors, nullptr);
}

uint64_t lmr::read_window_range(FILE *file, uint64_t offset, window_marks &marks, unsigned char *window,
                                uint64_t window_offset, uint64_t want, uint64_t *bad_sectors) {
    return read_range(file, offset, window + window_offset, want, bad_sectors, &marks);
}
