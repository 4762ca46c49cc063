// What a recorder has collected, shared by the recorder and every object it
// handed out, so one that outlives the recorder (a line released late) still
// records somewhere valid. Thread-safe; records may arrive from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tarvik/com.h"
#include "tarvik/text.h"

namespace tarvik::test {

template <class Record>
class RecordList {
  public:
    using Predicate = std::function<bool(const Record&)>;

    void Add(Record record) {
        std::function<void(const Record&)> hook;
        {
            // Notified under the lock: a waiter that has seen the record may
            // destroy a recorder it owns at once.
            std::lock_guard lock(mutex_);
            hook = onAdd_;
            records_.push_back(record);
            changed_.notify_all();
        }
        if (hook)
            hook(record);
    }
    // Runs after each record is added, on the adding thread.
    void OnAdd(std::function<void(const Record&)> hook) {
        std::lock_guard lock(mutex_);
        onAdd_ = std::move(hook);
    }
    std::vector<Record> All() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    size_t Size() const {
        std::lock_guard lock(mutex_);
        return records_.size();
    }
    void Clear() {
        std::vector<Record> old;  // released outside the lock
        std::lock_guard lock(mutex_);
        old.swap(records_);
    }
    size_t Count(const Predicate& pred) const { return Matching(pred).size(); }
    std::vector<Record> Matching(const Predicate& pred) const {
        std::vector<Record> out;
        std::lock_guard lock(mutex_);
        for (const Record& r : records_)
            if (pred(r))
                out.push_back(r);
        return out;
    }
    // The first record (already there or still to come) satisfying `pred`,
    // or nothing after `timeout`.
    std::optional<Record> WaitFor(const Predicate& pred, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        size_t checked = 0;
        for (;;) {
            if (checked > records_.size())
                checked = 0;  // cleared meanwhile
            for (; checked < records_.size(); ++checked)
                if (pred(records_[checked]))
                    return records_[checked];
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
                checked == records_.size())
                return std::nullopt;
        }
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Record> records_;
    std::function<void(const Record&)> onAdd_;
};

inline std::string BstrToUtf8(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

}  // namespace tarvik::test
