#include "engine/recovery_engine.h"

#include <gtest/gtest.h>

#include <cstddef>

extern "C" int lmr_c_header_check(void);

TEST(Interface, RecordLayoutIsFixed) {
    EXPECT_EQ(offsetof(r_info, offset), 0u);
    EXPECT_EQ(offsetof(r_info, length), 8u);
    EXPECT_EQ(offsetof(r_info, path), 16u);
    EXPECT_EQ(offsetof(r_info, suffix), 16u + 260u);
    EXPECT_EQ(sizeof(ole_dirent), 108u);
    EXPECT_EQ(lmr_c_header_check(), 272);
}
