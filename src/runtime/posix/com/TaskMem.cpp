// Task memory and apartment calls. The runtime has a single free-threaded
// model, so initialising COM is a formality every host may perform.
#include <cstdlib>

#include "tarvik/com.h"

void* CoTaskMemAlloc(size_t cb) {
    return std::malloc(cb ? cb : 1);
}

void CoTaskMemFree(void* pv) {
    std::free(pv);
}

HRESULT CoInitialize(void*) {
    return S_OK;
}

HRESULT CoInitializeEx(void*, DWORD) {
    return S_OK;
}

void CoUninitialize() {}
