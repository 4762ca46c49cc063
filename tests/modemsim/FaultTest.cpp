// Faults on request (vanish, silence, ERROR to everything, carrier drop), the
// DTR input, the scripting hooks, and a host that closes and reopens the port.
#include <gtest/gtest.h>
#include <poll.h>
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
        ASSERT_TRUE(host->Write("ATE0\r"));
        ASSERT_TRUE(host->ReadUntil("OK\r\n"));
        host->Take();
    }
    void Connect() {
        ASSERT_TRUE(host->Write("ATD1\r"));
        ASSERT_TRUE(host->ReadUntil("CONNECT 9600\r\n"));
        ASSERT_TRUE(modem.WaitForState(State::Online));
        host->Take();
    }
    SimModem modem;
    std::unique_ptr<HostPort> host;
};

TEST_F(FaultTest, VanishedModemGivesTheHostHangUpAndEio) {
    Connect();
    modem.Vanish();
    ASSERT_TRUE(modem.WaitForState(State::Vanished));
    short ev = host->PollEvents(2000);
    EXPECT_TRUE(ev & (POLLHUP | POLLERR)) << ev;
    char c;
    errno = 0;
    EXPECT_LE(read(host->fd(), &c, 1), 0);
    // Further calls on the vanished modem are harmless.
    modem.Ring();
    modem.Inject("x");
    modem.DropCarrier();
    modem.Stop();
    EXPECT_EQ(modem.GetState(), State::Stopped);
}

TEST_F(FaultTest, SilentModemNeitherEchoesNorAnswers) {
    ASSERT_TRUE(host->Write("ATE1\r"));
    ASSERT_TRUE(host->ReadUntil("OK\r\n"));
    host->Take();
    modem.SetSilent(true);
    const size_t lines = modem.Lines().size();
    const size_t mark = modem.ReceivedSize();
    ASSERT_TRUE(host->Write("AT\r"));
    ASSERT_TRUE(modem.WaitForReceived("AT\r", SimModem::kWait, mark));
    modem.Ring();
    host->Drain(200ms);
    EXPECT_EQ(host->Take(), "");
    EXPECT_EQ(modem.Lines().size(), lines);
    modem.SetSilent(false);
    ASSERT_TRUE(host->Write("AT\r"));
    EXPECT_TRUE(host->ReadUntil("AT\r\r\nOK\r\n"));
}

TEST_F(FaultTest, ErrorToEverything) {
    modem.SetErrorToEverything(true);
    for (const char* cmd : {"AT\r", "ATZ\r", "ATD1\r", "A/"}) {
        ASSERT_TRUE(host->Write(cmd));
        EXPECT_TRUE(host->ReadUntil("\r\nERROR\r\n")) << cmd;
        host->Take();
    }
    EXPECT_EQ(modem.GetState(), State::Command);
    modem.SetErrorToEverything(false);
    ASSERT_TRUE(host->Write("AT\r"));
    EXPECT_TRUE(host->ReadUntil("\r\nOK\r\n"));
}

TEST_F(FaultTest, CarrierDropEndsDataMode) {
    Connect();
    modem.DropCarrier();
    ASSERT_TRUE(host->ReadUntil("\r\nNO CARRIER\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Command));
    // Commands work again right away.
    ASSERT_TRUE(host->Write("AT\r"));
    EXPECT_TRUE(host->ReadUntil("\r\nOK\r\n"));
}

TEST_F(FaultTest, DtrLowLongerThanS25HangsUp) {
    modem.SetRegister(25, 30);  // 300 ms
    Connect();
    // A blip shorter than S25 is ignored.
    modem.SetDtr(false);
    modem.SetDtr(true);
    host->Drain(400ms);
    EXPECT_EQ(modem.GetState(), State::Online);

    const auto dropped = SimModem::Clock::now();
    modem.SetDtr(false);
    ASSERT_TRUE(host->ReadUntil("\r\nNO CARRIER\r\n"));
    EXPECT_GE(SimModem::Clock::now() - dropped, 300ms);
    ASSERT_TRUE(modem.WaitForState(State::Command));
    modem.SetDtr(true);
}

TEST_F(FaultTest, DtrModeOneOnlyLeavesDataMode) {
    modem.SetRegister(25, 1);
    ASSERT_TRUE(host->Write("AT&D1\r"));
    ASSERT_TRUE(host->ReadUntil("OK\r\n"));
    Connect();
    modem.SetDtr(false);
    ASSERT_TRUE(host->ReadUntil("\r\nOK\r\n"));
    EXPECT_TRUE(modem.WaitForState(State::OnlineCommand));
}

TEST_F(FaultTest, RepliesToAChosenLineInsteadOfExecutingIt) {
    modem.ReplyToNextLine("ATZ", "\r\nERROR\r\n", 150ms);
    ASSERT_TRUE(host->Write("ATS0=1\r"));
    ASSERT_TRUE(host->ReadUntil("OK\r\n"));
    host->Take();
    // Does not contain "ATZ": runs as usual.
    ASSERT_TRUE(host->Write("ATS0=0Z\r"));
    ASSERT_TRUE(host->ReadUntil("\r\nOK\r\n"));
    host->Take();
    ASSERT_TRUE(host->Write("ATZ\r"));
    auto atz = modem.WaitForLine("ATZ");
    ASSERT_TRUE(atz);
    auto reply = modem.WaitForSent("\r\nERROR\r\n");
    ASSERT_TRUE(reply);
    EXPECT_GE(reply->first - atz->at, 150ms);
    ASSERT_TRUE(host->ReadUntil("\r\nERROR\r\n"));
    EXPECT_EQ(host->Take(), "ATZ\r\r\nERROR\r\n");  // the Z before turned echo back on
    // Used once: the next ATZ runs.
    ASSERT_TRUE(host->Write("ATZ\r"));
    EXPECT_TRUE(host->ReadUntil("\r\nOK\r\n"));
}

TEST_F(FaultTest, InjectsRawBytes) {
    modem.Inject("\r\nOK\r\n");
    ASSERT_TRUE(host->ReadUntil("\r\nOK\r\n"));
    host->Take();
    const auto asked = SimModem::Clock::now();
    modem.InjectAfter(200ms, "late");
    ASSERT_TRUE(host->ReadUntil("late"));
    EXPECT_GE(SimModem::Clock::now() - asked, 200ms);
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
    ASSERT_TRUE(again.Write("AT\r"));
    EXPECT_TRUE(again.ReadUntil("\r\nOK\r\n"));
}

}  // namespace
