// Answering and refusing offered calls against the simulator: the bytes each
// answering mode sends and the pauses between them, the reports, LastError,
// the re-answer and the give-up, and two answers racing for one call.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

constexpr const char* kAnswering = "Answering the Incoming Call ";
constexpr const char* kRefusal =
    "Received Incoming Call.Not answering since you have not set the unsolicited setting for "
    "this port";

TEST(IncomingAnswer, RefusalSendsNothingReportsAndOffersAgainWhileItRings) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    size_t mark = h.modem.ReceivedSize();
    // Without an offer, neither answer nor refusal is taken.
    EXPECT_EQ(h.line->AnswerCall(1), E_FAIL);
    EXPECT_EQ(h.LastError(), 12);
    EXPECT_EQ(h.line->AnswerCall(0), E_FAIL);
    EXPECT_TRUE(h.reporter.WithCode(1004).empty());
    h.modem.Ring();
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_EQ(h.line->AnswerCall(0), S_OK);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    auto report = h.reporter.WaitForCode(1004, 5s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, kRefusal);
    EXPECT_EQ(report->value1.vt, VT_I4);
    EXPECT_EQ(report->value1.lVal, 80);
    EXPECT_EQ(report->source, h.port);
    // The call keeps ringing: counted afresh and offered once more.
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering, 8s, 1));
    EXPECT_EQ(h.modem.Received().substr(mark), "");
}

TEST(IncomingAnswer, StandardModeGoesOffHookThenAnswersAndTheCallConnectsIncoming) {
    LineHarness h;
    ASSERT_TRUE(h.StartOffered());
    size_t mark = h.modem.ReceivedSize();
    auto before = Clock::now();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    auto took = Clock::now() - before;
    EXPECT_EQ(h.LastError(), 0);

    auto offHook = h.modem.WaitForReceived("ATH1", 0ms, mark);
    auto answer = h.modem.WaitForReceived("ATA\r", 0ms, mark);
    ASSERT_TRUE(offHook && answer);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATH1ATA\r");
    EXPECT_GE(offHook->first - before, 290ms);
    // 300 ms pause, 600 ms wait for a reply that must not come, 300 ms pause.
    EXPECT_GE(answer->first - offHook->last, 1150ms);
    // ... and after the answer 300 ms pause and a 300 ms wait that runs out.
    EXPECT_GE(took, 2000ms);

    EXPECT_EQ(h.host->WaitForValue(HostEvent::Connected), 1);
    EXPECT_EQ(h.State(), MODEM_CONNECTED);
    auto report = h.reporter.WaitForCode(1004, 5s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, kAnswering);
    EXPECT_EQ(report->value1.lVal, 80);

    h.KeepQuiet();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NORMAL);
    EXPECT_TRUE(h.WaitForState(MODEM_IDLE));
}

// A smart modem answers without going off hook; a KVR line answers by
// dialling, even when also smart.
TEST(IncomingAnswer, SmartAndKvrModesSendTheirOwnAnswer) {
    for (bool kvr : {false, true}) {
        SCOPED_TRACE(kvr ? "KVR" : "smart");
        LineHarness h;
        h.modem.SetDefaultOutcome(SimModem::Outcome::Connect("2400"));
        ASSERT_TRUE(h.StartOffered({{u"KVRIncoming", LONG{kvr}}, {u"AnsweringMode", LONG{1}}}));
        size_t mark = h.modem.ReceivedSize();
        auto before = Clock::now();
        ASSERT_EQ(h.line->AnswerCall(1), S_OK);
        const std::string answer = kvr ? "ATD\r" : "ATA\r";
        auto sent = h.modem.WaitForReceived(answer, 0ms, mark);
        ASSERT_TRUE(sent);
        EXPECT_EQ(h.modem.Received().substr(mark), answer);
        EXPECT_GE(sent->first - before, 290ms);
        EXPECT_EQ(h.host->WaitForValue(HostEvent::Connected), 1);
        EXPECT_EQ(h.LastError(), 0);
    }
}

// What the modem does while the line goes off hook ("ATH1" carries no CR, so
// the modem itself stays quiet): an OK in the middle of the line's 600 ms
// wait means the modem is not responding; the caller hanging up leaves the
// line idle before the answer command would go out. Neither is answered.
TEST(IncomingAnswer, ReplyOrHangUpDuringTheOffHookStepIsNotAnswered) {
    for (bool callerGone : {false, true}) {
        SCOPED_TRACE(callerGone ? "caller gone" : "OK to the off-hook command");
        LineHarness h;
        ASSERT_TRUE(h.StartOffered());
        size_t mark = h.modem.ReceivedSize();
        std::atomic<HRESULT> result{E_UNEXPECTED};
        std::thread answering([&] { result = h.line->AnswerCall(1); });
        auto offHook = h.modem.WaitForReceived("ATH1", 5s, mark);
        if (offHook && callerGone) {
            h.modem.DropCarrier();  // no more RINGs
            h.modem.Inject("\r\nNO CARRIER\r\n");
        } else if (offHook) {
            h.modem.InjectAfter(600ms, "\r\nOK\r\n");  // 300 ms after the send
        }
        answering.join();
        ASSERT_TRUE(offHook);
        EXPECT_EQ(result.load(), callerGone ? E_FAIL : S_OK);
        EXPECT_EQ(h.LastError(), callerGone ? 12 : 15);
        EXPECT_EQ(h.State(), callerGone ? MODEM_IDLE : MODEM_ANSWERING);
        if (!callerGone) {
            auto fatal = h.host->WaitFor(HostEvent::Fatal, 5s);
            ASSERT_TRUE(fatal);
            EXPECT_TRUE(fatal->a == 0 && fatal->b == 0 && fatal->c == 0);
        }
        EXPECT_EQ(h.modem.Received().substr(mark), "ATH1");
        EXPECT_TRUE(h.reporter.WithCode(1004).empty());
    }
}

