// Error information: the error object (both ICreateErrorInfo, to fill it in,
// and IErrorInfo, to read it) and the calling thread's current one.
#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "tarvik/com.h"

namespace {

class ErrorInfoObject final : public IErrorInfo, public ICreateErrorInfo {
  public:
    // IUnknown, shared by both interfaces.
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo)
            *ppv = static_cast<IErrorInfo*>(this);
        else if (riid == IID_ICreateErrorInfo)
            *ppv = static_cast<ICreateErrorInfo*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    // IErrorInfo
    HRESULT GetGUID(GUID* pGUID) override {
        if (!pGUID)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *pGUID = guid_;
        return S_OK;
    }
    HRESULT GetSource(BSTR* out) override { return Hand(source_, out); }
    HRESULT GetDescription(BSTR* out) override { return Hand(description_, out); }
    HRESULT GetHelpFile(BSTR* out) override { return Hand(helpFile_, out); }
    HRESULT GetHelpContext(DWORD* out) override {
        if (!out)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *out = helpContext_;
        return S_OK;
    }

    // ICreateErrorInfo
    HRESULT SetGUID(REFGUID rguid) override {
        std::lock_guard lock(mutex_);
        guid_ = rguid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR s) override { return Keep(source_, s); }
    HRESULT SetDescription(LPOLESTR s) override { return Keep(description_, s); }
    HRESULT SetHelpFile(LPOLESTR s) override { return Keep(helpFile_, s); }
    HRESULT SetHelpContext(DWORD context) override {
        std::lock_guard lock(mutex_);
        helpContext_ = context;
        return S_OK;
    }

  private:
    ~ErrorInfoObject() = default;

    HRESULT Keep(std::u16string& field, LPOLESTR s) {
        std::lock_guard lock(mutex_);
        field = s ? s : u"";
        return S_OK;
    }
    // A text never set comes out as an empty string rather than a null BSTR:
    // callers commonly build a string from it straight away.
    HRESULT Hand(const std::u16string& field, BSTR* out) {
        if (!out)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *out = SysAllocStringLen(field.data(), static_cast<UINT>(field.size()));
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;  // the object may be read on a thread other than its writer's
    GUID guid_ = GUID_NULL;
    std::u16string source_, description_, helpFile_;
    DWORD helpContext_ = 0;
};

// The thread's current error object; released when the thread ends.
struct CurrentError {
    IErrorInfo* info = nullptr;
    ~CurrentError() {
        if (IErrorInfo* p = std::exchange(info, nullptr))
            p->Release();
    }
};
thread_local CurrentError t_current;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (!pperrinfo)
        return E_POINTER;
    *pperrinfo = new (std::nothrow) ErrorInfoObject;
    return *pperrinfo ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
    if (dwReserved != 0)
        return E_INVALIDARG;
    if (perrinfo)
        perrinfo->AddRef();
    // The old object is released after the new one is in place: its Release
    // may run code that sets error information again.
    if (IErrorInfo* old = std::exchange(t_current.info, perrinfo))
        old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
    if (!pperrinfo)
        return E_POINTER;
    *pperrinfo = nullptr;
    if (dwReserved != 0)
        return E_INVALIDARG;
    *pperrinfo = std::exchange(t_current.info, nullptr);
    return *pperrinfo ? S_OK : S_FALSE;
}
