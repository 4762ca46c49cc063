// The registry store on Windows is the system registry.
//
// Registration code edits a tree of keys (tarvik/registry.h). Here Update
// reads the keys the edit may look at from the registry (with a scope, only
// those it names; without one, all of HKEY_CLASSES_ROOT), lets the edit run
// on that tree, and writes back only what changed: keys gone are deleted with
// everything below them, new keys and changed values are written.
#include <string>

#include "System.h"
#include "tarvik/registry.h"

namespace tarvik::registry {
namespace {

namespace sys = tarvik::win32;

struct HiveName {
    const char* name;
    sys::Hive hive;
};
// Only the classes hive is read in; an edit that creates keys below another
// hive still has them written, but finds nothing there to change or remove.
constexpr HiveName kLoaded[] = {{"HKEY_CLASSES_ROOT", sys::Hive::ClassesRoot}};
constexpr HiveName kHives[] = {{"HKEY_CLASSES_ROOT", sys::Hive::ClassesRoot},
                               {"HKEY_CURRENT_USER", sys::Hive::CurrentUser},
                               {"HKEY_LOCAL_MACHINE", sys::Hive::LocalMachine},
                               {"HKEY_USERS", sys::Hive::Users},
                               {"HKEY_CURRENT_CONFIG", sys::Hive::CurrentConfig}};

void LoadValues(void* handle, Key& into) {
    bool skip = false;
    sys::RegistryValue v;
    for (uint32_t i = 0; sys::RegEnumValue(handle, i, &v, &skip); ++i) {
        if (skip)
            continue;
        if (v.isDword)
            into.SetDword(v.name, v.dword);
        else
            into.SetString(v.name, v.text);
    }
}

// Values and sub-key names of one open key; the sub-keys are filled in by
// LoadTree.
void LoadKey(void* handle, Key& into) {
    LoadValues(handle, into);
    std::string name;
    for (uint32_t i = 0; sys::RegEnumSubkey(handle, i, &name); ++i)
        into.Create(name);
}

void LoadTree(sys::Hive hive, const std::string& path, Key& into, int depth) {
    void* handle = sys::RegOpenKey(hive, path, false);
    if (!handle)
        return;
    LoadKey(handle, into);
    sys::RegCloseKey(handle);
    // Keys nest far less deeply than this; the bound only keeps a registry
    // loop (a link key pointing back up) from running away.
    if (depth > 32)
        return;
    for (const auto& [name, child] : into.Subkeys())
        LoadTree(hive, path.empty() ? name : path + "\\" + name, *child, depth + 1);
}

void Copy(const Key& from, Key& to) {
    for (const auto& [name, value] : from.Values()) {
        if (value.type == ValueType::Dword)
            to.SetDword(name, value.dword);
        else
            to.SetString(name, value.text);
    }
    for (const auto& [name, child] : from.Subkeys())
        Copy(*child, to.Create(name));
}

bool SameValue(const Value& a, const Value& b) {
    return a.type == b.type && (a.type == ValueType::Dword ? a.dword == b.dword : a.text == b.text);
}

bool ValuesDiffer(const Key& before, const Key& after) {
    if (before.Values().size() != after.Values().size())
        return true;
    for (const auto& [name, value] : after.Values()) {
        const Value* old = before.GetValue(name);
        if (!old || !SameValue(*old, value))
            return true;
    }
    return false;
}

// Creates the key when it is new; removes the values it lost and writes
// those that are new or changed.
bool WriteValues(sys::Hive hive, const std::string& path, const Key* before, const Key& after) {
    void* handle = sys::RegCreateKey(hive, path);
    if (!handle)
        return false;
    bool ok = true;
    if (before)
        for (const auto& [name, value] : before->Values())
            if (!after.GetValue(name))
                sys::RegDeleteValue(handle, name);
    for (const auto& [name, value] : after.Values()) {
        const Value* old = before ? before->GetValue(name) : nullptr;
        if (old && SameValue(*old, value))
            continue;
        sys::RegistryValue v;
        v.name = name;
        v.isDword = value.type == ValueType::Dword;
        v.text = value.text;
        v.dword = value.dword;
        ok = sys::RegSetValue(handle, v) && ok;
    }
    sys::RegCloseKey(handle);
    return ok;
}

bool Apply(sys::Hive hive, const std::string& path, const Key* before, const Key& after) {
    bool ok = true;
    if (!path.empty() && (!before || ValuesDiffer(*before, after)))
        ok = WriteValues(hive, path, before, after);
    if (before)
        for (const auto& [name, child] : before->Subkeys())
            if (!after.Find(name))
                ok = sys::RegDeleteTree(hive, path.empty() ? name : path + "\\" + name) && ok;
    for (const auto& [name, child] : after.Subkeys()) {
        const Key* old = before ? before->Find(name) : nullptr;
        ok = Apply(hive, path.empty() ? name : path + "\\" + name, old, *child) && ok;
    }
    return ok;
}

void Load(Key& root) {
    for (const HiveName& h : kLoaded)
        LoadTree(h.hive, "", root.Create(h.name), 0);
}

// The hive of a full key path and the path below it; false for a path that
// names no key below a hive.
bool SplitPath(const std::string& full, sys::Hive* hive, std::string* rest) {
    for (const HiveName& h : kHives) {
        std::string_view name(h.name);
        if (full.size() > name.size() + 1 && full.compare(0, name.size(), name) == 0 &&
            full[name.size()] == '\\') {
            *hive = h.hive;
            *rest = full.substr(name.size() + 1);
            return true;
        }
    }
    return false;
}

// A key of the scope enters the tree only when the registry has it: one
// that is not there must not look like one to delete.
void LoadScope(const Scope& scope, Key& root) {
    sys::Hive hive;
    std::string rest;
    for (const std::string& path : scope.shallow) {
        if (!SplitPath(path, &hive, &rest))
            continue;
        if (void* handle = sys::RegOpenKey(hive, rest, false)) {
            LoadValues(handle, root.Create(path));
            sys::RegCloseKey(handle);
        }
    }
    for (const std::string& path : scope.whole) {
        if (!SplitPath(path, &hive, &rest))
            continue;
        if (void* handle = sys::RegOpenKey(hive, rest, false)) {
            sys::RegCloseKey(handle);
            LoadTree(hive, rest, root.Create(path), 0);
        }
    }
}

HRESULT Run(Key& before, const std::function<HRESULT(Key& root)>& edit) {
    Key after;
    Copy(before, after);
    HRESULT hr = edit(after);
    if (FAILED(hr))
        return hr;
    bool ok = true;
    for (const HiveName& h : kHives) {
        const Key* a = after.Find(h.name);
        const Key* b = before.Find(h.name);
        if (a)
            ok = Apply(h.hive, "", b, *a) && ok;
        else if (b)
            ok = false;  // a whole hive cannot be removed
    }
    return ok ? S_OK : REGDB_E_WRITEREGDB;
}

}  // namespace

std::string DefaultPath() {
    return "registry";
}

HRESULT Load(Key* root, const std::string&) {
    Load(*root);
    return S_OK;
}

HRESULT Update(const std::function<HRESULT(Key& root)>& edit, const std::string&) {
    Key before;
    Load(before);
    return Run(before, edit);
}

HRESULT Update(const Scope& scope, const std::function<HRESULT(Key& root)>& edit,
               const std::string&) {
    Key before;
    LoadScope(scope, before);
    return Run(before, edit);
}

bool QueryString(std::string_view keyPath, std::string_view valueName, std::string* out,
                 const std::string&) {
    for (const HiveName& h : kHives) {
        std::string_view name(h.name);
        if (keyPath.size() <= name.size() || keyPath.substr(0, name.size()) != name ||
            keyPath[name.size()] != '\\')
            continue;
        void* handle = sys::RegOpenKey(h.hive, std::string(keyPath.substr(name.size() + 1)), false);
        if (!handle)
            return false;
        bool skip = false, found = false;
        sys::RegistryValue v;
        for (uint32_t i = 0; !found && sys::RegEnumValue(handle, i, &v, &skip); ++i)
            found = !skip && !v.isDword && !CaseLess{}(v.name, valueName) &&
                    !CaseLess{}(valueName, v.name);
        sys::RegCloseKey(handle);
        if (found && out)
            *out = v.text;
        return found;
    }
    return false;
}

}  // namespace tarvik::registry
