// Incoming calls: RING cadence, caller ID in both formats, answering by
// command and by S0, and a caller that gives up.
#include <gtest/gtest.h>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;
using Format = SimModem::CallerIdFormat;

namespace {

constexpr auto kCadence = 200ms;

struct CidCase {
    Format format;
    const char* lines;
};

class CallerIdFormatTest : public ::testing::TestWithParam<CidCase> {};

TEST_P(CallerIdFormatTest, SendsCallerIdBetweenFirstAndSecondRing) {
    SimModem modem;
    modem.SetRingCadence(kCadence);
    modem.SetCallerId("DATE=1206,TIME=0902,NMBR=5551212,NAME=JOHN DOE", GetParam().format);
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    const size_t mark = modem.SentSize();
    modem.Ring(3);
    ASSERT_TRUE(host.ReadUntil("RING\r\n", 3000ms));
    ASSERT_TRUE(host.ReadUntil(GetParam().lines));
    ASSERT_TRUE(host.ReadUntil("\r\nRING\r\n\r\nRING\r\n"));
    const std::string expected =
        std::string("\r\nRING\r\n") + GetParam().lines + "\r\nRING\r\n\r\nRING\r\n";
    EXPECT_EQ(host.Take(), expected);
    EXPECT_EQ(modem.Sent().substr(mark), expected);

    // Rings keep their cadence.
    auto first = modem.WaitForSent("RING", 0ms, mark);
    ASSERT_TRUE(first);
    auto second = modem.WaitForSent("RING", 0ms, first->offset + 1);
    ASSERT_TRUE(second);
    auto third = modem.WaitForSent("RING", 0ms, second->offset + 1);
    ASSERT_TRUE(third);
    EXPECT_GE(second->first - first->first, kCadence);
    EXPECT_GE(third->first - second->first, kCadence);
    // The caller gives up after three rings.
    EXPECT_TRUE(modem.WaitForState(State::Command));
    EXPECT_EQ(modem.Register(1), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CallerIdFormatTest,
    ::testing::Values(CidCase{Format::Spaced,
                              "\r\nDATE = 1206\r\n\r\nTIME = 0902\r\n\r\nNMBR = 5551212\r\n"
                              "\r\nNAME = JOHN DOE\r\n"},
                      CidCase{Format::Compact,
                              "\r\nDATE=1206\r\n\r\nTIME=0902\r\n\r\nNMBR=5551212\r\n"
                              "\r\nNAME=JOHN DOE\r\n"}),
    [](const auto& info) {
        return std::string(info.param.format == Format::Spaced ? "Spaced" : "Compact");
    });

TEST(RingTest, AnswersAfterS0Rings) {
    SimModem modem;
    modem.SetRingCadence(kCadence);
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    host.Write("ATE0S0=2\r");
    ASSERT_TRUE(host.ReadUntil("OK\r\n"));
    host.Take();
    modem.Ring();
    ASSERT_TRUE(host.ReadUntil("CONNECT 9600\r\n"));
    EXPECT_EQ(host.Take(), "\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 9600\r\n");
    EXPECT_EQ(modem.Register(1), 2);
    ASSERT_TRUE(modem.WaitForState(State::Online));
    host.Write("hello");
    EXPECT_TRUE(host.ReadUntil("hello"));
}

TEST(RingTest, AnswersOnCommandAndRefusesOnHangUp) {
    SimModem::Options opts;
    opts.ringCadence = kCadence;
    opts.answerRate = "2400";
    opts.answerDelay = 100ms;
    SimModem modem(opts);
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    host.Write("ATE0\r");
    ASSERT_TRUE(host.ReadUntil("OK\r\n"));

    modem.Ring();
    ASSERT_TRUE(host.ReadUntil("RING"));
    host.Take();
    host.Write("ATA\r");
    auto ata = modem.WaitForLine("ATA");
    ASSERT_TRUE(ata);
    auto connect = modem.WaitForSent("CONNECT 2400");
    ASSERT_TRUE(connect);
    EXPECT_GE(connect->first - ata->at, 100ms);
    ASSERT_TRUE(modem.WaitForState(State::Online));
    modem.DropCarrier();
    ASSERT_TRUE(host.ReadUntil("NO CARRIER\r\n"));
    ASSERT_TRUE(modem.WaitForState(State::Command));

    // ATH while ringing refuses: the ringing stops.
    modem.Ring();
    ASSERT_TRUE(modem.WaitForState(State::Ringing));
    host.Write("ATH\r");
    ASSERT_TRUE(modem.WaitForState(State::Command));
    const size_t mark = modem.SentSize();
    host.Drain(kCadence * 2);
    EXPECT_EQ(modem.Sent().find("RING", mark), std::string::npos);
}

TEST(RingTest, AnswerWithoutACallGivesUpAfterS7) {
    SimModem modem;
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    host.Write("ATE0S7=1\r");
    ASSERT_TRUE(host.ReadUntil("OK\r\n"));
    host.Write("ATA\r");
    auto ata = modem.WaitForLine("ATA");
    ASSERT_TRUE(ata);
    auto nc = modem.WaitForSent("NO CARRIER");
    ASSERT_TRUE(nc);
    EXPECT_GE(nc->first - ata->at, 1000ms);
}

}  // namespace
