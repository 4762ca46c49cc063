// Registration and unregistration of the library: exactly the keys and values
// a registered Tarvik has, and nothing left behind after unregistration.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "Platform.h"
#include "Sandbox.h"
#include "frame/ClassTable.h"
#include "frame/Module.h"
#include "frame/TypeLib.h"
#include "tarvik/interfaces.h"
#include "tarvik/registry.h"

using namespace tarvik;
using registry::Key;

namespace {

// The whole store as "PATH" -> "<key>" and "PATH|NAME" -> value text. Names
// are in capitals: the registry ignores their case (Wine writes "Typelib").
using Flat = std::map<std::string, std::string>;

std::string Entry(std::string name) {
    for (char& c : name)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name;
}

void Flatten(const Key& key, const std::string& path, Flat* out) {
    (*out)[Entry(path)] = "<key>";
    for (const auto& [name, value] : key.Values()) {
        std::string text = value.type == registry::ValueType::Dword
                               ? "dword:" + std::to_string(value.dword)
                               : value.text;
        (*out)[Entry(path + "|" + name)] = text;
    }
    // The other (32- or 64-bit) view of the classes, where Wine mirrors the
    // type library's keys or, seen from 32 bits, all of them, is the system's.
    for (const auto& [name, sub] : key.Subkeys())
        if (Entry(name) != "WOW6432NODE")
            Flatten(*sub, path + "\\" + name, out);
}

Flat Snapshot() {
    Key root;
    EXPECT_EQ(registry::Load(&root), S_OK);
    Flat flat;
    for (const auto& [name, sub] : root.Subkeys())
        Flatten(*sub, name, &flat);
    return flat;
}

Flat Added(const Flat& before, const Flat& after) {
    Flat added;
    for (const auto& [k, v] : after) {
        auto it = before.find(k);
        if (it == before.end() || it->second != v)
            added[k] = v;
    }
    return added;
}

void ExpectKeys(Flat* expected, const std::string& path,
                std::initializer_list<std::pair<const char*, std::string>> values) {
    (*expected)[Entry(path)] = "<key>";
    for (const auto& [name, value] : values)
        (*expected)[Entry(path + "|" + name)] = value;
}

void ExpectClass(Flat* e, const std::string& cls, const CLSID& clsid, const std::string& path) {
    const std::string guid = GuidToString(clsid);
    const std::string name = cls + " Class";
    const std::string hkcr = "HKEY_CLASSES_ROOT\\";
    ExpectKeys(e, hkcr + "Tarvik." + cls + ".1", {{"", name}});
    ExpectKeys(e, hkcr + "Tarvik." + cls + ".1\\CLSID", {{"", guid}});
    ExpectKeys(e, hkcr + "Tarvik." + cls, {{"", name}});
    ExpectKeys(e, hkcr + "Tarvik." + cls + "\\CLSID", {{"", guid}});
    ExpectKeys(e, hkcr + "Tarvik." + cls + "\\CurVer", {{"", "Tarvik." + cls + ".1"}});
    const std::string key = hkcr + "CLSID\\" + guid;
    ExpectKeys(e, key, {{"", name}});
    ExpectKeys(e, key + "\\ProgID", {{"", "Tarvik." + cls + ".1"}});
    ExpectKeys(e, key + "\\VersionIndependentProgID", {{"", "Tarvik." + cls}});
    ExpectKeys(e, key + "\\InprocServer32", {{"", path}, {"ThreadingModel", "Free"}});
    ExpectKeys(e, key + "\\TypeLib", {{"", "{05D5F4F6-4D7B-42D5-827A-100051C4CF95}"}});
}

const std::string kLib = "HKEY_CLASSES_ROOT\\TypeLib\\{05D5F4F6-4D7B-42D5-827A-100051C4CF95}";
const std::string kPlatform = sizeof(void*) == 8 ? "win64" : "win32";

struct OurInterface {
    const char* name;
    const IID* iid;
};
const OurInterface kOurInterfaces[] = {
    {"IModemSessionCallback", &IID_IModemSessionCallback},
    {"IModemLineCallback", &IID_IModemLineCallback},
    {"IPassThroughCallback", &IID_IPassThroughCallback},
    {"IModemSession", &IID_IModemSession},
    {"IModemSessionPrivate", &IID_IModemSessionPrivate},
    {"IModemLine", &IID_IModemLine},
    {"IModemLinePrivate", &IID_IModemLinePrivate},
#ifdef _WIN32
    // The system registers every automation interface the library holds.
    {"ICommonData", &IID_ICommonData},
#endif
};
#ifdef _WIN32
// The library's flags as the system writes them (LIBFLAG_FHASDISKIMAGE).
const char* const kFlags = "8";
#else
const char* const kFlags = "0";
#endif
void ExpectTypeLib(Flat* e, const std::string& path, const std::string& helpDir) {
    ExpectKeys(e, "HKEY_CLASSES_ROOT\\TypeLib", {});
    ExpectKeys(e, kLib, {});
    ExpectKeys(e, kLib + "\\1.0", {{"", "Tarvik 1.0 Type Library"}});
    ExpectKeys(e, kLib + "\\1.0\\409", {});
    ExpectKeys(e, kLib + "\\1.0\\409\\" + kPlatform, {{"", path}});
#ifdef _WIN32
    // Wine's marshaler looks the library up under the neutral locale only.
    ExpectKeys(e, kLib + "\\1.0\\0", {});
    ExpectKeys(e, kLib + "\\1.0\\0\\" + kPlatform, {{"", path}});
#endif
    ExpectKeys(e, kLib + "\\1.0\\FLAGS", {{"", kFlags}});
    ExpectKeys(e, kLib + "\\1.0\\HELPDIR", {{"", helpDir}});
    ExpectKeys(e, "HKEY_CLASSES_ROOT\\Interface", {});
    const std::string marshaler = "{00020424-0000-0000-C000-000000000046}";
    for (const auto& itf : kOurInterfaces) {
        const std::string key = "HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(*itf.iid);
        ExpectKeys(e, key, {{"", itf.name}});
        ExpectKeys(e, key + "\\ProxyStubClsid", {{"", marshaler}});
        ExpectKeys(e, key + "\\ProxyStubClsid32", {{"", marshaler}});
        ExpectKeys(e, key + "\\TypeLib",
                   {{"", "{05D5F4F6-4D7B-42D5-827A-100051C4CF95}"}, {"Version", "1.0"}});
    }
}

class Registration : public ::testing::Test {
  protected:
    void SetUp() override {
        // Start from a store without Tarvik in it (the sandbox may have
        // registered the component already).
        frame::UnregisterServer();
        before_ = Snapshot();
    }
    void TearDown() override { frame::UnregisterServer(); }

