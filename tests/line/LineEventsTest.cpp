// Call events to the host and the session: fatal errors of the port in the
// states that tell them apart, failing host callbacks, events after Shutdown,
// a broken session link, and every raised event arriving exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

TEST(LineEvents, ModemVanishingWhileIdleClosesTheMediumThroughTheSession) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.Vanish();
    auto message = h.session->WaitForMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->param1, 1);
    EXPECT_EQ(message->param2, h.mediaId);
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);
    EXPECT_EQ(h.session->Messages().size(), 1u);

    // The lost device takes no call: it ends at once, as on a closed line.
    EXPECT_EQ(h.Dial(), S_OK);
    EXPECT_EQ(h.LastError(), LINE_ERROR_NO_RESPONSE);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NO_CONNECTION);
}

TEST(LineEvents, AnOverlongLineIsReportedAndTheLineGoesOn) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.Inject(std::string(4000, 'x') + "\r\n");
    auto fatal = h.host->WaitFor(HostEvent::Fatal);
    ASSERT_TRUE(fatal);
    EXPECT_TRUE(fatal->a == SP_BAD_LENGTH && fatal->b == 0 && fatal->c == 0);
    // The port is fine: a call connects and hangs up as ever.
    ASSERT_TRUE(h.Connect());
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.LastError(), 0);
    ASSERT_TRUE(h.host->WaitForValue(HostEvent::Disconnected));
    // A real failure later is reported, once.
    h.modem.Vanish();
    ASSERT_TRUE(h.session->WaitForMessage());
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.session->Messages().size(), 1u);
    EXPECT_EQ(h.host->Count(HostEvent::Fatal), 1u);
}

TEST(LineEvents, ModemVanishingWhileDiallingEndsTheCallAndClosesTheLine) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5551234", "SILENCE");
    ASSERT_EQ(h.Dial(), S_OK);
    ASSERT_TRUE(h.modem.WaitForReceived("ATDT5551234\r"));
    h.modem.Vanish();
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NO_CONNECTION);
    ASSERT_TRUE(h.session->WaitForMessage());
    ASSERT_TRUE(WaitForEntries(h.log, "All goes well", 1, 5s, "ML::CloseLine()"));
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);

    // Opened again (on another modem), a fatal error of the line's own is the
    // host's again: the dialling failure is not remembered. lError 7,
    // lCause 8, lParam 9 reach it as (lCause, lError, lParam).
    SimModem other(LineHarness::DefaultOptions());
    ASSERT_TRUE(other.Start());
    ASSERT_FALSE(other.LinkAs("COM250").empty());
    ASSERT_EQ(h.line->OpenLine(Bag({{u"COMPort", u"COM250"}, {u"ModemSetting", u"ATZ"}}).Get()),
              S_OK);
    size_t messages = h.session->Messages().size();
    EXPECT_EQ(h.impl->FatalError(7, 8, 9), S_OK);
    auto fatal = h.host->WaitFor(HostEvent::Fatal, 0ms);
    ASSERT_TRUE(fatal);
    EXPECT_TRUE(fatal->a == 8 && fatal->b == 7 && fatal->c == 9);
    EXPECT_EQ(h.session->Messages().size(), messages);
    ASSERT_EQ(h.line->CloseLine(), S_OK);
}

TEST(LineEvents, FailingHostCallbacksAreReportedAndSkipTheSession) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    const HRESULT refused = TARVIK_HR(0x80040201);
    h.host->FailWith(HostEvent::Connected, refused, u"host is not ready");
    h.host->FailWith(HostEvent::Disconnected, refused);
    ASSERT_TRUE(h.Connect());
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_FALSE(h.log.With("CModemLine::CallConnected()", "An Exception occurred").empty());
    EXPECT_FALSE(h.log.With("CModemLine::CallDisconnected()", "An Exception occurred").empty());
    // A failed CallDisconnected is not followed by the session message.
    EXPECT_TRUE(h.session->Messages().empty());

    // Called directly, the event operation hands back the host's own code.
    h.host->FailWith(HostEvent::Fatal, refused, u"no fatal errors today");
    EXPECT_EQ(h.impl->FatalError(0, 0, 0), refused);
    auto info = TakeErrorInfo();
    EXPECT_EQ(info.description, u"CModemLine::FatalError\nno fatal errors today");
    EXPECT_TRUE(IsEqualIID(info.iid, IID_IModemLine));
}

