// Hand-made FAT32 and ext volumes, laid out byte by byte.
#pragma once

#include "chunk_helpers.h"

#include <cstring>

namespace chunktest {

// A FAT32 volume: 512-byte sectors, 8 sectors per cluster, 32 reserved
// sectors, 2 FATs (of 1000 sectors unless said), and `clusters` clusters
// of data area, which end the volume and the image.
struct Fat32 {
    uint32_t bps = 512, spc = 8, reserved = 32, fats = 2, spf;
    Bytes img;

    explicit Fat32(size_t clusters = 64, uint32_t sectors_per_fat = 1000) : spf(sectors_per_fat) {
        img.assign(size_t(data_start() + clusters * spc * bps), 0);
        img[0] = 0xEB;
        img[1] = 0x58;
        img[2] = 0x90;
        put16(img, 11, uint16_t(bps));
        img[13] = uint8_t(spc);
        put16(img, 14, uint16_t(reserved));
        img[16] = uint8_t(fats);
        put32(img, 32, uint32_t(img.size() / bps));  // total sectors: the image holds the whole volume
        put32(img, 36, spf);
        memcpy(&img[82], "FAT32   ", 8);
        entry(0, 0x0FFFFFF8);
        entry(1, 0xFFFFFFFF);
    }
    uint64_t data_start() const { return uint64_t(reserved + fats * spf) * bps; }
    uint64_t entries() const { return uint64_t(spf) * bps / 4; }
    void entry(uint64_t i, uint32_t v) { put32(img, size_t(reserved * bps + i * 4), v); }
    void used(uint64_t from, uint64_t to) {
        for (uint64_t i = from; i < to; ++i) entry(i, 0x0FFFFFFF);
    }
};

// An ext volume built by hand: superblock at 1024, descriptor table at
// max(block size, 2048), bitmaps where the descriptors say.
struct Ext {
    uint32_t bs, blocks, per_group, first;
    uint32_t desc_size = 32;
    Bytes img;

    Ext(uint32_t block_size, uint32_t block_count, uint32_t blocks_per_group)
        : bs(block_size), blocks(block_count), per_group(blocks_per_group), first(block_size == 1024 ? 1 : 0) {
        img.assign(size_t(blocks) * bs, 0);
        put32(img, 1024 + 4, blocks);
        put32(img, 1024 + 20, first);
        uint32_t log = 0;
        while ((1024u << log) < bs) ++log;
        put32(img, 1024 + 24, log);
        put32(img, 1024 + 32, per_group);
        put16(img, 1024 + 56, 0xEF53);
    }
    size_t table() const { return bs > 2048 ? bs : 2048; }
    void wide_descriptors(uint16_t size) {
        desc_size = size;
        put32(img, 1024 + 0x60, 0x80);
        put16(img, 1024 + 0xFE, size);
    }
    void bitmap_at(uint32_t group, uint32_t block) { put32(img, table() + group * desc_size, block); }
    // Marks blocks used in the bitmap held at `bitmap_block`, by their index
    // within the group.
    void used(uint32_t bitmap_block, uint32_t from, uint32_t to) {
        for (uint32_t k = from; k < to; ++k) img[size_t(bitmap_block) * bs + k / 8] |= uint8_t(1u << (k % 8));
    }
};

}  // namespace chunktest