    Flat Expected(const std::string& path, const std::string& helpDir) const {
        Flat e;
        ExpectClass(&e, "ATModemSession", CLSID_ATModemSession, path);
        ExpectClass(&e, "ATModemLine", CLSID_ATModemLine, path);
        ExpectTypeLib(&e, path, helpDir);
        // Keys that existed before (HKEY_CLASSES_ROOT, CLSID, ...) are not new.
        for (auto it = e.begin(); it != e.end();)
            it = before_.count(it->first) && before_.at(it->first) == it->second ? e.erase(it)
                                                                                 : std::next(it);
        return e;
    }

    Flat before_;
};

}  // namespace

// A quote in the path must reach the store intact, not end a string in the
// registration script. Windows reads the type library from the file named, so
// there it is a copy of this program's own.
std::string PathWithQuotes() {
#ifdef _WIN32
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(test::SandboxRoot()) / "o'brien's tools";
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::copy_file(frame::ModulePath(), dir / "Tarvik.dll", fs::copy_options::overwrite_existing,
                  ec);
    return (dir / "Tarvik.dll").string();
#else
    return "/opt/o'brien's tools/lib/libtarvik.so";
#endif
}

TEST_F(Registration, WritesExactlyTheClassAndTypeLibraryKeysAndRemovesThemAgain) {
    // Unregistering what is not registered succeeds and changes nothing.
    EXPECT_EQ(frame::UnregisterServer(), S_OK);
    EXPECT_EQ(Snapshot(), before_);
    const std::string path = PathWithQuotes();
    ASSERT_EQ(frame::RegisterServer(path), S_OK);
    Flat added = Added(before_, Snapshot());
    EXPECT_EQ(added, Expected(path, frame::HelpDirectoryOf(path)));
    EXPECT_NE(path.find("o'brien's tools"), std::string::npos);

    // Registering again changes nothing.
    ASSERT_EQ(frame::RegisterServer(path), S_OK);
    EXPECT_EQ(Added(before_, Snapshot()), added);

    EXPECT_EQ(frame::UnregisterServer(), S_OK);
    // Only the containers every type library shares may stay behind, empty.
    Flat left = Added(before_, Snapshot());
    left.erase(Entry("HKEY_CLASSES_ROOT\\Interface"));
    left.erase(Entry("HKEY_CLASSES_ROOT\\TypeLib"));
    EXPECT_EQ(left, Flat());
    EXPECT_EQ(Added(Snapshot(), before_), Flat());
}

