// Parsing of the option texts: dial outcomes, caller-ID data, COM port names.
#include <gtest/gtest.h>

#include "modemsim/DeviceLink.h"
#include "modemsim/Outcome.h"

using namespace std::chrono_literals;
using namespace tarvik::modemsim;
using Kind = DialOutcome::Kind;

namespace {

TEST(DialOutcomeParse, AcceptsEveryResultWithOptionalDelay) {
    struct Case {
        const char* text;
        DialOutcome expected;
    };
    const Case cases[] = {
        {"CONNECT 9600", DialOutcome::Connect("9600")},
        {"connect 14400/ARQ@500ms", DialOutcome::Connect("14400/ARQ", 500ms)},
        {"CONNECT", DialOutcome::Connect("")},
        {"BUSY@2s", DialOutcome::Of(Kind::Busy, 2000ms)},
        {" NO ANSWER @ 250 ", DialOutcome::Of(Kind::NoAnswer, 250ms)},
        {"NO CARRIER", DialOutcome::Of(Kind::NoCarrier)},
        {"No Dialtone", DialOutcome::Of(Kind::NoDialtone)},
        {"SILENCE", DialOutcome::Of(Kind::Silence)},
        {"silent@1s", DialOutcome::Of(Kind::Silence, 1000ms)},
    };
    for (const auto& c : cases) {
        auto parsed = DialOutcome::Parse(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(*parsed, c.expected) << c.text;
    }
    for (const char* bad : {"", "CONNECTED", "BUSY@", "BUSY@-5ms", "BUSY@5x", "OK", "RING"})
        EXPECT_FALSE(DialOutcome::Parse(bad)) << bad;
}

TEST(CallerIdParse, KeepsOrderAndTrimsFields) {
    auto cid = CallerId::Parse(" DATE = 1206,TIME=0902, NAME=JOHN DOE ");
    ASSERT_TRUE(cid);
    EXPECT_EQ(cid->Render(CallerIdFormat::Spaced),
              "\r\nDATE = 1206\r\n\r\nTIME = 0902\r\n\r\nNAME = JOHN DOE\r\n");
    auto empty = CallerId::Parse(" ");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Render(CallerIdFormat::Compact), "");
    EXPECT_FALSE(CallerId::Parse("DATE=1206,NMBR"));
    EXPECT_FALSE(CallerId::Parse("=5551212"));
}

TEST(DeviceMapEntry, NamesComPortsOnly) {
    EXPECT_EQ(DeviceMapEntry("COM5"), "com5");
    EXPECT_EQ(DeviceMapEntry("\\\\.\\COM12"), "com12");
    EXPECT_EQ(DeviceMapEntry("com256"), "com256");
    for (const char* bad : {"COM0", "COM257", "COM05", "LPT1", "COM", "COM1x", "/dev/ttyS0"})
        EXPECT_EQ(DeviceMapEntry(bad), "") << bad;
}

}  // namespace
