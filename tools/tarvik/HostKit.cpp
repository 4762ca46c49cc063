#include "HostKit.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "tarvik/host.h"
#include "tarvik/object.h"
#include "tarvik/text.h"

namespace tarvik::cli {

namespace {

std::string Utf8(BSTR b) {
    return b ? Utf16ToUtf8(std::u16string_view(b, SysStringLen(b))) : std::string();
}

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path(".") : exe.parent_path();
}

// A library loaded to serve classes in this process. It stays loaded until
// the process ends: objects and threads of the component may outlive any
// point at which unloading would look safe.
struct ServedLibrary {
    void* handle = nullptr;
    PFN_DllGetClassObject getClassObject = nullptr;
};

std::mutex g_libraryLock;

bool LoadServer(const char* fileName, ServedLibrary* out, std::string* error) {
    static std::vector<ServedLibrary> loaded;
    static std::vector<std::string> names;
    std::lock_guard lock(g_libraryLock);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == fileName) {
            *out = loaded[i];
            return true;
        }
    const auto folder = ProgramFolder();
    for (const auto& candidate : {folder / ".." / "lib" / fileName, folder / fileName}) {
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec))
            continue;
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            continue;
        auto fn = reinterpret_cast<PFN_DllGetClassObject>(dlsym(handle, "DllGetClassObject"));
        if (!fn) {
            dlclose(handle);
            continue;
        }
        loaded.push_back({handle, fn});
        names.emplace_back(fileName);
        *out = loaded.back();
        return true;
    }
    *error = std::string("cannot find ") + fileName +
             " beside this program; register it with "
             "'tarvik register'";
    return false;
}

bool ServeFrom(REFCLSID clsid, const char* library, std::string* error) {
    ComPtr<IClassFactory> factory;
    if (SUCCEEDED(
            CoGetClassObject(clsid, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.PutVoid())))
        return true;
    ServedLibrary lib;
    if (!LoadServer(library, &lib, error))
        return false;
    if (FAILED(lib.getClassObject(clsid, IID_IClassFactory, factory.PutVoid())) || !factory) {
        *error = std::string(library) + " does not serve the class " + GuidToString(clsid);
        return false;
    }
    // Registered for the life of the process, like the library itself.
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(clsid, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                     &cookie))) {
        *error = "cannot register the class " + GuidToString(clsid);
        return false;
    }
    return true;
}

// ---- Callback objects

class LineCallback final : public LineCallbackBase {
  public:
    explicit LineCallback(LineHandlers handlers) : handlers_(std::move(handlers)) {}
    HRESULT CallOffering() override {
        if (handlers_.offering)
            handlers_.offering();
        return S_OK;
    }
    HRESULT CallDisconnected(LONG cause) override {
        if (handlers_.disconnected)
            handlers_.disconnected(cause);
        return S_OK;
    }
    HRESULT CallConnected(LONG incoming, LONG handle) override {
        if (handlers_.connected)
            handlers_.connected(incoming, handle);
        return S_OK;
    }
    HRESULT FatalError(LONG cause, LONG error, LONG param) override {
        if (handlers_.fatal)
            handlers_.fatal(cause, error, param);
        return S_OK;
    }

  private:
    const LineHandlers handlers_;
};

}  // namespace

// ---- Event tap

struct EventTap::Shared {
    EventHandlers handlers;
    ComPtr<ILogWriter> next;  // the writer the component would have had
};

namespace {

class TapReporter final : public EventReporterBase {
  public:
    explicit TapReporter(std::shared_ptr<EventTap::Shared> shared) : shared_(std::move(shared)) {}
    void CallerIdReceived(const CallerId&, const std::string& port,
                          const std::string& raw) override {
        ReportReceived(kCallerIdEvent, raw, port);
    }
    void ReportReceived(LONG code, const std::string& text, const std::string& port) override {
        if (shared_->handlers.notify)
            shared_->handlers.notify(code, text, port);
    }

  private:
    std::shared_ptr<EventTap::Shared> shared_;
};

class TapWriter final : public ComObject<TapWriter, ILogWriter> {
  public:
    explicit TapWriter(std::shared_ptr<EventTap::Shared> shared) : shared_(std::move(shared)) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_ILogWriter) ? static_cast<ILogWriter*>(this) : nullptr;
    }
    HRESULT SetLogFile(BSTR path) override { return Next() ? Next()->SetLogFile(path) : S_OK; }
    HRESULT GetLogFile(BSTR* path) override {
        if (Next())
            return Next()->GetLogFile(path);
        if (!path)
            return E_POINTER;
        *path = nullptr;
        return S_OK;
    }
    HRESULT SetEnabled(LONG on) override { return Next() ? Next()->SetEnabled(on) : S_OK; }
    HRESULT GetEnabled(LONG* on) override {
        if (Next())
            return Next()->GetEnabled(on);
        if (!on)
            return E_POINTER;
        *on = 1;
        return S_OK;
    }
    HRESULT Flush() override { return Next() ? Next()->Flush() : S_OK; }
    HRESULT WriteEntry(ULONG thread, LONG a, LONG b, BSTR function, BSTR message,
                       BSTR detail) override {
        if (shared_->handlers.log)
            shared_->handlers.log(Utf8(function), Utf8(message));
        return Next() ? Next()->WriteEntry(thread, a, b, function, message, detail) : S_OK;
    }

  private:
    ILogWriter* Next() const { return shared_->next.Get(); }
    std::shared_ptr<EventTap::Shared> shared_;
};