TEST_F(Registration, UnregistrationLeavesWhatOthersRegistered) {
    ASSERT_EQ(frame::RegisterServer(PathWithQuotes()), S_OK);
    ASSERT_EQ(registry::Update([](Key& root) {
                  // Another class in CLSID, another locale of our type library,
                  // and one of our interfaces taken over by another library.
                  root.Create("HKEY_CLASSES_ROOT\\CLSID\\{00000000-1111-2222-3333-444444444444}")
                      .SetString("", "Neighbour");
                  root.Create(kLib + "\\1.0\\7\\win32").SetString("", "/other/path");
                  root.Create("HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(IID_IModemLine) +
                              "\\TypeLib")
                      .SetString("", "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
                  return S_OK;
              }),
              S_OK);
    EXPECT_EQ(frame::UnregisterServer(), S_OK);

    Key root;
    ASSERT_EQ(registry::Load(&root), S_OK);
    EXPECT_NE(root.Find("HKEY_CLASSES_ROOT\\CLSID\\{00000000-1111-2222-3333-444444444444}"),
              nullptr);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_ATModemSession)),
              nullptr);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Tarvik.ATModemSession"), nullptr);
    // Our locale went; the version stays for the other one, with its flags.
    EXPECT_EQ(root.Find(kLib + "\\1.0\\409"), nullptr);
    EXPECT_NE(root.Find(kLib + "\\1.0\\7\\win32"), nullptr);
    EXPECT_NE(root.Find(kLib + "\\1.0\\FLAGS"), nullptr);
#ifndef _WIN32
    // Windows removes the library's interfaces through the system
    // (UnRegisterTypeLib), which under Wine takes a taken-over one as well.
    EXPECT_NE(root.Find("HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(IID_IModemLine)), nullptr);
#endif
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(IID_IModemSession)),
              nullptr);
    // Clean up the foreign entries for the next test in this process.
    registry::Update([](Key& r) {
        r.Remove(kLib);
        r.Remove("HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(IID_IModemLine));
        r.Remove("HKEY_CLASSES_ROOT\\CLSID\\{00000000-1111-2222-3333-444444444444}");
        return S_OK;
    });
}

TEST(TypeLibrary, HelpDirectoryIsThePathUpToItsLastSeparator) {
    EXPECT_EQ(frame::HelpDirectoryOf("/usr/lib/libtarvik.so"), "/usr/lib/");
    EXPECT_EQ(frame::HelpDirectoryOf("C:\\Tarvik\\Tarvik.dll"), "C:\\Tarvik\\");
    EXPECT_EQ(frame::HelpDirectoryOf("C:Tarvik.dll"), "C:");
    EXPECT_EQ(frame::HelpDirectoryOf("/a\\b/c:d"), "/a\\b/c:");
    EXPECT_EQ(frame::HelpDirectoryOf("libtarvik.so"), "");
}

// The store file is the Linux runtime's: Windows has the system registry.
TEST(RegistrationFailure,
     LINUX_ONLY(AStoreThatCannotBeReadFailsRegistrationButNeverUnregistration)) {
    // A store file that does not parse: registration reports it and writes
    // nothing over it; unregistration still answers S_OK.
    const std::string path = test::SandboxRoot() + "/corrupt.reg";
    const std::string garbage = "this is not a registry file\n[HKEY_CLASSES_ROOT\\unclosed\n\"x\"=";
    {
        std::ofstream out(path);
        out << garbage;
    }
    const std::string saved = registry::DefaultPath();
    test::SetEnv("TARVIK_REGISTRY", path.c_str());
    HRESULT reg = frame::RegisterServer("/x/libtarvik.so");
    HRESULT unreg = frame::UnregisterServer();
    test::SetEnv("TARVIK_REGISTRY", saved.c_str());

    EXPECT_EQ(reg, REGDB_E_READREGDB);
    EXPECT_EQ(unreg, S_OK);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), garbage);
}
