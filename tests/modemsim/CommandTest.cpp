// Command mode of the simulated modem, driven through a real pseudo-terminal.
#include <gtest/gtest.h>

#include "HostPort.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::SimModem;

namespace {

class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(modem.Start());
        port = std::make_unique<HostPort>(modem.SlavePath());
        ASSERT_TRUE(port->IsOpen());
    }
    // Sends `command` and returns everything up to and including `until`.
    std::string Ask(std::string_view command, std::string_view until = "OK\r\n") {
        port->Take();
        EXPECT_TRUE(port->Write(command));
        EXPECT_TRUE(port->ReadUntil(until)) << "sent " << command << ", got " << port->Buffer();
        return port->Take();
    }

    SimModem modem;
    std::unique_ptr<HostPort> port;
};

TEST_F(CommandTest, EchoesAndAnswersInEitherCase) {
    EXPECT_EQ(Ask("AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(Ask("at\r"), "at\r\r\nOK\r\n");
    EXPECT_EQ(Ask("ate0\r"), "ate0\r\r\nOK\r\n");
    // Echo off now: the next line comes back without its own text.
    EXPECT_EQ(Ask("AT\r"), "\r\nOK\r\n");
    // Bytes before "AT" are noise; LF after the CR is ignored, not a command.
    EXPECT_EQ(Ask("xyzAT\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(Ask("AT\r"), "\r\nOK\r\n");
}

TEST_F(CommandTest, RunsSeveralCommandsOfOneLine) {
    EXPECT_EQ(Ask("ATE0V1Q0S7=30S0=2&C1\r"), "ATE0V1Q0S7=30S0=2&C1\r\r\nOK\r\n");
    EXPECT_EQ(modem.Register(7), 30);
    EXPECT_EQ(modem.Register(0), 2);
    EXPECT_EQ(Ask("ATS7?S0?\r"), "\r\n030\r\n\r\n002\r\n\r\nOK\r\n");
    // An error stops the line; what came before it has happened.
    EXPECT_EQ(Ask("ATS7=40E5S0=9\r", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(modem.Register(7), 40);
    EXPECT_EQ(modem.Register(0), 2);
}

TEST_F(CommandTest, AnswersErrorToWhatItDoesNotKnow) {
    Ask("ATE0\r");
    for (const char* bad : {"ATG\r", "ATE2\r", "ATI9\r", "ATS100=1\r", "ATS7=256\r", "AT&\r"}) {
        EXPECT_EQ(Ask(bad, "ERROR\r\n"), "\r\nERROR\r\n") << bad;
    }
    // Harmless extended commands are accepted.
    for (const char* ok : {"AT+CGMI\r", "AT&K3\r", "AT\\N3\r", "AT%C0\r", "AT+FCLASS=0;E0\r"}) {
        EXPECT_EQ(Ask(ok), "\r\nOK\r\n") << ok;
    }
}

TEST_F(CommandTest, ReportsResultsNumericallyAndQuietly) {
    EXPECT_EQ(Ask("ATE0V0\r", "V0\r0\r"), "ATE0V0\r0\r");
    EXPECT_EQ(Ask("ATG\r", "4\r"), "4\r");
    EXPECT_EQ(Ask("ATV1\r"), "\r\nOK\r\n");
    port->Write("ATQ1\r");
    port->Drain(150ms);
    EXPECT_EQ(port->Take(), "");
    // Identification text still shows in quiet mode; the OK does not.
    EXPECT_EQ(Ask("ATI3\r", "simulator 1.0\r\n"), "\r\nTarvik Hayes modem simulator 1.0\r\n");
    EXPECT_EQ(Ask("ATQ0I0\r"), "\r\nTARVIK-SIM\r\n\r\nOK\r\n");
}

TEST_F(CommandTest, RepeatsTheLastLine) {
    Ask("ATE0\r");
    Ask("ATS9=7\r");
    modem.SetRegister(9, 1);
    EXPECT_EQ(Ask("A/"), "\r\nOK\r\n");  // no CR needed
    EXPECT_EQ(modem.Register(9), 7);
    auto lines = modem.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].text, "ATS9=7");
}

TEST_F(CommandTest, ResetRestoresTheProfile) {
    SimModem::Options opts;
    opts.registers[0] = 3;
    SimModem custom(opts);
    ASSERT_TRUE(custom.Start());
    HostPort host(custom.SlavePath());
    EXPECT_EQ(custom.Register(0), 3);
    EXPECT_EQ(custom.Register(12), 50);
    ASSERT_TRUE(host.SendUntil("ATE0V0S0=0S12=9\r", "9\r0\r"));
    host.Take();
    ASSERT_TRUE(host.SendUntil("ATZ\r", "\r\nOK\r\n"));  // answered in the restored form
    host.Take();
    ASSERT_TRUE(host.SendUntil("AT\r", "\r\nOK\r\n"));
    EXPECT_EQ(host.Take(), "AT\r\r\nOK\r\n");  // echo and verbose are back
    EXPECT_EQ(custom.Register(0), 3);
    EXPECT_EQ(custom.Register(12), 50);
}

TEST_F(CommandTest, UsesTheLineEndOfS3AndHonoursBackspace) {
    EXPECT_EQ(Ask("ATE0S3=33\r", "OK!\n"), "ATE0S3=33\r!\nOK!\n");
    EXPECT_EQ(Ask("ATI0!", "OK!\n"), "!\nTARVIK-SIM!\n!\nOK!\n");
    EXPECT_EQ(Ask("ATS3=13!", "OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(Ask("ATEX\b0\r"), "\r\nOK\r\n");
}

}  // namespace
