// Command mode of the simulated modem, driven through a real pseudo-terminal.
#include "HostPort.h"

namespace {

class CommandTest : public tarvik::test::SimTest {};

constexpr const char* kOk = "\r\nOK\r\n";
constexpr const char* kError = "\r\nERROR\r\n";

// One session, row after row: each reply must be all the host reads before
// the next command, so a stray or late reply shows up in the row after it.
TEST_F(CommandTest, AnswersEachLineAsAHayesModem) {
    const struct {
        const char* send;
        const char* reply;
    } rows[] = {
        {"AT\r", "AT\r\r\nOK\r\n"},
        {"at\r", "at\r\r\nOK\r\n"},
        {"ate0\r", "ate0\r\r\nOK\r\n"},
        {"xyzAT\r\n", kOk},  // noise before "AT"; the LF after the CR is no command
        {"ATS7=30S0=2&C1\r", kOk},
        {"ATS7?S0?\r", "\r\n030\r\n\r\n002\r\n\r\nOK\r\n"},
        // An error stops the line; what came before it has happened.
        {"ATS7=40E5S0=9\r", kError},
        {"ATS7?S0?X\b\r", "\r\n040\r\n\r\n002\r\n\r\nOK\r\n"},
        {"A/", "\r\n040\r\n\r\n002\r\n\r\nOK\r\n"},  // the last line again, no CR needed
        {"ATG\r", kError},
        {"ATE2\r", kError},
        {"ATI9\r", kError},
        {"ATS100=1\r", kError},
        {"ATS7=256\r", kError},
        {"AT&\r", kError},
        {"AT&D4\r", kError},
        {"AT\\\r", kError},
        {"AT+FCLASS=0;&K3\\N3%C0\r", kOk},  // harmless extended commands
        {"AT+CGMI\r", kOk},
        {"ATO\r", "\r\nNO CARRIER\r\n"},  // no call to go back to
        {"ATV0\r", "0\r"},
        {"ATG\r", "4\r"},
        {"ATV1Q1\r", ""},
        // Identification text still shows in quiet mode; the OK does not.
        {"ATI3\r", "\r\nTarvik Hayes modem simulator 1.0\r\n"},
        {"ATQ0I0\r", "\r\nTARVIK-SIM\r\n\r\nOK\r\n"},
        {"ATS3=33\r", "!\nOK!\n"},
        {"ATI0!", "!\nTARVIK-SIM!\n!\nOK!\n"},
        {"ATS3=13!", kOk},
        // ATZ answers in the restored form: verbose, and echo is back on.
        {"ATV0S0=5Z\r", kOk},
        {"ATS0?\r", "ATS0?\r\r\n000\r\n\r\nOK\r\n"},
    };
    Open("");
    for (const auto& r : rows) {
        ASSERT_TRUE(host->Write(r.send));
        EXPECT_TRUE(host->ReadUntil(r.reply)) << r.send;
        EXPECT_EQ(host->Take(), r.reply) << r.send;
    }
}

}  // namespace
