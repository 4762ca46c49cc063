// The response state machine: which reply a frame is in each state (the
// edges of the table; its common rows are met through the simulator), and
// what the rows do to a line on the simulator.
#include <gtest/gtest.h>

#include "line/HostHandle.h"
#include "line/LineTestKit.h"
#include "line/Replies.h"

namespace tarvik::test {
namespace {

using line::MatchReply;
using line::ModemReply;

TEST(ReplyTable, EachStateKnowsItsOwnRepliesInOrder) {
    struct Row {
        LONG state;
        const char* frame;
        ModemReply expected;
    };
    const Row rows[] = {
        {MODEM_IDLE, "\nOK\r", ModemReply::None},
        {MODEM_IDLE, "\nCONNECT 9600\r", ModemReply::None},
        {MODEM_INITIALIZING, "\nERROR OK\r", ModemReply::Ok},  // OK wins
        {MODEM_INITIALIZING, "\nRING\r", ModemReply::None},
        {MODEM_CONNECTING, "\nRING\r", ModemReply::None},
        {MODEM_CONNECTED, "\nNO CARRIER\r", ModemReply::NoCarrier},
        {MODEM_CONNECTED, "\nOK\r", ModemReply::None},
        {MODEM_DISCONNECTING_FINISH, "\nNO CARRIER\r", ModemReply::None},
        {MODEM_CALL_OFFERING, "\nRING\r", ModemReply::None},
        {MODEM_CALL_OFFERING, "\nCONNECT\r", ModemReply::None},
        {MODEM_ANSWERING, "\nNO CARRIER\r", ModemReply::NoCarrier},
        {MODEM_COMMAND_PENDING, "\nNO CARRIER\r", ModemReply::NoCarrier},
        {MODEM_COMMAND_PENDING, "\nOK\r", ModemReply::Ok},
        // Substrings count, case does not match.
        {MODEM_INITIALIZING, "ATZ OK\r", ModemReply::Ok},
        {MODEM_INITIALIZING, "\nok\r", ModemReply::None},
        {MODEM_CONNECTING, "\nconnect\r", ModemReply::None},
        {MODEM_IDLE, "\nring\r", ModemReply::None},
        {42, "\nOK\r", ModemReply::None},
        // Numeric result codes (V0) read as their verbose forms.
        {MODEM_INITIALIZING, "0\r", ModemReply::Ok},
        {MODEM_INITIALIZING, "4\r", ModemReply::Error},
        {MODEM_IDLE, "2\r", ModemReply::Ring},
        {MODEM_CONNECTING, "1\r", ModemReply::Connect},
        {MODEM_CONNECTING, "5\r", ModemReply::Connect},
        {MODEM_CONNECTING, "\n12\r", ModemReply::Connect},
        {MODEM_CONNECTING, "3\r", ModemReply::NoCarrier},
        {MODEM_CONNECTING, "6\r", ModemReply::NoDialtone},
        {MODEM_CONNECTING, "7\r", ModemReply::Busy},
        {MODEM_CONNECTING, "8\r", ModemReply::NoAnswer},
        {MODEM_CONNECTING, "9\r", ModemReply::None},
        {MODEM_IDLE, "\n0902\r", ModemReply::None},  // four digits are no result code
        {MODEM_INITIALIZING, "\r", ModemReply::None},
        // The call's last data ahead of a numeric answer to the escape.
        {MODEM_DISCONNECTING_START, "+++0\r", ModemReply::Ok},
        {MODEM_DISCONNECTING_START, "data3\r", ModemReply::None},
        {MODEM_IDLE, "+++2\r", ModemReply::None},
    };
    for (const auto& r : rows)
        EXPECT_EQ(MatchReply(r.state, r.frame), r.expected) << r.state << " " << r.frame;
    // Frames are bytes: a zero inside does not end the search.
    EXPECT_EQ(MatchReply(MODEM_INITIALIZING, std::string_view("\n\0OK\r", 5)), ModemReply::Ok);
}

// The result codes that end a dial, each with its cause.
TEST(Responses, DialResultsEndTheCallWithTheirCause) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    struct Case {
        const char* outcome;
        LONG cause;
        const char* log;
    };
    const Case cases[] = {
        {"BUSY", DISCONNECT_BUSY, "MODEM_CONNECTING : Received BUSY"},
        {"NO ANSWER", DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received NO ANSWER"},
        {"NO CARRIER", DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received NO CARRIER"},
        {"NO DIALTONE", DISCONNECT_NO_DIALTONE, "MODEM_CONNECTING : Received NO DIAL TONE"},
        {"NO DIAL TONE", DISCONNECT_NO_DIALTONE, "MODEM_CONNECTING : Received NO DIAL TONE"},
        {"DELAYED", DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received DELAYED"},
        {"BLACKLISTED", DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received BLACKLISTED"},
        // Progress lines do not end the dial; the result after them does.
        {"CARRIER 28800|PROTOCOL: LAPM|COMPRESSION: V.42BIS|BUSY", DISCONNECT_BUSY,
         "MODEM_CONNECTING : Received BUSY"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        size_t mark = h.host->Events().size();
        h.modem.SetOutcome("5550000", c.outcome);
        ASSERT_EQ(h.Dial("5550000"), S_OK);
        EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected, 8s, mark), c.cause);
        EXPECT_EQ(h.State(), MODEM_IDLE);
        EXPECT_TRUE(h.log.WaitForMessage(c.log, 2000ms));
    }
    // An OK to the dial command: the modem ended it without a connection.
    size_t mark = h.host->Events().size();
    h.modem.SetOutcome("5550001", "SILENCE");
    ASSERT_EQ(h.Dial("5550001"), S_OK);
    h.modem.Inject("\r\nOK\r\n");
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected, 8s, mark), DISCONNECT_NO_CONNECTION);
    // None of these told the session.
    EXPECT_TRUE(h.session->Messages().empty());
    EXPECT_EQ(h.host->Count(HostEvent::Connected), 0u);
}

TEST(Responses, ConnectHandsThePortToTheHostAndCarrierLossEndsTheCall) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5551234", "CONNECT 14400/ARQ");
    ASSERT_EQ(h.Dial(), S_OK);
    auto up = h.host->WaitFor(HostEvent::Connected);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, 0);  // outgoing
    EXPECT_TRUE(HostPortIsOpen(up->b)) << "the handle is an open port";
    EXPECT_EQ(h.State(), MODEM_CONNECTED);

