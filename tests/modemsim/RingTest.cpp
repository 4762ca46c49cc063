// Incoming calls: RING cadence, answering by command and by S0, and a call
// that is never there. (The caller-ID forms are checked through the line.)
#include <gtest/gtest.h>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::SimModem;
using State = SimModem::State;

namespace {

constexpr auto kCadence = 200ms;

TEST(RingTest, AnswersAfterS0Rings) {
    SimModem modem;
    modem.SetRingCadence(kCadence);
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    ASSERT_TRUE(host.SendUntil("ATE0S0=2\r", "OK\r\n"));
    host.Take();
    const size_t mark = modem.SentSize();
    modem.Ring();
    ASSERT_TRUE(host.ReadUntil("CONNECT 9600\r\n"));
    EXPECT_EQ(host.Take(), "\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 9600\r\n");
    // Rings keep their cadence.
    auto first = modem.WaitForSent("RING", 0ms, mark);
    auto second = modem.WaitForSent("RING", 0ms, first ? first->offset + 1 : mark);
    ASSERT_TRUE(first && second);
    EXPECT_GE(second->first - first->first, kCadence);
    EXPECT_EQ(modem.Register(1), 2);
    ASSERT_TRUE(modem.WaitForState(State::Online));
    EXPECT_TRUE(host.SendUntil("hello", "hello"));
}

TEST(RingTest, AnswersOnCommandAndRefusesOnHangUp) {
    SimModem::Options opts;
    opts.ringCadence = kCadence;
    opts.answerRate = "2400";
    opts.answerDelay = 100ms;
    SimModem modem(opts);
    ASSERT_TRUE(modem.Start());
    HostPort host(modem.SlavePath());
    ASSERT_TRUE(host.SendUntil("ATE0\r", "OK\r\n"));

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
    ASSERT_TRUE(host.SendUntil("ATE0S7=1\r", "OK\r\n"));
    host.Write("ATA\r");
    auto ata = modem.WaitForLine("ATA");
    ASSERT_TRUE(ata);
    auto nc = modem.WaitForSent("NO CARRIER");
    ASSERT_TRUE(nc);
    EXPECT_GE(nc->first - ata->at, 1000ms);
}

}  // namespace
