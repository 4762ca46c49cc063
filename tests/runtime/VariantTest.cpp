// VARIANTs (lifetime, copies, conversions) and the error information objects
// that travel with failed calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "tarvik/comptr.h"
#include "tarvik/text.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;

namespace {

// An object that counts its references and can answer a value property.
class Probe final : public IDispatch {
  public:
    explicit Probe(bool dispatch) : dispatch_(dispatch) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid == IID_IUnknown || (dispatch_ && riid == IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id != 0 || !(flags & DISPATCH_PROPERTYGET))
            return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(u"42");
        return S_OK;
    }
    std::atomic<ULONG> refs{1};

  private:
    bool dispatch_;
};

HRESULT Change(const VARIANT& src, VARTYPE vt, Variant* out, USHORT flags = 0) {
    return VariantChangeType(out, &src, flags, vt);
}

Variant Of(VARTYPE vt, double d = 0) {
    Variant v;
    v.vt = vt;
    v.dblVal = d;
    return v;
}

// The converted value as text, with its type, so that one table can say both.
std::string Shown(const VARIANT& v) {
    switch (v.vt) {
        case VT_EMPTY:
            return "EMPTY";
        case VT_NULL:
            return "NULL";
        case VT_I2:
            return "I2 " + std::to_string(v.iVal);
        case VT_I4:
            return "I4 " + std::to_string(v.lVal);
        case VT_UI8:
            return "UI8 " + std::to_string(v.ullVal);
        case VT_R8:
            return "R8 " + std::to_string(v.dblVal);
        case VT_BOOL:
            return "BOOL " + std::to_string(v.boolVal);
        case VT_BSTR:
            return "BSTR " + tarvik::BstrToAnsi(v.bstrVal);
        default:
            return "type " + std::to_string(v.vt);
    }
}

TEST(Variant, CopyIsDeepAndClearReleasesWhatItOwns) {
    Probe probe(false);
    Variant s = Variant::String(u"ATZ");
    Variant copy = s;
    EXPECT_NE(copy.bstrVal, s.bstrVal);
    EXPECT_EQ(Shown(copy), "BSTR ATZ");
    {
        Variant u = Variant::Unknown(&probe);
        Variant u2 = u;
        EXPECT_EQ(probe.refs, 3u);
        u2 = s;  // overwriting releases the old reference
        EXPECT_EQ(probe.refs, 2u);
        EXPECT_EQ(VariantCopy(&u, &u), S_OK);  // self copy changes nothing
        EXPECT_EQ(probe.refs, 2u);
    }
    EXPECT_EQ(probe.refs, 1u);

    Variant bad;
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    bad.vt = VT_EMPTY;
}

