// Media files laid out in an image and found by a whole scan; damaged
// copies of them given to the probes.
#include "probe_helpers.h"

using namespace lmrtest;

namespace {
const char *const k_media[] = {"media/id3v23_v1.mp3",  "media/nb_mode2.amr",   "media/moov_first.mp4",
                               "media/mdat_first.mp4", "media/quicktime.mov",  "media/h263.3gp",
                               "media/mpeg4_mp3.avi",  "media/pcm_mono.wav",   "media/wmv2_wma2.wmv"};
}

TEST(MediaScan, EveryFileOfAnImageIsFoundWhole) {
    Bytes image = random_bytes(1536, 11);
    std::vector<Find> expected;
    const char *suffix[] = {"mp3", "amr", "mp4", "mp4", "mov", "3gp", "avi", "wav", "wmv"};
    int i = 0;
    for (const char *name : k_media) {
        Bytes file = sample(name);
        expected.push_back({image.size(), file.size(), suffix[i++]});
        append(image, file);
        pad_to(image, 512);
        append(image, Bytes(1024, 0));
    }
    TempFile f(image);
    auto finds = scan(f.path(), "mp3,amr,mp4,mov,3gp,wmv,avi,wav");
    ASSERT_EQ(expected.size(), finds.size());
    for (size_t k = 0; k < finds.size(); ++k) {
        EXPECT_EQ(expected[k].offset, finds[k].offset) << k;
        EXPECT_EQ(expected[k].length, finds[k].length) << k;
        EXPECT_EQ(expected[k].suffix, finds[k].suffix) << k;
    }
}

TEST(MediaScan, DamagedFilesNeverGiveFindsPastTheInput) {
    const char *types[] = {"mp3", "amr", "mp4", "mp4", "mov", "3gp", "avi", "wav", "wmv"};
    for (size_t i = 0; i < std::size(k_media); ++i)
        probe_damaged_copies(sample(k_media[i]), types[i], 60, 100 + unsigned(i));
}
