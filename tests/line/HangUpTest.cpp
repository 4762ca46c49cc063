// Call teardown against the simulator: DropCall, HangUpCall and CloseLine
// during a call. The pauses are measured from the simulator's receive times.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

TEST(HangUp, ModemAnsweringOkToEscapeAndHangUp) {
    LineHarness h;
    ASSERT_TRUE(h.StartConnected());
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.LastError(), 0);
    // A host that shuts down the moment the drop returns still hears of it.
    ASSERT_EQ(h.line->Shutdown(), S_OK);
    auto events = h.host->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, HostEvent::Disconnected);
    EXPECT_EQ(events[1].a, DISCONNECT_NORMAL);
    auto escape = h.modem.WaitForReceived("+++", 0ms, mark);
    auto hangUp = h.modem.WaitForReceived("ATH\r", 2s, mark);
    ASSERT_TRUE(escape && hangUp);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    // 660 ms, then 600 ms after the answer. The stamps are the simulator's read
    // times, and a late read of the earlier bytes shortens the gap: slack below.
    EXPECT_GE(hangUp->first - escape->last, 1150ms);
    EXPECT_EQ(h.State(), MODEM_IDLE);
}

// Answers the modem side of a hang-up by hand: the modem is silent and the
// test says what it answers to the escape (nothing when empty), after
// `beforeAnswer` has run, and to ATH. Join the returned thread before the
// harness goes.
std::thread ScriptModem(LineHarness& h, size_t mark, std::string escapeAnswer, bool answerHangUp,
                        std::function<void()> beforeAnswer = {}) {
    h.modem.SetSilent(true);
    return std::thread([&h, mark, escapeAnswer, answerHangUp, beforeAnswer] {
        if (!escapeAnswer.empty() && h.modem.WaitForReceived("+++", 8s, mark)) {
            if (beforeAnswer)
                beforeAnswer();
            h.modem.Inject(escapeAnswer);
        }
        if (answerHangUp && h.modem.WaitForReceived("ATH\r", 20s, mark))
            h.modem.Inject("\r\nOK\r\n");
    });
}

// NO CARRIER to the escape still hangs up and raises no event of its own; a
// RING right after it keeps the new call offered.
TEST(HangUp, RingAfterTheEscapesNoCarrierKeepsTheNewCallOffered) {
    for (bool ring : {false, true}) {
        SCOPED_TRACE(ring ? "RING after NO CARRIER" : "NO CARRIER");
        LineHarness h;
        ASSERT_TRUE(h.StartConnected({{u"NumRingsAnswer", LONG{1}}}));
        size_t mark = h.modem.ReceivedSize();
        auto script = ScriptModem(
            h, mark, ring ? "\r\nNO CARRIER\r\n\r\nRING\r\n" : "\r\nNO CARRIER\r\n", !ring);
        EXPECT_EQ(h.line->DropCall(), S_OK);
        script.join();
        EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NORMAL);
        EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
        EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
        if (!ring) {
            EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
            continue;
        }
        // The next caller is still offered and can be refused.
        ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
        EXPECT_EQ(h.State(), MODEM_CALL_OFFERING);
        EXPECT_EQ(h.line->AnswerCall(0), S_OK);
    }
}

// A second DropCall (at once) or a CloseLine (once the escape is out) from
// another thread: one hang-up, one CallDisconnected, nothing else.
TEST(HangUp, CloseLineFromAnotherThreadWaitsForTheRunningDrop) {
    for (bool close : {true, false}) {
        SCOPED_TRACE(close ? "CloseLine" : "DropCall");
        LineHarness h;
        ASSERT_TRUE(h.StartConnected());
        size_t mark = h.modem.ReceivedSize();
        HRESULT other = E_UNEXPECTED;
        std::thread second([&] {
            if (!close)
                other = h.line->DropCall();
            else if (h.modem.WaitForReceived("+++", 8s, mark))
                other = h.line->CloseLine();
        });
        EXPECT_EQ(h.line->DropCall(), S_OK);
        second.join();
        EXPECT_EQ(other, S_OK);
        EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
        ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
        EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
        EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
        EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);
        EXPECT_TRUE(h.session->Messages().empty());
        // Closed, its port free (Wine opens a held port all the same), or
        // still open: a second opening is refused.
        if (close) {
            EXPECT_TRUE(PortIsFree(h.port));
        }
        EXPECT_EQ(h.Open(), close ? S_OK : E_FAIL);
    }
}

