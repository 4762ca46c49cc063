#include "LogWriter.h"

#include <atomic>
#include <cstdio>

#include "AppendFile.h"
#include "Module.h"
#include "tarvik/comptr.h"
#include "tarvik/sync.h"
#include "tarvik/text.h"

namespace tarvik::companions {
namespace {

std::string Utf8(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

class CLogWriter final : public ComObject<CLogWriter, ILogWriter> {
  public:
    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_ILogWriter))
            return static_cast<ILogWriter*>(this);
        return nullptr;
    }

    HRESULT FinalConstruct() override {
        file_.SetDefaultPath("TARVIK_LOG", CLSID_LogWriter, "LogFile");
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetLogFile(BSTR path) override { return file_.SetPathBstr(path); }
    HRESULT STDMETHODCALLTYPE GetLogFile(BSTR* path) override { return file_.GetPathBstr(path); }
    HRESULT STDMETHODCALLTYPE SetEnabled(LONG enabled) override {
        enabled_.store(enabled != 0, std::memory_order_relaxed);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEnabled(LONG* enabled) override {
        if (!enabled)
            return E_POINTER;
        *enabled = enabled_.load(std::memory_order_relaxed) ? TRUE : FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return file_.Sync() ? S_OK : E_FAIL; }

    // Never fails the caller: an entry that cannot be written is dropped.
    HRESULT STDMETHODCALLTYPE WriteEntry(ULONG thread, LONG markA, LONG markB, BSTR function,
                                         BSTR message, BSTR detail) override {
        if (!enabled_.load(std::memory_order_relaxed))
            return S_FALSE;
        try {
            SYSTEMTIME now{};
            GetLocalTime(&now);
            std::string line = FormatLogLine(now, thread, markA, markB, function, message, detail);
            line.push_back('\n');
            return file_.Append(line) ? S_OK : S_FALSE;
        } catch (...) {
            return S_FALSE;
        }
    }

  private:
    AppendFile file_;
    std::atomic<bool> enabled_{true};
};

}  // namespace

std::string FormatLogLine(const SYSTEMTIME& time, ULONG thread, LONG markA, LONG markB,
                          BSTR function, BSTR message, BSTR detail) {
    char head[80];
    std::snprintf(head, sizeof head, "%02u:%02u:%02u.%03u\t%u\t%d\t%d\t",
                  static_cast<unsigned>(time.wHour), static_cast<unsigned>(time.wMinute),
                  static_cast<unsigned>(time.wSecond), static_cast<unsigned>(time.wMilliseconds),
                  static_cast<unsigned>(thread), static_cast<int>(markA), static_cast<int>(markB));
    std::string line = head;
    AppendEscapedUtf8(&line, Utf8(function));
    line.push_back('\t');
    AppendEscapedUtf8(&line, Utf8(message));
    line.push_back('\t');
    AppendEscapedUtf8(&line, Utf8(detail));
    return line;
}

HRESULT CreateLogWriter(IUnknown* outer, REFIID iid, void** ppv) {
    return CreateComObject<CLogWriter>(outer, &Module(), iid, ppv);
}

}  // namespace tarvik::companions
