// Leaving data mode with "+++" and the guard time around it, and what only
// looks like an escape.
#include <gtest/gtest.h>

#include <thread>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;

namespace {

class EscapeTest : public ::testing::Test {
  protected:
    // A loopback call with the given S12 (1/50 s).
    void Connect(int s12) {
        guard = 20ms * s12;
        modem.SetOutcome("1", "CONNECT 9600");
        modem.SetRegister(12, s12);
        ASSERT_TRUE(modem.Start());
        host = std::make_unique<HostPort>(modem.SlavePath());
        ASSERT_TRUE(host->SendUntil("ATE0D1\r", "\r\nCONNECT 9600\r\n"));
        ASSERT_TRUE(modem.WaitForState(State::Online));
        host->Take();
    }
    // The silence before an escape is something the host must produce.
    void Quiet() { std::this_thread::sleep_for(guard + guard / 2); }

    SimModem modem;
    std::unique_ptr<HostPort> host;
    std::chrono::milliseconds guard{};
};

TEST_F(EscapeTest, PlusesWithGuardTimeAroundThemReturnToCommandMode) {
    Connect(10);  // 200 ms
    Quiet();
    const size_t sentMark = modem.SentSize();
    ASSERT_TRUE(host->Write("+++"));
    auto plus = modem.WaitForReceived("+++");
    ASSERT_TRUE(plus);
    auto ok = modem.WaitForSent("\r\nOK\r\n", SimModem::kWait, sentMark);
    ASSERT_TRUE(ok);
    // OK only after the guard time has passed after the last '+'.
    EXPECT_GE(ok->first - plus->last, guard);
    EXPECT_TRUE(modem.WaitForState(State::OnlineCommand));
    // The call is still up: ATO goes back online, ATH ends it.
    host->Take();
    ASSERT_TRUE(host->SendUntil("ATO\r", "\r\nCONNECT 9600\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Online));
    ASSERT_TRUE(host->SendUntil("data", "data"));  // loopback
    Quiet();
    ASSERT_TRUE(host->Write("+++"));
    ASSERT_TRUE(modem.WaitForState(State::OnlineCommand));
    ASSERT_TRUE(host->SendUntil("ATH\r", "+++\r\nOK\r\n\r\nOK\r\n"));
    EXPECT_TRUE(modem.WaitForState(State::Command));
}

TEST_F(EscapeTest, PlusesInsideDataAreNotAnEscape) {
    Connect(10);
    const auto window = guard * 3;
    // Data right before or after the pluses (no silence on one side), or a
    // fourth plus: all data.
    for (const char* data : {"a+++", "+++b", "++++"}) {
        Quiet();
        ASSERT_TRUE(host->Write(data));
        host->Drain(window);
        EXPECT_EQ(host->Take(), data);
        EXPECT_EQ(modem.GetState(), State::Online);
    }
    // Pluses too far apart: each is a fresh start, never three in a row.
    Quiet();
    ASSERT_TRUE(host->Write("+"));
    Quiet();
    ASSERT_TRUE(host->Write("+"));
    host->Drain(window);
    EXPECT_EQ(host->Take(), "++");
    EXPECT_EQ(modem.GetState(), State::Online);
    EXPECT_EQ(modem.Sent().find("OK", modem.Sent().find("CONNECT")), std::string::npos);
}

TEST_F(EscapeTest, HonoursAnotherEscapeCharacter) {
    Connect(5);
    modem.SetRegister(2, '~');
    Quiet();
    ASSERT_TRUE(host->Write("+++"));
    host->Drain(guard * 3);
    EXPECT_EQ(modem.GetState(), State::Online);
    Quiet();
    ASSERT_TRUE(host->Write("~~~"));
    EXPECT_TRUE(modem.WaitForState(State::OnlineCommand));
}

TEST_F(EscapeTest, DefaultGuardTimeIsOneSecond) {
    modem.SetOutcome("1", "CONNECT 9600");
    ASSERT_TRUE(modem.Start());
    EXPECT_EQ(modem.Register(12), 50);
    host = std::make_unique<HostPort>(modem.SlavePath());
    ASSERT_TRUE(host->SendUntil("ATE0D1\r", "CONNECT 9600\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Online));
    // Half a second of quiet is not enough.
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(host->Write("+++"));
    host->Drain(1200ms);
    EXPECT_EQ(modem.GetState(), State::Online);
    std::this_thread::sleep_for(1100ms);
    const size_t mark = modem.ReceivedSize();
    ASSERT_TRUE(host->Write("+++"));
    auto plus = modem.WaitForReceived("+++", SimModem::kWait, mark);
    ASSERT_TRUE(plus);
    auto ok = modem.WaitForSent("\r\nOK\r\n");
    ASSERT_TRUE(ok);
    EXPECT_GE(ok->first - plus->last, 1000ms);
    ASSERT_TRUE(modem.GapBefore(plus->offset));
    EXPECT_GE(*modem.GapBefore(plus->offset), 1000ms);
}

}  // namespace
