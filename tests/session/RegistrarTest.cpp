// The registration-script interpreter, run against in-memory trees.
#include <gtest/gtest.h>

#include "frame/Registrar.h"

using tarvik::frame::RegistrarMode;
using tarvik::frame::RunRegistrationScript;
using tarvik::frame::ScriptVariables;
using tarvik::frame::SubstituteScriptVariables;
using tarvik::registry::Key;
using tarvik::registry::ValueType;

namespace {

std::string StringAt(const Key& root, std::string_view path, std::string_view name = "") {
    const Key* k = root.Find(path);
    if (!k)
        return "<no key>";
    const auto* v = k->GetValue(name);
    if (!v)
        return "<no value>";
    if (v->type != ValueType::String)
        return "<not a string>";
    return v->text;
}

HRESULT RunScript(std::string_view script, RegistrarMode mode, Key& root,
                  const ScriptVariables& vars = {}, std::string* error = nullptr) {
    return RunRegistrationScript(script, vars, mode, root, error);
}

constexpr const char* kClassScript = R"(
HKCR
{
    Demo.Thing.1 = s 'Thing Class'
    {
        CLSID = s '{11111111-2222-3333-4444-555555555555}'
    }
    NoRemove CLSID
    {
        ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Thing Class'
        {
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Free'
                val Count = d '0x10'
            }
        }
    }
}
)";

}  // namespace

TEST(Registrar, RegistersKeysAndValuesAndRemovesThemAgain) {
    Key root;
    const ScriptVariables vars{{"MODULE", "/lib/libthing.so"}};
    ASSERT_EQ(RunScript(kClassScript, RegistrarMode::Register, root, vars), S_OK);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Demo.Thing.1"), "Thing Class");
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Demo.Thing.1\\CLSID"),
              "{11111111-2222-3333-4444-555555555555}");
    const std::string clsid = "HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}";
    EXPECT_EQ(StringAt(root, clsid), "Thing Class");
    EXPECT_EQ(StringAt(root, clsid + "\\InprocServer32"), "/lib/libthing.so");
    EXPECT_EQ(StringAt(root, clsid + "\\InprocServer32", "ThreadingModel"), "Free");
    const auto* count = root.Find(clsid + "\\InprocServer32")->GetValue("Count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->type, ValueType::Dword);
    EXPECT_EQ(count->dword, 16u);

    // Things other programs own, below and beside our keys.
    root.Create("HKEY_CLASSES_ROOT\\CLSID\\{99999999-0000-0000-0000-000000000000}")
        .SetString("", "Other");
    root.Create(clsid + "\\Extra");

    ASSERT_EQ(RunScript(kClassScript, RegistrarMode::Unregister, root, vars), S_OK);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Demo.Thing.1"), nullptr);
    // ForceRemove takes the class key with everything below it.
    EXPECT_EQ(root.Find(clsid), nullptr);
    // NoRemove keeps CLSID and what others registered in it.
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\CLSID\\{99999999-0000-0000-0000-000000000000}"),
              "Other");

    // Removing what is not there is no error.
    EXPECT_EQ(RunScript(kClassScript, RegistrarMode::Unregister, root, vars), S_OK);
}

TEST(Registrar, QuotesSpacesAndBracesInNamesAndStrings) {
    Key root;
    const std::string path = "/home/o'neil/it''s/lib.so";
    ASSERT_EQ(RunScript("HKCR { A = s '%MODULE%' B = s 'it''s' C = s '100%%' }",
                        RegistrarMode::Register, root, {{"MODULE", path}}),
              S_OK);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\A"), path);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\B"), "it's");
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\C"), "100%");

    std::string text;
    ASSERT_EQ(SubstituteScriptVariables("'%module%'", {{"MODULE", "a'b"}}, &text), S_OK);
    EXPECT_EQ(text, "'a''b'");

    // Braced GUID names, and quoted names with spaces.
    ASSERT_EQ(RunScript("HKLM { 'Key With Spaces' = s 'a' { val 'Value Name' = d 7 } {AB-CD} }",
                        RegistrarMode::Register, root),
              S_OK);
    EXPECT_EQ(StringAt(root, "HKEY_LOCAL_MACHINE\\Key With Spaces"), "a");
    EXPECT_EQ(root.Find("HKEY_LOCAL_MACHINE\\Key With Spaces")->GetValue("Value Name")->dword, 7u);
    EXPECT_NE(root.Find("HKEY_LOCAL_MACHINE\\{AB-CD}"), nullptr);
}

