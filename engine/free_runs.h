// Helpers shared by the file-system readers that turn allocation maps into
// chunk lists.
#pragma once

#include "engine_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace lmr {

inline uint16_t le16(const unsigned char *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t le32(const unsigned char *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Closes an input on scope exit.
class InputHandle {
public:
    explicit InputHandle(const char *path) : f_(open_input(path)) {}
    ~InputHandle() {
        if (f_) fclose(f_);
    }
    InputHandle(const InputHandle &) = delete;
    InputHandle &operator=(const InputHandle &) = delete;

    FILE *get() const { return f_; }

private:
    FILE *f_;
};

// Size of an open input, 0 when it cannot be measured.  The position is
// left at the start.
inline uint64_t measure_input(FILE *f) {
    if (fseeko(f, 0, SEEK_END) != 0) return 0;
    off_t end = ftello(f);
    if (end <= 0 || fseeko(f, 0, SEEK_SET) != 0) return 0;
    return uint64_t(end);
}

// Reads up to `want` bytes at `offset`; whatever cannot be read is left as
// zeros.  Returns the count actually read.
inline size_t read_at(FILE *f, uint64_t offset, unsigned char *buf, size_t want) {
    for (size_t i = 0; i < want; ++i) buf[i] = 0;
    if (seek_aligned(f, offset) != 0) return 0;
    return fread(buf, 1, want, f);
}

// Cuts the chunks of `list` at byte `end` (the end of the input or of the
// volume): a run reaching past it is shortened, one starting at or past it
// is dropped.  The scan never counts bytes the input does not have.
// Returns the list, or null (and the list released) when nothing is left.
inline chunk_list *clip_chunks(chunk_list *list, uint64_t end) {
    if (!list) return nullptr;
    chunk *kept = nullptr;
    for (chunk *c = list->head; c;) {
        chunk *next = c->next;
        if (c->offset >= end) {
            if (kept) kept->next = next;
            else list->head = next;
            free(c);
        } else {
            if (c->length > end - c->offset) c->length = end - c->offset;
            kept = c;
        }
        c = next;
    }
    list->tail = kept;
    if (!list->head) {
        free(list);
        return nullptr;
    }
    return list;
}

// Collects maximal runs of free allocation units into a chunk list.  Units
// are fed in ascending order; unit u starts at byte origin + u * unit_bytes
// (the caller folds any fixed start-up shift into `origin`).
class FreeRuns {
public:
    FreeRuns(uint64_t origin, uint64_t unit_bytes) : origin_(origin), unit_(unit_bytes) {}
    ~FreeRuns() { free_chunk_list(list_); }
    FreeRuns(const FreeRuns &) = delete;
    FreeRuns &operator=(const FreeRuns &) = delete;

    void free_unit(uint64_t u) {
        if (!open_) {
            open_ = true;
            start_ = u;
        }
    }
    void used_unit(uint64_t u) {
        if (open_) emit(u);
    }
    // Closes a run still open at `end` (one past the last unit).
    void finish(uint64_t end) {
        if (open_) emit(end);
    }
    // Feeds `count` bytes of an allocation bitmap (bit set: unit in use,
    // least significant bit first) whose first bit is unit first_unit;
    // units from `limit` on are left out.
    void bitmap_bytes(const unsigned char *bytes, uint64_t count, uint64_t first_unit, uint64_t limit) {
        for (uint64_t i = 0; i < count; ++i)
            for (unsigned bit = 0; bit < 8; ++bit) {
                const uint64_t unit = first_unit + i * 8 + bit;
                if (unit >= limit) return;
                if (bytes[i] >> bit & 1) used_unit(unit);
                else free_unit(unit);
            }
    }
    // Hands the list over (null when no free run was found).
    chunk_list *take() {
        chunk_list *l = list_;
        list_ = nullptr;
        return l;
    }

private:
    void emit(uint64_t end) {
        open_ = false;
        if (end <= start_) return;
        chunk c{origin_ + start_ * unit_, (end - start_) * unit_, nullptr};
        chunk_list *l = add_chunk(list_, &c);
        if (l) list_ = l;
    }

    uint64_t origin_;
    uint64_t unit_;
    bool open_ = false;
    uint64_t start_ = 0;
    chunk_list *list_ = nullptr;
};

}  // namespace lmr
