// BSTR allocation. Layout: a 32-bit byte length, the characters, then two zero
// bytes, so a BSTR is also a valid zero-terminated string and may hold an odd
// number of bytes (SysAllocStringByteLen).
#include <cstdlib>
#include <cstring>

#include "tarvik/com.h"

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
// The byte length must fit the 32-bit prefix with room for the terminator.
constexpr size_t kMaxBytes = 0xFFFFFFFFu - kPrefix - sizeof(OLECHAR);

BSTR AllocBytes(const void* data, size_t bytes) {
    if (bytes > kMaxBytes)
        return nullptr;
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    uint32_t len = static_cast<uint32_t>(bytes);
    std::memcpy(block, &len, kPrefix);
    // Without source data the contents are zeroed rather than left as whatever
    // the heap held: callers fill them in, and a short fill must not expose
    // old memory.
    if (data)
        std::memcpy(block + kPrefix, data, bytes);
    else
        std::memset(block + kPrefix, 0, bytes);
    block[kPrefix + bytes] = 0;
    block[kPrefix + bytes + 1] = 0;
    return reinterpret_cast<BSTR>(block + kPrefix);
}

size_t Length(const OLECHAR* s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz)
        return nullptr;
    return AllocBytes(psz, Length(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    return AllocBytes(pch, static_cast<size_t>(cch) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    return AllocBytes(psz, len);
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr)
        return FALSE;
    // psz may point into the old string: copy before freeing.
    BSTR fresh = psz ? SysAllocString(psz) : SysAllocStringLen(nullptr, 0);
    if (!fresh)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

void SysFreeString(BSTR bstr) {
    if (bstr)
        std::free(reinterpret_cast<char*>(bstr) - kPrefix);
}

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr)
        return 0;
    uint32_t len;
    std::memcpy(&len, reinterpret_cast<const char*>(bstr) - kPrefix, kPrefix);
    return len;
}

UINT SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}