TEST(VariantChangeType, Table) {
    LONG five = 5;
    Variant ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.byref = &five;
    const struct {
        Variant src;
        VARTYPE to;
        USHORT flags;
        HRESULT hr;
        const char* shown = "EMPTY";  // what a failure leaves
    } cases[] = {
        {Variant::String(u"12"), VT_I4, 0, S_OK, "I4 12"},
        {Variant::String(u" 12 "), VT_I4, 0, S_OK, "I4 12"},
        {Variant::String(u"-2.5"), VT_I2, 0, S_OK, "I2 -2"},  // halves round to even
        {Variant::String(u"3.5"), VT_I4, 0, S_OK, "I4 4"},
        {Variant::String(u"18446744073709551615"), VT_UI8, 0, S_OK, "UI8 18446744073709551615"},
        {Variant::String(u"1.5e3"), VT_R8, 0, S_OK, "R8 1500.000000"},
        {Variant::String(u"abc"), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {Variant::String(u""), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {Variant::String(u"12x"), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {Variant::String(u"inf"), VT_R8, 0, DISP_E_TYPEMISMATCH},
        {Variant::String(u"70000"), VT_I2, 0, DISP_E_OVERFLOW},
        {Variant::String(u"x"), VT_UNKNOWN, 0, DISP_E_TYPEMISMATCH},
        {Variant(70000), VT_I2, 0, DISP_E_OVERFLOW},
        {Variant(-1), VT_UI1, 0, DISP_E_OVERFLOW},
        {Variant(1), 0x0FFF, 0, DISP_E_BADVARTYPE},
        {Variant(7), VT_BOOL, 0, S_OK, "BOOL -1"},
        {Variant(0), VT_BOOL, 0, S_OK, "BOOL 0"},
        {Variant(-123456), VT_BSTR, 0, S_OK, "BSTR -123456"},
        {Of(VT_R8, 0.1), VT_BSTR, 0, S_OK, "BSTR 0.1"},
#ifndef _WIN32  // Wine answers S_OK and 2147483647; Windows does not say
        {Of(VT_R8, NAN), VT_I4, 0, DISP_E_OVERFLOW},
        {Variant::String(u" true "), VT_BOOL, 0, S_OK, "BOOL -1"},  // Wine: no spaces
#endif
        {Of(VT_NULL), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {Of(VT_NULL), VT_EMPTY, 0, DISP_E_TYPEMISMATCH},
        {Of(VT_NULL), VT_NULL, 0, S_OK, "NULL"},
        {Of(0x0FFF), VT_I4, 0, DISP_E_BADVARTYPE},
        {Variant(), VT_BSTR, 0, S_OK, "BSTR "},
        {Variant(), VT_I4, 0, S_OK, "I4 0"},
        {ref, VT_BSTR, 0, S_OK, "BSTR 5"},
        {Variant::Bool(true), VT_BSTR, 0, S_OK, "BSTR -1"},
        {Variant::Bool(true), VT_BSTR, VARIANT_ALPHABOOL, S_OK, "BSTR True"},
        {Variant::Bool(false), VT_BSTR, VARIANT_ALPHABOOL, S_OK, "BSTR False"},
        {Variant::Bool(true), VT_I4, 0, S_OK, "I4 -1"},
        {Variant::String(u"tRUE"), VT_BOOL, 0, S_OK, "BOOL -1"},
        {Variant::String(u"5"), VT_BOOL, 0, S_OK, "BOOL -1"},
        {Variant::String(u"FALSE"), VT_BOOL, 0, S_OK, "BOOL 0"},
        {Variant::String(u"0.0"), VT_BOOL, 0, S_OK, "BOOL 0"},
        {Variant::String(u"yes"), VT_BOOL, 0, DISP_E_TYPEMISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Shown(c.src) + " to type " + std::to_string(c.to));
        Variant out;
        EXPECT_EQ(VariantChangeType(&out, &c.src, c.flags, c.to), c.hr);
        EXPECT_EQ(Shown(out), c.shown);
    }
    ref.vt = VT_EMPTY;  // not ours to free
}

TEST(VariantChangeType, Interfaces) {
    Probe plain(false), disp(true);
    Variant out, back;
    EXPECT_EQ(Change(Variant::Unknown(&plain), VT_DISPATCH, &out), E_NOINTERFACE);
    EXPECT_EQ(plain.refs, 1u);
    ASSERT_EQ(Change(Variant::Unknown(&disp), VT_DISPATCH, &out), S_OK);
    EXPECT_EQ(out.vt, VT_DISPATCH);
    EXPECT_EQ(out.pdispVal, &disp);
    EXPECT_EQ(disp.refs, 2u);
    ASSERT_EQ(Change(out, VT_UNKNOWN, &back), S_OK);
    EXPECT_EQ(back.vt, VT_UNKNOWN);
    EXPECT_EQ(disp.refs, 3u);
    // An object converts through its value property, unless the caller says
    // not to.
    ASSERT_EQ(Change(out, VT_I4, &back), S_OK);
    EXPECT_EQ(Shown(back), "I4 42");
    EXPECT_EQ(disp.refs, 2u);
    EXPECT_EQ(Change(out, VT_I4, &back, VARIANT_NOVALUEPROP), DISP_E_TYPEMISMATCH);
    // In place, the old reference goes with the old value.
    Variant u = Variant::Unknown(&disp);
    ASSERT_EQ(VariantChangeType(&u, &u, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(u.vt, VT_DISPATCH);
    EXPECT_EQ(disp.refs, 3u);
    out.Clear();
    u.Clear();
    EXPECT_EQ(disp.refs, 1u);
}

TEST(VariantChangeType, InPlaceKeepsAValueThatFailsToConvert) {
    Variant v = Variant::String(u"  77 ");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(Shown(v), "I4 77");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Shown(v), "BSTR 77");
    Variant w = Variant::String(u"abc");
    EXPECT_EQ(VariantChangeType(&w, &w, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Shown(w), "BSTR abc");
}

ComPtr<IErrorInfo> MakeError(const char16_t* description) {
    ComPtr<ICreateErrorInfo> create;
    EXPECT_EQ(CreateErrorInfo(create.Put()), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetHelpContext(7);
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(create.As(&info, IID_IErrorInfo), S_OK);
    ComPtr<IUnknown> a, b;
    create.As(&a, IID_IUnknown);
    info.As(&b, IID_IUnknown);
    EXPECT_EQ(a.Get(), b.Get());  // COM identity: one object, two faces
    return info;
}

// The description of the calling thread's error, or "none".
std::u16string Taken() {
    ComPtr<IErrorInfo> got;
    if (GetErrorInfo(0, got.Put()) != S_OK)
        return u"none";
    Bstr text;
    got->GetDescription(text.Put());
    return std::u16string(text.View());
}

TEST(ErrorInfo, KeepsWhatWasSetHandsItOverOnceAndEachThreadHasItsOwn) {
    auto info = MakeError(u"first");
    DWORD context = 0;
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 7u);
#ifndef _WIN32  // the stand-in's choices: Wine gives null and E_INVALIDARG
    Bstr help;  // never set: reads as an empty string, not null
    EXPECT_EQ(info->GetHelpFile(help.Put()), S_OK);
    EXPECT_NE(help.Get(), nullptr);
    EXPECT_TRUE(help.Empty());
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
#endif

    IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(SetErrorInfo(0, info.Get()), S_OK);
    ASSERT_EQ(SetErrorInfo(0, MakeError(u"second").Get()), S_OK);  // replaces
    EXPECT_EQ(Taken(), u"second");
    EXPECT_EQ(Taken(), u"none");
    SetErrorInfo(0, MakeError(u"dropped").Get());
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(Taken(), u"none");

    SetErrorInfo(0, MakeError(u"main").Get());
    std::u16string otherThread;
    std::thread([&] {
        otherThread = Taken();
        // Left behind on purpose: ending the thread must release it.
        SetErrorInfo(0, MakeError(u"worker").Get());
    }).join();
    EXPECT_EQ(otherThread, u"none");
    EXPECT_EQ(Taken(), u"main");
}

}  // namespace
