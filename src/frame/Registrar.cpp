#include "frame/Registrar.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace tarvik::frame {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct ScriptError {
    std::string text;
};

// ---------------------------------------------------------------------------
// Tokens

enum class TokenKind { Word, Quoted, Equals, Open, Close, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;
    int line = 0;
};

class Lexer {
  public:
    explicit Lexer(std::string_view text) : text_(text) {}

    Token Next() {
        SkipSpace();
        Token t;
        t.line = line_;
        if (pos_ >= text_.size())
            return t;
        char c = text_[pos_];
        if (c == '=') {
            ++pos_;
            t.kind = TokenKind::Equals;
            return t;
        }
        if (c == '\'') {
            ++pos_;
            t.kind = TokenKind::Quoted;
            for (;;) {
                if (pos_ >= text_.size())
                    throw ScriptError{Where(t.line) + "unterminated string"};
                char q = text_[pos_++];
                if (q == '\n')
                    ++line_;
                if (q == '\'') {
                    // A doubled quote inside a string is one quote.
                    if (pos_ < text_.size() && text_[pos_] == '\'') {
                        t.text += '\'';
                        ++pos_;
                        continue;
                    }
                    break;
                }
                t.text += q;
            }
            return t;
        }
        size_t start = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_]) && text_[pos_] != '=' &&
               text_[pos_] != '\'')
            ++pos_;
        t.text = std::string(text_.substr(start, pos_ - start));
        // Braces are tokens of their own only when they stand alone, so that
        // a GUID in braces reads as one name.
        if (t.text == "{")
            t.kind = TokenKind::Open;
        else if (t.text == "}")
            t.kind = TokenKind::Close;
        else
            t.kind = TokenKind::Word;
        return t;
    }

    static std::string Where(int line) { return "line " + std::to_string(line) + ": "; }

  private:
    static bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
    void SkipSpace() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) {
            if (text_[pos_] == '\n')
                ++line_;
            ++pos_;
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
};

// ---------------------------------------------------------------------------
// The script as a tree

struct ScriptValue {
    registry::ValueType type = registry::ValueType::String;
    std::string text;
    uint32_t dword = 0;
};

struct ScriptKey {
    std::string name;
    bool noRemove = false;
    bool forceRemove = false;
    bool deleteKey = false;
    std::optional<ScriptValue> defaultValue;
    std::vector<std::pair<std::string, ScriptValue>> values;
    std::vector<ScriptKey> subkeys;
};

struct ScriptRoot {
    std::string hive;  // the long name, as the store keeps it
    std::vector<ScriptKey> keys;
};

std::optional<std::string> HiveName(std::string_view word) {
    static const std::pair<const char*, const char*> kHives[] = {
        {"HKCR", "HKEY_CLASSES_ROOT"},   {"HKCU", "HKEY_CURRENT_USER"},
        {"HKLM", "HKEY_LOCAL_MACHINE"},  {"HKU", "HKEY_USERS"},
        {"HKCC", "HKEY_CURRENT_CONFIG"},
    };
    for (const auto& [shortName, longName] : kHives)
        if (EqualNoCase(word, shortName) || EqualNoCase(word, longName))
            return longName;
    return std::nullopt;
}

class Parser {
  public:
    explicit Parser(std::string_view text) : lexer_(text) { Advance(); }

    std::vector<ScriptRoot> ParseScript() {
        std::vector<ScriptRoot> roots;
        while (tok_.kind != TokenKind::End) {
            if (tok_.kind != TokenKind::Word && tok_.kind != TokenKind::Quoted)
                Fail("a root key was expected");
            auto hive = HiveName(tok_.text);
            if (!hive)
                Fail("unknown root key '" + tok_.text + "'");
            ScriptRoot root;
            root.hive = *hive;
            Advance();
            Expect(TokenKind::Open, "'{' after the root key");
            while (tok_.kind != TokenKind::Close)
                root.keys.push_back(ParseKey());
            Advance();
            roots.push_back(std::move(root));
        }
        return roots;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw ScriptError{Lexer::Where(tok_.line) + what};
    }
    void Advance() { tok_ = lexer_.Next(); }
    void Expect(TokenKind kind, const char* what) {
        if (tok_.kind != kind)
            Fail(std::string("expected ") + what);
        Advance();
    }
    bool IsKeyword(const char* word) const {
        return tok_.kind == TokenKind::Word && EqualNoCase(tok_.text, word);
    }
    std::string Name(const char* what) {
        if (tok_.kind != TokenKind::Word && tok_.kind != TokenKind::Quoted)
            Fail(std::string("expected ") + what);
        if (tok_.text.empty())
            Fail(std::string("empty ") + what);
        std::string name = tok_.text;
        Advance();
        return name;
    }

