// Call teardown against the simulator: DropCall, HangUpCall and CloseLine
// during a call. The pauses are measured from the simulator's receive times.
#include <gtest/gtest.h>

#include <thread>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

TEST(HangUp, ModemAnsweringOkToEscapeAndHangUp) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    auto escape = h.modem.WaitForReceived("+++", 0ms, mark);
    auto hangUp = h.modem.WaitForReceived("ATH\r", 2s, mark);
    ASSERT_TRUE(escape && hangUp);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    EXPECT_GE(hangUp->first - escape->last, 1250ms);  // 660 ms, then 600 ms after the answer
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.LastError(), 0);
}

}  // namespace
}  // namespace tarvik::test
