#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "Sandbox.h"
#include "tarvik/registry.h"

namespace reg = tarvik::registry;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Spill(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
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

TEST(RegistryKey, NamesIgnoreCaseAndKeepFirstSpelling) {
    reg::Key root;
    reg::Key& k = root.Create("HKEY_CLASSES_ROOT\\Tarvik.Session\\\\CLSID\\");
    EXPECT_EQ(&k, root.Find("hkey_classes_root\\TARVIK.SESSION\\clsid"));
    k.SetString("Name", "one");
    k.SetString("NAME", "two");
    ASSERT_EQ(k.Values().size(), 1u);
    EXPECT_EQ(k.Values().begin()->first, "Name");
    EXPECT_EQ(k.GetValue("name")->text, "two");
    k.SetDword("name", 10);
    EXPECT_EQ(k.GetValue("Name")->type, reg::ValueType::Dword);

    EXPECT_FALSE(root.Remove(""));
    EXPECT_TRUE(root.Remove("HKEY_CLASSES_ROOT\\tarvik.session"));
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Tarvik.Session"), nullptr);
    EXPECT_NE(root.Find("HKEY_CLASSES_ROOT"), nullptr);
}

TEST(RegistryFormat, WritesRegeditLayout) {
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
}

TEST(RegistryFormat, RoundTripKeepsEveryCharacter) {
    reg::Key root;
    reg::Key& k = root.Create(
        "HKEY_CURRENT_USER\\Software\\Tarvik\\Gr\xC3\xBC\xC3\x9F"
        "e");
    k.SetString("", "");
    k.SetString("quote\"name", "a \"quoted\" \\path\\ ");
    k.SetString("ends with backslash", "C:\\");
    k.SetString("multi", "line one\nline two\r\n");
    k.SetString("euro", "\xE2\x82\xAC 5");
    k.SetDword("max", 0xFFFFFFFF);
    std::string text = reg::Serialize(root);
    reg::Key back;
    ASSERT_TRUE(reg::Parse(text, &back));
    EXPECT_EQ(reg::Serialize(back), text);
    const reg::Key* b = back.Find(
        "HKEY_CURRENT_USER\\Software\\Tarvik\\GR\xC3\xBC\xC3\x9F"
        "E");
    ASSERT_NE(b, nullptr);
    ASSERT_NE(b->GetValue(""), nullptr);
    EXPECT_EQ(b->GetValue("")->text, "");
    EXPECT_EQ(b->GetValue("quote\"name")->text, "a \"quoted\" \\path\\ ");
    EXPECT_EQ(b->GetValue("ends with backslash")->text, "C:\\");
    EXPECT_EQ(b->GetValue("multi")->text, "line one\nline two\r\n");
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

TEST(RegistryStore, UpdateCreatesFolderAndLoadReadsBack) {
    std::string path = FreshStore("update");
    reg::Key root;
    EXPECT_EQ(reg::Load(&root, path), S_OK);  // no file yet: an empty store
    EXPECT_TRUE(root.Empty());
    ASSERT_EQ(AddKey(path, "HKEY_CLASSES_ROOT\\Tarvik.Session\\CLSID", "{X}"), S_OK);
    ASSERT_EQ(reg::Load(&root, path), S_OK);
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
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2);  // the store and its lock file
}

TEST(RegistryStore, CorruptFilesAreNeverOverwrittenNorUnwritableNamesWritten) {
    std::string path = FreshStore("corrupt");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string junk =
        "Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A]\n@=oops\n";
    Spill(path, junk);
    reg::Key root;
    EXPECT_EQ(reg::Load(&root, path), REGDB_E_READREGDB);
    bool ran = false;
    EXPECT_EQ(reg::Update(
                  [&](reg::Key&) {
                      ran = true;
                      return S_OK;
                  },
                  path),
              REGDB_E_READREGDB);
    EXPECT_FALSE(ran);
    EXPECT_EQ(Slurp(path), junk);

    // A key name the file format cannot hold is refused, and nothing written.
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
                HRESULT hr = reg::Update(
                    [&](reg::Key& r) {
                        r.Create("HKEY_CURRENT_USER\\Test\\P" + std::to_string(c) + "_" +
                                 std::to_string(i))
                            .SetDword("n", static_cast<uint32_t>(i));
                        return S_OK;
                    },
                    path);
                if (FAILED(hr))
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

TEST(RegistrySnapshot, ReadsTheFileOnlyWhenItChanged) {
    std::string path = FreshStore("snapshot");
    ASSERT_EQ(AddKey(path, "HKEY_CLASSES_ROOT\\One"), S_OK);
    std::shared_ptr<const reg::Key> first;
    ASSERT_EQ(reg::Snapshot(&first, path), S_OK);
    uint64_t reads = reg::SnapshotReads();
    for (int i = 0; i < 50; ++i) {
        std::shared_ptr<const reg::Key> again;
        ASSERT_EQ(reg::Snapshot(&again, path), S_OK);
        EXPECT_EQ(again, first);
    }
    EXPECT_EQ(reg::SnapshotReads(), reads);

    // Written by another process: seen at the next lookup.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(FAILED(AddKey(path, "HKEY_CLASSES_ROOT\\Two")) ? 1 : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::shared_ptr<const reg::Key> second;
    ASSERT_EQ(reg::Snapshot(&second, path), S_OK);
    EXPECT_NE(second->Find("HKEY_CLASSES_ROOT\\Two"), nullptr);
    EXPECT_EQ(first->Find("HKEY_CLASSES_ROOT\\Two"), nullptr);  // old copies stay as they were
}

}  // namespace