TEST(HangUp, CallsSentToASingleThreadedHostDuringItsDropDoNotDisturbIt) {
    LineHarness h;
    ASSERT_TRUE(h.StartConnected());
    size_t mark = h.modem.ReceivedSize();
    const DWORD hostThread = GetCurrentThreadId();
    HRESULT results[4] = {E_UNEXPECTED, E_UNEXPECTED, E_UNEXPECTED, E_UNEXPECTED};
    bool delivered = false;
    // Another thread marshals calls to the host's one thread, as a
    // single-threaded host does; they run inside the drop's wait for the
    // escape's answer, which comes once they have.
    auto other = ScriptModem(h, mark, "\r\nOK\r\n", true, [&] {
        delivered = SendThreadMessage(
            hostThread,
            [&] {
                results[0] = h.line->CloseLine();
                results[1] = h.Dial("5550000");
                results[2] = h.line->DropCall();
                results[3] = h.line->Shutdown();
            },
            20000);
    });
    EXPECT_EQ(h.line->DropCall(), S_OK);
    other.join();
    EXPECT_TRUE(delivered);
    EXPECT_EQ(results[0], E_FAIL);  // it cannot wait for the drop it interrupts
    EXPECT_EQ(results[1], E_FAIL);
    EXPECT_EQ(results[2], S_OK);  // the running drop is dropping the call
    EXPECT_EQ(results[3], E_FAIL);
    ExpectMarkersByRule(h.log);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_TRUE(PortIsFree(h.port));
}

TEST(HangUp, UnansweredHangUpIsSentTwiceThenGivenUp) {
    LineHarness h;
    ASSERT_TRUE(h.StartConnected());
    size_t mark = h.modem.ReceivedSize();
    auto script = ScriptModem(h, mark, "\r\nOK\r\n", false);
    auto before = Clock::now();
    EXPECT_EQ(h.line->DropCall(), E_FAIL);
    script.join();
    EXPECT_GE(Clock::now() - before, 8000ms);  // two 4000 ms waits
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\rATH\r");
    EXPECT_EQ(h.LastError(), 1);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(TakeErrorDescription(), u"CModemLine::Disconnect\n");
    // The line's own fatal error reached the host (the port was fine).
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Fatal, 0ms), 0);
    // The drop mutex was released: the next drop is not refused as running.
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.LastError(), 9);
}

// The device vanishes while the escape awaits its answer, or while the hang-up
// command does: the port's failure ends the wait at once.
TEST(HangUp, ModemVanishingDuringTheHangUpEndsTheCallAndTheLineCloses) {
    const struct {
        const char* vanishAfter;
        const char* escapeAnswer;
    } cases[] = {{"+++", ""}, {"ATH\r", "\r\nOK\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vanishAfter);
        LineHarness h;
        ASSERT_TRUE(h.StartConnected());
        size_t mark = h.modem.ReceivedSize();
        auto script = ScriptModem(h, mark, c.escapeAnswer, false);
        std::thread vanish([&] {
            if (h.modem.WaitForReceived(c.vanishAfter, 8s, mark))
                h.modem.Vanish();
        });
        auto start = Clock::now();
        HRESULT dropped = h.line->DropCall();
        // Well inside the 5700 ms the answer to "+++" is waited for.
        EXPECT_LT(Clock::now() - start, 5000ms);
        script.join();
        vanish.join();
        // No further command, and no success without the call's end
        // reaching the host.
        EXPECT_EQ(dropped, E_FAIL);
        EXPECT_EQ(h.LastError(), LINE_ERROR_NO_RESPONSE);
        EXPECT_EQ(h.modem.Received().substr(mark),
                  std::string("+++") + (c.escapeAnswer[0] ? "ATH\r" : ""));
        EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_CARRIER_LOST);
        EXPECT_EQ(h.State(), MODEM_IDLE);
        // With the port open, the medium closes through the session, once.
        ASSERT_TRUE(h.session->WaitForMessage());
        EXPECT_EQ(h.line->CloseLine(), S_OK);
        EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
        EXPECT_EQ(h.session->Messages().size(), 1u);
        EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);
        EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
    }
}

