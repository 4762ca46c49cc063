#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "Sandbox.h"
#include "tarvik/registry.h"

namespace reg = tarvik::registry;

namespace {

TEST(RegistryKey, NamesIgnoreCaseAndKeepFirstSpelling) {
    reg::Key root;
    reg::Key& k = root.Create("HKEY_CLASSES_ROOT\\Tarvik.Session\\\\CLSID\\");
    EXPECT_EQ(&k, root.Find("hkey_classes_root\\TARVIK.SESSION\\clsid"));
    k.SetString("Name", "one");
    k.SetDword("NAME", 10);
    ASSERT_EQ(k.Values().size(), 1u);
    EXPECT_EQ(k.Values().begin()->first, "Name");
    EXPECT_EQ(k.GetValue("name")->dword, 10u);
    EXPECT_EQ(k.GetValue("name")->type, reg::ValueType::Dword);
    EXPECT_FALSE(root.Remove(""));
    EXPECT_TRUE(root.Remove("HKEY_CLASSES_ROOT\\tarvik.session"));
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Tarvik.Session"), nullptr);
    EXPECT_NE(root.Find("HKEY_CLASSES_ROOT"), nullptr);
}

#ifndef _WIN32  // the stand-in's registry file: Windows has the system registry
std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A store of the test's own, in a folder that does not exist yet.
std::string FreshStore(const char* name) {
    std::string dir = tarvik::test::SandboxRoot() + "/" + name;
    std::filesystem::remove_all(dir);
    return dir + "/sub/registry.reg";
}

// Adds `key` (with a default value when `value` is given) to the store at `path`.
HRESULT AddKey(const std::string& path, const std::string& key, const char* value = nullptr) {
    return reg::Update(
        [&](reg::Key& r) {
            reg::Key& k = r.Create(key);
            if (value)
                k.SetString("", value);
            return S_OK;
        },
        path);
}

TEST(RegistryFormat, WritesRegeditLayoutAndRoundTripKeepsEveryCharacter) {
    reg::Key root;
    reg::Key& k = root.Create("HKEY_CLASSES_ROOT\\CLSID\\{X}");
    k.SetString("", "Tarvik \"Session\"");
    k.SetDword("Count", 10);
    root.Create("HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32").SetString("", "C:\\lib\\t.so");
    EXPECT_EQ(reg::Serialize(root),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CLASSES_ROOT]\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID]\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{X}]\n"
              "@=\"Tarvik \\\"Session\\\"\"\n"
              "\"Count\"=dword:0000000a\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32]\n"
              "@=\"C:\\\\lib\\\\t.so\"\n\n");

    const std::pair<const char*, const char*> values[] = {{"", ""},
                                                          {"quote\"name", "a \"quoted\" \\path\\ "},
                                                          {"ends with backslash", "C:\\"},
                                                          {"multi", "line one\nline two\r\n"},
                                                          {"euro", "\xE2\x82\xAC 5"}};
    reg::Key& odd = root.Create("HKEY_CURRENT_USER\\Software\\Gr\u00FC\u00DFe");
    for (auto [name, text] : values)
        odd.SetString(name, text);
    odd.SetDword("max", 0xFFFFFFFF);
    std::string text = reg::Serialize(root);
    reg::Key back;
    ASSERT_TRUE(reg::Parse(text, &back));
    EXPECT_EQ(reg::Serialize(back), text);
    const reg::Key* b = back.Find("HKEY_CURRENT_USER\\Software\\GR\u00FC\u00DFE");
    ASSERT_NE(b, nullptr);
    for (auto [name, text] : values) {
        ASSERT_NE(b->GetValue(name), nullptr) << name;
        EXPECT_EQ(b->GetValue(name)->text, text) << name;
    }
    EXPECT_EQ(b->GetValue("max")->dword, 0xFFFFFFFFu);
}

