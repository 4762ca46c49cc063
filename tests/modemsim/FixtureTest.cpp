// The test fixture's own promises: the COM link in the sandbox device map,
// arrival times of received bytes, and waits that time out.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::SimModem;

namespace {

TEST(SimModemFixture, LinksAComPortForItsLifetime) {
    namespace fs = std::filesystem;
    const fs::path folder = getenv("TARVIK_DOSDEVICES");
    std::string target;
    {
        SimModem modem;
        ASSERT_TRUE(modem.Start());
        const std::string link = modem.LinkAs("COM7");
        EXPECT_EQ(fs::path(link), folder / "com7");
        ASSERT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link), modem.SlavePath());
        // Through the link the modem answers like through its own path.
        HostPort host(link);
        ASSERT_TRUE(host.IsOpen());
        host.Write("AT\r");
        EXPECT_TRUE(host.ReadUntil("OK\r\n"));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "com7")));
}

TEST(SimModemFixture, RecordsWhenBytesArrive) {
    SimModem modem;
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    host.Write("AT");
    ASSERT_TRUE(modem.WaitForReceived("AT"));
    std::this_thread::sleep_for(300ms);  // the pause under measurement
    host.Write("Z\r");
    auto z = modem.WaitForReceived("Z\r");
    ASSERT_TRUE(z);
    EXPECT_EQ(z->offset, 2u);
    ASSERT_TRUE(modem.GapBefore(2));
    EXPECT_GE(*modem.GapBefore(2), 300ms);
    EXPECT_FALSE(modem.GapBefore(0));
    EXPECT_EQ(modem.ReceivedAt(2), z->first);
    auto line = modem.WaitForLine("ATZ");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->at, z->last);
}

TEST(SimModemFixture, WaitsGiveUpAfterTheirTimeout) {
    SimModem modem;
    ASSERT_TRUE(modem.Start());
    const auto start = SimModem::Clock::now();
    EXPECT_FALSE(modem.WaitForReceived("never", 200ms));
    EXPECT_FALSE(modem.WaitForLine("ATX", 200ms));
    EXPECT_FALSE(modem.WaitForState(SimModem::State::Online, 200ms));
    EXPECT_GE(SimModem::Clock::now() - start, 600ms);
}

}  // namespace