TEST(LineEvents, EventsAfterShutdownDoNothing) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.line->Shutdown(), S_OK);
    EXPECT_EQ(h.impl->CallDisconnected(), S_OK);
    EXPECT_EQ(h.impl->CallConnected(), S_OK);
    EXPECT_EQ(h.impl->CallOffering(), S_OK);
    EXPECT_EQ(h.impl->FatalError(0, 0, 0), E_FAIL);  // no modem data any more
    EXPECT_TRUE(h.host->Events().empty());
    EXPECT_TRUE(h.session->Messages().empty());
    ASSERT_EQ(h.line->Initialize(h.modemData.Get(), h.host.Get()), S_OK);
}

TEST(LineEvents, ABrokenSessionLinkSkipsTheMessage) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    // Modem data that did not come from a session.
    ASSERT_EQ(h.line->Initialize(Bag({{u"MediaID", LONG{3}}}).Get(), h.host.Get()), S_OK);
    ASSERT_EQ(h.Open(), S_OK);
    ASSERT_TRUE(h.Connect() && h.RemoteHangsUp());
    EXPECT_TRUE(h.log.WaitForMessage("No ModemSession_IUnknown in the modem data: session not told",
                                     5000ms));

    // An interface that is not a session.
    auto notASession = Bag();
    ASSERT_EQ(
        h.line->Initialize(
            Bag({{u"ModemSession_IUnknown", static_cast<IUnknown*>(notASession.Get())}}).Get(),
            h.host.Get()),
        S_OK);
    ASSERT_EQ(h.line->DropCall(), S_OK);  // idle: nothing to drop
    ASSERT_TRUE(h.Connect() && h.RemoteHangsUp());
    EXPECT_TRUE(h.log.WaitForMessage(
        "ModemSession_IUnknown is not a modem session: session not told", 5000ms));
    // A port failure that cannot reach a session reaches the host.
    h.modem.Vanish();
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Fatal));
    EXPECT_TRUE(h.session->Messages().empty());
}

TEST(LineEvents, EventsRaisedTogetherEachReachTheHostOnce) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(h.Open(), S_OK);
        size_t mark = h.host->Events().size();
        // One burst: the busy signal and, at once, the next caller's ring.
        h.modem.ReplyToNextLine("ATDT", "\r\nBUSY\r\n\r\nRING\r\n");
        ASSERT_EQ(h.Dial(), S_OK);
        ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering, 8s, mark));
        ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected, 8s, mark));
        ASSERT_TRUE(CModemLine::WaitForEventThreads(5000));
        auto events = h.host->Events();
        ASSERT_EQ(events.size() - mark, 2u);
        for (size_t i = mark; i < events.size(); ++i)
            EXPECT_TRUE(events[i].kind == HostEvent::Offering || events[i].a == DISCONNECT_BUSY);
        ASSERT_EQ(h.line->CloseLine(), S_OK);
    }
    EXPECT_TRUE(h.session->Messages().empty());
}