    // The carrier drops before the host is done: the modem's NO CARRIER is
    // the host's data now, so the host ends the call with the signal. The
    // line takes the port back and reads that NO CARRIER while idle, so it
    // cannot end the next call.
    auto down = h.RemoteHangsUp();
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_CARRIER_LOST);
    auto message = h.session->WaitForMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->device, 0);
    EXPECT_EQ(message->id, 0);
    EXPECT_EQ(message->param1, 1);
    EXPECT_EQ(message->param2, h.mediaId);
    EXPECT_EQ(message->param3, 0);
    EXPECT_EQ(h.State(), MODEM_IDLE);
    h.modem.SetOutcome("5550000", "BUSY");
    size_t mark = h.host->Events().size();
    ASSERT_EQ(h.Dial("5550000"), S_OK);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected, 8s, mark), DISCONNECT_BUSY);
    EXPECT_EQ(h.LastError(), 0);
}

TEST(Responses, SignalsAndFramesThatMeanNothingChangeNothing) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5551234", "SILENCE");
    ASSERT_EQ(h.Dial(), S_OK);
    ASSERT_TRUE(h.modem.WaitForReceived("ATDT5551234\r"));
    // The call-ended signal only ends a connected call.
    EXPECT_EQ(h.impl->FrameReceived(-1, 0), S_OK);
    EXPECT_EQ(h.State(), MODEM_CONNECTING);
    // A frame number the port holds no frame for is ignored.
    EXPECT_EQ(h.impl->FrameReceived(57, 12), S_OK);
    EXPECT_EQ(h.impl->FrameReceived(-5, 3), S_OK);
    EXPECT_EQ(h.State(), MODEM_CONNECTING);
    // Lower case is not a result code.
    h.modem.Inject("\r\nbusy\r\n\r\nBUSY\r\n");
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_BUSY);
    EXPECT_EQ(h.host->Events().size(), 1u);
}

