// Dialing: the outcome table, its delays, the default outcome, silence and
// aborting a dial with a key press.
#include <gtest/gtest.h>

#include <thread>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::modemsim::DialOutcome;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;

namespace {

class DialTest : public ::testing::Test {
  protected:
    void Open() {
        ASSERT_TRUE(modem.Start());
        host = std::make_unique<HostPort>(modem.SlavePath());
        ASSERT_TRUE(host->SendUntil("ATE0\r", "OK\r\n"));
        host->Take();
    }
    SimModem modem;
    std::unique_ptr<HostPort> host;
};

TEST_F(DialTest, ReportsTheConfiguredOutcomeAfterItsDelay) {
    const struct {
        const char* outcome;
        const char* reply;
        State after;
    } rows[] = {
        {"BUSY", "\r\nBUSY\r\n", State::Command},
        {"NO CARRIER", "\r\nNO CARRIER\r\n", State::Command},
        {"NO DIALTONE", "\r\nNO DIALTONE\r\n", State::Command},
        {"CONNECT", "\r\nCONNECT\r\n", State::Online},
        {"CONNECT 9600", "\r\nCONNECT 9600\r\n", State::Online},
    };
    Open();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.outcome);
        modem.SetOutcome("5551234", std::string(r.outcome) + "@150ms");
        size_t lines = modem.Lines().size(), sent = modem.SentSize();
        ASSERT_TRUE(host->Write("ATDT 555-1234\r"));
        auto dialed = modem.WaitForLine("ATDT", SimModem::kWait, lines);
        ASSERT_TRUE(dialed);
        auto reply = modem.WaitForSent(r.reply, SimModem::kWait, sent);
        ASSERT_TRUE(reply);
        EXPECT_GE(reply->first - dialed->at, 150ms);
        ASSERT_TRUE(host->ReadUntil(r.reply));
        EXPECT_EQ(host->Take(), r.reply);
        EXPECT_TRUE(modem.WaitForState(r.after));
        modem.DropCarrier();  // back to command mode for the next row
        ASSERT_TRUE(modem.WaitForState(State::Command));
        host->Drain(50ms);
        host->Take();
    }
}

TEST_F(DialTest, IgnoresDialModifiersWhenLookingUpTheNumber) {
    modem.SetOutcome("9*5551234#", "BUSY");
    Open();
    // Unknown numbers get NO CARRIER, unless another default is set.
    ASSERT_TRUE(host->SendUntil("ATD12345\r", "\r\nNO CARRIER\r\n"));
    modem.SetDefaultOutcome(DialOutcome::Of(DialOutcome::Kind::NoDialtone));
    ASSERT_TRUE(host->SendUntil("ATDP9*,W(555) 12!@34#\r", "\r\nBUSY\r\n"));
    host->Take();
    // A number not in the table takes the default.
    ASSERT_TRUE(host->SendUntil("ATDT5550000\r", "\r\nNO DIALTONE\r\n"));
}

TEST_F(DialTest, DialStringEndingInSemicolonStaysInCommandMode) {
    modem.SetOutcome("5551234", "CONNECT 9600");
    Open();
    ASSERT_TRUE(host->SendUntil("ATDT5551234;\r", "\r\nOK\r\n"));
    EXPECT_EQ(modem.GetState(), State::Command);
}

TEST_F(DialTest, KeyPressAbortsADialWithNoCarrier) {
    modem.SetOutcome("5551234", "CONNECT 9600@5s");
    Open();
    ASSERT_TRUE(host->Write("ATD5551234\r\n"));  // the LF does not abort
    ASSERT_TRUE(modem.WaitForState(State::Dialing));
    host->Drain(100ms);
    EXPECT_EQ(modem.GetState(), State::Dialing);
    ASSERT_TRUE(host->SendUntil("x", "\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(modem.WaitForState(State::Command));
    // The abandoned dial's timer is gone: no CONNECT later.
    EXPECT_FALSE(modem.WaitForSent("CONNECT", 300ms));
}

TEST_F(DialTest, SilentOutcomeSaysNothingEvenWhenAborted) {
    modem.SetOutcome("5551234", "SILENCE");
    Open();
    const size_t mark = modem.SentSize();
    ASSERT_TRUE(host->Write("ATD5551234\r"));
    ASSERT_TRUE(modem.WaitForState(State::Dialing));
    host->Drain(300ms);
    EXPECT_EQ(host->Take(), "");
    ASSERT_TRUE(host->Write("\r"));
    ASSERT_TRUE(modem.WaitForState(State::Command));
    EXPECT_EQ(modem.Sent().substr(mark), "");
    ASSERT_TRUE(host->SendUntil("AT\r", "\r\nOK\r\n"));
}

TEST_F(DialTest, DialingWhileOnlineCommandIsAnError) {
    modem.SetOutcome("1", "CONNECT 2400");
    modem.SetRegister(12, 5);  // 100 ms guard
    Open();
    ASSERT_TRUE(host->SendUntil("ATD1\r", "CONNECT 2400\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Online));
    std::this_thread::sleep_for(150ms);  // the guard time before "+++" is part of the input
    ASSERT_TRUE(host->Write("+++"));
    ASSERT_TRUE(modem.WaitForState(State::OnlineCommand));
    host->Take();
    ASSERT_TRUE(host->SendUntil("ATD2\r", "\r\nERROR\r\n"));
    EXPECT_EQ(modem.GetState(), State::OnlineCommand);
}

}  // namespace
