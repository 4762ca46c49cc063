#include "recorders/RecordingReporter.h"

#include <condition_variable>
#include <mutex>

#include "tarvik/object.h"
#include "tarvik/text.h"

namespace tarvik::test {

// Shared by the recorder and every reporter it handed out (see RecordingLog).
struct RecordingReporter::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<EventRecord> events;
};

namespace {

std::string Utf8(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

class RecordingSink final : public ComObject<RecordingSink, IEventReporter> {
  public:
    explicit RecordingSink(std::shared_ptr<RecordingReporter::State> state)
        : state_(std::move(state)) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_IEventReporter) ? static_cast<IEventReporter*>(this) : nullptr;
    }
    HRESULT SetTarget(BSTR) override { return S_OK; }
    HRESULT GetTarget(BSTR* p) override {
        if (!p)
            return E_POINTER;
        *p = nullptr;
        return S_OK;
    }
    HRESULT GetCount(LONG* p) override {
        if (!p)
            return E_POINTER;
        std::lock_guard lock(state_->mutex);
        *p = static_cast<LONG>(state_->events.size());
        return S_OK;
    }
    HRESULT Flush() override { return S_OK; }
    HRESULT Notify(LONG code, BSTR data, VARIANT value1, VARIANT value2, BSTR source) override {
        EventRecord r;
        r.code = code;
        r.data = Utf8(data);
        VariantCopy(&r.value1, &value1);
        VariantCopy(&r.value2, &value2);
        r.source = Utf8(source);
        {
            std::lock_guard lock(state_->mutex);
            state_->events.push_back(r);
        }
        state_->changed.notify_all();
        return S_OK;
    }

  private:
    std::shared_ptr<RecordingReporter::State> state_;
};

}  // namespace

RecordingReporter::RecordingReporter() : state_(std::make_shared<State>()) {
    std::shared_ptr<State> state = state_;
    registration_ =
        ClassRegistration(CLSID_EventReporter, [state](IUnknown* outer, REFIID iid, void** ppv) {
            return CreateComObject<RecordingSink>(outer, nullptr, iid, ppv, state);
        });
}

RecordingReporter::~RecordingReporter() = default;

std::vector<EventRecord> RecordingReporter::Events() const {
    std::lock_guard lock(state_->mutex);
    return state_->events;
}

size_t RecordingReporter::Count() const {
    std::lock_guard lock(state_->mutex);
    return state_->events.size();
}

void RecordingReporter::Clear() {
    std::vector<EventRecord> old;  // values released outside the lock
    std::lock_guard lock(state_->mutex);
    old.swap(state_->events);
}

std::vector<EventRecord> RecordingReporter::WithCode(LONG code) const {
    std::vector<EventRecord> out;
    std::lock_guard lock(state_->mutex);
    for (const EventRecord& e : state_->events)
        if (e.code == code)
            out.push_back(e);
    return out;
}

std::optional<EventRecord> RecordingReporter::WaitFor(
    const std::function<bool(const EventRecord&)>& pred, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(state_->mutex);
    size_t checked = 0;
    for (;;) {
        if (checked > state_->events.size())
            checked = 0;  // cleared meanwhile
        for (; checked < state_->events.size(); ++checked)
            if (pred(state_->events[checked]))
                return state_->events[checked];
        if (state_->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; checked < state_->events.size(); ++checked)
                if (pred(state_->events[checked]))
                    return state_->events[checked];
            return std::nullopt;
        }
    }
}

std::optional<EventRecord> RecordingReporter::WaitForCode(LONG code,
                                                          std::chrono::milliseconds timeout) const {
    return WaitFor([code](const EventRecord& e) { return e.code == code; }, timeout);
}

}  // namespace tarvik::test
