// Caller ID on a line against the simulator: the fields between the first and
// the second RING, the one report per opening, and fields that must never go
// out with another caller's.
#include <gtest/gtest.h>

#include <algorithm>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

constexpr const char* kInfo = "CModemLine::FrameReceived() - Caller ID info";
constexpr const char* kNotification = "CModemLine::FrameReceived() - Caller ID notification";

// Index of the first log entry matching `function`/`message` from `from`, or
// the number of entries when there is none.
size_t IndexOf(const std::vector<LogRecord>& entries, std::string_view function,
               std::string_view message, size_t from = 0) {
    for (size_t i = from; i < entries.size(); ++i)
        if (entries[i].function == function && (message.empty() || entries[i].message == message))
            return i;
    return entries.size();
}

TEST(IncomingCallerId, FieldsBetweenFirstAndSecondRingReportedAtTheThirdWithTheOffer) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{3}}}));
    h.modem.SetCallerId("DATE=1206,TIME=0902,CALR=5551212,NAME=JOHN DOE");
    h.modem.Ring();

    auto report = h.reporter.WaitForCode(1000, 8s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, "DATE = 1206;TIME = 0902;CALR = 5551212;NAME = JOHN DOE;");
    EXPECT_EQ(report->value1.vt, VT_I4);
    EXPECT_EQ(report->value1.lVal, 81);
    EXPECT_EQ(report->value2.vt, VT_EMPTY);
    EXPECT_EQ(report->source, h.port);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_TRUE(WaitForEntries(h.log, "MODEM_CALL_OFFERING : Offering call", 1));

    // The report goes out with the third RING, ahead of the offer it makes.
    auto entries = h.log.Entries();
    size_t notified = IndexOf(entries, kNotification, "");
    ASSERT_LT(notified, entries.size());
    EXPECT_EQ(entries[notified].message, report->data);
    size_t ringsBefore = std::count_if(entries.begin(), entries.begin() + notified, [](auto& e) {
        return e.message == "MODEM_CALL_OFFERING : Received RING";
    });
    EXPECT_EQ(ringsBefore, 2u);
    EXPECT_GT(
        IndexOf(entries, "CModemLine::FrameReceived()", "MODEM_CALL_OFFERING : Offering call"),
        notified);
    // Each gathering step logged the field it added, and only that.
    auto infos = h.log.WithFunction(kInfo);
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos.back().message, "NAME = JOHN DOE");
    EXPECT_EQ(h.reporter.WithCode(1000).size(), 1u);
}

TEST(IncomingCallerId, SecondCallOnTheSameOpenLineIsReportedToo) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{3}}}));
    h.modem.SetCallerId("DATE=1206,CALR=5551212");
    // The caller stops at the offering ring: a refused caller who rings on is
    // the same call, offered again, not the next one.
    h.modem.Ring(3);
    ASSERT_TRUE(h.reporter.WaitForCode(1000, 8s));
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_EQ(h.line->AnswerCall(0), S_OK);
    ASSERT_TRUE(h.modem.WaitForState(SimModem::State::Command, 8s));

    h.modem.SetCallerId("DATE=1207,NMBR=5550000");
    h.modem.Ring(3);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering, 8s, 1));
    ASSERT_TRUE(WaitForEntries(h.log, "MODEM_CALL_OFFERING : Offering call", 2));
    auto reports = h.reporter.WithCode(1000);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].data, "DATE = 1207;NMBR = 5550000;");
}

TEST(IncomingCallerId, ReopenedLineReportsOnlyTheNewCallersFields) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{3}}}));
    // A call that rings once, sends its fields and gives up: gathered, never
    // reported.
    h.modem.SetCallerId("CALR=1111111,NAME=EARLIER");
    h.modem.Ring(1);
    ASSERT_TRUE(h.log.WaitFor(
        [](const LogRecord& r) {
            return r.function == kInfo && r.message.find("NAME = EARLIER") != std::string::npos;
        },
        8s));
    ASSERT_TRUE(h.modem.WaitForState(SimModem::State::Command, 8s));
    ASSERT_EQ(h.line->CloseLine(), S_OK);

    ASSERT_EQ(h.Open({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{3}}}), S_OK);
    h.modem.SetCallerId("CALR=2222222,NAME=LATER");
    h.modem.Ring();
    auto report = h.reporter.WaitForCode(1000, 8s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, "CALR = 2222222;NAME = LATER;");
}

