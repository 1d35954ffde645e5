// Inputs read through a registered descriptor: the scan, the file-system
// reader, the probes' reader and the file services all read the descriptor
// under the name it was registered for, never the path.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace lmrtest;

namespace {

struct Find {
    uint64_t offset, length;
    std::string suffix, path;
    bool operator<(const Find &o) const { return std::tie(offset, length, suffix) < std::tie(o.offset, o.length, o.suffix); }
};

void collect(void *ctx, r_info *info) {
    static_cast<std::vector<Find> *>(ctx)->push_back({info->offset, info->length, info->suffix, info->path});
}

// An open read-only descriptor, closed when the object goes.
struct Fd {
    int fd;
    explicit Fd(const std::string &path, int flags = O_RDONLY) : fd(::open(path.c_str(), flags | O_CLOEXEC)) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

const char *const kNowhere = "/nonexistent-lmr/card";
const char *const kTypes = "jpg,png,gif,bmp,docx,pptx,xlsx,doc,ppt,xls,pdf,sqlite,mp4,avi,mov,3gp,mp3,amr,wav,zip,rar";

struct Forget {
    ~Forget() { forget_input_descriptor(nullptr); }
};

}  // namespace

TEST(InputDescriptor, AScanThroughADescriptorFindsWhatAScanOfThePathFinds) {
    TempDir dir("lmr-fd");
    const std::string image = dir.at("demo.img");
    if (!make_demo_volume(image)) GTEST_SKIP() << "mkfs.vfat or mtools missing (scripts/setup installs them)";
    Forget forget;

    std::vector<Find> by_path, by_fd;
    set_callbacks(&by_path, collect, nullptr, nullptr);
    general_file_start(image.c_str(), kTypes, "vfat", 0);
    ASSERT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
    ASSERT_GT(by_path.size(), 10u);

    // The path the finds report does not exist: only the descriptor can be
    // read, by the free-space reader as by the scan and the probes.
    {
        Fd fd(image);
        ASSERT_GE(fd.fd, 0);
        set_callbacks(&by_fd, collect, nullptr, nullptr);
        general_file_start_fd(fd.fd, kNowhere, kTypes, "vfat", 0);
    }
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
    std::sort(by_path.begin(), by_path.end());
    std::sort(by_fd.begin(), by_fd.end());
    ASSERT_EQ(by_fd.size(), by_path.size());
    for (size_t i = 0; i < by_fd.size(); ++i) {
        EXPECT_EQ(by_fd[i].offset, by_path[i].offset);
        EXPECT_EQ(by_fd[i].length, by_path[i].length);
        EXPECT_EQ(by_fd[i].suffix, by_path[i].suffix);
        EXPECT_EQ(by_fd[i].path, kNowhere);
    }

    // The caller's descriptor is closed; the finds are still read and
    // exported through the engine's own copy.
    EXPECT_EQ(has_input_descriptor(kNowhere), 1);
    const Bytes whole = read_file(image);
    const Find &f = by_fd.back();
    TempFile out;
    ASSERT_EQ(general_file_export(kNowhere, f.offset, f.length, out.path().c_str()), 0);
    EXPECT_TRUE(read_file(out.path()) == Bytes(whole.begin() + f.offset, whole.begin() + f.offset + f.length));
    Bytes head(64);
    ASSERT_EQ(general_file_read(kNowhere, f.offset, 64, head.data()), 64);
    EXPECT_TRUE(head == Bytes(whole.begin() + f.offset, whole.begin() + f.offset + 64));

    forget_input_descriptor(kNowhere);
    EXPECT_EQ(has_input_descriptor(kNowhere), 0);
    EXPECT_EQ(general_file_read(kNowhere, f.offset, 64, head.data()), 0);
}

TEST(InputDescriptor, ReadersOfOnePathKeepTheirOwnPositions) {
    const Bytes content = pattern_bytes(3u << 20);
    TempFile file(content);
    Fd fd(file.path());
    ASSERT_EQ(register_input_descriptor(kNowhere, fd.fd), 0);
    Forget forget;

    // Two probe streams over the same input, interleaved: the descriptors
    // share one file offset, the streams must not.
    stream a{kNowhere, 1000, content.size(), nullptr};
    stream b{kNowhere, 2000000, content.size(), nullptr};
    ASSERT_EQ(stream_seek(&a, 0, SEEK_SET), 0);
    ASSERT_EQ(stream_seek(&b, 0, SEEK_SET), 0);
    unsigned char x[100], y[100];
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(stream_read(&a, x, sizeof x), sizeof x);
        ASSERT_EQ(stream_read(&b, y, sizeof y), sizeof y);
        EXPECT_TRUE(std::equal(x, x + 100, content.begin() + 1000 + round * 100));
        EXPECT_TRUE(std::equal(y, y + 100, content.begin() + 2000000 + round * 100));
    }
    // A stream that is open keeps reading after the path is forgotten.
    forget_input_descriptor(kNowhere);
    EXPECT_EQ(stream_read(&a, x, sizeof x), sizeof x);
    EXPECT_TRUE(std::equal(x, x + 100, content.begin() + 1300));
    stream_free(&a);
    stream_free(&b);

