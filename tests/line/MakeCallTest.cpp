// Outgoing calls against the simulator: the dial command, its pause, the
// access code and its notification, the refusals, and the call's data.
#include <gtest/gtest.h>

#include <thread>

#include "line/HostHandle.h"
#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

// Dials with `fields` and returns what the modem received for it.
std::string Dial(LineHarness& h,
                 std::initializer_list<std::pair<std::u16string, FieldValue>> fields,
                 Clock::duration* pause = nullptr) {
    size_t mark = h.modem.ReceivedSize();
    size_t events = h.host->Events().size();
    auto bag = Bag(fields);
    auto before = Clock::now();
    EXPECT_EQ(h.line->MakeCall(bag.Get()), S_OK);
    auto end = h.modem.WaitForReceived("\r", 5s, mark);
    EXPECT_TRUE(end);
    if (!end)
        return {};
    if (pause)
        *pause = h.modem.ReceivedAt(mark) - before;
    // The default outcome ends the call; wait for it so the line is idle.
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected, 8s, events));
    EXPECT_TRUE(h.WaitForState(MODEM_IDLE));
    return h.modem.Received().substr(mark, end->offset + 1 - mark);
}

TEST(MakeCall, ToneOrPulseAfterAOneSecondPauseAndTheAccessCodeOnce) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    Clock::duration pause{};
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}}, &pause), "ATDT5551234\r");
    EXPECT_GE(pause, 990ms);
    EXPECT_EQ(h.LastError(), 0);
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}, {u"DialType", true}}), "ATDP5551234\r");
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}, {u"DialType", LONG{1}}}), "ATDP5551234\r");
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}, {u"DialType", false}}), "ATDT5551234\r");

    // An access code is dialled once, after the number, and announced.
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}, {u"PCAccessCode", u"9#"}}), "ATDT55512349#\r");
    auto notices = h.reporter.WithCode(1000);
    ASSERT_EQ(notices.size(), 1u);
    // The data is the text form of a bag that holds MessageType 103 only.
    auto expected = Bag();
    Bstr name(u"MessageType");
    expected->SetData(name.Get(), Variant::I2(103));
    Bstr text;
    expected->Retrieve(text.Put());
    EXPECT_EQ(notices[0].data, Utf16ToUtf8(text.View()));
    EXPECT_EQ(notices[0].value1.vt, VT_EMPTY);
    EXPECT_EQ(notices[0].value2.vt, VT_EMPTY);
    EXPECT_EQ(notices[0].source, h.port);

    // Dialled once: the next call goes without it.
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}}), "ATDT5551234\r");
    EXPECT_EQ(h.reporter.WithCode(1000).size(), 1u);

    // Present but empty: announced, nothing dialled.
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}, {u"PCAccessCode", Empty{}}}), "ATDT5551234\r");
    EXPECT_EQ(h.reporter.WithCode(1000).size(), 2u);
}

TEST(MakeCall, EachRefusedNumberOrCodeHasItsLastErrorAndNothingIsSent) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    const std::u16string number50(50, u'5');
    const struct {
        const char16_t* field;
        FieldValue value;
        LONG lastError;
    } refused[] = {
        {u"PhoneNumber", u"5551234;\rAT&W", LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", u"555\n1234", LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", u"555\x7f", LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", u"555x1234", LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", u"", LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", u"   ", LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", Null{}, LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", Empty{}, LINE_ERROR_BAD_NUMBER},
        // A boolean is no number: true would dial "-1".
        {u"PhoneNumber", true, LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", LONG{-5}, LINE_ERROR_BAD_NUMBER},
        {u"PhoneNumber", std::u16string(59, u'5'), LINE_ERROR_NUMBER_TOO_LONG},
        {u"PCAccessCode", u"9\rATZ", LINE_ERROR_BAD_ACCESS_CODE},
        {u"PCAccessCode", u"9%", LINE_ERROR_BAD_ACCESS_CODE},
        {u"PCAccessCode", u"123456789", LINE_ERROR_NUMBER_TOO_LONG},
    };
    size_t mark = h.modem.ReceivedSize();
    for (const auto& c : refused) {
        SCOPED_TRACE(testing::Message() << ToAnsi(c.field) << " #" << (&c - refused));
        auto bag = Bag({{u"PhoneNumber", number50}});
        SetField(bag.Get(), c.field, c.value);
        EXPECT_EQ(h.line->MakeCall(bag.Get()), E_FAIL);
        EXPECT_EQ(h.LastError(), c.lastError);
        auto info = TakeErrorInfo();
        EXPECT_GT(info.description.size(), std::u16string(u"CModemLine::MakeCall\n").size());
        EXPECT_EQ(h.State(), MODEM_IDLE);
    }
    EXPECT_EQ(h.modem.ReceivedSize(), mark);
    // A refused code is gone: the next call dials its own number alone.
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"5551234"}}), "ATDT5551234\r");
    // Every character of the dial set goes out as it stands, and 58
    // characters together is the most that fits (a 63-character command).
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", u"1 (555) 123-4.5"}, {u"PCAccessCode", u"*#ABCD,PTWR!@;"}}),
              "ATDT1 (555) 123-4.5*#ABCD,PTWR!@;\r");
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", number50}, {u"PCAccessCode", u"12345678"}}),
              "ATDT" + ToAnsi(number50) + "12345678\r");
    // A whole number is dialled in decimal.
    EXPECT_EQ(Dial(h, {{u"PhoneNumber", LONG{5551234}}}), "ATDT5551234\r");
}

