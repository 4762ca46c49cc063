// The type-library description carried by the library (resources/tarvik.idl)
// and the C++ declarations hosts compile against (include/tarvik/interfaces.h)
// must describe the same contract: the same interfaces with the same
// identifiers, bases, operations in the same slots and the same parameters.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "Platform.h"
#include "frame/Module.h"
#include "frame/TypeLib.h"
#include "tarvik/interfaces.h"

using namespace tarvik;
using frame::TypeLibDescription;

namespace {

struct CppMethod {
    std::string name;
    std::vector<std::string> paramTypes;
};
struct CppInterface {
    std::string base;
    std::vector<CppMethod> methods;
};

std::string Squeeze(const std::string& s) {
    std::string out;
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c)))
            out += c;
    return out;
}

// "LONG* lpLastError" -> "LONG*"
std::string TypeOf(std::string param) {
    param = std::regex_replace(param, std::regex(R"(^\s+|\s+$)"), "");
    std::smatch m;
    if (!std::regex_match(param, m, std::regex(R"(([\s\S]*?)\b(\w+)$)")))
        return param;
    return Squeeze(m[1]);
}

std::map<std::string, CppInterface> ReadHeader() {
    // Not __FILE__: a compiler cache may make it relative to the build.
    const auto path = std::filesystem::path(TARVIK_SOURCE_DIR) / "include/tarvik/interfaces.h";
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();

    std::map<std::string, CppInterface> result;
    std::regex structRe(R"(struct\s+(\w+)\s*:\s*(\w+)\s*\{([\s\S]*?)\n\};)");
    // A method without COM's calling convention is not counted: on 32-bit
    // Windows it could not be called through the interface.
    std::regex methodRe(
        R"(virtual\s+HRESULT\s+STDMETHODCALLTYPE\s+(\w+)\s*\(([^)]*)\)\s*=\s*0\s*;)");
    for (std::sregex_iterator it(text.begin(), text.end(), structRe), end; it != end; ++it) {
        CppInterface itf;
        itf.base = (*it)[2];
        const std::string body = (*it)[3];
        for (std::sregex_iterator m(body.begin(), body.end(), methodRe); m != end; ++m) {
            CppMethod method;
            method.name = (*m)[1];
            std::string params = (*m)[2];
            std::stringstream ps(params);
            std::string p;
            while (std::getline(ps, p, ','))
                if (!Squeeze(p).empty())
                    method.paramTypes.push_back(TypeOf(p));
            itf.methods.push_back(std::move(method));
        }
        result[(*it)[1]] = std::move(itf);
    }
    return result;
}

// IDL parameter types as the C++ header spells them.
std::string CppTypeOf(const std::string& idlType) {
    std::string t = std::regex_replace(idlType, std::regex(R"(\blong\b)"), "LONG");
    return std::regex_replace(t, std::regex(R"(\bshort\b)"), "SHORT");
}

TypeLibDescription ModuleTypeLib() {
    TypeLibDescription lib;
    EXPECT_EQ(frame::LoadModuleTypeLib(&lib), S_OK);
    return lib;
}

const std::map<std::string, const IID*> kIids = {
    {"ICommonData", &IID_ICommonData},
    {"IModemSessionCallback", &IID_IModemSessionCallback},
    {"IModemSession", &IID_IModemSession},
    {"IModemSessionPrivate", &IID_IModemSessionPrivate},
    {"IModemLineCallback", &IID_IModemLineCallback},
    {"IPassThroughCallback", &IID_IPassThroughCallback},
    {"IModemLine", &IID_IModemLine},
    {"IModemLinePrivate", &IID_IModemLinePrivate},
};

}  // namespace

// The module's IDL text, as the Linux module reads it; the Windows module
// carries widl's compiled library of the same text, which the system reads.
TEST(Contract, LINUX_ONLY(EveryInterfaceOfTheTypeLibraryMatchesTheHeader)) {
    const TypeLibDescription lib = ModuleTypeLib();
    EXPECT_TRUE(IsEqualGUID(lib.libid, LIBID_TARVIKLib));
    EXPECT_EQ(frame::LoadModuleString(frame::kProjectNameString), "Tarvik");
    EXPECT_EQ(frame::LoadModuleString(12345), "");
    const auto header = ReadHeader();
    ASSERT_EQ(lib.interfaces.size(), kIids.size());
    for (const auto& itf : lib.interfaces) {
        SCOPED_TRACE(itf.name);
        ASSERT_TRUE(kIids.count(itf.name));
        EXPECT_EQ(GuidToString(itf.iid), GuidToString(*kIids.at(itf.name)));
        ASSERT_TRUE(header.count(itf.name));
        const CppInterface& cpp = header.at(itf.name);
        EXPECT_EQ(itf.base, cpp.base);
        ASSERT_EQ(itf.methods.size(), cpp.methods.size());
        for (size_t slot = 0; slot < itf.methods.size(); ++slot) {
            const auto& idl = itf.methods[slot];
            const auto& c = cpp.methods[slot];
            SCOPED_TRACE("slot " + std::to_string(slot) + " " + idl.name);
            EXPECT_EQ(idl.name, c.name);
            ASSERT_EQ(idl.params.size(), c.paramTypes.size());
            for (size_t p = 0; p < idl.params.size(); ++p)
                EXPECT_EQ(CppTypeOf(idl.params[p].type), c.paramTypes[p]) << idl.params[p].name;
        }
    }
}

TEST(Contract, TheIdlReaderRefusesBrokenDescriptions) {
    TypeLibDescription lib;
    std::string error;
    EXPECT_FALSE(frame::ParseIdl("interface I : IUnknown { HRESULT F(); };", &lib, &error));
    EXPECT_NE(error.find("uuid"), std::string::npos) << error;
    EXPECT_FALSE(frame::ParseIdl("[uuid(1-2)] library L { };", &lib, &error));
    EXPECT_FALSE(frame::ParseIdl(
        "[uuid(05D5F4F6-4D7B-42D5-827A-100051C4CF95)] library L { interface Missing; };", &lib,
        &error));
    EXPECT_NE(error.find("Missing"), std::string::npos) << error;
    EXPECT_FALSE(frame::ParseIdl("/* never closed", &lib, &error));
    EXPECT_FALSE(frame::ParseIdl("", &lib, &error));

    // Properties get their C++ prefixes; comments and attributes are skipped.
    ASSERT_TRUE(frame::ParseIdl(R"(
        [object, uuid(8F4215F8-6F8C-11D5-8D92-00C04F72C030)] // a comment
        interface IX : IUnknown {
            [propget, id(1)] HRESULT Value([out, retval] long* p);
            [propput, id(1)] HRESULT Value([in] long v);
            HRESULT Do([in] BSTR s, [in, out] VARIANT *v /* by reference */);
        };
        [uuid(05D5F4F6-4D7B-42D5-827A-100051C4CF95), version(2.5), lcid(0)] library L { interface IX; };
    )",
                                &lib, &error))
        << error;
    ASSERT_EQ(lib.interfaces.size(), 1u);
    const auto& m = lib.interfaces[0].methods;
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].name, "get_Value");
    EXPECT_EQ(m[1].name, "put_Value");
    EXPECT_EQ(m[2].name, "Do");
    ASSERT_EQ(m[2].params.size(), 2u);
    EXPECT_EQ(m[2].params[1].type, "VARIANT*");
    EXPECT_EQ(m[2].params[1].attributes, (std::vector<std::string>{"in", "out"}));
    EXPECT_EQ(lib.VersionText(), "2.5");
}
