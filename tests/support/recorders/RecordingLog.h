// A log writer registered in-process for the lifetime of the recorder: every
// CoCreateInstance(CLSID_LogWriter) made meanwhile gets a writer that records
// its entries here. Thread-safe; entries may arrive from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recorders/RecordList.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

namespace tarvik::test {

struct LogRecord {
    ULONG thread = 0;
    LONG markA = 0;
    LONG markB = 0;
    std::string function;  // texts in UTF-8
    std::string message;
    std::string detail;
};

class RecordingLog {
  public:
    RecordingLog();
    ~RecordingLog();
    RecordingLog(const RecordingLog&) = delete;
    RecordingLog& operator=(const RecordingLog&) = delete;

    std::vector<LogRecord> Entries() const { return entries_->All(); }
    size_t Count() const { return entries_->Size(); }
    void Clear() { entries_->Clear(); }
    // Withdraws the recorder's class registration: objects made from now on
    // get another log writer.
    void Revoke() { registration_.Revoke(); }

    std::vector<LogRecord> WithMessage(std::string_view message) const;
    std::vector<LogRecord> WithFunction(std::string_view function) const;
    std::vector<LogRecord> With(std::string_view function, std::string_view message) const;

    // Waits until an entry (already there or still to come) satisfies `pred`;
    // the first such entry, or nothing after `timeout`.
    std::optional<LogRecord> WaitFor(const std::function<bool(const LogRecord&)>& pred,
                                     std::chrono::milliseconds timeout) const {
        return entries_->WaitFor(pred, timeout);
    }
    std::optional<LogRecord> WaitForMessage(std::string_view message,
                                            std::chrono::milliseconds timeout) const;

    // Runs after each entry is recorded, on the writing thread (a writer
    // that stalls, for instance).
    void OnEntry(std::function<void(const LogRecord&)> hook) { entries_->OnAdd(std::move(hook)); }

    // A writer of this recorder without going through activation.
    ILogWriter* Writer() const { return writer_; }

  private:
    std::shared_ptr<RecordList<LogRecord>> entries_;
    ILogWriter* writer_ = nullptr;
    ClassRegistration registration_;
};

}  // namespace tarvik::test