TEST(RegistryFormat, ReadsRegeditFilesAndRefusesTheRest) {
    reg::Key root;
    ASSERT_TRUE(
        reg::Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_CLASSES_ROOT\\A]\r\n@=\"x\"\r\n\"gone\"=\"y\"\r\n\"gone\"=-\r\n"
                   "; comment\r\n[HKEY_CLASSES_ROOT\\B]\r\n[-HKEY_CLASSES_ROOT\\B]\r\n",
                   &root));
    ASSERT_NE(root.Find("HKEY_CLASSES_ROOT\\A"), nullptr);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\A")->GetValue("")->text, "x");
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\A")->GetValue("gone"), nullptr);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\B"), nullptr);
    EXPECT_TRUE(reg::Parse("", &root));
    EXPECT_TRUE(root.Empty());

    const char* bad[] = {
        "Not a registry file\n",
        "Windows Registry Editor Version 5.00\n@=\"value before any key\"\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A]\n\"bin\"=hex:01,02\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A]\n@=\"unterminated\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A]\n\"d\"=dword:123456789\n",
    };
    reg::Key keep;
    keep.Create("HKEY_CLASSES_ROOT\\Kept");
    for (const char* text : bad) {
        EXPECT_FALSE(reg::Parse(text, &keep)) << text;
        EXPECT_NE(keep.Find("HKEY_CLASSES_ROOT\\Kept"), nullptr)
            << "tree changed by a failed parse";
    }
}

TEST(RegistryStore, UpdateCreatesTheFolderAndLookUpsReadBack) {
    std::string path = FreshStore("update");
    ASSERT_EQ(AddKey(path, "HKEY_CLASSES_ROOT\\Tarvik.Session\\CLSID", "{X}"), S_OK);
    std::string value;
    EXPECT_TRUE(reg::QueryString("HKEY_CLASSES_ROOT\\tarvik.session\\clsid", "", &value, path));
    EXPECT_EQ(value, "{X}");
    EXPECT_FALSE(reg::QueryString("HKEY_CLASSES_ROOT\\tarvik.session\\clsid", "x", &value, path));

    // A failing edit writes nothing and its code comes back.
    std::string before = Slurp(path);
    EXPECT_EQ(reg::Update(
                  [](reg::Key& r) {
                      r.Create("HKEY_CLASSES_ROOT\\Half");
                      return E_ACCESSDENIED;
                  },
                  path),
              E_ACCESSDENIED);
    EXPECT_EQ(Slurp(path), before);
    // No temporary files left behind.
    auto dir = std::filesystem::directory_iterator(std::filesystem::path(path).parent_path());
    EXPECT_EQ(std::distance(dir, {}), 2);  // the store and its lock file
}

TEST(RegistryStore, CorruptFilesAreNeverOverwrittenNorUnwritableNamesWritten) {
    std::string path = FreshStore("corrupt");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string junk =
        "Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A]\n@=oops\n";
    std::ofstream(path) << junk;
    reg::Key root;
    EXPECT_EQ(reg::Load(&root, path), REGDB_E_READREGDB);
    EXPECT_EQ(AddKey(path, "HKEY_CLASSES_ROOT\\B"), REGDB_E_READREGDB);
    EXPECT_EQ(Slurp(path), junk);

    // A key name the file format cannot hold is refused, and nothing written:
    // with no file, the store is empty.
    path = FreshStore("badname");
    EXPECT_EQ(AddKey(path, "HKEY_CLASSES_ROOT\\two\nlines"), REGDB_E_WRITEREGDB);
    EXPECT_EQ(reg::Load(&root, path), S_OK);
    EXPECT_TRUE(root.Empty());
}

TEST(RegistryStore, ConcurrentWritersLoseNothing) {
    std::string path = FreshStore("concurrent");
    constexpr int kEach = 200;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            for (int i = 0; i < kEach; ++i) {
                if (FAILED(
                        AddKey(path, "HKEY_CURRENT_USER\\Test\\P" + std::to_string(c * kEach + i))))
                    _exit(1);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    reg::Key root;
    ASSERT_EQ(reg::Load(&root, path), S_OK);
    const reg::Key* test = root.Find("HKEY_CURRENT_USER\\Test");
    ASSERT_NE(test, nullptr);
    EXPECT_EQ(test->Subkeys().size(), 2u * kEach);
}

TEST(RegistryStore, DefaultPathFollowsTheEnvironment) {
    const char* names[3] = {"TARVIK_REGISTRY", "XDG_DATA_HOME", "HOME"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i)
        if (const char* v = getenv(names[i]))
            saved[i] = v;

    setenv("TARVIK_REGISTRY", "/x/own.reg", 1);
    EXPECT_EQ(reg::DefaultPath(), "/x/own.reg");
    unsetenv("TARVIK_REGISTRY");
    setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(reg::DefaultPath(), "/data/tarvik/registry.reg");
    setenv("XDG_DATA_HOME", "relative", 1);  // must be ignored
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(reg::DefaultPath(), "/home/u/.local/share/tarvik/registry.reg");

    for (int i = 0; i < 3; ++i)
        saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
}
#endif

}  // namespace
