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

struct OutcomeCase {
    const char* name;
    const char* outcome;
    const char* reply;
    State after;
};

class DialOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(DialOutcomeTest, ReportsTheConfiguredOutcomeAfterItsDelay) {
    const auto& c = GetParam();
    SimModem modem;
    modem.SetOutcome("5551234", std::string(c.outcome) + "@150ms");
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    ASSERT_TRUE(host.Write("ATE0\r"));
    ASSERT_TRUE(host.ReadUntil("OK\r\n"));
    host.Take();

    ASSERT_TRUE(host.Write("ATDT 555-1234\r"));
    auto dialed = modem.WaitForLine("ATDT");
    ASSERT_TRUE(dialed);
    auto reply = modem.WaitForSent(c.reply);
    ASSERT_TRUE(reply) << c.outcome;
    EXPECT_GE(reply->first - dialed->at, 150ms);
    ASSERT_TRUE(host.ReadUntil(c.reply));
    EXPECT_EQ(host.Take(), c.reply);
    EXPECT_TRUE(modem.WaitForState(c.after));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DialOutcomeTest,
    ::testing::Values(
        OutcomeCase{"Connect", "CONNECT 9600", "\r\nCONNECT 9600\r\n", State::Online},
        OutcomeCase{"ConnectArq", "CONNECT 14400/ARQ", "\r\nCONNECT 14400/ARQ\r\n", State::Online},
        OutcomeCase{"ConnectBare", "CONNECT", "\r\nCONNECT\r\n", State::Online},
        OutcomeCase{"Busy", "BUSY", "\r\nBUSY\r\n", State::Command},
        OutcomeCase{"NoAnswer", "NO ANSWER", "\r\nNO ANSWER\r\n", State::Command},
        OutcomeCase{"NoCarrier", "NO CARRIER", "\r\nNO CARRIER\r\n", State::Command},
        OutcomeCase{"NoDialtone", "NO DIALTONE", "\r\nNO DIALTONE\r\n", State::Command}),
    [](const auto& info) { return std::string(info.param.name); });

class DialTest : public ::testing::Test {
  protected:
    void Open() {
        ASSERT_TRUE(modem.Start());
        host = std::make_unique<HostPort>(modem.SlavePath());
        ASSERT_TRUE(host->Write("ATE0\r"));
        ASSERT_TRUE(host->ReadUntil("OK\r\n"));
        host->Take();
    }
    SimModem modem;
    std::unique_ptr<HostPort> host;
};

TEST_F(DialTest, IgnoresDialModifiersWhenLookingUpTheNumber) {
    modem.SetOutcome("9*5551234#", "BUSY");
    modem.SetDefaultOutcome(DialOutcome::Of(DialOutcome::Kind::NoDialtone));
    Open();
    ASSERT_TRUE(host->Write("ATDP9*,W(555) 12!@34#\r"));
    ASSERT_TRUE(host->ReadUntil("\r\nBUSY\r\n"));
    host->Take();
    // A number not in the table takes the default.
    ASSERT_TRUE(host->Write("ATDT5550000\r"));
    ASSERT_TRUE(host->ReadUntil("\r\nNO DIALTONE\r\n"));
}

TEST_F(DialTest, UnknownNumbersGetNoCarrierByDefault) {
    Open();
    ASSERT_TRUE(host->Write("ATD12345\r"));
    ASSERT_TRUE(host->ReadUntil("\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(modem.WaitForState(State::Command));
}

TEST_F(DialTest, DialStringEndingInSemicolonStaysInCommandMode) {
    modem.SetOutcome("5551234", "CONNECT 9600");
    Open();
    ASSERT_TRUE(host->Write("ATDT5551234;\r"));
    ASSERT_TRUE(host->ReadUntil("\r\nOK\r\n"));
    EXPECT_EQ(modem.GetState(), State::Command);
}

TEST_F(DialTest, KeyPressAbortsADialWithNoCarrier) {
    modem.SetOutcome("5551234", "CONNECT 9600@5s");
    Open();
    ASSERT_TRUE(host->Write("ATD5551234\r\n"));  // the LF does not abort
    ASSERT_TRUE(modem.WaitForState(State::Dialing));
    host->Drain(100ms);
    EXPECT_EQ(modem.GetState(), State::Dialing);
    ASSERT_TRUE(host->Write("x"));
    ASSERT_TRUE(host->ReadUntil("\r\nNO CARRIER\r\n"));
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
    ASSERT_TRUE(host->Write("AT\r"));
    EXPECT_TRUE(host->ReadUntil("\r\nOK\r\n"));
}

TEST_F(DialTest, DialingWhileOnlineCommandIsAnError) {
    modem.SetOutcome("1", "CONNECT 2400");
    modem.SetRegister(12, 5);  // 100 ms guard
    Open();
    ASSERT_TRUE(host->Write("ATD1\r"));
    ASSERT_TRUE(host->ReadUntil("CONNECT 2400\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Online));
    std::this_thread::sleep_for(150ms);  // the guard time before "+++" is part of the input
    ASSERT_TRUE(host->Write("+++"));
    ASSERT_TRUE(modem.WaitForState(State::OnlineCommand));
    host->Take();
    ASSERT_TRUE(host->Write("ATD2\r"));
    EXPECT_TRUE(host->ReadUntil("\r\nERROR\r\n"));
    EXPECT_EQ(modem.GetState(), State::OnlineCommand);
}

}  // namespace
