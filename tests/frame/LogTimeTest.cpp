// The time text of log entries.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "frame/Log.h"
#include "recorders/RecordingLog.h"

namespace {

std::string Format(WORD h, WORD m, WORD s) {
    SYSTEMTIME t{};
    t.wHour = h;
    t.wMinute = m;
    t.wSecond = s;
    t.wMilliseconds = 999;  // never shown, never rounds up
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    tarvik::frame::FormatLogTime(t, buffer);
    // Eight characters and the terminating zero, nothing beyond the nine
    // bytes a caller must provide.
    EXPECT_EQ(buffer[8], '\0');
    EXPECT_EQ(buffer[9], '#');
    return buffer;
}

TEST(FormatLogTime, TwoDigitsEachOnA24HourClock) {
    EXPECT_EQ(Format(9, 5, 7), "09:05:07");
    EXPECT_EQ(Format(21, 40, 0), "21:40:00");
    EXPECT_EQ(Format(0, 0, 0), "00:00:00");
    EXPECT_EQ(Format(23, 59, 59), "23:59:59");
}

TEST(FormatLogTime, NowHasTheSameShape) {
    char buffer[9];
    tarvik::frame::FormatLogTime(buffer);
    EXPECT_TRUE(std::regex_match(buffer, std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]")))
        << buffer;
}

TEST(LogEntry, NullWriterIsNoLoggingAndDetailDefaultsToTime) {
    tarvik::frame::LogEntry(nullptr, -1, 0, "CSerialPort::OpenPort()", "Port already open");

    tarvik::test::RecordingLog log;
    tarvik::frame::LogEntry(log.Writer(), -1, 0, "CSerialPort::OpenPort()", "Port already open");
    tarvik::frame::LogEntry(log.Writer(), 0, 1, "ML::OpenLine()", std::string("All goes well"),
                            "COM7");
    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(
        std::regex_match(entries[0].detail, std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")));
    EXPECT_EQ(entries[1].detail, "COM7");
    EXPECT_EQ(entries[1].markA, 0);
    EXPECT_EQ(entries[1].markB, 1);
    EXPECT_EQ(entries[1].function, "ML::OpenLine()");
}

}  // namespace