TEST(MakeCall, EndedDuringThePauseDialsNothingAndEndsOnceAsADroppedCall) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "CloseLine" : "DropCall");
        LineHarness h;
        ASSERT_TRUE(h.StartOpen());
        size_t mark = h.modem.ReceivedSize();
        HRESULT dialled = E_UNEXPECTED;
        std::thread caller([&] { dialled = h.Dial(); });
        ASSERT_TRUE(h.WaitForState(MODEM_CONNECTING));
        EXPECT_EQ(close ? h.line->CloseLine() : h.line->DropCall(), S_OK);
        caller.join();
        // The call was the host's: MakeCall succeeded, and its one end is
        // the drop's, with nothing said to the modem.
        EXPECT_EQ(dialled, S_OK);
        EXPECT_EQ(h.LastError(), 0);
        EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NORMAL);
        EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
        EXPECT_EQ(h.host->Events().size(), 1u);
        EXPECT_EQ(h.modem.Received().substr(mark), "");
    }
}

TEST(MakeCall, RefusalsLeaveTheLineAsItWas) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    EXPECT_EQ(h.line->MakeCall(nullptr), E_FAIL);
    EXPECT_EQ(h.LastError(), 13);

    // No number: the bag's own failure code, and the line back to idle.
    HRESULT hr = h.line->MakeCall(Bag({{u"DialType", true}}).Get());
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(hr, E_FAIL);
    EXPECT_EQ(h.LastError(), LINE_ERROR_BAD_NUMBER);
    auto info = TakeErrorInfo();
    EXPECT_EQ(ToAnsi(info.description).rfind("CModemLine::MakeCall\n", 0), 0u);
    EXPECT_EQ(h.State(), MODEM_IDLE);

    // Busy while a call is being dialled.
    h.modem.SetOutcome("5551234", "SILENCE");
    ASSERT_EQ(h.Dial(), S_OK);
    EXPECT_EQ(h.Dial("5550000"), E_FAIL);
    EXPECT_EQ(h.LastError(), 9);
    EXPECT_EQ(h.State(), MODEM_CONNECTING);
    EXPECT_EQ(h.modem.Received().find("5550000"), std::string::npos);
    h.modem.Inject("\r\nNO CARRIER\r\n");
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
}

TEST(MakeCall, TwoCallsAtOnceDialOnce) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5551234", "BUSY");
    HRESULT results[2] = {E_UNEXPECTED, E_UNEXPECTED};
    std::thread other([&] { results[1] = h.Dial(); });
    results[0] = h.Dial();
    other.join();
    EXPECT_EQ((results[0] == S_OK) + (results[1] == S_OK), 1);
    EXPECT_EQ((results[0] == E_FAIL) + (results[1] == E_FAIL), 1);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_TRUE(CModemLine::WaitForEventThreads(5000));
    EXPECT_EQ(h.modem.Received(), "ATZ\rATDT5551234\r");
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 1u);
}

TEST(MakeCall, WithoutAnOpenPortTheCallEndsAtOnce) {
    LineHarness h;
    ASSERT_TRUE(h.Start());  // initialised, never opened
    EXPECT_EQ(h.Dial(), S_OK);
    EXPECT_EQ(h.LastError(), 1);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NO_CONNECTION);
    auto message = h.session->WaitForMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->param2, h.mediaId);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    EXPECT_EQ(h.host->Count(HostEvent::Fatal), 0u);
}

TEST(MakeCall, BytesRightAfterConnectAreTheHosts) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    const std::string payload = "HELLO-FROM-REMOTE 0123456789";
    std::string seen;
    // Read what the remote sent, on the event thread, as a host would.
    h.host->On(HostEvent::Connected,
               [&](LONG, LONG port) { seen = HostPortReadUntil(port, payload, 3s); });
    // The remote starts talking in the same burst as the CONNECT.
    h.modem.ReplyToNextLine("ATDT", "\r\nCONNECT 9600\r\n" + payload);
    ASSERT_EQ(h.Dial(), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Connected));
    // The line's frame ended at the CR of CONNECT: everything after it,
    // starting with that line's LF, reached the host intact.
    EXPECT_EQ(seen, "\n" + payload);
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
}

}  // namespace
}  // namespace tarvik::test
