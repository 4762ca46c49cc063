#include "CommonData.h"

#include <mutex>
#include <vector>

#include "DataText.h"
#include "Module.h"
#include "tarvik/companions.h"
#include "tarvik/comptr.h"

namespace tarvik::companions {
namespace {

constexpr const char* kProgId = "Tarvik.CommonData";
constexpr HRESULT kDispParamNotFound = TARVIK_HR(0x80020004);
constexpr HRESULT kDispNoNamedArgs = TARVIK_HR(0x80020007);
constexpr HRESULT kDispBadParamCount = TARVIK_HR(0x8002000E);
constexpr HRESULT kDispException = TARVIK_HR(0x80020009);

// Names of the dispatch members, DISPIDs 1 to 10.
constexpr const char16_t* kMemberNames[] = {
    u"SetData",  u"GetData", u"ClearData", u"GetFirst",   u"GetNext",
    u"GetCount", u"Store",   u"Retrieve",  u"RemoveData", u"Retrieve_MaskCSID"};

class CCommonData final : public ComObject<CCommonData, ICommonData, ISupportErrorInfo> {
  public:
    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_ICommonData) || IsEqualIID(iid, IID_IDispatch))
            return static_cast<ICommonData*>(this);
        if (IsEqualIID(iid, IID_ISupportErrorInfo))
            return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, IID_ICommonData) ? S_OK : S_FALSE;
    }

    // ICommonData
    HRESULT STDMETHODCALLTYPE SetData(BSTR name, VARIANT value) override {
        if (!IsStorableType(value.vt))
            return Fail(DISP_E_BADVARTYPE,
                        u"SetData: the value's type cannot be kept in a CommonData bag");
        try {
            Variant copy;
            HRESULT hr = VariantCopy(&copy, &value);
            if (FAILED(hr))
                return Fail(hr, u"SetData: the value could not be copied");
            std::u16string key = Text(name);
            std::lock_guard lock(mutex_);
            if (Field* f = Find(key)) {
                // The old value leaves with `copy`, released after the lock:
                // an object's last release may call back into this bag.
                std::swap(static_cast<VARIANT&>(f->value), static_cast<VARIANT&>(copy));
            } else {
                fields_.push_back(Field{std::move(key), copy});
            }
            return S_OK;
        } catch (const std::bad_alloc&) {
            return Fail(E_OUTOFMEMORY, u"SetData: out of memory");
        }
    }

    HRESULT STDMETHODCALLTYPE GetData(BSTR name, VARIANT* out) override {
        if (!out)
            return Fail(E_POINTER, u"GetData: null result pointer");
        VariantInit(out);
        try {
            std::u16string key = Text(name);
            std::lock_guard lock(mutex_);
            Field* f = Find(key);
            if (!f)
                return Fail(COMMONDATA_E_FIELDNOTFOUND, u"Field '" + key + u"' not found");
            HRESULT hr = VariantCopy(out, &f->value);
            if (FAILED(hr))
                return Fail(hr, u"GetData: the value could not be copied");
            return S_OK;
        } catch (const std::bad_alloc&) {
            return Fail(E_OUTOFMEMORY, u"GetData: out of memory");
        }
    }

    HRESULT STDMETHODCALLTYPE ClearData() override {
        std::vector<Field> old;
        {
            std::lock_guard lock(mutex_);
            old.swap(fields_);
            cursor_ = 0;
        }
        // `old` releases its objects here, outside the lock: a released
        // object's destructor may call back into this bag.
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetFirst(BSTR* name, VARIANT* value) override {
        std::lock_guard lock(mutex_);
        cursor_ = 0;
        return Next(name, value);
    }

    HRESULT STDMETHODCALLTYPE GetNext(BSTR* name, VARIANT* value) override {
        std::lock_guard lock(mutex_);
        return Next(name, value);
    }

    HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override {
        if (!count)
            return Fail(E_POINTER, u"GetCount: null result pointer");
        std::lock_guard lock(mutex_);
        *count = static_cast<LONG>(fields_.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Store(BSTR text) override {
        try {
            std::vector<Field> parsed;
            std::u16string error;
            if (!ParseFieldText(Text(text), &parsed, &error))
                return Fail(E_INVALIDARG, u"Store: " + error);
            {
                std::lock_guard lock(mutex_);
                fields_.swap(parsed);
                cursor_ = 0;
            }
            return S_OK;  // `parsed` now holds the old fields, released here
        } catch (const std::bad_alloc&) {
            return Fail(E_OUTOFMEMORY, u"Store: out of memory");
        }
    }

    HRESULT STDMETHODCALLTYPE Retrieve(BSTR* text) override { return TextOf(text, false); }
    HRESULT STDMETHODCALLTYPE Retrieve_MaskCSID(BSTR* text) override { return TextOf(text, true); }

    HRESULT STDMETHODCALLTYPE RemoveData(BSTR name) override {
        Variant removed;  // released after the lock is left
        try {
            std::u16string key = Text(name);
            std::lock_guard lock(mutex_);
            for (size_t i = 0; i < fields_.size(); ++i) {
                if (!FieldNamesEqual(fields_[i].name, key))
                    continue;
                removed = fields_[i].value;
                fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(i));
                // The walk goes on with the field that followed the removed one.
                if (cursor_ > i)
                    --cursor_;
                return S_OK;
            }
            return Fail(COMMONDATA_E_FIELDNOTFOUND, u"Field '" + key + u"' not found");
        } catch (const std::bad_alloc&) {
            return Fail(E_OUTOFMEMORY, u"RemoveData: out of memory");
        }
    }

    // IDispatch: no type information, but the ten members can be called by
    // name and DISPID.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids)
            return E_POINTER;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = -1;  // DISPID_UNKNOWN
            // Only the member name (the first) can be known: the members'
            // parameters have no names here.
            if (i == 0 && names[0]) {
                std::u16string_view n(names[0]);
                for (DISPID d = 1; d <= 10; ++d)
                    if (FieldNamesEqual(n, kMemberNames[d - 1]))
                        ids[0] = d;
            }
            if (ids[i] == -1)
                hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

  private:
    static std::u16string Text(BSTR b) {
        return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
    }

    Field* Find(std::u16string_view name) {
        for (Field& f : fields_)
            if (FieldNamesEqual(f.name, name))
                return &f;
        return nullptr;
    }

    // The field at the cursor, then the cursor moves on. S_FALSE with an
    // empty name and value once the walk has passed the last field.
    HRESULT Next(BSTR* name, VARIANT* value) {
        if (!name || !value)
            return Fail(E_POINTER, u"GetFirst/GetNext: null result pointer");
        *name = nullptr;
        VariantInit(value);
        if (cursor_ >= fields_.size())
            return S_FALSE;
        const Field& f = fields_[cursor_];
        BSTR n = SysAllocStringLen(f.name.data(), static_cast<UINT>(f.name.size()));
        if (!n)
            return Fail(E_OUTOFMEMORY, u"GetFirst/GetNext: out of memory");
        HRESULT hr = VariantCopy(value, &f.value);
        if (FAILED(hr)) {
            SysFreeString(n);
            return Fail(hr, u"GetFirst/GetNext: the value could not be copied");
        }
        *name = n;
        ++cursor_;
        return S_OK;
    }

    HRESULT TextOf(BSTR* out, bool mask) {
        if (!out)
            return Fail(E_POINTER, u"Retrieve: null result pointer");
        *out = nullptr;
        try {
            std::u16string text;
            {
                std::lock_guard lock(mutex_);
                for (const Field& f : fields_)
                    AppendFieldText(&text, f, mask);
            }
            *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (!*out)
                return Fail(E_OUTOFMEMORY, u"Retrieve: out of memory");
            return S_OK;
        } catch (const std::bad_alloc&) {
            return Fail(E_OUTOFMEMORY, u"Retrieve: out of memory");
        }
    }

    static HRESULT Fail(HRESULT hr, std::u16string_view description) {
        SetError(IID_ICommonData, kProgId, description);
        return hr;
    }

    std::mutex mutex_;
    std::vector<Field> fields_;
    size_t cursor_ = 0;  // next field GetNext hands out
};

// The value an argument stands for: a VARIANT passed by reference is looked
// through. Null when the reference is null, which a script engine never
// sends but a hand-built DISPPARAMS can.
VARIANT* ArgValue(DISPPARAMS* p, UINT pos) {
    VARIANT* a = &p->rgvarg[pos];
    if (a->vt == (VT_BYREF | VT_VARIANT))
        a = static_cast<VARIANT*>(a->byref);
    return a;
}

// Arguments arrive last first, as IDispatch passes them.
HRESULT ArgAsBstr(DISPPARAMS* p, UINT index, Bstr* out, UINT* argErr) {
    if (!p || index >= p->cArgs)
        return kDispParamNotFound;
    UINT pos = p->cArgs - 1 - index;
    VARIANT* a = ArgValue(p, pos);
    if (!a) {
        if (argErr)
            *argErr = pos;
        return E_INVALIDARG;
    }
    Variant s;
    HRESULT hr = VariantChangeType(&s, a, 0, VT_BSTR);
    if (FAILED(hr)) {
        if (argErr)
            *argErr = pos;
        return DISP_E_TYPEMISMATCH;
    }
    *out = Bstr::Adopt(s.bstrVal);
    s.vt = VT_EMPTY;
    return S_OK;
}

HRESULT CCommonData::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    if (excep)
        *excep = EXCEPINFO{};
    if (id < 1 || id > 10)
        return DISP_E_MEMBERNOTFOUND;
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)))
        return DISP_E_MEMBERNOTFOUND;
    if (params && params->cNamedArgs)
        return kDispNoNamedArgs;
    static constexpr UINT kArgs[] = {2, 1, 0, 1, 1, 0, 1, 0, 1, 0};
    UINT have = params ? params->cArgs : 0;
    if (have != kArgs[id - 1])
        return kDispBadParamCount;
    if (have > 0 && !params->rgvarg)
        return E_INVALIDARG;
    Variant discard;
    VARIANT* res = result ? result : &discard;
    VariantInit(res);
    Bstr name;
    HRESULT hr = S_OK;
    switch (id) {
        case 1: {
            if (FAILED(hr = ArgAsBstr(params, 0, &name, argErr)))
                return hr;
            VARIANT* v = ArgValue(params, 0);
            if (!v) {
                if (argErr)
                    *argErr = 0;
                return E_INVALIDARG;
            }
            hr = SetData(name.Get(), *v);
            break;
        }
        case 2:
            if (FAILED(hr = ArgAsBstr(params, 0, &name, argErr)))
                return hr;
            hr = GetData(name.Get(), res);
            break;
        case 3:
            hr = ClearData();
            break;
        case 4:
        case 5: {
            // The name comes back through the caller's variable: a BSTR by
            // reference from typed callers, a VARIANT by reference from
            // every script engine.
            VARIANT* a = &params->rgvarg[0];
            BSTR* bstrSlot = a->vt == (VT_BYREF | VT_BSTR) ? static_cast<BSTR*>(a->byref) : nullptr;
            VARIANT* varSlot =
                a->vt == (VT_BYREF | VT_VARIANT) ? static_cast<VARIANT*>(a->byref) : nullptr;
            if (!bstrSlot && !varSlot) {
                if (argErr)
                    *argErr = 0;
                return DISP_E_TYPEMISMATCH;
            }
            BSTR got = nullptr;
            hr = id == 4 ? GetFirst(&got, res) : GetNext(&got, res);
            if (SUCCEEDED(hr) && bstrSlot) {
                SysFreeString(*bstrSlot);
                *bstrSlot = got;
            } else if (SUCCEEDED(hr)) {
                VariantClear(varSlot);
                varSlot->vt = VT_BSTR;
                varSlot->bstrVal = got;
            }
            break;
        }
        case 6: {
            LONG n = 0;
            hr = GetCount(&n);
            if (SUCCEEDED(hr)) {
                res->vt = VT_I4;
                res->lVal = n;
            }
            break;
        }
        case 7:
            if (FAILED(hr = ArgAsBstr(params, 0, &name, argErr)))
                return hr;
            hr = Store(name.Get());
            break;
        case 8:
        case 10: {
            BSTR text = nullptr;
            hr = id == 8 ? Retrieve(&text) : Retrieve_MaskCSID(&text);
            if (SUCCEEDED(hr)) {
                res->vt = VT_BSTR;
                res->bstrVal = text;
            }
            break;
        }
        case 9:
            if (FAILED(hr = ArgAsBstr(params, 0, &name, argErr)))
                return hr;
            hr = RemoveData(name.Get());
            break;
    }
    if (SUCCEEDED(hr))
        return hr;
    // The member ran and failed: a caller through IDispatch learns why from
    // the exception, which carries the description the member set (a
    // script shows it instead of a generic "not supported" error).
    if (excep) {
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Put()) == S_OK && info) {
            info->GetSource(&excep->bstrSource);
            info->GetDescription(&excep->bstrDescription);
        }
        excep->scode = hr;
    }
    return kDispException;
}

}  // namespace

HRESULT CreateCommonData(IUnknown* outer, REFIID iid, void** ppv) {
    return CreateComObject<CCommonData>(outer, &Module(), iid, ppv);
}

}  // namespace tarvik::companions