    // Reads on other threads while this one walks the input.
    ASSERT_EQ(register_input_descriptor(kNowhere, fd.fd), 0);
    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            Bytes got(4096);
            for (int i = 0; i < 200; ++i) {
                const uint64_t at = uint64_t(t) * 700000 + uint64_t(i) * 3001;
                if (general_file_read(kNowhere, at, 4096, got.data()) != 4096 ||
                    !std::equal(got.begin(), got.end(), content.begin() + at))
                    ++wrong;
            }
        });
    }
    for (auto &r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);
    // The caller's own offset is left alone.
    EXPECT_EQ(lseek(fd.fd, 0, SEEK_CUR), 0);
}

TEST(InputDescriptor, OnlyReadableFilesAndBlockDevicesAreTaken) {
    TempFile file(pattern_bytes(1000));
    Forget forget;
    Fd dir("/tmp", O_RDONLY | O_DIRECTORY);
    Fd chr("/dev/null");
    Fd wronly(file.path(), O_WRONLY);
    errno = 0;
    EXPECT_EQ(register_input_descriptor(kNowhere, dir.fd), -1);
    EXPECT_EQ(register_input_descriptor(kNowhere, chr.fd), -1);
    EXPECT_EQ(register_input_descriptor(kNowhere, wronly.fd), -1);
    EXPECT_EQ(register_input_descriptor(kNowhere, -1), -1);
    EXPECT_EQ(errno, EBADF);
    Fd fd(file.path());
    EXPECT_EQ(register_input_descriptor(nullptr, fd.fd), -1);
    EXPECT_EQ(register_input_descriptor("", fd.fd), -1);
    // Paths run to the system's limit, past the find record's field.
    const std::string long_path(LMR_PATH_MAX + 40, 'x');
    EXPECT_EQ(register_input_descriptor(long_path.c_str(), fd.fd), 0);
    EXPECT_EQ(has_input_descriptor(long_path.c_str()), 1);
    forget_input_descriptor(long_path.c_str());
    const std::string overlong(PATH_MAX, 'x');
    EXPECT_EQ(register_input_descriptor(overlong.c_str(), fd.fd), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(has_input_descriptor(kNowhere), 0);

    // A run on a descriptor that cannot be read says so, with the reason.
    general_file_start_fd(chr.fd, kNowhere, "jpg", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_CANNOT_OPEN);
    EXPECT_EQ(get_last_run_errno(), EINVAL);
    general_file_start_fd(-1, kNowhere, "jpg", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_CANNOT_OPEN);
    EXPECT_EQ(get_last_run_errno(), EBADF);

    // A later registration replaces the earlier one.
    TempFile other(Bytes(500, 7));
    Fd fd2(other.path());
    ASSERT_EQ(register_input_descriptor(kNowhere, fd.fd), 0);
    ASSERT_EQ(register_input_descriptor(kNowhere, fd2.fd), 0);
    unsigned char byte = 0;
    ASSERT_EQ(general_file_read(kNowhere, 10, 1, &byte), 1);
    EXPECT_EQ(byte, 7);
    // The end of the input is the end of the descriptor's file.
    unsigned char tail[10];
    EXPECT_EQ(general_file_read(kNowhere, 499, 10, tail), 1);
}