TEST(IncomingAnswer, FirstRingAfterAnsweringAnswersAgainAndTheSixthGivesUp) {
    LineHarness h;
    ASSERT_TRUE(h.StartOffered({{u"AnsweringMode", LONG{1}}}));
    // The modem swallows both answers and the call goes on ringing.
    h.modem.ReplyToNextLine("ATA", "");
    h.modem.ReplyToNextLine("ATA", "");
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);

    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected, 15s), DISCONNECT_ANSWER_FAILED);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATA\rATA\r");
    auto reports = h.reporter.WithCode(1004);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].data, kAnswering);
    // The call still rings: the idle line counts it afresh and offers it.
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering, 8s, 1));
}

TEST(IncomingAnswer, FramesKeepComingWhileTheLineAnswersAgain) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"AnsweringMode", LONG{1}}}));
    h.modem.Ring(1);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    h.modem.ReplyToNextLine("ATA", "");
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    // The RING starts the re-answer; the CONNECT right behind it is read at
    // once, so the re-answer finds the call up and sends nothing.
    h.modem.Inject("\r\nRING\r\n\r\nCONNECT 9600\r\n");
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Connected), 1);
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.modem.Received().substr(mark), "ATA\r");
    SignalNamedEvent("Tarvik");
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
}

TEST(IncomingAnswer, RingAfterAStandardAnswerRepeatsTheOffHookStep) {
    LineHarness h;
    ASSERT_TRUE(h.StartOffered());
    h.modem.ReplyToNextLine("ATA", "");
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    // The re-answer goes off hook again before "ATA\r"; this time the modem
    // takes it and the call connects as an incoming one.
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Connected, 10s), 1);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATH1ATA\rATH1ATA\r");
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));  // the re-answer reports last
    EXPECT_EQ(h.reporter.WithCode(1004).size(), 2u);
}

// Linux only: holding the line's output takes a descriptor of the
// pseudo-terminal itself, which a Windows process cannot have.
#ifndef _WIN32
TEST(IncomingAnswer, UnconfirmedAnswerIsReportedAndTheNextRingAnswersAgain) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    // A descriptor of the terminal's own, taken before the line opens it: it
    // holds the line's output and leaves the answer command unconfirmed.
    int slave = open(h.modem.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(h.Open({{u"AnsweringMode", LONG{1}}}), S_OK);
    h.modem.SetSilent(true);
    h.modem.Inject("\r\nRING\r\n");
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    size_t mark = h.modem.ReceivedSize();
    auto before = Clock::now();
    EXPECT_EQ(h.line->AnswerCall(1), S_OK);
    // 300 ms pause, then 4000 ms for a transmission that never completes.
    EXPECT_GE(Clock::now() - before, 4250ms);
    EXPECT_EQ(h.LastError(), 15);
    EXPECT_EQ(h.State(), MODEM_ANSWERING);
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Fatal, 5s));
    EXPECT_TRUE(h.reporter.WithCode(1004).empty());
    ASSERT_EQ(tcflow(slave, TCOON), 0);
    close(slave);
    auto held = h.modem.WaitForReceived("ATA\r", 1s, mark);  // if the port kept it

    // The answer counts as pending: the next RING answers once more.
    h.modem.Inject("\r\nRING\r\n");
    EXPECT_EQ(WaitForReport(h.reporter, 1004, 5s), kAnswering);
    EXPECT_TRUE(h.modem.WaitForReceived("ATA\r", 5s, held ? held->offset + 4 : mark));
}
#endif

TEST(IncomingAnswer, TwoAnswersAtOnceAnswerOnce) {
    LineHarness h;
    ASSERT_TRUE(h.StartOffered({{u"AnsweringMode", LONG{1}}}));
    size_t mark = h.modem.ReceivedSize();
    // Both threads leave the gate together, so the claim is contested. Not
    // std::latch: with mingw's GCC 12 two threads arriving together can both
    // wait for good (a loop of such latches under Wine stopped within a few
    // thousand rounds; this gate ran 20000).
    std::mutex gate;
    std::condition_variable opened;
    int arrived = 0;
    HRESULT results[2] = {E_UNEXPECTED, E_UNEXPECTED};
    auto answer = [&](int i) {
        {
            std::unique_lock lock(gate);
            if (++arrived == 2)
                opened.notify_all();
            opened.wait(lock, [&] { return arrived == 2; });
        }
        results[i] = h.line->AnswerCall(1);
    };
    std::thread a(answer, 0), b(answer, 1);
    a.join();
    b.join();
    EXPECT_EQ((results[0] == S_OK) + (results[1] == S_OK), 1);
    EXPECT_EQ((results[0] == E_FAIL) + (results[1] == E_FAIL), 1);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Connected));
    EXPECT_EQ(h.modem.Received().substr(mark), "ATA\r");
    EXPECT_EQ(h.reporter.WithCode(1004).size(), 1u);
    EXPECT_EQ(h.log.With("CModemLine::AnswerCall()", "The line is busy").size(), 1u);
}

}  // namespace
}  // namespace tarvik::test