TEST(Registrar, BadScriptsFailAndWriteNothing) {
    const char* bad[] = {
        "HKCR { A = s 'x' ",             // block not closed
        "HKXX { A = s 'x' }",            // unknown root
        "HKCR { A = s 'unterminated }",  // string not closed
        "HKCR { A = b '00' }",           // unsupported value type
        "HKCR { A = d 'twelve' }",       // not a number
        "HKCR { A = d '0x100000000' }",  // too big for a DWORD
        "HKCR { A = s 'x' } %UNKNOWN%",  // unknown variable
        "HKCR { A = s '%MODULE }",       // variable not closed
        "HKCR { val X = s 'y' }",        // a value outside a key
        "HKCR { A { val X s 'y' } }",    // '=' missing
        "HKCR { 'A\\B' = s 'y' }",       // a path where a name belongs
        "HKCR { A = s 'x' } B = s 'y'",  // a key outside any root
    };
    for (const char* script : bad) {
        Key root;
        root.Create("HKEY_CLASSES_ROOT\\Keep").SetString("", "me");
        std::string error;
        EXPECT_EQ(RunScript(script, RegistrarMode::Register, root, {{"MODULE", "m"}}, &error),
                  E_INVALIDARG)
            << script;
        EXPECT_FALSE(error.empty()) << script;
        EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\A"), nullptr) << script;
        EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Keep"), "me") << script;
    }
}

TEST(Registrar, KeysAndValuesOfOthersStayAndForceRemoveReplacesOurs) {
    const char* script = "HKCR { Shared = s 'ours' { Mine = s 'x' { val V = s 'v' } } }";
    Key root;
    ASSERT_EQ(RunScript(script, RegistrarMode::Register, root), S_OK);
    root.Create("HKEY_CLASSES_ROOT\\Shared\\Theirs");
    root.Find("HKEY_CLASSES_ROOT\\Shared")->SetString("Note", "kept");
    ASSERT_EQ(RunScript(script, RegistrarMode::Unregister, root), S_OK);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Shared\\Mine"), nullptr);
    ASSERT_NE(root.Find("HKEY_CLASSES_ROOT\\Shared\\Theirs"), nullptr);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Shared", "Note"), "kept");

    // Once the foreign subkey has gone, the key goes with our next removal.
    root.Find("HKEY_CLASSES_ROOT\\Shared")->Remove("Theirs");
    ASSERT_EQ(RunScript(script, RegistrarMode::Unregister, root), S_OK);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Shared"), nullptr);

    // A kept key loses our named values only.
    const char* kept = "HKCR { NoRemove Kept { val Ours = s 'x' } }";
    root.Create("HKEY_CLASSES_ROOT\\Kept").SetString("Theirs", "y");
    ASSERT_EQ(RunScript(kept, RegistrarMode::Register, root), S_OK);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Kept", "Ours"), "x");
    ASSERT_EQ(RunScript(kept, RegistrarMode::Unregister, root), S_OK);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Kept", "Ours"), "<no value>");
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Kept", "Theirs"), "y");

    // ForceRemove replaces a key whole; Delete removes one on registration.
    root = Key();
    root.Create("HKEY_CLASSES_ROOT\\Fresh\\Stale").SetString("", "old");
    root.Create("HKEY_CLASSES_ROOT\\Obsolete\\Below");
    ASSERT_EQ(RunScript("hkey_classes_root { forceremove Fresh = s 'new' delete Obsolete }",
                        RegistrarMode::Register, root),
              S_OK);
    EXPECT_EQ(StringAt(root, "HKEY_CLASSES_ROOT\\Fresh"), "new");
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Fresh\\Stale"), nullptr);
    EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\Obsolete"), nullptr);
}
