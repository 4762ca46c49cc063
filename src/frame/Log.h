// Log entries of the component. Every line, session and serial port keeps its
// own log writer (null when none could be created, and then nothing is
// logged); an entry carries the writing thread's id, two small markers, the
// function text, the message text and a detail text (the time of day unless
// the writer names another).
#pragma once

#include <string>

#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/sync.h"

namespace tarvik::frame {

// The time of day as HH:MM:SS (24-hour clock, two digits each), written with
// its terminating zero into `buffer`, which must hold at least 9 bytes.
void FormatLogTime(char* buffer);
// The same for a given local time.
void FormatLogTime(const SYSTEMTIME& time, char* buffer);

// Creates a log writer (CLSID_LogWriter, any context). Null when none can be
// created; the caller keeps it for its lifetime.
ComPtr<ILogWriter> CreateLogWriter();

// Writes one entry when `log` is set. Texts are ANSI; a null detail means the
// time text, formatted just before the entry. Never fails the caller.
void LogEntry(ILogWriter* log, LONG markA, LONG markB, const char* function, const char* message,
              const char* detail = nullptr);
inline void LogEntry(ILogWriter* log, LONG markA, LONG markB, const char* function,
                     const std::string& message, const char* detail = nullptr) {
    LogEntry(log, markA, markB, function, message.c_str(), detail);
}

}  // namespace tarvik::frame
