// VARIANT lifetime: init, clear, deep copy.
#include <cstring>

#include "com/VariantTypes.h"
#include "tarvik/com.h"

void VariantInit(VARIANTARG* pvarg) {
    if (!pvarg)
        return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->ullVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (!pvarg)
        return E_INVALIDARG;
    if (!tarvik::variant::IsValid(pvarg->vt))
        return DISP_E_BADVARTYPE;
    // Reset the VARIANT before releasing what it held: a Release may re-enter
    // code that looks at this VARIANT again.
    VARIANT old = *pvarg;
    VariantInit(pvarg);
    switch (old.vt) {
        case VT_BSTR:
            SysFreeString(old.bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (old.punkVal)
                old.punkVal->Release();
            break;
        default:
            break;  // values and references own nothing
    }
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    if (!tarvik::variant::IsValid(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT copy = *pvargSrc;
    if (copy.vt == VT_BSTR && copy.bstrVal) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal)
            return E_OUTOFMEMORY;
    } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
        copy.punkVal->AddRef();
    }
    // The source is copied first, so clearing the destination cannot destroy
    // what it refers to (the source may live inside an object the destination
    // holds the last reference to).
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}
