// The .reg export format, as regedit writes it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CLASSES_ROOT\Key\Sub]
//   @="default value"
//   "name"="text with \\ and \" escaped"
//   "count"=dword:0000000a
//
// Text is UTF-8. regedit cannot put a line break in a string value; this store
// writes one as \n (and a carriage return as \r) so that a value holding one
// does not break the file. regedit never writes a lone backslash before n or
// r, so its files read the same. Value kinds other than strings and dwords
// ("hex:...") are refused rather than dropped, so a rewrite never loses them.
#include <cstdio>

#include "tarvik/registry.h"

namespace tarvik::registry {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";

void AppendQuoted(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
                break;
        }
    }
    out.push_back('"');
}

void AppendKey(std::string& out, const Key& key, const std::string& path) {
    out += '[';
    out += path;
    out += "]\n";
    for (const auto& [name, value] : key.Values()) {
        if (name.empty())
            out += '@';
        else
            AppendQuoted(out, name);
        out += '=';
        if (value.type == ValueType::Dword) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x", value.dword);
            out += buf;
        } else {
            AppendQuoted(out, value.text);
        }
        out += '\n';
    }
    out += '\n';
    for (const auto& [name, sub] : key.Subkeys())
        AppendKey(out, *sub, path + '\\' + name);
}

// Reads a quoted string at the start of `s`, advancing past it.
bool ReadQuoted(std::string_view& s, std::string* out) {
    if (s.empty() || s[0] != '"')
        return false;
    out->clear();
    size_t i = 1;
    for (; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            switch (n) {
                case '\\':
                case '"':
                    out->push_back(n);
                    break;
                case 'n':
                    out->push_back('\n');
                    break;
                case 'r':
                    out->push_back('\r');
                    break;
                default:  // not an escape: keep both characters
                    out->push_back('\\');
                    out->push_back(n);
                    break;
            }
        } else {
            out->push_back(s[i]);
        }
    }
    if (i >= s.size())
        return false;  // unterminated
    s.remove_prefix(i + 1);
    return true;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

bool ParseDword(std::string_view s, uint32_t* out) {
    if (s.empty() || s.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

bool ParseValueLine(std::string_view line, Key* key) {
    std::string name;
    if (line[0] == '@') {
        line.remove_prefix(1);
    } else if (!ReadQuoted(line, &name)) {
        return false;
    }
    line = TrimLeft(line);
    if (line.empty() || line[0] != '=')
        return false;
    line = TrimLeft(line.substr(1));
    if (line == "-") {  // regedit's "delete this value"
        key->RemoveValue(name);
        return true;
    }
    if (!line.empty() && line[0] == '"') {
        std::string text;
        if (!ReadQuoted(line, &text) || !TrimLeft(line).empty())
            return false;
        key->SetString(name, text);
        return true;
    }
    constexpr std::string_view kDword = "dword:";
    if (line.substr(0, kDword.size()) == kDword) {
        uint32_t v;
        if (!ParseDword(line.substr(kDword.size()), &v))
            return false;
        key->SetDword(name, v);
        return true;
    }
    return false;
}

}  // namespace

std::string Serialize(const Key& root) {
    std::string out(kHeader);
    out += "\n\n";
    for (const auto& [name, hive] : root.Subkeys())
        AppendKey(out, *hive, name);
    return out;
}

bool Parse(std::string_view text, Key* root) {
    if (!root)
        return false;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    Key tree;
    Key* current = nullptr;
    bool headerSeen = false;
    while (!text.empty()) {
        size_t cut = text.find('\n');
        std::string_view line = TrimRight(text.substr(0, cut));
        text.remove_prefix(cut == std::string_view::npos ? text.size() : cut + 1);
        line = TrimLeft(line);
        if (line.empty() || line[0] == ';')
            continue;
        if (!headerSeen) {
            if (line != kHeader && line != kOldHeader)
                return false;
            headerSeen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3)
                return false;
            std::string_view path = line.substr(1, line.size() - 2);
            if (path[0] == '-') {  // regedit's "delete this key"
                tree.Remove(path.substr(1));
                current = nullptr;
                continue;
            }
            current = &tree.Create(path);
            if (current == &tree)
                return false;  // a path of nothing but backslashes
            continue;
        }
        if (!current || !ParseValueLine(line, current))
            return false;
    }
    *root = std::move(tree);
    return true;
}

}  // namespace tarvik::registry
