#include "Module.h"

#include <dlfcn.h>

#include <filesystem>

#include "CommonData.h"
#include "EventReporter.h"
#include "LogWriter.h"
#include "Settings.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/registry.h"

namespace tarvik::companions {

ModuleLock& Module() {
    static ModuleLock lock;
    return lock;
}

namespace {
const ClassInfo kClasses[] = {
    {&CLSID_CommonData, "Tarvik.CommonData", "Tarvik CommonData property bag", &CreateCommonData},
    {&CLSID_LogWriter, "Tarvik.LogWriter", "Tarvik log writer", &CreateLogWriter},
    {&CLSID_EventReporter, "Tarvik.EventReporter", "Tarvik event reporter", &CreateEventReporter},
    {&CLSID_VL2600Settings, "Tarvik.VL2600Settings", "Tarvik modem settings", &CreateSettings},
};
}  // namespace

const ClassInfo* Classes(size_t* count) {
    *count = sizeof(kClasses) / sizeof(kClasses[0]);
    return kClasses;
}

const ClassInfo* FindClass(REFCLSID clsid) {
    for (const ClassInfo& c : kClasses)
        if (IsEqualCLSID(*c.clsid, clsid))
            return &c;
    return nullptr;
}

std::string LibraryPath() {
    Dl_info info{};
    // Any address inside this library names it.
    if (!dladdr(reinterpret_cast<void*>(&LibraryPath), &info) || !info.dli_fname)
        return {};
    // dli_fname is the name the library was opened by, possibly relative to a
    // working folder the registry's readers will not share.
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved))
        return info.dli_fname;
#ifdef TARVIK_COMPANIONS_SONAME
    // Registered under the link of our SONAME, which an upgrade moves to the
    // new file, rather than the versioned file it removes.
    std::filesystem::path stable =
        std::filesystem::path(resolved).parent_path() / TARVIK_COMPANIONS_SONAME;
    std::error_code ec;
    if (std::filesystem::equivalent(stable, resolved, ec) && !ec)
        return stable.string();
#endif
    return resolved;
}

void SetError(REFIID iid, const char* progId, std::u16string_view description) noexcept {
    try {
        ComPtr<ICreateErrorInfo> create;
        if (FAILED(CreateErrorInfo(create.Put())) || !create)
            return;
        create->SetGUID(iid);
        std::u16string source = FromAnsi(progId ? progId : "");
        create->SetSource(source.data());
        std::u16string text(description);
        create->SetDescription(text.data());
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid())) && info)
            SetErrorInfo(0, info.Get());
    } catch (...) {
        // Out of memory while describing a failure: the code alone must do.
    }
}

std::string ClassSetting(REFCLSID clsid, std::string_view valueName) {
    std::string value;
    try {
        std::string key = "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(clsid);
        if (!registry::QueryString(key, valueName, &value))
            value.clear();
    } catch (...) {
        value.clear();
    }
    return value;
}

}  // namespace tarvik::companions
