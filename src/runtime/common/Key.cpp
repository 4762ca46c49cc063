// Registry keys: a tree of case-insensitively named keys and values.
#include <strings.h>

#include <vector>

#include "tarvik/registry.h"

namespace tarvik::registry {
namespace {

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Path components; empty ones (doubled or trailing backslashes) are skipped.
std::vector<std::string_view> Split(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        size_t cut = path.find('\\');
        std::string_view part = path.substr(0, cut);
        if (!part.empty())
            parts.push_back(part);
        if (cut == std::string_view::npos)
            break;
        path.remove_prefix(cut + 1);
    }
    return parts;
}

}  // namespace

// Only ASCII letters fold: names are UTF-8, and folding beyond ASCII would
// need tables this store has no use for (every name Tarvik writes is ASCII).
bool CaseLess::operator()(std::string_view a, std::string_view b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(Fold(a[i]));
        auto y = static_cast<unsigned char>(Fold(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

Key* Key::Find(std::string_view path) {
    return const_cast<Key*>(static_cast<const Key*>(this)->Find(path));
}

const Key* Key::Find(std::string_view path) const {
    const Key* k = this;
    for (std::string_view part : Split(path)) {
        auto it = k->subkeys_.find(part);
        if (it == k->subkeys_.end())
            return nullptr;
        k = it->second.get();
    }
    return k;
}

Key& Key::Create(std::string_view path) {
    Key* k = this;
    for (std::string_view part : Split(path)) {
        auto it = k->subkeys_.find(part);
        if (it == k->subkeys_.end())
            it = k->subkeys_.emplace(std::string(part), std::make_unique<Key>()).first;
        k = it->second.get();
    }
    return *k;
}

bool Key::Remove(std::string_view path) {
    std::vector<std::string_view> parts = Split(path);
    if (parts.empty())
        return false;  // a key cannot remove itself
    Key* parent = this;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = parent->subkeys_.find(parts[i]);
        if (it == parent->subkeys_.end())
            return false;
        parent = it->second.get();
    }
    auto it = parent->subkeys_.find(parts.back());
    if (it == parent->subkeys_.end())
        return false;
    parent->subkeys_.erase(it);
    return true;
}

// An existing value keeps the spelling of its name it was first given.
void Key::SetString(std::string_view name, std::string_view value) {
    auto it = values_.find(name);
    if (it == values_.end())
        it = values_.emplace(std::string(name), Value{}).first;
    it->second = Value{ValueType::String, std::string(value), 0};
}

void Key::SetDword(std::string_view name, uint32_t value) {
    auto it = values_.find(name);
    if (it == values_.end())
        it = values_.emplace(std::string(name), Value{}).first;
    it->second = Value{ValueType::Dword, {}, value};
}

const Value* Key::GetValue(std::string_view name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

bool Key::RemoveValue(std::string_view name) {
    auto it = values_.find(name);
    if (it == values_.end())
        return false;
    values_.erase(it);
    return true;
}

}  // namespace tarvik::registry
