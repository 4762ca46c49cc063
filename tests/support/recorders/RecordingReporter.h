// An event reporter registered in-process for the lifetime of the recorder:
// every CoCreateInstance(CLSID_EventReporter) made meanwhile gets a reporter
// that records its notifications here. Thread-safe.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recorders/RecordList.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

namespace tarvik::test {

struct EventRecord {
    LONG code = 0;
    std::string data;  // UTF-8
    Variant value1;    // copies of what Notify received
    Variant value2;
    std::string source;
};

class RecordingReporter {
  public:
    RecordingReporter();
    RecordingReporter(const RecordingReporter&) = delete;
    RecordingReporter& operator=(const RecordingReporter&) = delete;

    std::vector<EventRecord> Events() const { return events_->All(); }
    size_t Count() const { return events_->Size(); }
    void Clear() { events_->Clear(); }
    // Withdraws the recorder's class registration: objects made from now on
    // report elsewhere.
    void Revoke() { registration_.Revoke(); }

    std::vector<EventRecord> WithCode(LONG code) const {
        return events_->Matching([code](const EventRecord& e) { return e.code == code; });
    }
    std::optional<EventRecord> WaitFor(const std::function<bool(const EventRecord&)>& pred,
                                       std::chrono::milliseconds timeout) const {
        return events_->WaitFor(pred, timeout);
    }
    std::optional<EventRecord> WaitForCode(LONG code, std::chrono::milliseconds timeout) const {
        return WaitFor([code](const EventRecord& e) { return e.code == code; }, timeout);
    }

  private:
    std::shared_ptr<RecordList<EventRecord>> events_;
    ClassRegistration registration_;
};

}  // namespace tarvik::test
