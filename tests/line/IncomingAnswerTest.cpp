// Answering and refusing offered calls against the simulator: the bytes each
// answering mode sends and the pauses between them, the reports, LastError,
// the re-answer and the give-up, and two answers racing for one call.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "line/LineTestKit.h"
#include "pty/PtyPair.h"

namespace tarvik::test {
namespace {

constexpr const char* kAnswering = "Answering the Incoming Call ";
constexpr const char* kRefusal =
    "Received Incoming Call.Not answering since you have not set the unsolicited setting for "
    "this port";

// Opens `h` with `extra` settings, rings it and waits for the offer.
void RingUntilOffered(LineHarness& h,
                      std::initializer_list<std::pair<std::u16string, FieldValue>> extra = {}) {
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(extra), S_OK);
    h.modem.Ring();
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_EQ(h.State(), MODEM_CALL_OFFERING);
}

TEST(IncomingAnswer, RefusalSendsNothingReportsAndOffersAgainWhileItRings) {
    LineHarness h;
    RingUntilOffered(h);
    size_t mark = h.modem.ReceivedSize();
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
    EXPECT_TRUE(h.log.WithFunction("CModemLine::AnswerCall()").empty());
}

TEST(IncomingAnswer, RefusedBeforeOpenOrWithoutAnOffer) {
    void* pv = nullptr;
    ASSERT_EQ(line::CreateModemLine(nullptr, nullptr, IID_IModemLine, &pv), S_OK);
    ComPtr<IModemLine> bare;
    bare.Attach(static_cast<IModemLine*>(pv));
    EXPECT_EQ(bare->AnswerCall(1), E_FAIL);
    LONG error = 0;
    bare->get_LastError(&error);
    EXPECT_EQ(error, 6);
    EXPECT_EQ(TakeErrorDescription(), u"CModemLine::AnswerCall\n");

    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    size_t mark = h.modem.ReceivedSize();
    EXPECT_EQ(h.line->AnswerCall(1), E_FAIL);
    EXPECT_EQ(h.LastError(), 12);
    EXPECT_FALSE(h.log.With("CModemLine::AnswerCall()", "The line is busy").empty());
    EXPECT_EQ(h.line->AnswerCall(0), E_FAIL);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.modem.Received().substr(mark), "");
    EXPECT_TRUE(h.reporter.WithCode(1004).empty());
}

TEST(IncomingAnswer, StandardModeGoesOffHookThenAnswersAndTheCallConnectsIncoming) {
    LineHarness h;
    RingUntilOffered(h);
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

    auto up = h.host->WaitFor(HostEvent::Connected);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, 1);
    EXPECT_EQ(h.State(), MODEM_CONNECTED);
    auto report = h.reporter.WaitForCode(1004, 5s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, kAnswering);
    EXPECT_EQ(report->value1.lVal, 80);
    EXPECT_FALSE(h.log.With("CModemLine::AnswerCall()", "Answering the call...").empty());
    EXPECT_TRUE(h.log.With("CModemLine::AnswerCall()", "Smart modem.*** EXTRA LOGS ***").empty());

    Sleep(20 * static_cast<DWORD>(h.modem.Register(12)) + 100);  // escape guard time
    ASSERT_EQ(h.line->DropCall(), S_OK);
    auto down = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
    EXPECT_TRUE(h.WaitForState(MODEM_IDLE));
}

TEST(IncomingAnswer, SmartModemAnswersWithoutGoingOffHook) {
    LineHarness h;
    RingUntilOffered(h, {{u"AnsweringMode", LONG{1}}});
    size_t mark = h.modem.ReceivedSize();
    auto before = Clock::now();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    auto answer = h.modem.WaitForReceived("ATA\r", 0ms, mark);
    ASSERT_TRUE(answer);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATA\r");
    EXPECT_GE(answer->first - before, 290ms);
    EXPECT_FALSE(h.log.With("CModemLine::AnswerCall()", "Smart modem.*** EXTRA LOGS ***").empty());
    auto up = h.host->WaitFor(HostEvent::Connected);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, 1);
    EXPECT_EQ(h.LastError(), 0);
}

