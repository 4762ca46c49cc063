#include "frame/TypeLib.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "frame/Module.h"
#include "tarvik/registry.h"

namespace tarvik::frame {
namespace {

// The typelib marshaler: what RegisterTypeLib names as the proxy of an
// interface described by a type library.
constexpr const char* kTypeLibMarshaler = "{00020424-0000-0000-C000-000000000046}";

struct IdlError {
    std::string text;
};

using Attributes = std::vector<std::pair<std::string, std::string>>;

bool IsIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string Unquote(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        return s.substr(1, s.size() - 2);
    return s;
}

const std::string* FindAttribute(const Attributes& attrs, std::string_view name) {
    for (const auto& a : attrs)
        if (a.first == name)
            return &a.second;
    return nullptr;
}

GUID ParseUuid(const std::string& text) {
    GUID g{};
    if (!ParseGuid("{" + Trim(text) + "}", &g))
        throw IdlError{"bad uuid '" + text + "'"};
    return g;
}

// Comments become spaces (newlines stay, for line numbers in errors), so
// that nothing below has to expect one, not even inside a parameter list.
std::string StripComments(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '"') {
            size_t end = out.find('"', i + 1);
            if (end == std::string::npos)
                break;
            i = end;
        } else if (out.compare(i, 2, "//") == 0) {
            while (i < out.size() && out[i] != '\n')
                out[i++] = ' ';
        } else if (out.compare(i, 2, "/*") == 0) {
            size_t end = out.find("*/", i + 2);
            if (end == std::string::npos)
                throw IdlError{"unterminated comment"};
            for (size_t j = i; j < end + 2; ++j)
                if (out[j] != '\n')
                    out[j] = ' ';
            i = end + 1;
        }
    }
    return out;
}

class IdlReader {
  public:
    explicit IdlReader(std::string_view text) : text_(text) {}

