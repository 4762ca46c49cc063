#include "EventReporter.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "AppendFile.h"
#include "DataText.h"
#include "Module.h"
#include "tarvik/comptr.h"
#include "tarvik/sync.h"
#include "tarvik/text.h"

namespace tarvik::companions {
namespace {

template <class T>
std::string Number(T v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

template <class T>
std::string JsonFloat(T v) {
    // JSON has no NaN or infinity; they travel as strings.
    if (std::isnan(v))
        return "\"nan\"";
    if (std::isinf(v))
        return v < 0 ? "\"-inf\"" : "\"inf\"";
    return Number(v);
}

const char* TypeName(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return "EMPTY";
        case VT_NULL:
            return "NULL";
        case VT_I1:
            return "I1";
        case VT_I2:
            return "I2";
        case VT_I4:
            return "I4";
        case VT_I8:
            return "I8";
        case VT_UI1:
            return "UI1";
        case VT_UI2:
            return "UI2";
        case VT_UI4:
            return "UI4";
        case VT_UI8:
            return "UI8";
        case VT_INT:
            return "INT";
        case VT_UINT:
            return "UINT";
        case VT_R4:
            return "R4";
        case VT_R8:
            return "R8";
        case VT_CY:
            return "CY";
        case VT_DATE:
            return "DATE";
        case VT_BOOL:
            return "BOOL";
        case VT_ERROR:
            return "ERROR";
        case VT_BSTR:
            return "BSTR";
        case VT_UNKNOWN:
            return "UNKNOWN";
        case VT_DISPATCH:
            return "DISPATCH";
        default:
            return nullptr;
    }
}

class CEventReporter final : public ComObject<CEventReporter, IEventReporter> {
  public:
    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_IEventReporter))
            return static_cast<IEventReporter*>(this);
        return nullptr;
    }

    HRESULT FinalConstruct() override {
        file_.SetDefaultPath("TARVIK_EVENTS", CLSID_EventReporter, "EventFile");
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetTarget(BSTR path) override { return file_.SetPathBstr(path); }
    HRESULT STDMETHODCALLTYPE GetTarget(BSTR* path) override { return file_.GetPathBstr(path); }
    HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override {
        if (!count)
            return E_POINTER;
        *count = written_.load(std::memory_order_relaxed);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return file_.Sync() ? S_OK : E_FAIL; }

    HRESULT STDMETHODCALLTYPE Notify(LONG code, BSTR data, VARIANT value1, VARIANT value2,
                                     BSTR source) override {
        try {
            SYSTEMTIME t{};
            GetLocalTime(&t);
            char time[80];
            std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u.%03u",
                          static_cast<unsigned>(t.wYear), static_cast<unsigned>(t.wMonth),
                          static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour),
                          static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond),
                          static_cast<unsigned>(t.wMilliseconds));
            std::string line = "{\"time\":\"";
            line += time;
            line += "\",\"code\":" + Number(code);
            line += ",\"data\":" + JsonString(Text(data));
            line += ",\"value1\":" + VariantJson(value1);
            line += ",\"value2\":" + VariantJson(value2);
            line += ",\"source\":" + JsonString(Text(source));
            line += "}\n";
            if (!file_.Append(line))
                return S_FALSE;
            written_.fetch_add(1, std::memory_order_relaxed);
            return S_OK;
        } catch (...) {
            return S_FALSE;
        }
    }

  private:
    static std::u16string_view Text(BSTR b) {
        return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view();
    }

    AppendFile file_;
    std::atomic<LONG> written_{0};
};

}  // namespace

std::string JsonString(std::u16string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    std::string utf8 = Utf16ToUtf8(text);
    for (char c : utf8) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    out += "\\u00";
                    out.push_back(kHex[u >> 4]);
                    out.push_back(kHex[u & 0xF]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out += "\"";
    return out;
}

std::string VariantJson(const VARIANT& v) {
    const char* type = TypeName(v.vt);
    std::string value;
    switch (v.vt) {
        case VT_I1:
            value = Number(static_cast<int>(v.cVal));
            break;
        case VT_I2:
            value = Number(v.iVal);
            break;
        case VT_I4:
            value = Number(v.lVal);
            break;
        case VT_I8:
        case VT_CY:
            value = Number(v.llVal);
            break;
        case VT_UI1:
            value = Number(static_cast<unsigned>(v.bVal));
            break;
        case VT_UI2:
            value = Number(v.uiVal);
            break;
        case VT_UI4:
            value = Number(v.ulVal);
            break;
        case VT_UI8:
            value = Number(v.ullVal);
            break;
        case VT_INT:
            value = Number(v.intVal);
            break;
        case VT_UINT:
            value = Number(v.uintVal);
            break;
        case VT_R4:
            value = JsonFloat(v.fltVal);
            break;
        case VT_R8:
        case VT_DATE:
            value = JsonFloat(v.dblVal);
            break;
        case VT_ERROR:
            value = Number(v.scode);
            break;
        case VT_BOOL:
            value = v.boolVal ? "true" : "false";
            break;
        case VT_BSTR:
            value = JsonString(v.bstrVal ? std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal))
                                         : std::u16string_view());
            break;
        default:
            value = "null";
            break;
    }
    std::string out = "{\"type\":";
    if (type) {
        out += "\"";
        out += type;
        out += "\"";
    } else {
        // A type the reporter does not know (BYREF, arrays): its number.
        out += "\"VT_" + Number(static_cast<unsigned>(v.vt)) + "\"";
    }
    out += ",\"value\":" + value + "}";
    return out;
}

HRESULT CreateEventReporter(IUnknown* outer, REFIID iid, void** ppv) {
    return CreateComObject<CEventReporter>(outer, &Module(), iid, ppv);
}

}  // namespace tarvik::companions
