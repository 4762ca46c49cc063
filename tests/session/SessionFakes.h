// Stand-ins the session tests need: a recording session callback that can tell
// when it was called without a reference, a property bag whose SetData fails
// on one field, and an outer object that aggregates a Tarvik object.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "recorders/RecordList.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

namespace tarvik::test {

// Records the session callbacks. It is never deleted by Release: the test owns
// it, so a call that arrives after the last reference was released is counted
// as a fault instead of touching freed memory.
class RecordingSessionCallback final : public IModemSessionCallback {
  public:
    struct Call {
        std::string what;
        LONG a, b, c;
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IModemSessionCallback))
            return E_NOINTERFACE;
        *ppv = static_cast<IModemSessionCallback*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    HRESULT STDMETHODCALLTYPE MediaClosed(LONG id) override {
        return Record("MediaClosed", id, 0, 0);
    }
    HRESULT STDMETHODCALLTYPE MediaInService(LONG id) override {
        return Record("MediaInService", id, 0, 0);
    }
    HRESULT STDMETHODCALLTYPE MediaOutOfService(LONG id) override {
        return Record("MediaOutOfService", id, 0, 0);
    }
    HRESULT STDMETHODCALLTYPE MediaRemove(LONG id) override {
        return Record("MediaRemove", id, 0, 0);
    }
    HRESULT STDMETHODCALLTYPE FatalError(LONG cause, LONG error, LONG param) override {
        return Record("FatalError", cause, error, param);
    }

    std::vector<Call> Calls() const { return calls_.All(); }
    bool WaitForCalls(size_t n, std::chrono::milliseconds timeout) const {
        return calls_
            .WaitFor([&, seen = size_t{0}](const Call&) mutable { return ++seen >= n; }, timeout)
            .has_value();
    }
    int CallCount() const { return static_cast<int>(calls_.Size()); }
    int CallsWithoutReference() const { return callsWithoutReference_.load(); }
    LONG References() const { return refs_.load(); }

    // What the callbacks answer; the session must not care.
    HRESULT result = S_OK;
    // Runs inside every call (re-entry tests).
    std::function<void()> onCall;

  private:
    HRESULT Record(const char* what, LONG a, LONG b, LONG c) {
        if (refs_.load() <= 0)
            ++callsWithoutReference_;
        calls_.Add({what, a, b, c});
        if (onCall) {
            onCall();
            // A host that let go of its callback inside the call (Shutdown)
            // must still find the object alive until the call returns.
            if (refs_.load() <= 0)
                ++callsWithoutReference_;
        }
        return result;
    }

    std::atomic<LONG> refs_{0};
    std::atomic<int> callsWithoutReference_{0};
    RecordList<Call> calls_;
};

// A property bag whose SetData of `failingField` fails the way a real bag
// fails on a missing field, with that bag's error information for
// ICommonData. Other fields are accepted and dropped.
class RefusingBag final : public ComObject<RefusingBag, ICommonData, ISupportErrorInfo> {
  public:
    RefusingBag(ComPtr<ICommonData> real, std::u16string failingField)
        : real_(std::move(real)), failing_(std::move(failingField)) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_ICommonData) || IsEqualIID(iid, IID_IDispatch))
            return static_cast<ICommonData*>(this);
        return IsEqualIID(iid, IID_ISupportErrorInfo) ? static_cast<ISupportErrorInfo*>(this)
                                                      : nullptr;
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, IID_ICommonData) ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE SetData(BSTR name, VARIANT) override {
        Variant none;
        return std::u16string_view(name ? name : u"") == failing_ ? real_->GetData(name, &none)
                                                                  : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetData(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ClearData() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFirst(BSTR*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNext(BSTR*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCount(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Store(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Retrieve(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveData(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Retrieve_MaskCSID(BSTR*) override { return E_NOTIMPL; }

  private:
    ComPtr<ICommonData> real_;
    std::u16string failing_;
};

// An outer object that aggregates one inner object: it keeps the inner's
// non-delegating IUnknown and hands out the inner's interfaces as its own.
class Aggregator final : public IUnknown {
  public:
    // Creates the inner object through `factory` with this as its outer.
    HRESULT Aggregate(IClassFactory* factory) {
        return factory->CreateInstance(this, IID_IUnknown, inner_.PutVoid());
    }
    IUnknown* Inner() const { return inner_.Get(); }
    void ReleaseInner() { inner_.Reset(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner_ ? inner_->QueryInterface(iid, ppv) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    LONG References() const { return refs_.load(); }

  private:
    std::atomic<LONG> refs_{1};  // the test's own
    ComPtr<IUnknown> inner_;
};

}  // namespace tarvik::test
