// The property bag: values in and out, the text form, names, walks, errors
// and concurrent use.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <tuple>
#include <vector>

#include "line/LineTestKit.h"
#include "tarvik/companions.h"
#include "tarvik/comptr.h"
#include "tarvik/text.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;

namespace {

ComPtr<ICommonData> NewBag() {
    ComPtr<ICommonData> bag;
    EXPECT_EQ(
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid()),
        S_OK);
    return bag;
}

HRESULT Set(ICommonData* bag, std::u16string_view name, const VARIANT& v) {
    return bag->SetData(Bstr(name).Get(), v);
}

Variant Get(ICommonData* bag, std::u16string_view name, HRESULT* hr = nullptr) {
    Variant v;
    HRESULT r = bag->GetData(Bstr(name).Get(), &v);
    if (hr)
        *hr = r;
    return v;
}

std::u16string TextOf(ICommonData* bag, bool masked = false) {
    Bstr text;
    EXPECT_EQ(masked ? bag->Retrieve_MaskCSID(text.Put()) : bag->Retrieve(text.Put()), S_OK);
    return std::u16string(text.View());
}

LONG CountOf(ICommonData* bag) {
    LONG n = -1;
    EXPECT_EQ(bag->GetCount(&n), S_OK);
    return n;
}

// Same type and same value, bit for bit for numbers (a NaN is any NaN).
bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt)
        return false;
    if (a.vt == VT_BSTR)
        return std::u16string_view(a.bstrVal, SysStringLen(a.bstrVal)) ==
               std::u16string_view(b.bstrVal, SysStringLen(b.bstrVal));
    if ((a.vt == VT_R8 || a.vt == VT_DATE) && std::isnan(a.dblVal))
        return std::isnan(b.dblVal);
    size_t size = 4;  // I4, UI4, INT, UINT, R4, ERROR
    if (a.vt == VT_EMPTY || a.vt == VT_NULL)
        size = 0;
    else if (a.vt == VT_I1 || a.vt == VT_UI1)
        size = 1;
    else if (a.vt == VT_I2 || a.vt == VT_UI2 || a.vt == VT_BOOL)
        size = 2;
    else if (a.vt == VT_I8 || a.vt == VT_UI8 || a.vt == VT_CY || a.vt == VT_R8 || a.vt == VT_DATE)
        size = 8;
    return std::memcmp(&a.ullVal, &b.ullVal, size) == 0;
}

Variant Make(VARTYPE vt, uint64_t bits) {
    Variant v;
    v.vt = vt;
    v.ullVal = bits;
    return v;
}
Variant R8(double d, VARTYPE vt = VT_R8) {
    return Make(vt, std::bit_cast<uint64_t>(d));
}

struct Sample {
    std::u16string name;
    Variant value;
};

std::vector<Sample> EveryStorableValue() {
    // Integers by their bits: the union's low bytes are the narrower fields.
    return {
        {u"empty", Variant()},
        {u"null", Make(VT_NULL, 0)},
        {u"i1", Make(VT_I1, 0x80)},
        {u"i2", Variant::I2(-32768)},
        {u"i2 103", Variant::I2(103)},
        {u"i4", Variant(static_cast<LONG>(-2147483647 - 1))},
        {u"i4 max", Variant(static_cast<LONG>(2147483647))},
        {u"i8", Make(VT_I8, 1ull << 63)},
        {u"ui1", Make(VT_UI1, 255)},
        {u"ui2", Make(VT_UI2, 65535)},
        {u"ui4", Make(VT_UI4, 4294967295u)},
        {u"ui8", Make(VT_UI8, std::numeric_limits<uint64_t>::max())},
        {u"int", Make(VT_INT, 0xFFFFFFF9u)},  // -7
        {u"uint", Make(VT_UINT, 7)},
        {u"r4", Make(VT_R4, std::bit_cast<uint32_t>(0.1f))},
        {u"r8", R8(0.1)},
        {u"r8 tiny", R8(5e-324)},
        {u"r8 -0", R8(-0.0)},
        {u"r8 inf", R8(-std::numeric_limits<double>::infinity())},
        {u"r8 nan", R8(std::numeric_limits<double>::quiet_NaN())},
        {u"cy", Make(VT_CY, 123456789)},  // 12345.6789
        {u"date", R8(45000.375, VT_DATE)},
        {u"bool true", Variant::Bool(true)},
        {u"bool false", Variant::Bool(false)},
        {u"bool odd", Make(VT_BOOL, 1)},  // not -1 or 0, still kept as it is
        {u"error", Make(VT_ERROR, static_cast<uint32_t>(E_FAIL))},
        {u"bstr", Variant::String(u"ATZ&F0")},
        {u"bstr empty", Variant::String(u"")},
    };
}

