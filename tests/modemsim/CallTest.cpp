// Calls on one simulated modem: dial outcomes and their delays, ringing and
// answering, the "+++" escape with its guard time, and the DTR input. (Caller
// ID, silence, key-press aborts and hanging up are checked through the line.)
#include <thread>
#include <vector>

#include "HostPort.h"

using namespace std::chrono_literals;
using tarvik::test::SimModem;

namespace {

class CallTest : public tarvik::test::SimTest {};

TEST_F(CallTest, DialReportsTheOutcomeOfTheNumberAfterItsDelay) {
    const struct {
        const char *outcome, *dial, *reply;
        State after;
    } rows[] = {
        {"BUSY@150ms", "ATDT 555-1234\r", "\r\nBUSY\r\n", State::Command},
        // Dial modifiers are no part of the number.
        {"NO CARRIER@150ms", "ATDP,W(555) 12!@34\r", "\r\nNO CARRIER\r\n", State::Command},
        {"CONNECT 14400/ARQ@150ms", "ATD5551234\r", "\r\nCONNECT 14400/ARQ\r\n", State::Online},
    };
    Open();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.dial);
        modem.SetOutcome("5551234", r.outcome);
        const size_t lines = modem.Lines().size(), sent = modem.SentSize();
        ASSERT_TRUE(host->Write(r.dial));
        auto dialed = modem.WaitForLine("ATD", SimModem::kWait, lines);
        auto reply = modem.WaitForSent(r.reply, SimModem::kWait, sent);
        ASSERT_TRUE(dialed && reply);
        EXPECT_GE(reply->first - dialed->at, 150ms);
        ASSERT_TRUE(host->ReadUntil(r.reply));
        EXPECT_EQ(host->Take(), r.reply);
        EXPECT_TRUE(modem.WaitForState(r.after));
    }
}

TEST_F(CallTest, AnswersAfterS0RingsAtTheCadence) {
    modem.SetRingCadence(200ms);
    Open("ATE0S0=2\r");
    const size_t mark = modem.SentSize();
    modem.Ring();
    ASSERT_TRUE(host->ReadUntil("CONNECT 9600\r\n"));
    EXPECT_EQ(host->Take(), "\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 9600\r\n");
    auto first = modem.WaitForSent("RING", 0ms, mark);
    auto second = modem.WaitForSent("RING", 0ms, first ? first->offset + 1 : mark);
    ASSERT_TRUE(first && second);
    EXPECT_GE(second->first - first->first, 200ms);
    EXPECT_EQ(modem.Register(1), 2);
    EXPECT_TRUE(modem.WaitForState(State::Online));
}

TEST_F(CallTest, AnswerWithoutACallGivesUpAfterS7) {
    Open("ATE0S7=1\r");
    ASSERT_TRUE(host->Write("ATA\r"));
    auto ata = modem.WaitForLine("ATA");
    auto nc = modem.WaitForSent("NO CARRIER");
    ASSERT_TRUE(ata && nc);
    EXPECT_GE(nc->first - ata->at, 1000ms);
}

TEST_F(CallTest, EscapeNeedsTheGuardTimeOfSilenceAroundIt) {
    constexpr auto guard = 200ms;
    modem.SetRegister(12, 10);
    Open();
    Connect();
    // The silence before an escape is something the host must produce.
    const auto quiet = [&] { std::this_thread::sleep_for(guard * 3 / 2); };
    // Data right before or after the pluses, a fourth plus, pluses each after
    // a pause, pluses that are not S2: all data, looped back by the call.
    const struct {
        char s2;
        std::vector<const char*> pieces;
    } data[] = {
        {'+', {"a+++"}}, {'+', {"+++b"}}, {'+', {"++++"}}, {'+', {"+", "+", "+"}}, {'~', {"+++"}}};
    for (const auto& d : data) {
        modem.SetRegister(2, d.s2);
        std::string all;
        for (const char* piece : d.pieces) {
            quiet();
            ASSERT_TRUE(host->Write(piece));
            all += piece;
        }
        host->Drain(guard * 3);
        EXPECT_EQ(host->Take(), all);
        EXPECT_EQ(modem.GetState(), State::Online) << all;
    }

    quiet();
    const size_t sent = modem.SentSize();
    ASSERT_TRUE(host->Write("~~~"));
    auto esc = modem.WaitForReceived("~~~");
    auto ok = modem.WaitForSent("\r\nOK\r\n", SimModem::kWait, sent);
    ASSERT_TRUE(esc && ok);
    EXPECT_GE(ok->first - esc->last, guard);
    ASSERT_TRUE(modem.WaitForState(State::OnlineCommand));
    // The call is still up: no dialing from here, ATO goes back online.
    ASSERT_TRUE(host->SendUntil("ATD2\r", "\r\nERROR\r\n"));
    ASSERT_TRUE(host->SendUntil("ATO\r", "\r\nCONNECT 9600\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Online));
    host->Take();
    EXPECT_TRUE(host->SendUntil("data", "data"));
}

TEST_F(CallTest, DtrLowLongerThanS25EndsTheCallOrWithAmpD1LeavesDataMode) {
    modem.SetRegister(25, 30);  // 300 ms
    Open();
    Connect();
    // A blip shorter than S25 is ignored; a caller meanwhile finds the line busy.
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
    ASSERT_TRUE(host->SendUntil("AT&D1\r", "\r\nOK\r\n"));
    host->Take();
    Connect();
    modem.SetDtr(false);
    ASSERT_TRUE(host->ReadUntil("\r\nOK\r\n"));
    EXPECT_TRUE(modem.WaitForState(State::OnlineCommand));
}

}  // namespace
