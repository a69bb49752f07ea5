#include <gtest/gtest.h>

#include "tamrel/cpu_quota.hpp"

TEST(CpuQuota, CgroupQuotas) {
    EXPECT_EQ(tamrel::parse_cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(tamrel::parse_cpu_max("150000 100000\n"), 1u);
    EXPECT_EQ(tamrel::parse_cpu_max("200000 100000"), 2u);
    EXPECT_EQ(tamrel::parse_cpu_max("50000 100000"), 1u);  // never below one
    EXPECT_EQ(tamrel::parse_cpu_max(""), std::nullopt);
    EXPECT_EQ(tamrel::parse_cpu_max("12x 100000"), std::nullopt);
    EXPECT_EQ(tamrel::quota_processors(-1, 100000), std::nullopt);
    EXPECT_EQ(tamrel::quota_processors(400000, 100000), 4u);
    EXPECT_EQ(tamrel::quota_processors(100000, 0), std::nullopt);
    EXPECT_GE(tamrel::available_processors(), 1u);
}
