#include <gtest/gtest.h>

#include "tarvik/tarvik.h"

TEST(Contract, LongIsThirtyTwoBits) {
    static_assert(sizeof(LONG) == 4);
    static_assert(sizeof(VARIANT_BOOL) == 2);
    EXPECT_EQ(VARIANT_TRUE, -1);
}
