#include <gtest/gtest.h>
#include <stdlib.h>

#include "tarvik/sync.h"

namespace {

int Major(DWORD v) {
    return v & 0xFF;
}
int Minor(DWORD v) {
    return (v >> 8) & 0xFF;
}

struct VersionTest : ::testing::Test {
    void SetUp() override {
        unsetenv("TARVIK_OS_VERSION");
        tarvik::SetReportedVersion(0, 0);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(VersionTest, DefaultIsTen) {
    EXPECT_EQ(Major(GetVersion()), 10);
    EXPECT_EQ(Minor(GetVersion()), 0);
}

TEST_F(VersionTest, EnvironmentOverridesTheDefault) {
    setenv("TARVIK_OS_VERSION", "4.10", 1);
    EXPECT_EQ(Major(GetVersion()), 4);
    EXPECT_EQ(Minor(GetVersion()), 10);
    setenv("TARVIK_OS_VERSION", "4", 1);
    EXPECT_EQ(Major(GetVersion()), 4);
    EXPECT_EQ(Minor(GetVersion()), 0);
    for (const char* bad : {"", "x", "4.x", "4.10.1", "0.5", "300.1", "-4.0"}) {
        setenv("TARVIK_OS_VERSION", bad, 1);
        EXPECT_EQ(Major(GetVersion()), 10) << bad;
        EXPECT_EQ(Minor(GetVersion()), 0) << bad;
    }
}

TEST_F(VersionTest, SetReportedVersionWinsAndZeroRestores) {
    setenv("TARVIK_OS_VERSION", "4.10", 1);
    tarvik::SetReportedVersion(4, 0);
    EXPECT_EQ(Major(GetVersion()), 4);
    EXPECT_EQ(Minor(GetVersion()), 0);
    tarvik::SetReportedVersion(0, 0);
    EXPECT_EQ(Minor(GetVersion()), 10);  // the environment again
    unsetenv("TARVIK_OS_VERSION");
    EXPECT_EQ(Major(GetVersion()), 10);
}

}  // namespace
