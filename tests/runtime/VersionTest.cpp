#include <gtest/gtest.h>
#include <stdlib.h>

#include "tarvik/sync.h"

namespace {

// "major.minor" of what GetVersion reports.
std::string Reported() {
    DWORD v = GetVersion();
    return std::to_string(v & 0xFF) + "." + std::to_string((v >> 8) & 0xFF);
}

TEST(Version, TenUnlessTheEnvironmentOrTheProgramSaysOtherwise) {
    unsetenv("TARVIK_OS_VERSION");
    EXPECT_EQ(Reported(), "10.0");
    const struct {
        const char* env;
        const char* reported;
    } cases[] = {{"4.10", "4.10"}, {"4", "4.0"},      {"", "10.0"},
                 {"x", "10.0"},    {"4.x", "10.0"},   {"4.10.1", "10.0"},
                 {"0.5", "10.0"},  {"300.1", "10.0"}, {"-4.0", "10.0"}};
    for (const auto& c : cases) {
        setenv("TARVIK_OS_VERSION", c.env, 1);
        EXPECT_EQ(Reported(), c.reported) << c.env;
    }

    // SetReportedVersion wins over the environment, and 0 gives it back.
    setenv("TARVIK_OS_VERSION", "4.10", 1);
    tarvik::SetReportedVersion(4, 0);
    EXPECT_EQ(Reported(), "4.0");
    tarvik::SetReportedVersion(0, 0);
    EXPECT_EQ(Reported(), "4.10");
    unsetenv("TARVIK_OS_VERSION");
    EXPECT_EQ(Reported(), "10.0");
}

}  // namespace