    ScriptValue ParseValue() {
        if (tok_.kind != TokenKind::Word)
            Fail("expected a value type (s or d)");
        ScriptValue v;
        if (EqualNoCase(tok_.text, "s")) {
            Advance();
            if (tok_.kind != TokenKind::Quoted)
                Fail("a string value must be quoted");
            v.type = registry::ValueType::String;
            v.text = tok_.text;
            Advance();
            return v;
        }
        if (EqualNoCase(tok_.text, "d")) {
            Advance();
            if (tok_.kind != TokenKind::Quoted && tok_.kind != TokenKind::Word)
                Fail("expected a number");
            const std::string& digits = tok_.text;
            char* end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(digits.c_str(), &end, 0);
            if (digits.empty() || *end != '\0' || errno != 0 || n > 0xFFFFFFFFull ||
                digits[0] == '-')
                Fail("'" + digits + "' is not a DWORD");
            v.type = registry::ValueType::Dword;
            v.dword = static_cast<uint32_t>(n);
            Advance();
            return v;
        }
        Fail("unsupported value type '" + tok_.text + "'");
    }

    ScriptKey ParseKey() {
        ScriptKey key;
        for (;;) {
            if (IsKeyword("NoRemove"))
                key.noRemove = true;
            else if (IsKeyword("ForceRemove"))
                key.forceRemove = true;
            else if (IsKeyword("Delete"))
                key.deleteKey = true;
            else
                break;
            Advance();
        }
        if (tok_.kind == TokenKind::End)
            Fail("unexpected end of script");
        if (IsKeyword("val"))
            Fail("a named value must stand inside a key's block");
        key.name = Name("a key name");
        if (key.name.find('\\') != std::string::npos)
            Fail("key name '" + key.name + "' contains a backslash");
        if (tok_.kind == TokenKind::Equals) {
            Advance();
            key.defaultValue = ParseValue();
        }
        if (tok_.kind == TokenKind::Open) {
            Advance();
            while (tok_.kind != TokenKind::Close) {
                if (tok_.kind == TokenKind::End)
                    Fail("unexpected end of script, '}' missing");
                if (IsKeyword("val")) {
                    Advance();
                    std::string name = Name("a value name");
                    Expect(TokenKind::Equals, "'=' after the value name");
                    key.values.emplace_back(std::move(name), ParseValue());
                } else {
                    key.subkeys.push_back(ParseKey());
                }
            }
            Advance();
        }
        return key;
    }

    Lexer lexer_;
    Token tok_;
};

// ---------------------------------------------------------------------------
// Applying the tree

void SetValue(registry::Key& key, std::string_view name, const ScriptValue& v) {
    if (v.type == registry::ValueType::Dword)
        key.SetDword(name, v.dword);
    else
        key.SetString(name, v.text);
}

void RegisterKey(registry::Key& parent, const ScriptKey& sk) {
    if (sk.deleteKey) {
        parent.Remove(sk.name);
        return;
    }
    if (sk.forceRemove)
        parent.Remove(sk.name);
    registry::Key& key = parent.Create(sk.name);
    if (sk.defaultValue)
        SetValue(key, "", *sk.defaultValue);
    for (const auto& [name, value] : sk.values)
        SetValue(key, name, value);
    for (const ScriptKey& sub : sk.subkeys)
        RegisterKey(key, sub);
}