    void Read(TypeLibDescription* lib) {
        lib_ = lib;
        for (;;) {
            Skip();
            if (AtEnd())
                break;
            ReadDeclaration(/*inLibrary=*/false);
        }
        if (lib_->name.empty())
            throw IdlError{"no library block"};
    }

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        int line = 1;
        for (size_t i = 0; i < pos_ && i < text_.size(); ++i)
            if (text_[i] == '\n')
                ++line;
        throw IdlError{"line " + std::to_string(line) + ": " + what};
    }
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

    // White space and both kinds of comment.
    void Skip() {
        while (!AtEnd()) {
            char c = text_[pos_];
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (text_.substr(pos_, 2) == "//") {
                size_t nl = text_.find('\n', pos_);
                pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
            } else if (text_.substr(pos_, 2) == "/*") {
                size_t end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos)
                    Fail("unterminated comment");
                pos_ = end + 2;
            } else {
                break;
            }
        }
    }
    bool Accept(char c) {
        Skip();
        if (Peek() != c)
            return false;
        ++pos_;
        return true;
    }
    void Expect(char c) {
        if (!Accept(c))
            Fail(std::string("expected '") + c + "'");
    }
    std::string Ident() {
        Skip();
        size_t start = pos_;
        while (!AtEnd() && IsIdentChar(text_[pos_]))
            ++pos_;
        if (start == pos_)
            Fail("expected a name");
        return std::string(text_.substr(start, pos_ - start));
    }
    // Text up to the `close` that ends the current level, skipping nested
    // brackets and quoted strings; the closing character is consumed.
    std::string Balanced(char close) {
        size_t start = pos_;
        int depth = 0;
        while (!AtEnd()) {
            char c = text_[pos_];
            if (c == '"') {
                size_t end = text_.find('"', pos_ + 1);
                if (end == std::string_view::npos)
                    Fail("unterminated string");
                pos_ = end + 1;
                continue;
            }
            if (depth == 0 && c == close) {
                std::string inner(text_.substr(start, pos_ - start));
                ++pos_;
                return inner;
            }
            if (c == '(' || c == '[' || c == '{')
                ++depth;
            if (c == ')' || c == ']' || c == '}')
                --depth;
            ++pos_;
        }
        Fail(std::string("missing '") + close + "'");
    }

    // [a, b(x), c("y")]
    Attributes ReadAttributes() {
        Attributes attrs;
        if (!Accept('['))
            return attrs;
        if (Accept(']'))
            return attrs;
        for (;;) {
            std::string name = Ident();
            std::string arg;
            if (Accept('('))
                arg = Trim(Balanced(')'));
            attrs.emplace_back(std::move(name), std::move(arg));
            if (Accept(']'))
                break;
            Expect(',');
        }
        return attrs;
    }

    void ReadDeclaration(bool inLibrary) {
        Attributes attrs = ReadAttributes();
        std::string word = Ident();
        if (word == "import" || word == "importlib" || word == "cpp_quote") {
            Skip();
            std::string arg = word == "import" ? Balanced(';') : (Expect('('), Balanced(')'));
            if (word == "importlib")
                lib_->importlibs.push_back(Unquote(Trim(arg)));
            if (word != "import")
                Expect(';');
        } else if (word == "typedef") {
            Balanced(';');
        } else if (word == "interface" || word == "dispinterface") {
            ReadInterface(attrs, inLibrary);
        } else if (word == "library") {
            if (inLibrary)
                Fail("nested library");
            ReadLibrary(attrs);
        } else if (word == "coclass") {
            if (!inLibrary)
                Fail("coclass outside the library block");
            ReadCoclass(attrs);
        } else {
            Fail("unexpected '" + word + "'");
        }
    }

    void MentionInLibrary(const std::string& name) {
        for (const auto& n : lib_->libraryInterfaces)
            if (n == name)
                return;
        lib_->libraryInterfaces.push_back(name);
    }

    void ReadInterface(const Attributes& attrs, bool inLibrary) {
        std::string name = Ident();
        if (Accept(';')) {  // a forward declaration, or a mention inside the library
            if (inLibrary)
                MentionInLibrary(name);
            return;
        }
        IdlInterface itf;
        itf.name = name;
        const std::string* uuid = FindAttribute(attrs, "uuid");
        if (!uuid)
            Fail("interface " + name + " has no uuid");
        itf.iid = ParseUuid(*uuid);
        itf.dual = FindAttribute(attrs, "dual") != nullptr;
        if (Accept(':'))
            itf.base = Ident();
        Expect('{');
        while (!Accept('}')) {
            if (AtEnd())
                Fail("interface " + name + " is not closed");
            itf.methods.push_back(ReadMethod());
        }
        Accept(';');
        if (lib_->FindInterface(name))
            Fail("interface " + name + " defined twice");
        lib_->interfaces.push_back(std::move(itf));
        if (inLibrary)
            MentionInLibrary(name);
    }

    IdlMethod ReadMethod() {
        IdlMethod m;
        for (auto& a : ReadAttributes())
            m.attributes.push_back(a.first);
        std::string result = Ident();
        if (result != "HRESULT")
            Fail("method returning '" + result + "'");
        std::string name = Ident();
        auto has = [&](const char* a) {
            for (const auto& x : m.attributes)
                if (x == a)
                    return true;
            return false;
        };
        if (has("propget"))
            m.name = "get_" + name;
        else if (has("propput"))
            m.name = "put_" + name;
        else if (has("propputref"))
            m.name = "putref_" + name;
        else
            m.name = name;
        Expect('(');
        std::string params = Balanced(')');
        Expect(';');
        for (const std::string& raw : SplitParams(params))
            m.params.push_back(ReadParam(raw));
        return m;
    }

    static std::vector<std::string> SplitParams(const std::string& text) {
        std::vector<std::string> parts;
        int depth = 0;
        std::string cur;
        for (char c : text) {
            if (c == '[' || c == '(')
                ++depth;
            if (c == ']' || c == ')')
                --depth;
            if (c == ',' && depth == 0) {
                parts.push_back(Trim(cur));
                cur.clear();
            } else {
                cur += c;
            }
        }
        std::string last = Trim(cur);
        if (!last.empty() && last != "void")
            parts.push_back(last);
        return parts;
    }

    IdlParam ReadParam(const std::string& raw) {
        IdlParam p;
        std::string rest = raw;
        if (!rest.empty() && rest.front() == '[') {
            size_t close = rest.find(']');
            if (close == std::string::npos)
                Fail("bad parameter '" + raw + "'");
            std::string list = rest.substr(1, close - 1);
            size_t start = 0;
            for (;;) {
                size_t comma = list.find(',', start);
                std::string a = Trim(list.substr(start, comma - start));
                if (!a.empty())
                    p.attributes.push_back(a);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            rest = Trim(rest.substr(close + 1));
        }
        size_t end = rest.size();
        size_t nameStart = end;
        while (nameStart > 0 && IsIdentChar(rest[nameStart - 1]))
            --nameStart;
        if (nameStart == end || nameStart == 0)
            Fail("parameter without a type or name: '" + raw + "'");
        p.name = rest.substr(nameStart);
        for (char c : rest.substr(0, nameStart))
            if (!std::isspace(static_cast<unsigned char>(c)))
                p.type += c;
        return p;
    }

    void ReadLibrary(const Attributes& attrs) {
        lib_->name = Ident();
        const std::string* uuid = FindAttribute(attrs, "uuid");
        if (!uuid)
            Fail("library without uuid");
        lib_->libid = ParseUuid(*uuid);
        if (const std::string* v = FindAttribute(attrs, "version")) {
            unsigned major = 0, minor = 0;
            if (std::sscanf(v->c_str(), "%u.%u", &major, &minor) < 1)
                Fail("bad version");
            lib_->majorVersion = static_cast<WORD>(major);
            lib_->minorVersion = static_cast<WORD>(minor);
        }
        if (const std::string* l = FindAttribute(attrs, "lcid"))
            lib_->lcid = static_cast<LCID>(std::strtoul(l->c_str(), nullptr, 0));
        if (const std::string* h = FindAttribute(attrs, "helpstring"))
            lib_->helpString = Unquote(*h);
        Expect('{');
        for (;;) {
            Skip();
            if (Accept('}'))
                break;
            if (AtEnd())
                Fail("library block is not closed");
            ReadDeclaration(/*inLibrary=*/true);
        }
        Accept(';');
    }

    void ReadCoclass(const Attributes& attrs) {
        IdlCoclass cls;
        cls.name = Ident();
        const std::string* uuid = FindAttribute(attrs, "uuid");
        if (!uuid)
            Fail("coclass " + cls.name + " has no uuid");
        cls.clsid = ParseUuid(*uuid);
        if (const std::string* h = FindAttribute(attrs, "helpstring"))
            cls.helpString = Unquote(*h);
        Expect('{');
        while (!Accept('}')) {
            Attributes a = ReadAttributes();
            std::string kw = Ident();
            if (kw != "interface" && kw != "dispinterface")
                Fail("expected an interface");
            std::string name = Ident();
            Expect(';');
            if (FindAttribute(a, "default"))
                cls.defaultInterface = name;
            cls.interfaces.push_back(name);
            MentionInLibrary(name);
        }
        Accept(';');
        lib_->coclasses.push_back(std::move(cls));
    }

    std::string_view text_;
    size_t pos_ = 0;
    TypeLibDescription* lib_ = nullptr;
};