TEST(IncomingAnswer, KvrLineAnswersByDiallingEvenWhenAlsoSmart) {
    LineHarness h;
    h.modem.SetDefaultOutcome(SimModem::Outcome::Connect("2400"));
    RingUntilOffered(h, {{u"KVRIncoming", LONG{1}}, {u"AnsweringMode", LONG{1}}});
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    ASSERT_TRUE(h.modem.WaitForReceived("ATD\r", 0ms, mark));
    EXPECT_EQ(h.modem.Received().substr(mark), "ATD\r");
    EXPECT_TRUE(h.log.With("CModemLine::AnswerCall()", "Smart modem.*** EXTRA LOGS ***").empty());
    auto up = h.host->WaitFor(HostEvent::Connected);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, 1);
}

TEST(IncomingAnswer, ReplyToTheOffHookCommandMeansTheModemIsNotResponding) {
    LineHarness h;
    RingUntilOffered(h);
    size_t mark = h.modem.ReceivedSize();
    std::atomic<HRESULT> result{E_UNEXPECTED};
    std::thread answering([&] { result = h.line->AnswerCall(1); });
    // "ATH1" carries no CR, so the modem itself stays quiet; the reply is
    // played in the middle of the line's 600 ms wait (300 ms after the send).
    auto offHook = h.modem.WaitForReceived("ATH1", 5s, mark);
    if (offHook)
        h.modem.InjectAfter(600ms, "\r\nOK\r\n");
    answering.join();
    ASSERT_TRUE(offHook);
    EXPECT_EQ(result.load(), S_OK);
    EXPECT_EQ(h.LastError(), 15);
    EXPECT_EQ(h.State(), MODEM_ANSWERING);
    EXPECT_FALSE(h.log.With("CModemLine::AnswerCall()", "The modem is not responding").empty());
    auto fatal = h.host->WaitFor(HostEvent::Fatal, 5s);
    ASSERT_TRUE(fatal);
    EXPECT_EQ(fatal->a, 0);
    EXPECT_EQ(fatal->b, 0);
    EXPECT_EQ(fatal->c, 0);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATH1");
    EXPECT_TRUE(h.reporter.WithCode(1004).empty());
}

TEST(IncomingAnswer, CallerGoneDuringTheOffHookStepIsNotAnswered) {
    LineHarness h;
    RingUntilOffered(h);
    size_t mark = h.modem.ReceivedSize();
    std::atomic<HRESULT> result{E_UNEXPECTED};
    std::thread answering([&] { result = h.line->AnswerCall(1); });
    // The caller hangs up while the line goes off hook: the line is idle
    // again before the answer command would go out.
    auto offHook = h.modem.WaitForReceived("ATH1", 5s, mark);
    if (offHook) {
        h.modem.DropCarrier();  // no more RINGs
        h.modem.Inject("\r\nNO CARRIER\r\n");
    }
    answering.join();
    ASSERT_TRUE(offHook);
    EXPECT_EQ(result.load(), E_FAIL);
    EXPECT_EQ(h.LastError(), 12);
    EXPECT_EQ(h.State(), MODEM_IDLE) << h.modem.Sent();
    EXPECT_EQ(h.modem.Received().substr(mark), "ATH1");
    EXPECT_TRUE(h.reporter.WithCode(1004).empty());
}

TEST(IncomingAnswer, FirstRingAfterAnsweringAnswersAgainAndTheSixthGivesUp) {
    LineHarness h;
    RingUntilOffered(h, {{u"AnsweringMode", LONG{1}}});
    // The modem swallows both answers and the call goes on ringing.
    h.modem.ReplyToNextLine("ATA", "");
    h.modem.ReplyToNextLine("ATA", "");
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);

    auto down = h.host->WaitFor(HostEvent::Disconnected, 15s);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_ANSWER_FAILED);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATA\rATA\r");
    auto reports = h.reporter.WithCode(1004);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].data, kAnswering);
    // The call still rings: the idle line counts it afresh and offers it.
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering, 8s, 1));
}

TEST(IncomingAnswer, FramesKeepComingWhileTheLineAnswersAgain) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open({{u"AnsweringMode", LONG{1}}}), S_OK);
    h.modem.Ring(1);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    h.modem.ReplyToNextLine("ATA", "");
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    // The RING starts the re-answer; the CONNECT right behind it is read at
    // once, so the re-answer finds the call up and sends nothing.
    h.modem.Inject("\r\nRING\r\n\r\nCONNECT 9600\r\n");
    auto up = h.host->WaitFor(HostEvent::Connected);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, 1);
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.modem.Received().substr(mark), "ATA\r");
    SignalNamedEvent("Tarvik");
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
}

