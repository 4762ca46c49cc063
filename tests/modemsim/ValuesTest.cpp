// Parsing of the option texts: dial outcomes, numbers, caller-ID data, COM
// port names.
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

TEST(NumberNormalize, KeepsDigitsStarAndHash) {
    EXPECT_EQ(NormalizeNumber("T9,W(555) 123-4567;"), "95551234567");
    EXPECT_EQ(NormalizeNumber("*70#1@!"), "*70#1");
    EXPECT_EQ(NormalizeNumber("PABCD"), "");
}

TEST(CallerIdParse, KeepsOrderAndRendersBothFormats) {
    auto cid = CallerId::Parse(" DATE = 1206,TIME=0902, NAME=JOHN DOE ");
    ASSERT_TRUE(cid);
    ASSERT_EQ(cid->fields.size(), 3u);
    EXPECT_EQ(cid->fields[2].first, "NAME");
    EXPECT_EQ(cid->fields[2].second, "JOHN DOE");
    EXPECT_EQ(cid->Render(CallerIdFormat::Spaced),
              "\r\nDATE = 1206\r\n\r\nTIME = 0902\r\n\r\nNAME = JOHN DOE\r\n");
    EXPECT_EQ(cid->Render(CallerIdFormat::Compact),
              "\r\nDATE=1206\r\n\r\nTIME=0902\r\n\r\nNAME=JOHN DOE\r\n");
    auto empty = CallerId::Parse("");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Render(CallerIdFormat::Spaced), "");
    EXPECT_FALSE(CallerId::Parse("DATE=1206,NMBR"));
    EXPECT_FALSE(CallerId::Parse("=5551212"));
}

TEST(DeviceMapEntry, NamesComPortsOnly) {
    EXPECT_EQ(DeviceMapEntry("COM5"), "com5");
    EXPECT_EQ(DeviceMapEntry("\\\\.\\COM12"), "com12");
    EXPECT_EQ(DeviceMapEntry("com255"), "com255");
    for (const char* bad : {"COM0", "COM256", "COM05", "LPT1", "COM", "COM1x", "/dev/ttyS0"})
        EXPECT_EQ(DeviceMapEntry(bad), "") << bad;
}

}  // namespace