TEST(HangUp, ModemVanishingDuringADataCallIsReportedAndCloseLineCloses) {
    LineHarness h;
    ASSERT_TRUE(h.StartConnected());
    h.modem.Vanish();
    // The call cannot be hung up, but the line closed as asked.
    EXPECT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_CARRIER_LOST);
    // The failure reaches the session, or the host once the line is closed.
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.session->Messages().size() + h.host->Count(HostEvent::Fatal), 1u);
}

TEST(HangUp, DropWhileDiallingCancelsTheCallThroughTheDtrFallback) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5551234", "SILENCE");
    ASSERT_EQ(h.Dial(), S_OK);
    ASSERT_TRUE(h.modem.WaitForReceived("ATDT5551234\r"));
    size_t mark = h.modem.ReceivedSize();
    EXPECT_EQ(h.line->DropCall(), S_OK);
    // A dialling modem is not in data mode: the escape goes unanswered, the
    // DTR fallback and a second escape follow, then the hang-up command.
    EXPECT_EQ(h.modem.Received().substr(mark), "++++++ATH\r");
    auto first = h.modem.WaitForReceived("+++", 0ms, mark);
    auto second = h.modem.WaitForReceived("+++", 0ms, first ? first->offset + 3 : mark);
    auto hangUp = h.modem.WaitForReceived("ATH\r", 0ms, mark);
    ASSERT_TRUE(first && second && hangUp);
    // 660 ms, the 5700 ms wait, DTR low 220 ms and 55 ms after it rose.
    EXPECT_GE(second->first - first->last, 6450ms);
    // The second escape's 5100 ms wait, then 600 ms.
    EXPECT_GE(hangUp->first - second->last, 5500ms);
    // A pseudo-terminal has no DTR line: the port's log is the evidence.
    EXPECT_FALSE(h.log.With("CSerialPort::DTRClear()", "DTR Clear").empty());
    EXPECT_FALSE(h.log.With("CSerialPort::DTRSet()", "DTR Set...").empty());
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NORMAL);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.host->Count(HostEvent::Connected), 0u);
}

TEST(HangUp, OldSystemsCloseAndReopenTheLineAfterwards) {
    struct Version {
        Version() { SetReportedVersion(4, 0); }
        ~Version() { SetReportedVersion(0, 0); }
    } oldSystem;
    LineHarness h;
    ASSERT_TRUE(h.StartConnected());
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    auto hangUp = h.modem.WaitForReceived("ATH\r", 0ms, mark);
    auto init = h.modem.WaitForReceived("ATZ\r", 0ms, mark);
    ASSERT_TRUE(hangUp && init);
    // Closed, 2000 ms, opened again with the same settings: 300 ms, ATZ.
    EXPECT_GE(init->first - hangUp->last, 2150ms);
    EXPECT_EQ(h.LastError(), 0);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    // Open again: a ring is counted.
    h.modem.Inject("\r\nRING\r\n");
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Offering));
}

TEST(HangUp, CloseLineHangsUpACallInProgressAndAnIdleLineHasNothingToHangUp) {
    LineHarness h;
    ASSERT_TRUE(h.StartConnected());
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NORMAL);
    EXPECT_TRUE(PortIsFree(h.port));
    ASSERT_EQ(h.Open(), S_OK);  // and it opens again
    // On an idle line neither a drop nor the hang-up itself sends anything.
    size_t idle = h.modem.ReceivedSize();
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.LastError(), 9);
    EXPECT_EQ(h.impl->HangUpCall(), S_OK);
    EXPECT_EQ(h.modem.ReceivedSize(), idle);
}

}  // namespace
}  // namespace tarvik::test