TEST(IncomingCallerId, CallAnsweredAtTheSecondRingIsReportedWhileAnsweringAndSoIsTheNext) {
    auto options = LineHarness::DefaultOptions();
    // Time for the host to answer between the offer and the next RING.
    options.ringCadence = 1000ms;
    LineHarness h(options);
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open({{u"CallerIDEnabled", LONG{1}},
                      {u"NumRingsAnswer", LONG{2}},
                      {u"AnsweringMode", LONG{1}}}),
              S_OK);
    // Offered at the second RING: the first frame after it (here the CONNECT
    // of the answer) carries the report, before AnswerCall resets the count.
    h.modem.SetCallerId("CALR=1111111");
    h.modem.Ring();
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Offering));
    ASSERT_EQ(h.line->AnswerCall(1), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Connected));
    auto report = h.reporter.WaitForCode(1000, 5s);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->data, "CALR = 1111111;");
    h.KeepQuiet();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    ASSERT_TRUE(h.WaitForState(MODEM_IDLE));

    // The next call on this opening is reported too, with its own field only.
    h.modem.SetCallerId("CALR=2222222");
    h.modem.Ring();
    auto next = h.reporter.WaitFor(
        [](const EventRecord& e) { return e.code == 1000 && e.data != "CALR = 1111111;"; }, 8s);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->data, "CALR = 2222222;");
}

TEST(IncomingCallerId, EveryLayoutAndTimingModemsUseIsGathered) {
    using modemsim::CallerIdFormat;
    struct Row {
        const char* what;
        CallerIdFormat format;
        bool beforeRing;
        const char* report;
    };
    const Row rows[] = {
        {"spaced, after the first RING", CallerIdFormat::Spaced, false,
         "DATE = 1206;TIME = 0902;NMBR = 5551212;MESG = 0A;"},
        {"compact, after the first RING", CallerIdFormat::Compact, false,
         "DATE=1206;TIME=0902;NMBR=5551212;MESG=0A;"},
        {"compact, before the first RING", CallerIdFormat::Compact, true,
         "DATE=1206;TIME=0902;NMBR=5551212;MESG=0A;"},
        {"spaced, before the first RING", CallerIdFormat::Spaced, true,
         "DATE = 1206;TIME = 0902;NMBR = 5551212;MESG = 0A;"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        auto options = LineHarness::DefaultOptions();
        options.callerIdBeforeRing = r.beforeRing;
        LineHarness h(options);
        ASSERT_TRUE(h.Start());
        ASSERT_EQ(h.Open({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{3}}}), S_OK);
        h.modem.SetCallerId("DATE=1206,TIME=0902,NMBR=5551212,MESG=0A", r.format);
        h.modem.Ring();
        EXPECT_EQ(WaitForReport(h.reporter, 1000, 8s), r.report);
    }
}

TEST(IncomingCallerId, GatheringIsBoundedPerCall) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{5}}}));
    h.modem.Inject("\r\nRING\r");
    std::string flood;
    for (int i = 0; i < 40; ++i)
        flood += "\nNMBR=" + std::to_string(1000 + i) + "\r";
    h.modem.Inject(flood);
    h.modem.Inject("\nRING\r\nRING\r\n");
    auto report = h.reporter.WaitForCode(1000, 8s);
    ASSERT_TRUE(report);
    EXPECT_EQ(std::count(report->data.begin(), report->data.end(), ';'), 16);
    EXPECT_TRUE(report->data.starts_with("NMBR=1000;NMBR=1001;"));
}

}  // namespace
}  // namespace tarvik::test
