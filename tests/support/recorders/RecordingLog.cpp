#include "recorders/RecordingLog.h"

#include "tarvik/comptr.h"
#include "tarvik/object.h"

namespace tarvik::test {
namespace {

class RecordingWriter final : public ComObject<RecordingWriter, ILogWriter> {
  public:
    explicit RecordingWriter(std::shared_ptr<RecordList<LogRecord>> entries)
        : entries_(std::move(entries)) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_ILogWriter) ? static_cast<ILogWriter*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE SetLogFile(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetLogFile(BSTR* p) override {
        if (!p)
            return E_POINTER;
        *p = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEnabled(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetEnabled(LONG* p) override {
        if (!p)
            return E_POINTER;
        *p = TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE WriteEntry(ULONG thread, LONG markA, LONG markB, BSTR function,
                                         BSTR message, BSTR detail) override {
        entries_->Add(
            {thread, markA, markB, BstrToUtf8(function), BstrToUtf8(message), BstrToUtf8(detail)});
        return S_OK;
    }

  private:
    std::shared_ptr<RecordList<LogRecord>> entries_;
};

}  // namespace

RecordingLog::RecordingLog()
    : entries_(std::make_shared<RecordList<LogRecord>>()),
      registration_(CLSID_LogWriter, [entries = entries_](IUnknown* outer, REFIID iid, void** ppv) {
          return CreateComObject<RecordingWriter>(outer, nullptr, iid, ppv, entries);
      }) {
    void* pv = nullptr;
    CreateComObject<RecordingWriter>(nullptr, nullptr, IID_ILogWriter, &pv, entries_);
    writer_ = static_cast<ILogWriter*>(pv);
}

RecordingLog::~RecordingLog() {
    registration_.Revoke();
    if (writer_)
        writer_->Release();
}

std::vector<LogRecord> RecordingLog::WithMessage(std::string_view message) const {
    return entries_->Matching([&](const LogRecord& r) { return r.message == message; });
}

std::vector<LogRecord> RecordingLog::WithFunction(std::string_view function) const {
    return entries_->Matching([&](const LogRecord& r) { return r.function == function; });
}

std::vector<LogRecord> RecordingLog::With(std::string_view function,
                                          std::string_view message) const {
    return entries_->Matching(
        [&](const LogRecord& r) { return r.function == function && r.message == message; });
}

std::optional<LogRecord> RecordingLog::WaitForMessage(std::string_view message,
                                                      std::chrono::milliseconds timeout) const {
    std::string m(message);
    return WaitFor([m](const LogRecord& r) { return r.message == m; }, timeout);
}

}  // namespace tarvik::test
