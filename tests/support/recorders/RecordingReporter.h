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
    ~RecordingReporter();
    RecordingReporter(const RecordingReporter&) = delete;
    RecordingReporter& operator=(const RecordingReporter&) = delete;

    std::vector<EventRecord> Events() const;
    size_t Count() const;
    void Clear();

    std::vector<EventRecord> WithCode(LONG code) const;
    std::optional<EventRecord> WaitFor(const std::function<bool(const EventRecord&)>& pred,
                                       std::chrono::milliseconds timeout) const;
    std::optional<EventRecord> WaitForCode(LONG code, std::chrono::milliseconds timeout) const;

    struct State;

  private:
    std::shared_ptr<State> state_;
    ClassRegistration registration_;
};

}  // namespace tarvik::test
