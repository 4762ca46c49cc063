// Modems as they come: numeric result codes, progress lines before CONNECT,
// and the line speed and escape guard the host chooses.
#include <gtest/gtest.h>
#include <termios.h>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

TEST(Dialect, ANumericModemOpensDialsAndHangsUp) {
    auto options = LineHarness::DefaultOptions();
    options.verbose = false;
    LineHarness h(options);
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    h.modem.SetOutcome("5550000", "BUSY");
    ASSERT_EQ(h.line->MakeCall(Bag({{u"PhoneNumber", u"5550000"}}).Get()), S_OK);
    auto busy = h.host->WaitFor(HostEvent::Disconnected);
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->a, DISCONNECT_BUSY);
    h.modem.SetOutcome("5551234", "CONNECT 9600");
    ASSERT_TRUE(h.Connect("5551234"));
    ASSERT_EQ(h.line->DropCall(), S_OK);
    auto down = h.host->WaitFor(HostEvent::Disconnected, 8s, 2);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->a, DISCONNECT_NORMAL);
}

TEST(Dialect, ProgressLinesBeforeConnectDoNotEndTheDial) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    h.modem.SetOutcome("5551234",
                       "CARRIER 28800|PROTOCOL: LAPM|COMPRESSION: V.42BIS|"
                       "CONNECT 33600/ARQ/V34/LAPM/V42BIS");
    auto up = h.Connect("5551234");
    ASSERT_TRUE(up);
    EXPECT_EQ(h.host->Count(HostEvent::Disconnected), 0u);
}

TEST(Dialect, TheHostsLineSpeedHoldsThroughTheCallAndTheHangUp) {
    LineHarness h;
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open({{u"BaudRate", LONG{9600}}, {u"EscapeGuardTime", LONG{1500}}}), S_OK);
    auto up = h.Connect();
    ASSERT_TRUE(up);
    termios t{};
    ASSERT_EQ(tcgetattr(up->b, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    auto start = Clock::now();
    ASSERT_EQ(h.line->DropCall(), S_OK);
    EXPECT_GE(Clock::now() - start, 1500ms);  // the quiet before "+++"
    ASSERT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
    ASSERT_EQ(tcgetattr(up->b, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
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