TEST(CommonDataText, EveryStorableTypeAndAwkwardTextRoundTrips) {
    auto samples = EveryStorableValue();
    const std::u16string awkward[] = {
        u"tab\there",
        u"line\nfeed and\r\ncrlf",
        u"back\\slash \\t not a tab \\n \\u0041",
        u"\"quoted\" 'single' = ; , : { } [ ]",
        u"Grüße, 日本語, Ελληνικά, кириллица",
        u"emoji \U0001F600 outside the BMP",
        std::u16string(u"nul\0inside", 11),
        u"\x01\x1f\x7f control",
        u"   leading and trailing   ",
        u"",
    };
    // The same awkward text as a name (made unique) and as a value.
    for (const auto& a : awkward)
        samples.push_back(
            {a + u"#" + static_cast<char16_t>(u'A' + samples.size()), Variant::String(a)});
    ComPtr<ICommonData> bag = NewBag();
    for (auto& s : samples)
        ASSERT_EQ(Set(bag.Get(), s.name, s.value), S_OK) << "field " << s.name.size();

    std::u16string text = TextOf(bag.Get());
    // Whatever the values hold, each field is one line.
    EXPECT_EQ(std::count(text.begin(), text.end(), u'\n'), static_cast<long>(samples.size()));
    ComPtr<ICommonData> copy = NewBag();
    ASSERT_EQ(copy->Store(Bstr(text).Get()), S_OK);
    ASSERT_EQ(CountOf(copy.Get()), static_cast<LONG>(samples.size()));
    BSTR name = nullptr;
    Variant value;
    size_t i = 0;
    for (HRESULT hr = copy->GetFirst(&name, &value); hr == S_OK;
         hr = copy->GetNext(&name, &value), ++i) {
        Bstr owned = Bstr::Adopt(name);
        ASSERT_LT(i, samples.size());
        EXPECT_EQ(owned.View(), samples[i].name) << i;
        EXPECT_TRUE(SameValue(value, samples[i].value))
            << "type " << samples[i].value.vt << " came back as type " << value.vt;
        value.Clear();
    }
    EXPECT_EQ(i, samples.size());
    // And the text of the copy is the same text: the form is stable.
    EXPECT_EQ(TextOf(copy.Get()), text);
}

TEST(CommonDataText, DocumentedLayoutWithObjectsAsEmptyFields) {
    ComPtr<ICommonData> bag = NewBag();
    ComPtr<ICommonData> other = NewBag();
    Set(bag.Get(), u"MessageType", Variant::I2(103));
    Set(bag.Get(), u"Port\tName", Variant::String(u"COM1\n"));
    Set(bag.Get(), u"Gone", Variant());
    ASSERT_EQ(Set(bag.Get(), u"ModemSession_IUnknown", Variant::Unknown(other.Get())), S_OK);
    std::u16string text = TextOf(bag.Get());
    EXPECT_EQ(text,
              u"MessageType\tI2\t103\n"
              u"Port\\tName\tBSTR\tCOM1\\n\n"
              u"Gone\tEMPTY\t\n"
              u"ModemSession_IUnknown\tUNKNOWN\t\n");
    ComPtr<ICommonData> copy = NewBag();
    ASSERT_EQ(copy->Store(Bstr(text).Get()), S_OK);
    EXPECT_EQ(Get(copy.Get(), u"ModemSession_IUnknown").vt, VT_EMPTY);
}

