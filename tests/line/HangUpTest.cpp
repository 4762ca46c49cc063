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
    EXPECT_GE(hangUp->first - escape->last, 1250ms);  // 660 ms, then 600 ms after the answer
    EXPECT_EQ(h.State(), MODEM_IDLE);
}

// Answers the modem side of a hang-up by hand: the modem is silent and the
// test says what it answers to the escape (nothing when empty) and to ATH.
// Join the returned thread before the harness goes.
std::thread ScriptModem(LineHarness& h, size_t mark, std::string escapeAnswer, bool answerHangUp) {
    h.modem.SetSilent(true);
    return std::thread([&h, mark, escapeAnswer, answerHangUp] {
        if (!escapeAnswer.empty() && h.modem.WaitForReceived("+++", 8s, mark))
            h.modem.Inject(escapeAnswer);
        if (answerHangUp && h.modem.WaitForReceived("ATH\r", 20s, mark))
            h.modem.Inject("\r\nOK\r\n");
    });
}

TEST(HangUp, NoCarrierToTheEscapeStillHangsUp) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    auto script = ScriptModem(h, mark, "\r\nNO CARRIER\r\n", true);
    EXPECT_EQ(h.line->DropCall(), S_OK);
    script.join();
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    EXPECT_FALSE(
        h.log.With("CModemLine::FrameReceived()", "MODEM_DISCONNECTING_START : Received NO CARRIER")
            .empty());
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);  // NO CARRIER raised nothing
}

TEST(HangUp, RingAfterTheEscapesNoCarrierKeepsTheNewCallOffered) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open({{u"NumRingsAnswer", LONG{1}}}), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    auto script = ScriptModem(h, mark, "\r\nNO CARRIER\r\n\r\nRING\r\n", true);
    EXPECT_EQ(h.line->DropCall(), S_OK);
    script.join();
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
    // The next caller is still offered and can be refused.
    EXPECT_EQ(h.State(), MODEM_CALL_OFFERING);
    EXPECT_EQ(h.line->AnswerCall(0), S_OK);
}

TEST(HangUp, CloseLineFromAnotherThreadWaitsForTheRunningDrop) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    HRESULT closed = E_UNEXPECTED;
    std::thread closer([&] {
        if (h.modem.WaitForReceived("+++", 8s, mark))
            closed = h.line->CloseLine();
    });
    EXPECT_EQ(h.line->DropCall(), S_OK);
    closer.join();
    EXPECT_EQ(closed, S_OK);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
    EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);
    EXPECT_TRUE(h.session->Messages().empty());
    EXPECT_TRUE(PortIsFree(h.port));
}

TEST(HangUp, CallsSentToASingleThreadedHostDuringItsDropDoNotDisturbIt) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    const DWORD hostThread = GetCurrentThreadId();
    HRESULT results[3] = {E_UNEXPECTED, E_UNEXPECTED, E_UNEXPECTED};
    bool delivered = false;
    // Another thread marshals calls to the host's one thread, as a
    // single-threaded host does; they run inside the drop's waits.
    std::thread other([&] {
        if (!h.modem.WaitForReceived("+++", 8s, mark))
            return;
        delivered = SendThreadMessage(
            hostThread,
            [&] {
                results[0] = h.line->CloseLine();
                results[1] = h.line->MakeCall(Bag({{u"PhoneNumber", u"5550000"}}).Get());
                results[2] = h.line->DropCall();
            },
            20000);
    });
    EXPECT_EQ(h.line->DropCall(), S_OK);
    other.join();
    EXPECT_TRUE(delivered);
    EXPECT_EQ(results[0], E_FAIL);  // it cannot wait for the drop it interrupts
    EXPECT_EQ(results[1], E_FAIL);
    EXPECT_EQ(results[2], S_OK);  // the running drop is dropping the call
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_TRUE(PortIsFree(h.port));
}

TEST(HangUp, UnansweredEscapeFallsBackToDroppingDtr) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    auto script = ScriptModem(h, mark, "", true);
    EXPECT_EQ(h.line->DropCall(), S_OK);
    script.join();
    EXPECT_EQ(h.modem.Received().substr(mark), "++++++ATH\r");
    auto first = h.modem.WaitForReceived("+++", 0ms, mark);
    auto second = h.modem.WaitForReceived("+++", 0ms, first->offset + 3);
    auto hangUp = h.modem.WaitForReceived("ATH\r", 0ms, mark);
    ASSERT_TRUE(first && second && hangUp);
    // 660 ms, the 5700 ms wait, DTR low 220 ms and 55 ms after it rose.
    EXPECT_GE(second->first - first->last, 6600ms);
    // The second escape's 5100 ms wait, then 600 ms.
    EXPECT_GE(hangUp->first - second->last, 5650ms);
    EXPECT_FALSE(h.log.With("CSerialPort::DTRClear()", "DTR Clear").empty());
    EXPECT_FALSE(h.log.With("CSerialPort::DTRSet()", "DTR Set...").empty());
    EXPECT_FALSE(h.log.With("CModemLine::HangUpCall()", "WAIT TIMEOUT HAPPENED").empty());
    EXPECT_FALSE(
        h.log.With("CModemLine::HangUpCall() - WAIT_TIMEOUT", "Calling GetResponseFromModem")
            .empty());
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
}

