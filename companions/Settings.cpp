#include "Settings.h"

#include <mutex>
#include <vector>

#include "DataText.h"
#include "Module.h"
#include "tarvik/companions.h"

namespace tarvik::companions {
namespace {

class CSettings final : public ComObject<CSettings, IVL2600Settings> {
  public:
    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_IVL2600Settings))
            return static_cast<IVL2600Settings*>(this);
        return nullptr;
    }

    HRESULT STDMETHODCALLTYPE GetSetting(BSTR name, VARIANT* value) override {
        if (!value)
            return E_POINTER;
        VariantInit(value);
        try {
            std::u16string key = Text(name);
            std::lock_guard lock(mutex_);
            for (const Field& f : settings_)
                if (FieldNamesEqual(f.name, key))
                    return VariantCopy(value, &f.value);
            return COMMONDATA_E_FIELDNOTFOUND;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT STDMETHODCALLTYPE SetSetting(BSTR name, VARIANT value) override {
        if (!IsStorableType(value.vt))
            return DISP_E_BADVARTYPE;
        try {
            Variant copy;
            HRESULT hr = VariantCopy(&copy, &value);
            if (FAILED(hr))
                return hr;
            std::u16string key = Text(name);
            std::lock_guard lock(mutex_);
            for (Field& f : settings_)
                if (FieldNamesEqual(f.name, key)) {
                    std::swap(static_cast<VARIANT&>(f.value), static_cast<VARIANT&>(copy));
                    return S_OK;
                }
            settings_.push_back(Field{std::move(key), copy});
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

  private:
    static std::u16string Text(BSTR b) {
        return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
    }

    std::mutex mutex_;
    std::vector<Field> settings_;
};

}  // namespace

HRESULT CreateSettings(IUnknown* outer, REFIID iid, void** ppv) {
    return CreateComObject<CSettings>(outer, &Module(), iid, ppv);
}

}  // namespace tarvik::companions