TEST(CommonDataText, StoreAcceptsHandWrittenTextAndRefusesNonsense) {
    ComPtr<ICommonData> bag = NewBag();
    ASSERT_EQ(bag->Store(Bstr(u"A\tI4\t12\r\n\r\nB\tBOOL\ttrue\nA\tI4\t13").Get()), S_OK);
    EXPECT_EQ(CountOf(bag.Get()), 2);
    EXPECT_EQ(Get(bag.Get(), u"A").lVal, 13);  // the later line wins
    EXPECT_EQ(Get(bag.Get(), u"B").boolVal, VARIANT_TRUE);

    const char16_t* bad[] = {
        u"NoTabs",       u"A\tI4",           u"A\tLONG\t1",       u"A\tI4\tabc",
        u"A\tI2\t70000", u"A\tBSTR\tbad\\q", u"A\tBSTR\tend\\",   u"A\tEMPTY\tx",
        u"A\tI4\t 1",    u"A\tUI1\t-1",      u"A\tBSTR\t\\u00G1",
    };
    for (const char16_t* text : bad) {
        ComPtr<IErrorInfo> stale;
        GetErrorInfo(0, stale.Put());
        EXPECT_EQ(bag->Store(Bstr(text).Get()), E_INVALIDARG) << "accepted a bad text";
        EXPECT_NE(tarvik::test::TakeErrorDescription().find(u"line 1"), std::u16string::npos);
        // A refused text leaves the bag as it was.
        EXPECT_EQ(CountOf(bag.Get()), 2);
    }
}

TEST(CommonDataText, MaskedTextHidesCallerIdentification) {
    ComPtr<ICommonData> bag = NewBag();
    Set(bag.Get(), u"CallerID", Variant::String(u"DATE=1206;TIME=0905;NMBR=5551234567;"));
    Set(bag.Get(), u"CSID", Variant::String(u"+49 30 1234"));
    Set(bag.Get(), u"nmbr", Variant(static_cast<LONG>(5551234)));
    Set(bag.Get(), u"CallerName", Variant::String(u"Ann"));
    Set(bag.Get(), u"COMPort", Variant::String(u"COM1"));
    Set(bag.Get(), u"CallerEmpty", Variant());
    EXPECT_EQ(TextOf(bag.Get(), true),
              u"CallerID\tBSTR\t********************************567;\n"
              u"CSID\tBSTR\t*******1234\n"
              u"nmbr\tBSTR\t***1234\n"
              u"CallerName\tBSTR\t***\n"
              u"COMPort\tBSTR\tCOM1\n"
              u"CallerEmpty\tEMPTY\t\n");
    // The bag itself is untouched.
    EXPECT_EQ(Get(bag.Get(), u"CSID").vt, VT_BSTR);
    EXPECT_EQ(Get(bag.Get(), u"nmbr").lVal, 5551234);
}

TEST(CommonData, MissingFieldFailsWithErrorInformation) {
    ComPtr<ICommonData> bag = NewBag();
    HRESULT hr;
    Variant v = Get(bag.Get(), u"COMPort", &hr);
    EXPECT_EQ(hr, COMMONDATA_E_FIELDNOTFOUND);
    EXPECT_EQ(v.vt, VT_EMPTY);

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(bag.As(&support, IID_ISupportErrorInfo), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ICommonData), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

    auto e = tarvik::test::TakeErrorInfo();
    EXPECT_EQ(e.iid, IID_ICommonData);
    EXPECT_EQ(e.description, u"Field 'COMPort' not found");
    EXPECT_EQ(e.source, u"Tarvik.CommonData");

    EXPECT_EQ(bag->RemoveData(Bstr(u"COMPort").Get()), COMMONDATA_E_FIELDNOTFOUND);
    EXPECT_EQ(bag->GetData(Bstr(u"x").Get(), nullptr), E_POINTER);
    EXPECT_EQ(bag->GetCount(nullptr), E_POINTER);
    EXPECT_EQ(bag->Retrieve(nullptr), E_POINTER);
}

