// Modems as they come: numeric result codes, progress lines before CONNECT,
// and the line speed and escape guard the host chooses.
#include <gtest/gtest.h>

#include "line/HostHandle.h"
#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

TEST(Dialect, ANumericModemOpensDialsAndHangsUp) {
    auto options = LineHarness::DefaultOptions();
    options.verbose = false;
    LineHarness h(options);
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5550000", "BUSY");
    ASSERT_EQ(h.Dial("5550000"), S_OK);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_BUSY);
    ASSERT_TRUE(h.Connect());
    ASSERT_EQ(h.line->DropCall(), S_OK);
    EXPECT_EQ(h.host->WaitForValue(HostEvent::Disconnected, 8s, 2), DISCONNECT_NORMAL);
    // The "0" to the escape ends the call's data (the loopback's "+++") on
    // the same line, and is read all the same: no DTR fallback.
    EXPECT_EQ(h.modem.Received().substr(h.modem.Received().find("+++")), "+++ATH\r");
}

TEST(Dialect, ProgressLinesBeforeConnectDoNotEndTheDial) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen());
    h.modem.SetOutcome("5551234",
                       "CARRIER 28800|PROTOCOL: LAPM|COMPRESSION: V.42BIS|"
                       "CONNECT 33600/ARQ/V34/LAPM/V42BIS");
    // Dialled directly: Connect() would set an outcome of its own.
    ASSERT_EQ(h.Dial(), S_OK);
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Connected));
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 0u);
    EXPECT_TRUE(h.modem.WaitForSent("CONNECT 33600/ARQ/V34/LAPM/V42BIS", 0ms));
    h.KeepQuiet();  // for the hang-up when the harness goes
}

TEST(Dialect, TheHostsLineSpeedHoldsThroughTheCallAndTheHangUp) {
    LineHarness h;
    ASSERT_TRUE(h.StartOpen({{u"BaudRate", LONG{9600}}, {u"EscapeGuardTime", LONG{1500}}}));
    auto up = h.Connect();
    ASSERT_TRUE(up);
    EXPECT_EQ(HostPortSpeed(up->b), 9600);
    auto start = Clock::now();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    EXPECT_GE(Clock::now() - start, 1500ms);  // the quiet before "+++"
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    EXPECT_EQ(HostPortSpeed(up->b), 9600);
}

TEST(Dialect, BadLineSpeedOrGuardTimeOpensNothing) {
    struct Row {
        const char16_t* field;
        FieldValue value;
        const char16_t* named;
    };
    const Row rows[] = {
        {u"BaudRate", LONG{9601}, u"BaudRate"},
        {u"BaudRate", std::u16string(u"fast"), u"BaudRate"},
        {u"EscapeGuardTime", LONG{-1}, u"EscapeGuardTime"},
        {u"EscapeGuardTime", LONG{600000}, u"EscapeGuardTime"},
    };
    LineHarness h;
    ASSERT_TRUE(h.Start());
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.field, r.field + std::char_traits<char16_t>::length(r.field)));
        auto settings = h.Settings();
        SetField(settings.Get(), r.field, r.value);
        EXPECT_EQ(h.line->OpenLine(settings.Get()), E_FAIL);
        EXPECT_NE(TakeErrorDescription().find(r.named), std::u16string::npos);
        EXPECT_TRUE(PortIsFree(h.port));
        EXPECT_EQ(h.modem.Received(), "");
    }
}

}  // namespace
}  // namespace tarvik::test
