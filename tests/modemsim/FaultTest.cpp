// The DTR input and a host that closes and reopens the port. (The faults the
// line tests play, vanish, silence, ERROR to everything, carrier loss and
// scripted replies, are checked through the line.)
#include <gtest/gtest.h>
#include <termios.h>

#include <thread>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;

namespace {

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        modem.SetOutcome("1", "CONNECT 9600");
        ASSERT_TRUE(modem.Start());
        host = std::make_unique<HostPort>(modem.SlavePath());
        ASSERT_TRUE(host->SendUntil("ATE0\r", "OK\r\n"));
        host->Take();
    }
    void Connect() {
        ASSERT_TRUE(host->SendUntil("ATD1\r", "CONNECT 9600\r\n"));
        ASSERT_TRUE(modem.WaitForState(State::Online));
        host->Take();
    }
    SimModem modem;
    std::unique_ptr<HostPort> host;
};

TEST_F(FaultTest, DtrLowLongerThanS25HangsUp) {
    modem.SetRegister(25, 30);  // 300 ms
    Connect();
    // A blip shorter than S25 is ignored; a caller finds the line busy.
    modem.SetDtr(false);
    modem.SetDtr(true);
    modem.Ring();
    host->Drain(400ms);
    EXPECT_EQ(modem.GetState(), State::Online);
    EXPECT_EQ(host->Take(), "");

    const auto dropped = SimModem::Clock::now();
    modem.SetDtr(false);
    ASSERT_TRUE(host->ReadUntil("\r\nNO CARRIER\r\n"));
    EXPECT_GE(SimModem::Clock::now() - dropped, 300ms);
    ASSERT_TRUE(modem.WaitForState(State::Command));
    modem.SetDtr(true);
}

TEST_F(FaultTest, DtrModeOneOnlyLeavesDataMode) {
    modem.SetRegister(25, 1);
    ASSERT_TRUE(host->SendUntil("AT&D1\r", "OK\r\n"));
    Connect();
    modem.SetDtr(false);
    ASSERT_TRUE(host->ReadUntil("\r\nOK\r\n"));
    EXPECT_TRUE(modem.WaitForState(State::OnlineCommand));
}

TEST_F(FaultTest, SurvivesTheHostClosingAndReopeningThePort) {
    host->Close();
    modem.Ring();  // output while nobody listens must not wedge the modem
    ASSERT_TRUE(modem.WaitForSent("RING"));
    modem.DropCarrier();
    ASSERT_TRUE(modem.WaitForState(State::Command));
    HostPort again(modem.SlavePath());
    ASSERT_TRUE(again.IsOpen());
    tcflush(again.fd(), TCIFLUSH);
    ASSERT_TRUE(again.SendUntil("AT\r", "\r\nOK\r\n"));
}

}  // namespace