#ifndef _WIN32
bool SameName(std::string_view a, std::string_view b) {
    return !registry::CaseLess{}(a, b) && !registry::CaseLess{}(b, a);
}

std::string InterfaceKey(const GUID& iid) {
    return "HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(iid);
}
std::string LibraryKey(const GUID& libid) {
    return "HKEY_CLASSES_ROOT\\TypeLib\\" + GuidToString(libid);
}

#endif  // _WIN32

}  // namespace

const IdlInterface* TypeLibDescription::FindInterface(std::string_view n) const {
    for (const auto& i : interfaces)
        if (i.name == n)
            return &i;
    return nullptr;
}

std::string TypeLibDescription::VersionText() const {
    return std::to_string(majorVersion) + "." + std::to_string(minorVersion);
}

bool ParseIdl(std::string_view text, TypeLibDescription* out, std::string* error) {
    TypeLibDescription lib;
    try {
        const std::string plain = StripComments(text);
        IdlReader(plain).Read(&lib);
        for (const auto& name : lib.libraryInterfaces)
            if (!lib.FindInterface(name))
                throw IdlError{"interface " + name + " is not defined"};
    } catch (const IdlError& e) {
        if (error)
            *error = e.text;
        return false;
    }
    *out = std::move(lib);
    return true;
}

