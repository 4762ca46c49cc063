// The registry store: hierarchical keys with named string and DWORD values,
// kept in a text file in the .reg export format. Top-level keys are the hive
// names ("HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", ...). Key and value names
// compare without regard to case, as Windows compares them; the default value
// of a key has the empty name.
//
// The file is $TARVIK_REGISTRY, else $XDG_DATA_HOME/tarvik/registry.reg, else
// ~/.local/share/tarvik/registry.reg. Every change is a read-modify-write under
// an exclusive flock (on "<file>.lock"), written to a temporary file and renamed over
// the old one, so two processes writing at once lose nothing and a reader
// never sees half a file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik/types.h"

namespace tarvik::registry {

struct CaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

enum class ValueType { String, Dword };

struct Value {
    ValueType type = ValueType::String;
    std::string text;    // String values (UTF-8)
    uint32_t dword = 0;  // Dword values
};

class Key {
  public:
    // Paths are relative to this key, components separated by '\\'.
    Key* Find(std::string_view path);
    const Key* Find(std::string_view path) const;
    Key& Create(std::string_view path);  // creates missing components
    bool Remove(std::string_view path);  // removes the key and everything below it

    void SetString(std::string_view name, std::string_view value);
    void SetDword(std::string_view name, uint32_t value);
    const Value* GetValue(std::string_view name) const;
    bool RemoveValue(std::string_view name);

    const std::map<std::string, Value, CaseLess>& Values() const { return values_; }
    const std::map<std::string, std::unique_ptr<Key>, CaseLess>& Subkeys() const {
        return subkeys_;
    }
    bool Empty() const { return values_.empty() && subkeys_.empty(); }

  private:
    std::map<std::string, Value, CaseLess> values_;
    std::map<std::string, std::unique_ptr<Key>, CaseLess> subkeys_;
};

// The file the store lives in, from the environment as described above.
std::string DefaultPath();

// Reads the whole store into `root` (an empty tree when the file does not
// exist). S_OK, or REGDB_E_READREGDB when the file cannot be read or parsed.
HRESULT Load(Key* root, const std::string& path = DefaultPath());

// Read-modify-write: loads the store under an exclusive lock, runs `edit`, and
// when it succeeds writes the result atomically. The edit's failure code is
// returned and nothing is written. REGDB_E_WRITEREGDB when writing fails.
HRESULT Update(const std::function<HRESULT(Key& root)>& edit,
               const std::string& path = DefaultPath());

// The keys an edit reads and changes, for a store that reads only those: the
// system registry on Windows, where reading all of HKEY_CLASSES_ROOT for one
// class would cost seconds. Below each path in `whole` everything is read; of
// each path in `shallow` only its own values (its subkeys are read only as
// far as other paths name them). Paths start with the hive's long name. The
// edit must not look at or change keys outside the scope. The file store reads
// all of itself anyway.
struct Scope {
    std::vector<std::string> whole;
    std::vector<std::string> shallow;
};
HRESULT Update(const Scope& scope, const std::function<HRESULT(Key& root)>& edit,
               const std::string& path = DefaultPath());

// Reads one string value: keyPath like "HKEY_CLASSES_ROOT\\CLSID\\{...}\\InprocServer32",
// valueName "" for the default value. False when the key or value is missing
// or not a string.
bool QueryString(std::string_view keyPath, std::string_view valueName, std::string* out,
                 const std::string& path = DefaultPath());

// The store as last read, shared and never modified. The file is read again
// only when it changed since (checked with a stat, not a read), so frequent
// lookups cost no file reading. REGDB_E_READREGDB when it cannot be read or
// parsed.
HRESULT Snapshot(std::shared_ptr<const Key>* out, const std::string& path = DefaultPath());
// How many times Snapshot has read a store file in this process (diagnostics).
uint64_t SnapshotReads();

// Text form (.reg export format) of a tree, and its parser.
std::string Serialize(const Key& root);
bool Parse(std::string_view text, Key* root);

}  // namespace tarvik::registry
