#include "recorders/RecordingReporter.h"

#include "tarvik/object.h"

namespace tarvik::test {
namespace {

class RecordingSink final : public ComObject<RecordingSink, IEventReporter> {
  public:
    explicit RecordingSink(std::shared_ptr<RecordList<EventRecord>> events)
        : events_(std::move(events)) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_IEventReporter) ? static_cast<IEventReporter*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE SetTarget(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTarget(BSTR* p) override {
        if (!p)
            return E_POINTER;
        *p = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCount(LONG* p) override {
        if (!p)
            return E_POINTER;
        *p = static_cast<LONG>(events_->Size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Notify(LONG code, BSTR data, VARIANT value1, VARIANT value2,
                                     BSTR source) override {
        EventRecord r;
        r.code = code;
        r.data = BstrToUtf8(data);
        VariantCopy(&r.value1, &value1);
        VariantCopy(&r.value2, &value2);
        r.source = BstrToUtf8(source);
        events_->Add(std::move(r));
        return S_OK;
    }

  private:
    std::shared_ptr<RecordList<EventRecord>> events_;
};

}  // namespace

RecordingReporter::RecordingReporter()
    : events_(std::make_shared<RecordList<EventRecord>>()),
      registration_(CLSID_EventReporter,
                    [events = events_](IUnknown* outer, REFIID iid, void** ppv) {
                        return CreateComObject<RecordingSink>(outer, nullptr, iid, ppv, events);
                    }) {}

}  // namespace tarvik::test