TEST(Rings, CountedUpToTheThresholdThenOffered) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"NumRingsAnswer", LONG{3}}}));
    h.modem.Inject("\r\nRING\r\n\r\nRING\r\n");
    ASSERT_TRUE(WaitForEntries(h.log, "MODEM_CALL_OFFERING : Received RING", 2));
    EXPECT_EQ(h.host->Count(HostEvent::Offering), 0u);
    EXPECT_EQ(h.State(), MODEM_IDLE);

    h.modem.Inject("\r\nRING\r\n");
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    EXPECT_EQ(h.State(), MODEM_CALL_OFFERING);

    // Offered: nothing is read any more, not even a CONNECT.
    h.modem.Inject("\r\nRING\r\n\r\nCONNECT\r\n\r\nRING\r\n");
    ASSERT_TRUE(WaitForEntries(h.log, "All goes well", 11, 5s, "CModemLine::FrameReceived()"));
    EXPECT_EQ(h.State(), MODEM_CALL_OFFERING);
    EXPECT_EQ(h.host->Count(HostEvent::Offering), 1u);
    EXPECT_EQ(h.log.WithMessage("MODEM_CALL_OFFERING : Received RING").size(), 3u);
}

TEST(Rings, ThresholdOfOneOrLessOffersAtTheFirstRing) {
    for (LONG threshold : {1, 0, -2}) {
        SCOPED_TRACE(threshold);
        LineHarness h;
        ASSERT_TRUE(h.StartOpen({{u"NumRingsAnswer", threshold}}));
        h.modem.Inject("\r\nRING\r\n");
        ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
        EXPECT_EQ(h.State(), MODEM_CALL_OFFERING);
    }
}

TEST(Rings, ACallerWhoStoppedRingingIsForgottenWithTheirCallerId) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"NumRingsAnswer", LONG{3}}, {u"CallerIDEnabled", LONG{1}}}));
    // A caller who gives up after two rings and the caller ID between them.
    h.modem.SetCallerId("CALR=1111111");
    h.modem.Ring(2);
    ASSERT_TRUE(WaitForEntries(h.log, "MODEM_CALL_OFFERING : Received RING", 2));
    ASSERT_TRUE(h.modem.WaitForState(SimModem::State::Command, 8s));
    // Longer than any ring cycle without a RING: that caller is gone.
    Sleep(8500);
    h.modem.SetCallerId("CALR=2222222");
    h.modem.Ring(3);
    auto report = h.reporter.WaitForCode(1000, 8s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, "CALR = 2222222;");
    // Offered at the new caller's own third ring: after four counted rings.
    ASSERT_TRUE(WaitForEntries(h.log, "MODEM_CALL_OFFERING : Offering call", 1));
    size_t ringsBefore = 0;
    for (const auto& e : h.log.Entries()) {
        if (e.message == "MODEM_CALL_OFFERING : Offering call")
            break;
        ringsBefore += e.message == "MODEM_CALL_OFFERING : Received RING";
    }
    EXPECT_EQ(ringsBefore, 4u);
}

TEST(Rings, AnOpenLineStartsCountingAfresh) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"NumRingsAnswer", LONG{2}}}));
    h.modem.Inject("\r\nRING\r\n");
    ASSERT_TRUE(h.log.WaitForMessage("MODEM_CALL_OFFERING : Received RING", 5000ms));
    ASSERT_EQ(h.line->CloseLine(), S_OK);
    ASSERT_EQ(h.Open({{u"NumRingsAnswer", LONG{2}}}), S_OK);
    h.modem.Inject("\r\nRING\r\n");
    ASSERT_TRUE(WaitForEntries(h.log, "MODEM_CALL_OFFERING : Received RING", 2));
    EXPECT_EQ(h.host->Count(HostEvent::Offering), 0u);
    EXPECT_EQ(h.State(), MODEM_IDLE);
}

}  // namespace
}  // namespace tarvik::test