TEST(CommonData, NamesIgnoreCaseAndKeepTheirPlace) {
    ComPtr<ICommonData> bag = NewBag();
    Set(bag.Get(), u"COMPort", Variant::String(u"COM1"));
    Set(bag.Get(), u"NumRingsAnswer", Variant(static_cast<LONG>(2)));
    Set(bag.Get(), u"comport", Variant::String(u"COM2"));  // replaces, in place
    Set(bag.Get(), u"Straße", Variant(static_cast<LONG>(1)));
    Set(bag.Get(), u"STRAßE", Variant(static_cast<LONG>(2)));
    Set(bag.Get(), u"ÄRGER", Variant(static_cast<LONG>(3)));
    EXPECT_EQ(CountOf(bag.Get()), 4);
    Variant port = Get(bag.Get(), u"ComPort");
    ASSERT_EQ(port.vt, VT_BSTR);
    EXPECT_EQ(std::u16string_view(port.bstrVal), u"COM2");
    port.bstrVal[3] = u'9';  // scribbling on our copy leaves the bag's value alone
    EXPECT_EQ(std::u16string_view(Get(bag.Get(), u"COMPORT").bstrVal), u"COM2");
    EXPECT_EQ(Get(bag.Get(), u"straße").lVal, 2);
    EXPECT_EQ(Get(bag.Get(), u"ärger").lVal, 3);

    BSTR name = nullptr;
    Variant v;
    ASSERT_EQ(bag->GetFirst(&name, &v), S_OK);
    Bstr first = Bstr::Adopt(name);
    EXPECT_EQ(first.View(), u"COMPort");  // the name as first written
}

TEST(CommonData, WalkRemoveAndClear) {
    ComPtr<ICommonData> bag = NewBag();
    BSTR name = reinterpret_cast<BSTR>(1);
    Variant v;
    EXPECT_EQ(bag->GetFirst(&name, &v), S_FALSE);  // nothing to walk
    EXPECT_EQ(name, nullptr);
    for (LONG i = 0; i < 4; ++i)
        Set(bag.Get(), std::u16string(u"F") + static_cast<char16_t>(u'0' + i), Variant(i));

    std::vector<std::u16string> seen;
    auto take = [&](HRESULT hr) {
        if (hr == S_OK) {
            seen.emplace_back(Bstr::Adopt(name).View());
            v.Clear();
        }
        return hr;
    };
    ASSERT_EQ(take(bag->GetFirst(&name, &v)), S_OK);      // F0
    ASSERT_EQ(take(bag->GetNext(&name, &v)), S_OK);       // F1
    ASSERT_EQ(bag->RemoveData(Bstr(u"f0").Get()), S_OK);  // behind the walk
    ASSERT_EQ(bag->RemoveData(Bstr(u"F2").Get()), S_OK);  // just ahead of it
    ASSERT_EQ(take(bag->GetNext(&name, &v)), S_OK);       // F3
    EXPECT_EQ(take(bag->GetNext(&name, &v)), S_FALSE);
    EXPECT_EQ(take(bag->GetNext(&name, &v)), S_FALSE);  // stays at the end
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"F0", u"F1", u"F3"}));
    EXPECT_EQ(CountOf(bag.Get()), 2);

    EXPECT_EQ(bag->ClearData(), S_OK);
    EXPECT_EQ(CountOf(bag.Get()), 0);
    EXPECT_EQ(bag->GetFirst(&name, &v), S_FALSE);
    EXPECT_EQ(TextOf(bag.Get()), u"");
}