#ifndef _WIN32
// On Windows the module carries the compiled type library, which the system
// reads and registers (frame/win32/TypeLibRegistration.cpp).
HRESULT LoadModuleTypeLib(TypeLibDescription* out) {
    auto text = FindModuleResource(kResourceTypeTypeLib, kTypeLibResource);
    if (!text)
        return TYPE_E_CANTLOADLIBRARY;
    return ParseIdl(*text, out) ? S_OK : TYPE_E_CANTLOADLIBRARY;
}
#endif  // _WIN32

std::string HelpDirectoryOf(std::string_view path) {
    size_t cut = path.find_last_of("\\/:");
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

std::string TypeLibPlatformKey(const TypeLibDescription& lib) {
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(lib.lcid));
    const char* platform = "win32";
    switch (lib.syskind) {
        case SYS_WIN16:
            platform = "win16";
            break;
        case SYS_WIN32:
            platform = "win32";
            break;
        case SYS_MAC:
            platform = "mac";
            break;
        case SYS_WIN64:
            platform = "win64";
            break;
    }
    return std::string(lcid) + "\\" + platform;
}

#ifndef _WIN32
HRESULT RegisterTypeLibrary(const TypeLibDescription& lib, const std::string& path,
                            const std::string& helpDir) {
    const std::string libid = GuidToString(lib.libid);
    const std::string version = lib.VersionText();
    return registry::Update([&](registry::Key& root) {
        registry::Key& ver = root.Create(LibraryKey(lib.libid) + "\\" + version);
        ver.SetString("", lib.helpString);
        ver.Create(TypeLibPlatformKey(lib)).SetString("", path);
        ver.Create("FLAGS").SetString("", "0");
        ver.Create("HELPDIR").SetString("", helpDir);
        for (const std::string& name : lib.libraryInterfaces) {
            const IdlInterface* itf = lib.FindInterface(name);
            registry::Key& key = root.Create(InterfaceKey(itf->iid));
            key.SetString("", itf->name);
            key.Create("ProxyStubClsid").SetString("", kTypeLibMarshaler);
            key.Create("ProxyStubClsid32").SetString("", kTypeLibMarshaler);
            registry::Key& tl = key.Create("TypeLib");
            tl.SetString("", libid);
            tl.SetString("Version", version);
        }
        return S_OK;
    });
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& lib) {
    const std::string libid = GuidToString(lib.libid);
    const std::string versionPath = LibraryKey(lib.libid) + "\\" + lib.VersionText();
    return registry::Update([&](registry::Key& root) -> HRESULT {
        registry::Key* ver = root.Find(versionPath);
        if (!ver || !ver->Find(TypeLibPlatformKey(lib)))
            return TYPE_E_LIBNOTREGISTERED;

        // Interface keys another library has taken over since are left alone.
        for (const std::string& name : lib.libraryInterfaces) {
            const IdlInterface* itf = lib.FindInterface(name);
            const std::string key = InterfaceKey(itf->iid);
            const registry::Key* tl = root.Find(key + "\\TypeLib");
            const registry::Value* owner = tl ? tl->GetValue("") : nullptr;
            if (owner && owner->type == registry::ValueType::String) {
                GUID g{};
                if (ParseGuid(owner->text, &g) && IsEqualGUID(g, lib.libid))
                    root.Remove(key);
            }
        }

        char lcid[16];
        std::snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(lib.lcid));
        ver->Remove(TypeLibPlatformKey(lib));
        if (registry::Key* locale = ver->Find(lcid); locale && locale->Empty())
            ver->Remove(lcid);

        // The version stays while another locale of it is registered.
        bool otherLocales = false;
        for (const auto& entry : ver->Subkeys())
            if (!SameName(entry.first, "FLAGS") && !SameName(entry.first, "HELPDIR"))
                otherLocales = true;
        if (!otherLocales) {
            root.Remove(versionPath);
            if (registry::Key* l = root.Find(LibraryKey(lib.libid)); l && l->Empty())
                root.Remove(LibraryKey(lib.libid));
        }
        return S_OK;
    });
}
#endif  // _WIN32

}  // namespace tarvik::frame