template <class Object>
ClassRegistration RegisterTap(REFCLSID clsid, const std::shared_ptr<EventTap::Shared>& shared) {
    return ClassRegistration(clsid, [shared](IUnknown* outer, REFIID iid, void** ppv) {
        return CreateComObject<Object>(outer, nullptr, iid, ppv, shared);
    });
}

}  // namespace

EventTap::EventTap(EventHandlers handlers) : shared_(std::make_shared<Shared>()) {
    shared_->handlers = std::move(handlers);
    // Taken before the tap is registered, which then hides it.
    if (FAILED(CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_ALL, IID_ILogWriter,
                                shared_->next.PutVoid())))
        shared_->next.Reset();
    reporter_ = RegisterTap<TapReporter>(CLSID_EventReporter, shared_);
    writer_ = RegisterTap<TapWriter>(CLSID_LogWriter, shared_);
}

EventTap::~EventTap() {
    reporter_.Revoke();
    writer_.Revoke();
}

// ---- Classes, bags, lines

bool EnsureClasses(std::string* error) {
    return ServeFrom(CLSID_CommonData, "libtarvik-companions.so", error) &&
           ServeFrom(CLSID_VL2600Settings, "libtarvik-companions.so", error) &&
           ServeFrom(CLSID_LogWriter, "libtarvik-companions.so", error) &&
           ServeFrom(CLSID_EventReporter, "libtarvik-companions.so", error) &&
           ServeFrom(CLSID_ATModemSession, "libtarvik.so", error) &&
           ServeFrom(CLSID_ATModemLine, "libtarvik.so", error);
}

void SetField(ICommonData* bag, const char16_t* name, const Variant& value) {
    Bstr field(name);
    bag->SetData(field.Get(), value);
}

std::string TakeErrorText() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info)
        return {};
    Bstr description;
    info->GetDescription(description.Put());
    std::string text = Utf8(description.Get());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool HostLine::Create(const std::string& port, LineHandlers handlers, std::string* error) {
    port_ = port;
    auto fail = [&](const char* what) {
        *error = what;
        std::string detail = TakeErrorText();
        if (!detail.empty())
            *error += ": " + detail;
        return false;
    };
    if (FAILED(CoCreateInstance(CLSID_ATModemSession, nullptr, CLSCTX_ALL, IID_IModemSession,
                                session_.PutVoid())))
        return fail("cannot create a modem session");
    if (!(sessionCallback_ = MakeObject<SessionCallbackBase>()))
        return fail("cannot create the session callback");
    if (FAILED(session_->Initialize(sessionCallback_.Get())))
        return fail("the session did not initialise");
    ComPtr<ICommonData> modemData;
    Bstr portName = Bstr::FromAnsi(port);
    if (FAILED(session_->AddModem(portName.Get(), modemData.Put())))
        return fail("the session did not take the modem");
    if (FAILED(CoCreateInstance(CLSID_ATModemLine, nullptr, CLSCTX_ALL, IID_IModemLine,
                                line_.PutVoid())))
        return fail("cannot create a modem line");
    if (!(callback_ = MakeObject<LineCallback>(std::move(handlers))))
        return fail("cannot create the line callback");
    if (FAILED(line_->Initialize(modemData.Get(), callback_.Get())))
        return fail("the line did not initialise");
    return true;
}

HRESULT HostLine::Open(const std::string& init, ICommonData* extra, std::string* error) {
    ComPtr<ICommonData> settings = extra ? ComPtr<ICommonData>(extra) : MakeBag();
    if (!settings) {
        *error = "cannot create a property bag";
        return E_FAIL;
    }
    SetField(settings.Get(), u"COMPort", Variant::AnsiString(port_));
    SetField(settings.Get(), u"ModemSetting", Variant::AnsiString(init));
    HRESULT hr = line_->OpenLine(settings.Get());
    if (FAILED(hr)) {
        *error = "the line did not open (LastError " + std::to_string(LastError()) + ")";
        std::string detail = TakeErrorText();
        if (!detail.empty())
            *error += ": " + detail;
    }
    return hr;
}

LONG HostLine::LastError() const {
    LONG value = 0;
    if (line_)
        line_->get_LastError(&value);
    return value;
}

HostLine::~HostLine() {
    if (line_) {
        line_->CloseLine();
        line_->Shutdown();
    }
    if (session_)
        session_->Shutdown();
}

}  // namespace tarvik::cli
