// Helpers for the tests of the FAT12/16, exFAT, NTFS and partition readers:
// volumes built by tests/fixtures/make_fs_volume.sh from files of random
// content, where each file's bytes lie, and what The Sleuth Kit's blkls
// calls unallocated.
#pragma once

#include "engine/chunks/chunk_helpers.h"

#include <gtest/gtest.h>

namespace fstest {

using namespace chunktest;

// A temporary folder with files of distinct random content.
class Folder {
public:
    const std::string &dir() const { return dir_.path(); }
    std::string path(const std::string &name) const { return dir_.at(name); }

    // Adds file f<i>.bin of `size` random bytes.
    void add(size_t size) {
        const size_t i = files_.size();
        Bytes b = lmrtest::random_bytes(size, uint32_t(0x5157 + i * 7919));
        std::string p = path("f" + std::to_string(i) + ".bin");
        FILE *f = fopen(p.c_str(), "wb");
        if (f) {
            fwrite(b.data(), 1, b.size(), f);
            fclose(f);
        }
        files_.push_back({p, std::move(b)});
    }
    struct File {
        std::string path;
        Bytes content;
    };
    const std::vector<File> &files() const { return files_; }

private:
    lmrtest::TempDir dir_{"lmr-fs"};
    std::vector<File> files_;
};

// Builds a volume; 77 from the script (no writer could be mounted) comes
// back as `skipped`.
inline bool build_volume(const Folder &folder, const std::string &type, const std::string &options,
                         const std::vector<int> &deleted, const std::string &image, bool *skipped) {
    std::string cmd = "'" + fixture_script("make_fs_volume.sh") + "' " + type + " " + options;
    for (int d : deleted) cmd += " -d f" + std::to_string(d) + ".bin";
    cmd += " '" + image + "'";
    for (auto &f : folder.files()) cmd += " '" + f.path + "'";
    cmd += " 2>&1";
    int status = 0;
    std::string out = run(cmd, &status);
    *skipped = WIFEXITED(status) && WEXITSTATUS(status) == 77;
    if (status != 0 && !*skipped) ADD_FAILURE() << cmd << ": " << out;
    return status == 0;
}

// Where a file's bytes lie in the image: the volumes are fresh, so every
// file is written in one piece; its first 512 bytes are looked for at
// every sector start and the rest compared.  An empty range if not found.
inline Range locate(const Bytes &image, const Bytes &content) {
    const size_t head = std::min<size_t>(512, content.size());
    for (size_t at = 0; at + content.size() <= image.size(); at += 512) {
        if (memcmp(image.data() + at, content.data(), head) == 0 &&
            memcmp(image.data() + at, content.data(), content.size()) == 0)
            return {at, at + content.size()};
    }
    return {0, 0};
}

// Unallocated units as blkls lists them, in the unit it names (sectors of
// 512 bytes, or clusters of `cluster` bytes).
inline Ranges blkls_unallocated(const std::string &image, uint64_t cluster) {
    const std::string text = run("blkls -l -A '" + image + "' 2>/dev/null");
    return blkls_ranges(text, text.find("|Sector") != std::string::npos ? 512 : cluster);
}

using lmrtest::file_size;

}  // namespace fstest
