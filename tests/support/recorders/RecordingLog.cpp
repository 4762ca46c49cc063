#include "recorders/RecordingLog.h"

#include <condition_variable>
#include <mutex>

#include "tarvik/comptr.h"
#include "tarvik/object.h"
#include "tarvik/text.h"

namespace tarvik::test {

// Shared by the recorder and every writer it handed out, so a writer that
// outlives the recorder (a line released late) still writes somewhere valid.
struct RecordingLog::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<LogRecord> entries;
    std::function<void(const LogRecord&)> onEntry;
};

namespace {

std::string Utf8(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

class RecordingWriter final : public ComObject<RecordingWriter, ILogWriter> {
  public:
    explicit RecordingWriter(std::shared_ptr<RecordingLog::State> state)
        : state_(std::move(state)) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_ILogWriter) ? static_cast<ILogWriter*>(this) : nullptr;
    }
    HRESULT SetLogFile(BSTR) override { return S_OK; }
    HRESULT GetLogFile(BSTR* p) override {
        if (!p)
            return E_POINTER;
        *p = nullptr;
        return S_OK;
    }
    HRESULT SetEnabled(LONG) override { return S_OK; }
    HRESULT GetEnabled(LONG* p) override {
        if (!p)
            return E_POINTER;
        *p = TRUE;
        return S_OK;
    }
    HRESULT Flush() override { return S_OK; }
    HRESULT WriteEntry(ULONG thread, LONG markA, LONG markB, BSTR function, BSTR message,
                       BSTR detail) override {
        LogRecord r{thread, markA, markB, Utf8(function), Utf8(message), Utf8(detail)};
        std::function<void(const LogRecord&)> hook;
        {
            std::lock_guard lock(state_->mutex);
            hook = state_->onEntry;
            state_->entries.push_back(r);
        }
        state_->changed.notify_all();
        if (hook)
            hook(r);
        return S_OK;
    }

  private:
    std::shared_ptr<RecordingLog::State> state_;
};

}  // namespace

void RecordingLog::OnEntry(std::function<void(const LogRecord&)> hook) {
    std::lock_guard lock(state_->mutex);
    state_->onEntry = std::move(hook);
}

RecordingLog::RecordingLog() : state_(std::make_shared<State>()) {
    void* pv = nullptr;
    CreateComObject<RecordingWriter>(nullptr, nullptr, IID_ILogWriter, &pv, state_);
    writer_ = static_cast<ILogWriter*>(pv);
    std::shared_ptr<State> state = state_;
    registration_ =
        ClassRegistration(CLSID_LogWriter, [state](IUnknown* outer, REFIID iid, void** ppv) {
            return CreateComObject<RecordingWriter>(outer, nullptr, iid, ppv, state);
        });
}

RecordingLog::~RecordingLog() {
    registration_.Revoke();
    if (writer_)
        writer_->Release();
}

std::vector<LogRecord> RecordingLog::Entries() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries;
}

size_t RecordingLog::Count() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries.size();
}

void RecordingLog::Clear() {
    std::lock_guard lock(state_->mutex);
    state_->entries.clear();
}

std::vector<LogRecord> RecordingLog::Matching(
    const std::function<bool(const LogRecord&)>& pred) const {
    std::vector<LogRecord> out;
    std::lock_guard lock(state_->mutex);
    for (const LogRecord& r : state_->entries)
        if (pred(r))
            out.push_back(r);
    return out;
}

std::vector<LogRecord> RecordingLog::WithMessage(std::string_view message) const {
    return Matching([&](const LogRecord& r) { return r.message == message; });
}

std::vector<LogRecord> RecordingLog::WithFunction(std::string_view function) const {
    return Matching([&](const LogRecord& r) { return r.function == function; });
}

std::vector<LogRecord> RecordingLog::With(std::string_view function,
                                          std::string_view message) const {
    return Matching(
        [&](const LogRecord& r) { return r.function == function && r.message == message; });
}

std::optional<LogRecord> RecordingLog::WaitFor(const std::function<bool(const LogRecord&)>& pred,
                                               std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(state_->mutex);
    size_t checked = 0;
    for (;;) {
        for (; checked < state_->entries.size(); ++checked)
            if (pred(state_->entries[checked]))
                return state_->entries[checked];
        if (state_->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; checked < state_->entries.size(); ++checked)
                if (pred(state_->entries[checked]))
                    return state_->entries[checked];
            return std::nullopt;
        }
        // Clear() may have shortened the list meanwhile.
        if (checked > state_->entries.size())
            checked = 0;
    }
}

std::optional<LogRecord> RecordingLog::WaitForMessage(std::string_view message,
                                                      std::chrono::milliseconds timeout) const {
    std::string m(message);
    return WaitFor([m](const LogRecord& r) { return r.message == m; }, timeout);
}

ILogWriter* RecordingLog::Writer() const {
    return writer_;
}

}  // namespace tarvik::test