// References held on `p` besides the caller's probe.
ULONG RefsOf(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

// An object value keeps its object alive until the field goes.
TEST(CommonData, ObjectValuesHoldAReference) {
    ComPtr<ICommonData> bag = NewBag();
    ComPtr<ICommonData> obj = NewBag();
    ASSERT_EQ(Set(bag.Get(), u"ModemSession_IUnknown", Variant::Unknown(obj.Get())), S_OK);
    EXPECT_EQ(RefsOf(obj.Get()), 2u);
    {
        Variant got = Get(bag.Get(), u"ModemSession_IUnknown");
        ASSERT_EQ(got.vt, VT_UNKNOWN);
        EXPECT_EQ(got.punkVal, obj.Get());
    }
    Set(bag.Get(), u"modemsession_iunknown", Variant(static_cast<LONG>(0)));  // replaced
    EXPECT_EQ(RefsOf(obj.Get()), 1u);

    Set(bag.Get(), u"A", Variant::Unknown(obj.Get()));
    Set(bag.Get(), u"B", Variant::Unknown(obj.Get()));
    ASSERT_EQ(bag->RemoveData(Bstr(u"A").Get()), S_OK);
    EXPECT_EQ(RefsOf(obj.Get()), 2u);
    ASSERT_EQ(bag->ClearData(), S_OK);
    EXPECT_EQ(RefsOf(obj.Get()), 1u);
}

TEST(CommonData, RefusesValuesItCannotKeep) {
    ComPtr<ICommonData> bag = NewBag();
    LONG target = 5;
    VARIANT byref{};  // not a Variant: nothing of it is ours to free
    for (void* to : {static_cast<void*>(&target), static_cast<void*>(nullptr)}) {
        byref.vt = to ? VT_BYREF | VT_I4 : VT_BYREF | VT_VARIANT;
        byref.byref = to;
        EXPECT_EQ(Set(bag.Get(), u"ref", byref), DISP_E_BADVARTYPE);
    }
    EXPECT_EQ(CountOf(bag.Get()), 0);
}

TEST(CommonData, ConcurrentWritersAndReaders) {
    ComPtr<ICommonData> bag = NewBag();
    constexpr int kThreads = 4, kFields = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFields; ++i) {
                const std::u16string name = tarvik::FromAnsi(std::to_string(t * kFields + i));
                ASSERT_EQ(Set(bag.Get(), name, Variant(static_cast<LONG>(i))), S_OK);
                EXPECT_EQ(Get(bag.Get(), name).lVal, i);
                Bstr text;
                bag->Retrieve(text.Put());
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(CountOf(bag.Get()), kThreads * kFields);
}

TEST(CommonDataDispatch, MembersByNameAndId) {
    ComPtr<ICommonData> bag = NewBag();
    ComPtr<IDispatch> disp;
    ASSERT_EQ(bag.As(&disp, IID_IDispatch), S_OK);
    UINT count = 7;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);

    const char16_t* names[] = {u"SetData", u"getdata", u"GetCount", u"Retrieve_MaskCSID", u"Nope"};
    DISPID expected[] = {1, 2, 6, 10, -1};
    for (int i = 0; i < 5; ++i) {
        LPOLESTR n = const_cast<LPOLESTR>(names[i]);
        DISPID id = 0;
        HRESULT hr = disp->GetIDsOfNames(GUID_NULL, &n, 1, 0, &id);
        EXPECT_EQ(id, expected[i]);
        EXPECT_EQ(hr, expected[i] == -1 ? DISP_E_UNKNOWNNAME : S_OK);
    }

    // SetData("Speed", 9600): arguments arrive last first.
    Variant args[2];
    args[0] = Variant(static_cast<LONG>(9600));
    args[1] = Variant::String(u"Speed");
    DISPPARAMS params{args, nullptr, 2, 0};
    ASSERT_EQ(disp->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    Variant result;
    DISPPARAMS one{&args[1], nullptr, 1, 0};
    ASSERT_EQ(disp->Invoke(2, GUID_NULL, 0, DISPATCH_METHOD, &one, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 9600);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    result.Clear();
    ASSERT_EQ(disp->Invoke(6, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.lVal, 1);
    EXPECT_EQ(disp->Invoke(11, GUID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_TRUE(FAILED(disp->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr,
                                    nullptr)));  // wrong argument count
}

// As a script calls: the name comes back into a VARIANT passed by reference,
// and a failing member raises an exception that carries the bag's own
// description.
TEST(CommonDataDispatch, ScriptVariablesAndExceptions) {
    ComPtr<ICommonData> bag = NewBag();
    ASSERT_EQ(bag->SetData(Bstr(u"A").Get(), Variant(LONG{1})), S_OK);
    ASSERT_EQ(bag->SetData(Bstr(u"B").Get(), Variant(LONG{2})), S_OK);
    Variant var = Variant(LONG{7});  // a script variable holding anything
    VARIANT ref{};
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.byref = &var;
    DISPPARAMS byRef{&ref, nullptr, 1, 0};
    for (auto [id, field, value] : {std::tuple{4, u"A", 1}, std::tuple{5, u"B", 2}}) {
        Variant result;
        ASSERT_EQ(bag->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &byRef, &result, nullptr, nullptr),
                  S_OK);
        ASSERT_EQ(var.vt, VT_BSTR);
        EXPECT_EQ(std::u16string(var.bstrVal), field);
        EXPECT_EQ(result.lVal, value);
    }

    Variant missing = Variant::String(u"Nope");
    DISPPARAMS one{&missing, nullptr, 1, 0};
    EXCEPINFO ex{};
    Variant result;
    EXPECT_EQ(bag->Invoke(2, GUID_NULL, 0, DISPATCH_METHOD, &one, &result, &ex, nullptr),
              TARVIK_HR(0x80020009));  // DISP_E_EXCEPTION
    EXPECT_EQ(ex.scode, COMMONDATA_E_FIELDNOTFOUND);
    ASSERT_TRUE(ex.bstrDescription && ex.bstrSource);
    EXPECT_EQ(std::u16string(ex.bstrDescription), u"Field 'Nope' not found");
    EXPECT_EQ(std::u16string(ex.bstrSource), u"Tarvik.CommonData");
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrSource);
}

// Hand-built DISPPARAMS that no script engine sends: refused, never followed.
TEST(CommonDataDispatch, MalformedArgumentsAreRefused) {
    ComPtr<ICommonData> bag = NewBag();
    ComPtr<IDispatch> disp;
    ASSERT_EQ(bag.As(&disp, IID_IDispatch), S_OK);
    Variant name = Variant::String(u"F");
    VARIANT nullRef{};
    nullRef.vt = VT_BYREF | VT_VARIANT;
    VARIANT number{};
    number.vt = VT_I4;
    VARIANT valueIsNullRef[2] = {nullRef, name};  // last argument first
    VARIANT nameIsNullRef[2] = {number, nullRef};
    VARIANT oneNullRef[1] = {nullRef};
    struct Case {
        const char* what;
        DISPID id;
        VARIANT* args;
        UINT count;
    } cases[] = {
        {"SetData, no argument array", 1, nullptr, 2},
        {"GetData, no argument array", 2, nullptr, 1},
        {"GetFirst, no argument array", 4, nullptr, 1},
        {"Store, no argument array", 7, nullptr, 1},
        {"SetData, value a null reference", 1, valueIsNullRef, 2},
        {"SetData, name a null reference", 1, nameIsNullRef, 2},
        {"GetData, name a null reference", 2, oneNullRef, 1},
    };
    for (const Case& c : cases) {
        DISPPARAMS params{c.args, nullptr, c.count, 0};
        Variant result;
        HRESULT hr =
            disp->Invoke(c.id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        EXPECT_TRUE(hr == E_INVALIDARG || hr == DISP_E_BADVARTYPE) << c.what << ": " << hr;
    }
    EXPECT_EQ(CountOf(bag.Get()), 0);
}

}  // namespace