// Each of the line's closing operations from inside each callback that may
// call it: none waits for the very thread it runs on.
TEST(LineEvents, CallbacksMayDropCloseOrShutDownTheLine) {
    const std::pair<const char*, std::function<HRESULT(IModemLine*)>> operations[] = {
        {"DropCall", [](IModemLine* l) { return l->DropCall(); }},
        {"CloseLine", [](IModemLine* l) { return l->CloseLine(); }},
        {"Shutdown", [](IModemLine* l) { return l->Shutdown(); }},
    };
    for (const auto& [name, operation] : operations) {
        for (const char* where : {"CallConnected", "CallDisconnected", "MediaClosed"}) {
            SCOPED_TRACE(std::string(name) + " in " + where);
            LineHarness h;
            ASSERT_TRUE(h.StartOpen());
            std::atomic<bool> done{false};
            HRESULT result = E_UNEXPECTED;
            Clock::duration took{};
            auto run = [&, op = operation] {
                auto start = Clock::now();
                result = op(h.line.Get());
                took = Clock::now() - start;
                done = true;
            };
            if (where == std::string("CallConnected")) {
                h.host->On(HostEvent::Connected, [&](LONG, LONG) {
                    h.KeepQuiet();
                    run();
                });
                h.modem.SetOutcome("5551234", "CONNECT 9600");
                ASSERT_EQ(h.Dial(), S_OK);
            } else {
                ASSERT_TRUE(h.Connect());
                if (where == std::string("CallDisconnected"))
                    h.host->On(HostEvent::Disconnected, [&](LONG, LONG) { run(); });
                else
                    h.session->OnMessage(run);
                size_t sent = h.modem.SentSize();
                h.modem.DropCarrier();
                ASSERT_TRUE(h.modem.WaitForSent("NO CARRIER", 5s, sent));
                ASSERT_TRUE(SignalNamedEvent("Tarvik"));
            }
            const auto until = Clock::now() + 20s;
            while (!done && Clock::now() < until)
                std::this_thread::sleep_for(5ms);
            ASSERT_TRUE(done);
            EXPECT_EQ(result, S_OK);
            // A wait for its own thread would run its full 15 s.
            EXPECT_LT(took, 10s);
            EXPECT_TRUE(CModemLine::WaitForEventThreads(20000));
        }
    }
}

// The markers of every entry of a whole dial and answer.
TEST(LineEvents, EveryLogEntryOfACallCarriesTheMarkersOfItsKind) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    ASSERT_TRUE(h.Connect());
    ASSERT_EQ(h.line->DropCall(), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    h.modem.Ring();
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Connected, 8s, 2));
    h.KeepQuiet();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected, 8s, 4));
    ASSERT_EQ(h.line->CloseLine(), S_OK);
    ASSERT_EQ(h.line->Shutdown(), S_OK);
    ASSERT_TRUE(CModemLine::WaitForEventThreads(5000));

    ExpectMarkersByRule(h.log);
    // The connect text of both calls, as the modem said it.
    EXPECT_EQ(h.log.With("CModemLine::FrameReceived()", "Connected: CONNECT 9600").size(), 2u);
}

// A host that exits while a call event runs: nothing a component thread
// uses may be destroyed under it.
TEST(LineEvents, ExitWhileAnEventActivatesAClass) {
    EXPECT_EXIT(
        {
            LineHarness h;
            if (!h.StartOpen())
                _exit(3);
            // Each event asks the registry for a class no one registered.
            static std::atomic<bool> running{false};
            h.host->On(HostEvent::Disconnected, [](LONG, LONG) {
                auto activate = [] {
                    const GUID nobody = {0x5eed0001, 0x7a21, 0x4c11, {1, 2, 3, 4, 5, 6, 7, 8}};
                    for (;;) {
                        ComPtr<IUnknown> none;
                        CoCreateInstance(nobody, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                         none.PutVoid());
                    }
                };
                // More threads of the host's own, to widen the window.
                for (int i = 0; i < 3; ++i)
                    std::thread(activate).detach();
                running = true;
                activate();
            });
            h.modem.SetOutcome("5551234", "BUSY");
            h.Dial();
            const auto until = Clock::now() + 8s;
            while (!running && Clock::now() < until)
                std::this_thread::sleep_for(1ms);
            std::exit(running ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tarvik::test
