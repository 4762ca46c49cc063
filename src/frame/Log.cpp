#include "frame/Log.h"

#include <cstdio>

#include "tarvik/sync.h"

namespace tarvik::frame {

void FormatLogTime(const SYSTEMTIME& time, char* buffer) {
    std::snprintf(buffer, 9, "%02u:%02u:%02u", static_cast<unsigned>(time.wHour % 100),
                  static_cast<unsigned>(time.wMinute % 100),
                  static_cast<unsigned>(time.wSecond % 100));
}

void FormatLogTime(char* buffer) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FormatLogTime(now, buffer);
}

ComPtr<ILogWriter> CreateLogWriter() {
    ComPtr<ILogWriter> log;
    if (FAILED(
            CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_ALL, IID_ILogWriter, log.PutVoid())))
        log.Reset();
    return log;
}

void LogEntry(ILogWriter* log, LONG markA, LONG markB, const char* function, const char* message,
              const char* detail) {
    if (!log)
        return;
    char time[9];
    if (!detail) {
        FormatLogTime(time);
        detail = time;
    }
    Bstr fn = Bstr::FromAnsi(function ? function : "");
    Bstr msg = Bstr::FromAnsi(message ? message : "");
    Bstr det = Bstr::FromAnsi(detail);
    log->WriteEntry(GetCurrentThreadId(), markA, markB, fn.Get(), msg.Get(), det.Get());
}

}  // namespace tarvik::frame
