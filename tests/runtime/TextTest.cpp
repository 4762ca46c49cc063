// Text in every form the runtime passes around: UTF-8 and UTF-16, the ANSI
// code page of the thread's locale, GUIDs as text, and BSTRs.
#include <gtest/gtest.h>
#include <locale.h>

#include <cstring>
#include <thread>

#include "tarvik/comptr.h"
#include "tarvik/text.h"

namespace {

TEST(Text, Utf8RoundTripAndIllFormedInputBecomesReplacementCharacters) {
    const std::u16string wide = u"Grüße € \U0001F4DE ok";
    std::string utf8 = tarvik::Utf16ToUtf8(wide);
    EXPECT_EQ(utf8, "Gr\303\274\303\237e \342\202\254 \360\237\223\236 ok");
    EXPECT_EQ(tarvik::Utf8ToUtf16(utf8), wide);
    // A lone surrogate in UTF-16; in UTF-8 a stray continuation byte, a
    // cut-short sequence, an overlong form and an encoded surrogate.
    EXPECT_EQ(tarvik::Utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b"),
              "a\357\277\275b");
    for (auto [in, out] : {std::pair{"a\200b", u"a\uFFFDb"},
                           {"a\342\202b", u"a\uFFFDb"},
                           {"\300\257", u"\uFFFD\uFFFD"},
                           {"\355\240\200", u"\uFFFD"}})
        EXPECT_EQ(tarvik::Utf8ToUtf16(in), out) << in;
}

#ifndef _WIN32  // Windows converts in the process's ANSI code page, not a thread's
TEST(Text, AnsiFollowsTheThreadsLocaleWhileOthersConvertInTheirs) {
    // Both locales are made before and freed after the other thread: glibc's
    // freelocale is not safe while other threads load locale data.
    locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
    locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    if (!utf8 || !c)
        GTEST_SKIP() << "no C.UTF-8 or C locale";
    uselocale(utf8);
    std::thread other([c] {
        uselocale(c);
        EXPECT_EQ(tarvik::ToAnsi(u"ATDT 555-1234"), "ATDT 555-1234");
        // One '?' per character, a surrogate pair included.
        EXPECT_EQ(tarvik::ToAnsi(u"caf\u00E9 \U0001F4DE!"), "caf? ?!");
        EXPECT_EQ(tarvik::FromAnsi("caf\xE9"), u"caf\uFFFD");
        EXPECT_EQ(tarvik::ToAnsi(static_cast<const OLECHAR*>(nullptr)), "");
        EXPECT_EQ(tarvik::BstrToAnsi(nullptr), "");
        // A BSTR converts with its stored length, embedded zeros included.
        const OLECHAR raw[] = {u'a', 0, u'b'};
        EXPECT_EQ(tarvik::Bstr(std::u16string_view(raw, 3)).Ansi(), std::string("a\0b", 3));
        uselocale(LC_GLOBAL_LOCALE);
    });
    EXPECT_EQ(tarvik::ToAnsi(u"caf\u00E9"), "caf\303\251");
    EXPECT_EQ(tarvik::FromAnsi("caf\303\251"), u"caf\u00E9");
    tarvik::Bstr b = tarvik::Bstr::FromAnsi("\342\202\2545");
    EXPECT_EQ(b.View(), u"\u20AC5");
    EXPECT_EQ(b.Ansi(), "\342\202\2545");
    other.join();
    uselocale(LC_GLOBAL_LOCALE);
    freelocale(utf8);
    freelocale(c);
}

#endif

constexpr GUID kSample = {
    0xE1B3E09D, 0x66D2, 0x11D5, {0x8D, 0x1B, 0x00, 0xC0, 0x4F, 0x79, 0xF7, 0xC5}};

TEST(Guid, TextRoundTripMalformedTextAndWideFunctions) {
    EXPECT_EQ(tarvik::GuidToString(kSample), "{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}");
    GUID g;
    ASSERT_TRUE(tarvik::ParseGuid("{e1b3e09d-66d2-11d5-8d1b-00c04f79f7c5}", &g));
    EXPECT_EQ(g, kSample);
    for (const char* bad :
         {"", "E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5", "{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5",
          "{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}x", "{E1B3E09D+66D2-11D5-8D1B-00C04F79F7C5}",
          "{G1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}", "{E1B3E09D-66D2-11D5-8D1B00-C04F79F7C5}"}) {
        EXPECT_FALSE(tarvik::ParseGuid(bad, &g)) << bad;
    }
    EXPECT_EQ(g, kSample);  // untouched by failures

    OLECHAR buf[39];
    EXPECT_EQ(StringFromGUID2(kSample, buf, 38), 0);  // no room for the terminator
    ASSERT_EQ(StringFromGUID2(kSample, buf, 39), 39);
    EXPECT_EQ(std::u16string_view(buf), u"{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}");

    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(kSample, &text), S_OK);
    CLSID back;
    EXPECT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, kSample);
    IID iid;
    EXPECT_EQ(IIDFromString(text, &iid), S_OK);
    EXPECT_EQ(iid, kSample);
    CoTaskMemFree(text);

    EXPECT_EQ(IIDFromString(u"{nonsense}", &iid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromString(u"{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C}", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"No.Such.ProgId", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(back, GUID_NULL);
    EXPECT_EQ(StringFromCLSID(kSample, nullptr), E_POINTER);
}

TEST(Bstr, LengthPrefixTerminatorAndOddByteLengths) {
    // Embedded zeros are part of a counted string.
    const OLECHAR withZero[] = {u'm', 0, u'd'};
    BSTR b = SysAllocStringLen(withZero, 3);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(std::memcmp(b, u"m\0d", 8), 0);
    SysFreeString(b);

    b = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    EXPECT_EQ(std::memcmp(b, "abc\0\0", 5), 0);
    SysFreeString(b);
}

TEST(Bstr, NullsEmptiesAndBlanks) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    // Without source text the characters are zeroed, never stale heap data.
    BSTR blank = SysAllocStringLen(nullptr, 64);
    ASSERT_NE(blank, nullptr);
#ifndef _WIN32  // Windows leaves them uninitialised
    EXPECT_EQ(std::u16string_view(blank, 65), std::u16string(65, u'\0'));
#endif
    SysFreeString(blank);
}

TEST(Bstr, ReallocFromItsOwnTextAndHolderCopiesOwnTheirText) {
    BSTR b = SysAllocString(u"ATDT5551234");
    // The new text lies inside the old string, which the call frees.
    ASSERT_TRUE(SysReAllocString(&b, b + 4));
    EXPECT_EQ(std::u16string_view(b, SysStringLen(b)), u"5551234");
    ASSERT_TRUE(SysReAllocString(&b, nullptr));
#ifndef _WIN32  // the stand-in's choice: Wine frees the string and leaves null
    ASSERT_NE(b, nullptr);
#endif
    EXPECT_EQ(SysStringLen(b), 0u);
    SysFreeString(b);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));

    tarvik::Bstr one(u"COM1");
    tarvik::Bstr copy = one;
    EXPECT_NE(one.Get(), copy.Get());
    *one.Put() = SysAllocString(u"COM2");
    EXPECT_EQ(copy.View(), u"COM1");
    EXPECT_EQ(one.Ansi(), "COM2");
}

}  // namespace
