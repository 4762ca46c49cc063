// Call events to the host and the session: fatal errors of the port in the
// states that tell them apart, failing host callbacks, events after Shutdown,
// a broken session link, and every raised event arriving exactly once.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvik::test
