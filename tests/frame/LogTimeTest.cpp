// The time text of log entries, and the entries themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "frame/Log.h"
#include "recorders/RecordingLog.h"

namespace {

const std::regex kTime("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]");

TEST(FormatLogTime, TwoDigitsEachOnA24HourClockInNineBytes) {
    const struct {
        WORD h, m, s;
        const char* text;
    } cases[] = {{9, 5, 7, "09:05:07"},
                 {21, 40, 0, "21:40:00"},
                 {0, 0, 0, "00:00:00"},
                 {23, 59, 59, "23:59:59"}};
    for (const auto& c : cases) {
        SYSTEMTIME t{};
        t.wHour = c.h;
        t.wMinute = c.m;
        t.wSecond = c.s;
        t.wMilliseconds = 999;  // never shown, never rounds up
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        tarvik::frame::FormatLogTime(t, buffer);
        EXPECT_EQ(std::string(buffer), c.text);
        // Nothing beyond the nine bytes a caller must provide.
        EXPECT_EQ(buffer[9], '#');
    }
}

TEST(LogEntry, NullWriterIsNoLoggingAndDetailDefaultsToTime) {
    tarvik::frame::LogEntry(nullptr, -1, 0, "CSerialPort::OpenPort()", "Port already open");
    tarvik::test::RecordingLog log;
    tarvik::frame::LogEntry(log.Writer(), -1, 0, "CSerialPort::OpenPort()", "Port already open");
    tarvik::frame::LogEntry(log.Writer(), 0, 1, "ML::OpenLine()", "All goes well", "COM7");
    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(std::regex_match(entries[0].detail, kTime));
    EXPECT_EQ(entries[1].detail, "COM7");
}

}  // namespace
