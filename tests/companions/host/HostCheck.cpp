// What a host does on a fresh machine: register the companions, create a
// property bag, fill and read it, and read why a failed read failed.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <tarvik/tarvik.h>

extern char** environ;

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++g_failures;
}

int RunTool(const char* tool, const char* verb, const char* library) {
    pid_t pid;
    char* argv[] = {const_cast<char*>(tool), const_cast<char*>(verb), const_cast<char*>(library),
                    nullptr};
    if (posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TARVIK_TOOL COMPANIONS_LIBRARY\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/tarvik-host-XXXXXX";
    if (!mkdtemp(tmpl))
        return 2;
    const fs::path root = tmpl;
    // A registry nobody else uses, as on a fresh machine.
    setenv("TARVIK_REGISTRY", (root / "registry.reg").c_str(), 1);
    setenv("TARVIK_LOG", (root / "tarvik.log").c_str(), 1);
    setenv("TARVIK_EVENTS", (root / "events.jsonl").c_str(), 1);

    tarvik::ComPtr<ICommonData> bag;
    HRESULT hr =
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid());
    Check(hr == REGDB_E_CLASSNOTREG, "CommonData is unknown before registration");

    Check(RunTool(argv[1], "register", argv[2]) == 0, "tarvik register the companions");

    CLSID clsid{};
    Check(CLSIDFromProgID(u"Tarvik.CommonData", &clsid) == S_OK &&
              IsEqualCLSID(clsid, CLSID_CommonData),
          "ProgID Tarvik.CommonData names the bag's class");
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid());
    Check(hr == S_OK && bag, "CoCreateInstance of CommonData");
    if (!bag)
        return 1;

    Check(bag->SetData(tarvik::Bstr(tarvik::field::COMPort).Get(),
                       tarvik::Variant::String(u"COM3")) == S_OK,
          "SetData COMPort");
    tarvik::Variant port;
    Check(bag->GetData(tarvik::Bstr(u"comport").Get(), &port) == S_OK && port.vt == VT_BSTR &&
              std::u16string_view(port.bstrVal) == u"COM3",
          "GetData COMPort");

    tarvik::Variant missing;
    hr = bag->GetData(tarvik::Bstr(tarvik::field::PhoneNumber).Get(), &missing);
    Check(FAILED(hr), "GetData of a missing field fails");
    tarvik::ComPtr<IErrorInfo> info;
    Check(GetErrorInfo(0, info.Put()) == S_OK && info, "error information is set");
    if (info) {
        tarvik::Bstr description, source;
        GUID guid{};
        info->GetDescription(description.Put());
        info->GetSource(source.Put());
        info->GetGUID(&guid);
        std::printf("     description: %s\n", description.Ansi().c_str());
        Check(description.View() == u"Field 'PhoneNumber' not found", "its description");
        Check(source.View() == u"Tarvik.CommonData", "its source");
        Check(IsEqualGUID(guid, IID_ICommonData), "its interface");
    }

    bag.Reset();
    Check(RunTool(argv[1], "unregister", argv[2]) == 0, "tarvik unregister the companions");
    std::error_code ec;
    fs::remove_all(root, ec);
    std::printf("%s\n", g_failures ? "host check FAILED" : "host check passed");
    return g_failures ? 1 : 0;
}
