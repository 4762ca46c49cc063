// The test fixture's own promise that line tests measure pauses by: the
// arrival times of received bytes.
#include <thread>

#include "HostPort.h"

using namespace std::chrono_literals;

namespace {

class FixtureTest : public tarvik::test::SimTest {};

TEST_F(FixtureTest, RecordsWhenBytesArrive) {
    Open("");
    host->Write("AT");
    ASSERT_TRUE(modem.WaitForReceived("AT"));
    std::this_thread::sleep_for(300ms);  // the pause under measurement
    host->Write("Z\r");
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

}  // namespace