void UnregisterKey(registry::Key& parent, const ScriptKey& sk) {
    if (sk.deleteKey)
        return;
    registry::Key* key = parent.Find(sk.name);
    if (!key)
        return;
    if (sk.forceRemove) {
        parent.Remove(sk.name);
        return;
    }
    for (const ScriptKey& sub : sk.subkeys)
        UnregisterKey(*key, sub);
    for (const auto& value : sk.values)
        key->RemoveValue(value.first);
    if (!sk.noRemove && key->Subkeys().empty())
        parent.Remove(sk.name);
}

// The keys a script reads and changes: a NoRemove key keeps its other
// subkeys whatever the script does, so of it only its values are needed (and
// the keys the script names below it); any other key may be replaced or
// removed whole, so all of it is.
void AddToScope(const std::string& parent, const ScriptKey& sk, registry::Scope* scope) {
    const std::string path = parent + "\\" + sk.name;
    if (!sk.noRemove || sk.forceRemove || sk.deleteKey) {
        scope->whole.push_back(path);
        return;
    }
    scope->shallow.push_back(path);
    for (const ScriptKey& sub : sk.subkeys)
        AddToScope(path, sub, scope);
}

HRESULT ReadScript(std::string_view script, const ScriptVariables& variables,
                   std::vector<ScriptRoot>* roots, std::string* error) {
    std::string text;
    HRESULT hr = SubstituteScriptVariables(script, variables, &text, error);
    if (FAILED(hr))
        return hr;
    try {
        *roots = Parser(text).ParseScript();
    } catch (const ScriptError& e) {
        if (error)
            *error = e.text;
        return E_INVALIDARG;
    }
    return S_OK;
}

void ApplyScript(const std::vector<ScriptRoot>& roots, RegistrarMode mode, registry::Key& root) {
    for (const ScriptRoot& sr : roots) {
        if (mode == RegistrarMode::Register) {
            registry::Key& hive = root.Create(sr.hive);
            for (const ScriptKey& k : sr.keys)
                RegisterKey(hive, k);
        } else if (registry::Key* hive = root.Find(sr.hive)) {
            for (const ScriptKey& k : sr.keys)
                UnregisterKey(*hive, k);
        }
    }
}

}  // namespace

HRESULT SubstituteScriptVariables(std::string_view script, const ScriptVariables& variables,
                                  std::string* out, std::string* error) {
    std::string result;
    result.reserve(script.size());
    int line = 1;
    for (size_t i = 0; i < script.size(); ++i) {
        char c = script[i];
        if (c == '\n')
            ++line;
        if (c != '%') {
            result += c;
            continue;
        }
        size_t close = script.find('%', i + 1);
        if (close == std::string_view::npos) {
            if (error)
                *error = Lexer::Where(line) + "'%' without its closing '%'";
            return E_INVALIDARG;
        }
        std::string_view name = script.substr(i + 1, close - i - 1);
        i = close;
        if (name.empty()) {
            result += '%';
            continue;
        }
        auto it = variables.find(name);
        if (it == variables.end()) {
            if (error)
                *error = Lexer::Where(line) + "unknown variable %" + std::string(name) + "%";
            return E_INVALIDARG;
        }
        // Values mostly stand inside quoted strings: a quote in a path must
        // not end the string early.
        for (char v : it->second) {
            result += v;
            if (v == '\'')
                result += '\'';
        }
    }
    *out = std::move(result);
    return S_OK;
}

HRESULT RunRegistrationScript(std::string_view script, const ScriptVariables& variables,
                              RegistrarMode mode, registry::Key& root, std::string* error) {
    std::vector<ScriptRoot> roots;
    HRESULT hr = ReadScript(script, variables, &roots, error);
    if (SUCCEEDED(hr))
        ApplyScript(roots, mode, root);
    return hr;
}

HRESULT RunRegistrationScript(std::string_view script, const ScriptVariables& variables,
                              RegistrarMode mode, std::string* error) {
    std::vector<ScriptRoot> roots;
    HRESULT hr = ReadScript(script, variables, &roots, error);
    if (FAILED(hr))
        return hr;
    registry::Scope scope;
    for (const ScriptRoot& sr : roots)
        for (const ScriptKey& k : sr.keys)
            AddToScope(sr.hive, k, &scope);
    return registry::Update(scope, [&](registry::Key& root) {
        ApplyScript(roots, mode, root);
        return S_OK;
    });
}

}  // namespace tarvik::frame