TEST(HangUp, UnansweredHangUpIsSentTwiceThenGivenUp) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
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
    EXPECT_FALSE(
        h.log
            .With("HangupCall - WAIT_OBJECT_0", "Failed to get response for ATH.So cleanup anyway.")
            .empty());
    EXPECT_FALSE(h.log.With("CModemLine::HangUpCall()", "Transmission of ATH failed").empty());
    // The line's own fatal error reached the host (the port was fine).
    auto fatal = h.host->WaitFor(HostEvent::Fatal, 0ms);
    ASSERT_TRUE(fatal);
    EXPECT_EQ(fatal->a, 0);
    // The drop mutex was released: the next drop is not refused as running.
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.LastError(), 9);
}

TEST(HangUp, ModemVanishingDuringTheHangUpEndsTheCallAndTheLineCloses) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    auto script = ScriptModem(h, mark, "\r\nOK\r\n", false);
    std::thread vanish([&] {
        if (h.modem.WaitForReceived("ATH\r", 8s, mark))
            h.modem.Vanish();
    });
    HRESULT dropped = h.line->DropCall();
    script.join();
    vanish.join();
    // The port's failure woke the wait for the OK at once: no second "ATH",
    // and no success without the call's end reaching the host.
    EXPECT_EQ(dropped, E_FAIL);
    EXPECT_EQ(h.LastError(), 1);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_CARRIER_LOST);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    // With the port open, the medium closes through the session, once.
    ASSERT_TRUE(h.session->WaitForMessage());
    EXPECT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.session->Messages().size(), 1u);
    EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
}

TEST(HangUp, ModemVanishingDuringADataCallIsReportedAndCloseLineCloses) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    h.modem.Vanish();
    EXPECT_EQ(h.line->CloseLine(), E_FAIL);  // the call could not be hung up
    // Closed all the same: a second close has nothing left to do.
    EXPECT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_CARRIER_LOST);
    // The failure reaches the session, or the host once the line is closed.
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.session->Messages().size() + h.host->Count(HostEvent::Fatal), 1u);
}

TEST(HangUp, DropWhileDiallingCancelsTheCall) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    h.modem.SetOutcome("5551234", "SILENCE");
    ASSERT_EQ(h.line->MakeCall(Bag({{u"PhoneNumber", u"5551234"}}).Get()), S_OK);
    ASSERT_TRUE(h.modem.WaitForReceived("ATDT5551234\r"));
    size_t mark = h.modem.ReceivedSize();
    EXPECT_EQ(h.line->DropCall(), S_OK);
    // A dialling modem is not in data mode: the escape goes unanswered, the
    // DTR fallback and a second escape follow, then the hang-up command.
    EXPECT_EQ(h.modem.Received().substr(mark), "++++++ATH\r");
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.host->Count(HostEvent::Connected), 0u);
}

TEST(HangUp, TwoDropsAtOnceHangUpOnce) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    HRESULT other = E_UNEXPECTED;
    std::thread second([&] { other = h.line->DropCall(); });
    EXPECT_EQ(h.line->DropCall(), S_OK);
    second.join();
    EXPECT_EQ(other, S_OK);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
}

TEST(HangUp, DropOnAnIdleLineSendsNothing) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    size_t mark = h.modem.ReceivedSize();
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.LastError(), 9);
    EXPECT_FALSE(h.log.With("CModemLine::DropCall()", "The line is busy").empty());
    EXPECT_EQ(h.modem.ReceivedSize(), mark);
    // HangUpCall itself refuses where there is nothing to hang up.
    EXPECT_EQ(h.impl->HangUpCall(), S_OK);
    EXPECT_FALSE(h.log.With("CModemLine::HangUpCall()", "Disconnect is not allowed").empty());
    EXPECT_EQ(h.modem.ReceivedSize(), mark);
}

TEST(HangUp, OldSystemsCloseAndReopenTheLineAfterwards) {
    struct Version {
        Version() { SetReportedVersion(4, 0); }
        ~Version() { SetReportedVersion(0, 0); }
    } oldSystem;
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    auto hangUp = h.modem.WaitForReceived("ATH\r", 0ms, mark);
    auto init = h.modem.WaitForReceived("ATZ\r", 0ms, mark);
    ASSERT_TRUE(hangUp && init);
    // Closed, 2000 ms, opened again with the same settings: 300 ms, ATZ.
    EXPECT_GE(init->first - hangUp->last, 2250ms);
    EXPECT_EQ(h.LastError(), 0);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    // Open again: a ring is counted.
    h.modem.Inject("\r\nRING\r\n");
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Offering));
}

TEST(HangUp, CloseLineHangsUpACallInProgress) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect());
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->CloseLine(), S_OK);
    EXPECT_EQ(h.modem.Received().substr(mark), "+++ATH\r");
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
    CSerialPort probe;  // the device is free again
    EXPECT_EQ(probe.CreatePort(h.port.c_str()), SP_OK);
    probe.DestroyPort();
    // And it opens again.
    EXPECT_EQ(h.Open(), S_OK);
}

}  // namespace
}  // namespace tarvik::test
