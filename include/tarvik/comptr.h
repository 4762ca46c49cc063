// RAII holders for references, strings and variants (the roles of ATL's
// CComPtr, CComBSTR and CComVariant).
#pragma once

#include <string_view>
#include <utility>

#include "tarvik/com.h"
#include "tarvik/text.h"

namespace tarvik {

// Holds one counted reference.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    ComPtr(T* p) : p_(p) {
        if (p_)
            p_->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& o) {
        if (this != &o)
            ComPtr(o).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        ComPtr(std::move(o)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(T* p) {
        ComPtr(p).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns (an out-parameter's).
    static ComPtr Adopt(T* p) {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    void Attach(T* p) {
        Reset();
        p_ = p;
    }
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() {
        if (T* p = std::exchange(p_, nullptr))
            p->Release();
    }
    void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases what is held and hands out the slot.
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    // Hands out a new reference through an out-parameter.
    HRESULT CopyTo(T** out) const {
        if (!out)
            return E_POINTER;
        *out = p_;
        if (p_)
            p_->AddRef();
        return S_OK;
    }
    template <class U>
    HRESULT As(ComPtr<U>* out, REFIID iid) const {
        if (!p_)
            return E_POINTER;
        return p_->QueryInterface(iid, out->PutVoid());
    }

  private:
    T* p_ = nullptr;
};

// Owns one BSTR.
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const OLECHAR* s) : b_(SysAllocString(s)) {}
    explicit Bstr(std::u16string_view s)
        : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    static Bstr FromAnsi(std::string_view s) { return Adopt(AnsiToBstr(s)); }
    static Bstr Adopt(BSTR b) {
        Bstr r;
        r.b_ = b;
        return r;
    }
    Bstr(const Bstr& o) : b_(o.b_ ? SysAllocStringLen(o.b_, SysStringLen(o.b_)) : nullptr) {}
    Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr& operator=(Bstr o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~Bstr() { SysFreeString(b_); }

    BSTR Get() const { return b_; }
    BSTR Detach() { return std::exchange(b_, nullptr); }
    BSTR* Put() {
        SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    UINT Length() const { return SysStringLen(b_); }
    bool Empty() const { return Length() == 0; }
    std::u16string_view View() const { return b_ ? std::u16string_view(b_, Length()) : u""; }
    std::string Ansi() const { return BstrToAnsi(b_); }

  private:
    BSTR b_ = nullptr;
};

// Owns one VARIANT (cleared on destruction).
class Variant : public VARIANT {
  public:
    Variant() { VariantInit(this); }
    explicit Variant(LONG v) : Variant() {
        vt = VT_I4;
        lVal = v;
    }
    static Variant I2(SHORT v) {
        Variant r;
        r.vt = VT_I2;
        r.iVal = v;
        return r;
    }
    static Variant Bool(bool v) {
        Variant r;
        r.vt = VT_BOOL;
        r.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
        return r;
    }
    static Variant String(std::u16string_view s) {
        Variant r;
        r.vt = VT_BSTR;
        r.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return r;
    }
    static Variant AnsiString(std::string_view s) {
        Variant r;
        r.vt = VT_BSTR;
        r.bstrVal = AnsiToBstr(s);
        return r;
    }
    // Takes a new reference on p.
    static Variant Unknown(IUnknown* p) {
        Variant r;
        r.vt = VT_UNKNOWN;
        r.punkVal = p;
        if (p)
            p->AddRef();
        return r;
    }
    Variant(const Variant& o) : Variant() { VariantCopy(this, &o); }
    Variant& operator=(const Variant& o) {
        if (this != &o)
            VariantCopy(this, &o);
        return *this;
    }
    ~Variant() { VariantClear(this); }
    void Clear() { VariantClear(this); }
    VARIANT* Ptr() { return this; }
};

}  // namespace tarvik
