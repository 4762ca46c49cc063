#include "PortIo.h"

#include <windows.h>

#include <algorithm>

namespace wintest {
namespace {

HANDLE ToHandle(int32_t value) {
    // Handles are handed over as 32-bit numbers; sign extension gives the
    // handle back in a 64-bit process.
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

// One overlapped transfer: started, then waited for; cancelled (and waited
// for once more) when the time runs out. The record and the bytes live on the
// heap: should the system not give the cancelled operation back, they are
// left to it rather than freed under it.
bool Transfer(HANDLE h, bool write, char* data, DWORD length, DWORD timeoutMs, DWORD* done) {
    struct Op {
        OVERLAPPED ov{};
        std::string bytes;
    };
    auto* op = new Op;
    op->bytes.assign(data, length);
    op->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!op->ov.hEvent) {
        delete op;
        return false;
    }
    BOOL ok = write ? WriteFile(h, op->bytes.data(), length, nullptr, &op->ov)
                    : ReadFile(h, op->bytes.data(), length, nullptr, &op->ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(op->ov.hEvent);
        delete op;
        return false;
    }
    if (WaitForSingleObject(op->ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(h, &op->ov);
        if (WaitForSingleObject(op->ov.hEvent, 5000) != WAIT_OBJECT_0)
            return false;  // still the system's: op is not freed
    }
    ok = GetOverlappedResult(h, &op->ov, done, FALSE);
    if (ok && !write)
        std::copy(op->bytes.begin(), op->bytes.begin() + *done, data);
    CloseHandle(op->ov.hEvent);
    delete op;
    return ok;
}

}  // namespace

bool PortWrite(int32_t handle, const std::string& data, uint32_t timeoutMs) {
    std::string copy = data;
    DWORD done = 0;
    return Transfer(ToHandle(handle), true, copy.data(), static_cast<DWORD>(copy.size()), timeoutMs,
                    &done) &&
           done == copy.size();
}

std::string PortRead(int32_t handle, size_t count, uint32_t timeoutMs) {
    std::string got;
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (got.size() < count) {
        ULONGLONG now = GetTickCount64();
        if (now >= until)
            break;
        char buf[64];
        DWORD want =
            static_cast<DWORD>(count - got.size() < sizeof buf ? count - got.size() : sizeof buf);
        DWORD done = 0;
        if (!Transfer(ToHandle(handle), false, buf, want, static_cast<DWORD>(until - now), &done))
            break;
        got.append(buf, done);
    }
    return got;
}

bool IsCommHandle(int32_t handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(ToHandle(handle), &dcb) != 0;
}

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
