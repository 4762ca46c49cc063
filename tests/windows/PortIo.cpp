#include "PortIo.h"

#include <windows.h>

namespace wintest {

bool SimCommand(const std::string& file, const std::string& line) {
    HANDLE f = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    std::string text = line + "\n";
    DWORD done = 0;
    BOOL ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(f);
    return ok && done == text.size();
}

int32_t CallDllEntry(const char* dll, const char* name) {
    HMODULE module = LoadLibraryA(dll);
    if (!module)
        return E_FAIL;
    auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, name)));
    HRESULT hr = entry ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

uint64_t NowMs() {
    return GetTickCount64();
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}

}  // namespace wintest
