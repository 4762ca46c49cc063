// Simulated modems joined by an exchange: calls between them, a busy callee,
// an unanswered call and a hang-up reaching the far side. (Data both ways and
// caller ID are checked through two lines.)
#include "HostPort.h"

using namespace std::chrono_literals;
using tarvik::modemsim::Exchange;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;

namespace {

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        a.SetOutcome("5550002", "BUSY");  // the exchange wins over the table
        ASSERT_TRUE(a.JoinExchange(exchange, "555-0001"));
        ASSERT_TRUE(b.JoinExchange(exchange, "5550002"));
        b.SetRingCadence(150ms);
        ASSERT_TRUE(a.Start() && b.Start());
        ha = std::make_unique<HostPort>(a.SlavePath());
        hb = std::make_unique<HostPort>(b.SlavePath());
        ASSERT_TRUE(ha->SendUntil("ATE0\r", "OK\r\n") && hb->SendUntil("ATE0\r", "OK\r\n"));
        ha->Take();
        hb->Take();
    }

    Exchange exchange;
    SimModem a, b;
    std::unique_ptr<HostPort> ha, hb;
};

TEST_F(ExchangeTest, AnsweredCallEndsForBothWhenOneSideDropsDtr) {
    ASSERT_TRUE(ha->Write("ATDT555-0002\r"));
    ASSERT_TRUE(hb->ReadUntil("\r\nRING\r\n"));
    ASSERT_TRUE(hb->SendUntil("ATA\r", "\r\nCONNECT 9600\r\n"));
    ASSERT_TRUE(ha->ReadUntil("\r\nCONNECT 9600\r\n"));
    ASSERT_TRUE(a.WaitForState(State::Online) && b.WaitForState(State::Online));

    // A third caller finds B busy.
    SimModem c;
    ASSERT_TRUE(c.JoinExchange(exchange, "5550003"));
    ASSERT_TRUE(c.Start());
    HostPort hc(c.SlavePath());
    ASSERT_TRUE(hc.SendUntil("ATD5550002\r", "\r\nBUSY\r\n"));
    EXPECT_EQ(b.GetState(), State::Online);

    b.SetDtr(false);  // S25 is 50 ms
    EXPECT_TRUE(hb->ReadUntil("\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(ha->ReadUntil("\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(a.WaitForState(State::Command) && b.WaitForState(State::Command));
}

TEST_F(ExchangeTest, UnansweredCallGivesUpAfterS7AndStopsTheRinging) {
    ASSERT_TRUE(ha->Write("ATS7=1D5550002\r"));
    auto dialed = a.WaitForLine("ATS7");
    ASSERT_TRUE(dialed);
    ASSERT_TRUE(b.WaitForState(State::Ringing));
    auto nc = a.WaitForSent("NO CARRIER");
    ASSERT_TRUE(nc);
    EXPECT_GE(nc->first - dialed->at, 1000ms);
    EXPECT_TRUE(b.WaitForState(State::Command));
}

TEST(ExchangeJoinTest, NumbersAreUnique) {
    Exchange exchange;
    SimModem a, b;
    EXPECT_TRUE(a.JoinExchange(exchange, "100"));
    EXPECT_FALSE(b.JoinExchange(exchange, "1-0-0"));
    EXPECT_FALSE(a.JoinExchange(exchange, "200"));
    EXPECT_TRUE(b.JoinExchange(exchange, "200"));
}

}  // namespace
