// Positioning and the two file services on a found byte range.
#include "engine_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

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

// Copies the runs' bytes, one after the other, into a new file `dst`.
int export_runs(const char *src, const r_run *runs, int32_t count, const char *dst) {
    if (!src || !dst) return src ? 2 : 1;
    if (!runs || count <= 0) return 1;
    uint64_t length = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (runs[i].length > UINT64_MAX - length) return 1;
        length += runs[i].length;
    }
    FILE *in = lmr::open_input(src);
    if (!in) return 1;
    if (seek_aligned(in, runs[0].offset) != 0) {
        fclose(in);
        return 1;
    }
    FileSizeSignalHeld hold_xfsz;
    FILE *out = fopen(dst, "wb");
    if (!out) {
        int err = errno;
        fclose(in);
        errno = err;
        return 2;
    }
    // Writes go straight from our buffer to the file (reads of a piece this
    // size bypass the stream's buffer as well).
    setvbuf(out, nullptr, _IONBF, 0);
    unsigned char small[1024];
    size_t piece = length < k_copy_piece ? static_cast<size_t>(length) : k_copy_piece;
    unsigned char *buf = piece > sizeof small ? static_cast<unsigned char *>(malloc(piece)) : nullptr;
    if (!buf) {
        buf = small;
        piece = sizeof small;
    }
    int status = 0;
    int err = 0;
    for (int32_t r = 0; r < count && status == 0; ++r) {
        if (r > 0 && seek_aligned(in, runs[r].offset) != 0) {
            err = errno;
            status = 1;
            break;
        }
        uint64_t remaining = runs[r].length;
        while (remaining > 0) {
            size_t want = remaining < piece ? static_cast<size_t>(remaining) : piece;
            size_t got = fread(buf, 1, want, in);
            if (got == 0) {
                err = ferror(in) ? errno : 0;
                status = 1;
                break;
            }
            size_t written = 0;
            while (written < got) {
                size_t w = fwrite(buf + written, 1, got - written, out);
                if (w == 0) break;
                written += w;
            }
            if (written < got) {
                err = errno;
                status = 3;
                break;
            }
            remaining -= got;
        }
    }
    if (buf != small) free(buf);
    fclose(in);
    if (status == 0 && fflush(out) != 0) {
        err = errno;
        status = 3;
    }
    // A failure reported by close (delayed write error) is a failed export too.
    if (fclose(out) != 0 && status == 0) {
        err = errno;
        status = 3;
    }
    if (status == 3) remove(dst);
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

int general_file_read(const char *src, uint64_t offset, int32_t length, void *buffer) {
    if (!src || !buffer || length <= 0) return 0;
    FILE *in = lmr::open_input(src);
    if (!in) return 0;
    if (seek_aligned(in, offset) != 0) {
        lmr::diag("general_file_read: seek failed");
        fclose(in);
        return 0;
    }
    size_t got = fread(buffer, 1, static_cast<size_t>(length), in);
    fclose(in);
    return static_cast<int>(got);
}

int general_file_read_runs(const char *src, const r_run *runs, int32_t count, uint64_t offset, int32_t length,
                           void *buffer) {
    if (!src || !runs || count <= 0 || !buffer || length <= 0) return 0;
    FILE *in = lmr::open_input(src);
    if (!in) return 0;
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
            if (runs[r].offset > UINT64_MAX - skip || seek_aligned(in, runs[r].offset + skip) != 0) break;
            const size_t got = fread(out + delivered, 1, size_t(n), in);
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

static int64_t pread_once(int fd, void *buf, uint64_t count, uint64_t offset) {
    for (;;) {
        int64_t n = input_pread ? input_pread(fd, buf, count, offset)
                                : int64_t(::pread(fd, buf, size_t(count), off_t(offset)));
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // extern "C"

namespace {

// read_input_range; with `window`, each unreadable sector is also noted as
// a run of the scan window, which `buffer` lies in.
uint64_t read_range(FILE *file, uint64_t offset, unsigned char *buffer, uint64_t want, uint64_t *bad_sectors,
                    const unsigned char *window) {
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
        if (window) lmr::unreadable_run(uint64_t(buffer - window) + done, piece);
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

uint64_t lmr::read_window_range(FILE *file, uint64_t offset, unsigned char *window, uint64_t window_offset,
                                uint64_t want, uint64_t *bad_sectors) {
    return read_range(file, offset, window + window_offset, want, bad_sectors, window);
}
