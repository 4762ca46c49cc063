#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "tarvik/comptr.h"

using tarvik::Variant;

namespace {

// An object that counts its references and can answer a value property.
class Probe final : public IDispatch {
  public:
    explicit Probe(bool dispatch) : dispatch_(dispatch) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid == IID_IUnknown || (dispatch_ && riid == IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
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

std::u16string Text(const VARIANT& v) {
    return std::u16string(v.bstrVal, SysStringLen(v.bstrVal));
}

TEST(Variant, ClearReleasesWhatItOwns) {
    Probe probe(false);
    {
        Variant v = Variant::Unknown(&probe);
        EXPECT_EQ(probe.refs, 2u);
    }
    EXPECT_EQ(probe.refs, 1u);

    Variant bad;
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    bad.vt = VT_EMPTY;
}

TEST(Variant, CopyIsDeep) {
    Probe probe(false);
    Variant s = Variant::String(u"ATZ");
    Variant copy = s;
    EXPECT_NE(copy.bstrVal, s.bstrVal);
    EXPECT_EQ(Text(copy), u"ATZ");

    Variant u = Variant::Unknown(&probe);
    Variant u2 = u;
    EXPECT_EQ(probe.refs, 3u);
    u2 = s;  // overwriting releases the old reference
    EXPECT_EQ(probe.refs, 2u);
    EXPECT_EQ(VariantCopy(&u, &u), S_OK);  // self copy changes nothing
    EXPECT_EQ(probe.refs, 2u);
}

struct Case {
    const char* what;
    Variant src;
    VARTYPE to;
    USHORT flags;
    HRESULT hr;
};

TEST(VariantChangeType, Table) {
    const Case cases[] = {
        {"text to I4", Variant::String(u"12"), VT_I4, 0, S_OK},
        {"padded text to I4", Variant::String(u" 12 "), VT_I4, 0, S_OK},
        {"word to I4", Variant::String(u"abc"), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {"empty text to I4", Variant::String(u""), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {"trailing junk", Variant::String(u"12x"), VT_I4, 0, DISP_E_TYPEMISMATCH},
        {"inf is no number", Variant::String(u"inf"), VT_R8, 0, DISP_E_TYPEMISMATCH},
        {"big text to I2", Variant::String(u"70000"), VT_I2, 0, DISP_E_OVERFLOW},
        {"I4 to I2 overflow", Variant(70000), VT_I2, 0, DISP_E_OVERFLOW},
        {"negative to UI1", Variant(-1), VT_UI1, 0, DISP_E_OVERFLOW},
        {"NULL to I4",
         [] {
             Variant v;
             v.vt = VT_NULL;
             return v;
         }(),
         VT_I4, 0, DISP_E_TYPEMISMATCH},
        {"NULL to EMPTY",
         [] {
             Variant v;
             v.vt = VT_NULL;
             return v;
         }(),
         VT_EMPTY, 0, DISP_E_TYPEMISMATCH},
        {"NULL to NULL",
         [] {
             Variant v;
             v.vt = VT_NULL;
             return v;
         }(),
         VT_NULL, 0, S_OK},
        {"bad target", Variant(1), 0x0FFF, 0, DISP_E_BADVARTYPE},
        {"text to object", Variant::String(u"x"), VT_UNKNOWN, 0, DISP_E_TYPEMISMATCH},
    };
    for (const Case& c : cases) {
        Variant out;
        EXPECT_EQ(VariantChangeType(&out, &c.src, c.flags, c.to), c.hr) << c.what;
        if (FAILED(c.hr)) {
            EXPECT_EQ(out.vt, VT_EMPTY) << c.what;
        }
    }
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x0FFF;
    Variant out;
    EXPECT_EQ(VariantChangeType(&out, &bad, 0, VT_I4), DISP_E_BADVARTYPE);
}

TEST(VariantChangeType, Values) {
    Variant out;
    ASSERT_EQ(Change(Variant::String(u" 12 "), VT_I4, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 12);
    ASSERT_EQ(Change(Variant::String(u"-2.5"), VT_I2, &out), S_OK);
    EXPECT_EQ(out.iVal, -2);  // halves round to even
    ASSERT_EQ(Change(Variant::String(u"3.5"), VT_I4, &out), S_OK);
    EXPECT_EQ(out.lVal, 4);
    ASSERT_EQ(Change(Variant::String(u"18446744073709551615"), VT_UI8, &out), S_OK);
    EXPECT_EQ(out.ullVal, UINT64_MAX);
    ASSERT_EQ(Change(Variant::String(u"1.5e3"), VT_R8, &out), S_OK);
    EXPECT_EQ(out.dblVal, 1500.0);

    ASSERT_EQ(Change(Variant(7), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(Change(Variant(0), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);

    ASSERT_EQ(Change(Variant(), VT_BSTR, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(Text(out), u"");
    ASSERT_EQ(Change(Variant(), VT_I4, &out), S_OK);
    EXPECT_EQ(out.lVal, 0);
    ASSERT_EQ(Change(Variant(-123456), VT_BSTR, &out), S_OK);
    EXPECT_EQ(Text(out), u"-123456");
    Variant real;
    real.vt = VT_R8;
    real.dblVal = 0.1;
    ASSERT_EQ(Change(real, VT_BSTR, &out), S_OK);
    EXPECT_EQ(Text(out), u"0.1");
    real.dblVal = NAN;
    EXPECT_EQ(Change(real, VT_I4, &out), DISP_E_OVERFLOW);
}

TEST(VariantChangeType, Booleans) {
    Variant out;
    ASSERT_EQ(Change(Variant::Bool(true), VT_BSTR, &out), S_OK);
    EXPECT_EQ(Text(out), u"-1");
    ASSERT_EQ(Change(Variant::Bool(false), VT_BSTR, &out), S_OK);
    EXPECT_EQ(Text(out), u"0");
    ASSERT_EQ(Change(Variant::Bool(true), VT_BSTR, &out, VARIANT_ALPHABOOL), S_OK);
    EXPECT_EQ(Text(out), u"True");
    ASSERT_EQ(Change(Variant::Bool(false), VT_BSTR, &out, VARIANT_ALPHABOOL), S_OK);
    EXPECT_EQ(Text(out), u"False");

    for (const char16_t* t : {u"True", u"tRUE", u" true ", u"-1", u"5"}) {
        ASSERT_EQ(Change(Variant::String(t), VT_BOOL, &out), S_OK);
        EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    }
    for (const char16_t* t : {u"False", u"FALSE", u"0", u"0.0"}) {
        ASSERT_EQ(Change(Variant::String(t), VT_BOOL, &out), S_OK);
        EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    }
    EXPECT_EQ(Change(Variant::String(u"yes"), VT_BOOL, &out), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(Change(Variant::Bool(true), VT_I4, &out), S_OK);
    EXPECT_EQ(out.lVal, -1);
}

TEST(VariantChangeType, Interfaces) {
    Probe plain(false), disp(true);
    Variant out;
    EXPECT_EQ(Change(Variant::Unknown(&plain), VT_DISPATCH, &out), E_NOINTERFACE);
    EXPECT_EQ(plain.refs, 1u);
    ASSERT_EQ(Change(Variant::Unknown(&disp), VT_DISPATCH, &out), S_OK);
    EXPECT_EQ(out.vt, VT_DISPATCH);
    EXPECT_EQ(out.pdispVal, &disp);
    EXPECT_EQ(disp.refs, 2u);
    Variant back;
    ASSERT_EQ(Change(out, VT_UNKNOWN, &back), S_OK);
    EXPECT_EQ(back.vt, VT_UNKNOWN);
    EXPECT_EQ(disp.refs, 3u);
    // An object converts through its value property...
    ASSERT_EQ(Change(out, VT_I4, &back), S_OK);
    EXPECT_EQ(back.lVal, 42);
    EXPECT_EQ(disp.refs, 2u);
    // ...unless the caller says not to.
    EXPECT_EQ(Change(out, VT_I4, &back, VARIANT_NOVALUEPROP), DISP_E_TYPEMISMATCH);
    out.Clear();
    back.Clear();
    EXPECT_EQ(disp.refs, 1u);
}

TEST(VariantChangeType, InPlace) {
    Variant v = Variant::String(u"  77 ");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 77);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(v), u"77");
    // A failed conversion leaves the value as it was.
    Variant w = Variant::String(u"abc");
    EXPECT_EQ(VariantChangeType(&w, &w, 0, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(w.vt, VT_BSTR);
    EXPECT_EQ(Text(w), u"abc");

    Probe disp(true);
    Variant u = Variant::Unknown(&disp);
    ASSERT_EQ(VariantChangeType(&u, &u, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(u.vt, VT_DISPATCH);
    EXPECT_EQ(disp.refs, 2u);  // the old reference went with the old value
}

TEST(VariantChangeType, ThroughReferences) {
    LONG value = 5;
    Variant ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.byref = &value;
    Variant out;
    ASSERT_EQ(Change(ref, VT_BSTR, &out), S_OK);
    EXPECT_EQ(Text(out), u"5");
    ref.vt = VT_EMPTY;
}

}  // namespace
