// Two simulated modems joined by an exchange: either side's hang-up reaches
// the other as NO CARRIER. (Data both ways is checked through two lines.)
#include <gtest/gtest.h>

#include <thread>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::modemsim::Exchange;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;

namespace {

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto* m : {&a, &b}) {
            m->SetRingCadence(150ms);
            m->SetRegister(12, 5);  // 100 ms guard
        }
        a.SetOutcome("5550002", "BUSY");  // the exchange wins over the table
        ASSERT_TRUE(a.JoinExchange(exchange, "555-0001"));
        ASSERT_TRUE(b.JoinExchange(exchange, "5550002"));
        ASSERT_TRUE(a.Start());
        ASSERT_TRUE(b.Start());
        ha = std::make_unique<HostPort>(a.SlavePath());
        hb = std::make_unique<HostPort>(b.SlavePath());
        for (auto* h : {ha.get(), hb.get()}) {
            ASSERT_TRUE(h->SendUntil("ATE0\r", "OK\r\n"));
            h->Take();
        }
    }
    // A calls B, B answers: both online.
    void Call() {
        ASSERT_TRUE(ha->Write("ATDT555-0002\r"));
        ASSERT_TRUE(hb->ReadUntil("\r\nRING\r\n"));
        ASSERT_TRUE(hb->ReadUntil("CALR = 5550001\r\n"));
        ASSERT_TRUE(hb->Write("ATA\r"));
        ASSERT_TRUE(ha->ReadUntil("\r\nCONNECT 9600\r\n"));
        ASSERT_TRUE(hb->ReadUntil("\r\nCONNECT 9600\r\n"));
        ASSERT_TRUE(a.WaitForState(State::Online));
        ASSERT_TRUE(b.WaitForState(State::Online));
        ha->Take();
        hb->Take();
    }

    Exchange exchange;
    SimModem a, b;
    std::unique_ptr<HostPort> ha, hb;
};

TEST_F(ExchangeTest, DtrDropAndCarrierFaultEndTheCallForBothSides) {
    Call();
    b.SetDtr(false);  // S25 is 50 ms
    ASSERT_TRUE(hb->ReadUntil("\r\nNO CARRIER\r\n"));
    ASSERT_TRUE(ha->ReadUntil("\r\nNO CARRIER\r\n"));
    b.SetDtr(true);
    ASSERT_TRUE(a.WaitForState(State::Command));
    ASSERT_TRUE(b.WaitForState(State::Command));
    ha->Take();
    hb->Take();

    Call();
    a.DropCarrier();
    ASSERT_TRUE(ha->ReadUntil("\r\nNO CARRIER\r\n"));
    ASSERT_TRUE(hb->ReadUntil("\r\nNO CARRIER\r\n"));
}

TEST_F(ExchangeTest, BusyCalleeAnswersBusy) {
    Call();
    SimModem c;
    ASSERT_TRUE(c.JoinExchange(exchange, "5550003"));
    ASSERT_TRUE(c.Start());
    HostPort hc(c.SlavePath());
    ASSERT_TRUE(hc.SendUntil("ATD5550002\r", "\r\nBUSY\r\n"));
    EXPECT_EQ(b.GetState(), State::Online);
}

TEST_F(ExchangeTest, CalleeLeavingTheExchangeEndsTheCall) {
    Call();
    b.Stop();
    ASSERT_TRUE(ha->ReadUntil("\r\nNO CARRIER\r\n"));
    ha->Take();
    // Its number is gone from the exchange: now a dial to it uses the table.
    ASSERT_TRUE(ha->SendUntil("ATD5550002\r", "\r\nBUSY\r\n"));
}

TEST_F(ExchangeTest, UnansweredCallGivesUpAfterS7AndStopsTheRinging) {
    ASSERT_TRUE(ha->Write("ATS7=1D5550002\r"));
    auto dialed = a.WaitForLine("ATS7");
    ASSERT_TRUE(dialed);
    ASSERT_TRUE(b.WaitForState(State::Ringing));
    ASSERT_TRUE(ha->ReadUntil("\r\nNO CARRIER\r\n", 4000ms));
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