TEST(IncomingAnswer, RingAfterAStandardAnswerRepeatsTheOffHookStep) {
    LineHarness h;
    RingUntilOffered(h);
    h.modem.ReplyToNextLine("ATA", "");
    size_t mark = h.modem.ReceivedSize();
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    // The re-answer goes off hook again before "ATA\r"; this time the modem
    // takes it and the call connects as an incoming one.
    auto up = h.host->WaitFor(HostEvent::Connected, 10s);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, 1);
    EXPECT_EQ(h.modem.Received().substr(mark), "ATH1ATA\rATH1ATA\r");
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));  // the re-answer reports last
    EXPECT_EQ(h.reporter.WithCode(1004).size(), 2u);
}

TEST(IncomingAnswer, UnconfirmedAnswerIsReportedAndTheNextRingAnswersAgain) {
    // The test plays the modem on a bare pseudo-terminal, so that it can hold
    // the line's output and leave the answer command unconfirmed.
    PtyPair pty;
    ASSERT_TRUE(pty.Valid());
    ASSERT_TRUE(pty.MapAs("COM201"));
    RecordingLog log;
    RecordingReporter reporter;
    void* pv = nullptr;
    ASSERT_EQ(line::CreateModemLine(nullptr, nullptr, IID_IModemLine, &pv), S_OK);
    ComPtr<IModemLine> modemLine;
    modemLine.Attach(static_cast<IModemLine*>(pv));
    auto* impl = static_cast<CModemLine*>(modemLine.Get());
    auto host = RecordingLineCallback::Create();
    auto session = RecordingSession::Create();
    auto modemData =
        Bag({{u"MediaID", LONG{7}},
             {u"ModemSession_IUnknown",
              static_cast<IUnknown*>(static_cast<IModemSessionPrivate*>(session.Get()))},
             {u"COMPortName", u"COM201"}});
    ASSERT_EQ(modemLine->Initialize(modemData.Get(), host.Get()), S_OK);
    std::thread modem([&] {
        pty.ReadUntil("ATZ\r", 5s);
        pty.Write("\r\nOK\r\n");
    });
    auto settings =
        Bag({{u"COMPort", u"COM201"}, {u"ModemSetting", u"ATZ"}, {u"AnsweringMode", LONG{1}}});
    HRESULT opened = modemLine->OpenLine(settings.Get());
    modem.join();
    ASSERT_EQ(opened, S_OK);
    ASSERT_TRUE(pty.Write("\r\nRING\r\n"));
    ASSERT_TRUE(host->WaitFor(HostEvent::Offering));

    ASSERT_TRUE(pty.HoldSlaveOutput());
    auto before = Clock::now();
    EXPECT_EQ(modemLine->AnswerCall(1), S_OK);
    // 300 ms pause, then 4000 ms for a transmission that never completes.
    EXPECT_GE(Clock::now() - before, 4250ms);
    LONG error = 0;
    modemLine->get_LastError(&error);
    EXPECT_EQ(error, 15);
    EXPECT_EQ(impl->State(), MODEM_ANSWERING);
    EXPECT_TRUE(host->WaitFor(HostEvent::Fatal, 5s));
    EXPECT_TRUE(reporter.WithCode(1004).empty());
    ASSERT_TRUE(pty.ReleaseSlaveOutput());
    pty.ReadUntil("ATA\r", 1s);  // the held command, if the port kept it

    // The answer counts as pending: the next RING answers once more.
    ASSERT_TRUE(pty.Write("\r\nRING\r\n"));
    auto report = reporter.WaitForCode(1004, 5s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, kAnswering);
    EXPECT_NE(pty.ReadUntil("ATA\r", 5s).find("ATA\r"), std::string::npos);

    modemLine->Shutdown();
    EXPECT_TRUE(CModemLine::WaitForEventThreads(20000));
}

TEST(IncomingAnswer, TwoAnswersAtOnceAnswerOnce) {
    LineHarness h;
    RingUntilOffered(h, {{u"AnsweringMode", LONG{1}}});
    size_t mark = h.modem.ReceivedSize();
    std::atomic<bool> go{false};
    HRESULT results[2] = {E_UNEXPECTED, E_UNEXPECTED};
    std::thread a([&] {
        while (!go)
            std::this_thread::yield();
        results[0] = h.line->AnswerCall(1);
    });
    std::thread b([&] {
        while (!go)
            std::this_thread::yield();
        results[1] = h.line->AnswerCall(1);
    });
    go = true;
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
