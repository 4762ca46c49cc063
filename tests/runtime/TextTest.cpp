// Text in every form the runtime passes around: UTF-8 and UTF-16, the ANSI
// code page of the thread's locale, GUIDs as text, and BSTRs.
#include <gtest/gtest.h>
#include <locale.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tarvik/comptr.h"
#include "tarvik/text.h"

namespace {

// Runs the body with the calling thread in the given locale.
class ThreadLocale {
  public:
    explicit ThreadLocale(const char* name) : loc_(newlocale(LC_ALL_MASK, name, nullptr)) {
        if (loc_)
            old_ = uselocale(loc_);
    }
    ~ThreadLocale() {
        if (loc_) {
            uselocale(old_);
            freelocale(loc_);
        }
    }
    bool Ok() const { return loc_ != nullptr; }

  private:
    locale_t loc_;
    locale_t old_ = nullptr;
};

TEST(Text, Utf8RoundTrip) {
    const std::u16string wide = u"Grüße € \U0001F4DE ok";
    std::string utf8 = tarvik::Utf16ToUtf8(wide);
    EXPECT_EQ(utf8,
              "Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x82\xAC \xF0\x9F\x93\x9E ok");
    EXPECT_EQ(tarvik::Utf8ToUtf16(utf8), wide);
}

TEST(Text, IllFormedInputBecomesReplacementCharacters) {
    // A lone surrogate in UTF-16, a stray continuation byte, a cut-short
    // sequence, an overlong form and an encoded surrogate in UTF-8.
    EXPECT_EQ(tarvik::Utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(tarvik::Utf8ToUtf16("a\x80"
                                  "b"),
              u"a\uFFFDb");
    EXPECT_EQ(tarvik::Utf8ToUtf16("a\xE2\x82"
                                  "b"),
              u"a\uFFFDb");
    EXPECT_EQ(tarvik::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(tarvik::Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");
}

TEST(Text, AnsiInTheCLocale) {
    ThreadLocale c("C");
    ASSERT_TRUE(c.Ok());
    EXPECT_EQ(tarvik::ToAnsi(u"ATDT 555-1234"), "ATDT 555-1234");
    // One '?' per character, a surrogate pair included.
    EXPECT_EQ(tarvik::ToAnsi(u"caf\u00E9 \U0001F4DE!"), "caf? ?!");
    EXPECT_EQ(tarvik::FromAnsi("caf\xE9"), u"caf\uFFFD");
    EXPECT_EQ(tarvik::ToAnsi(static_cast<const OLECHAR*>(nullptr)), "");
    EXPECT_EQ(tarvik::BstrToAnsi(nullptr), "");
}

TEST(Text, AnsiInAUtf8Locale) {
    ThreadLocale utf8("C.UTF-8");
    if (!utf8.Ok())
        GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(tarvik::ToAnsi(u"caf\u00E9"), "caf\xC3\xA9");
    EXPECT_EQ(tarvik::FromAnsi("caf\xC3\xA9"), u"caf\u00E9");
    tarvik::Bstr b = tarvik::Bstr::FromAnsi(
        "\xE2\x82\xAC"
        "5");
    EXPECT_EQ(b.View(), u"\u20AC5");
    EXPECT_EQ(b.Ansi(),
              "\xE2\x82\xAC"
              "5");
}

TEST(Text, BstrUsesItsStoredLength) {
    const OLECHAR raw[] = {u'a', 0, u'b'};
    tarvik::Bstr b(std::u16string_view(raw, 3));
    EXPECT_EQ(tarvik::BstrToAnsi(b.Get()), std::string("a\0b", 3));
}

TEST(Text, ConcurrentConversions) {
    // Each thread in its own locale, converting through iconv at the same time.
    // The locale objects outlive the threads: glibc's freelocale is not safe
    // to run while other threads load locale data.
    locale_t locales[2] = {newlocale(LC_ALL_MASK, "C.UTF-8", nullptr),
                           newlocale(LC_ALL_MASK, "C", nullptr)};
    ASSERT_TRUE(locales[0] && locales[1]);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            uselocale(locales[t % 2]);
            const std::string expect = t % 2 ? "n? ?" : "n\xC3\xA9 \xE2\x82\xAC";
            for (int i = 0; i < 2000; ++i)
                if (tarvik::ToAnsi(u"n\u00E9 \u20AC") != expect)
                    ++wrong;
            uselocale(LC_GLOBAL_LOCALE);
        });
    }
    for (auto& th : threads)
        th.join();
    freelocale(locales[0]);
    freelocale(locales[1]);
    EXPECT_EQ(wrong, 0);
}

constexpr GUID kSample = {
    0xE1B3E09D, 0x66D2, 0x11D5, {0x8D, 0x1B, 0x00, 0xC0, 0x4F, 0x79, 0xF7, 0xC5}};

TEST(Guid, TextRoundTrip) {
    EXPECT_EQ(tarvik::GuidToString(kSample), "{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}");
    GUID g;
    ASSERT_TRUE(tarvik::ParseGuid("{e1b3e09d-66d2-11d5-8d1b-00c04f79f7c5}", &g));
    EXPECT_EQ(g, kSample);
    EXPECT_EQ(tarvik::GuidToString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, MalformedTextIsRefused) {
    GUID g = kSample;
    for (const char* bad :
         {"", "E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5", "{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5",
          "{E1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}x", "{E1B3E09D+66D2-11D5-8D1B-00C04F79F7C5}",
          "{G1B3E09D-66D2-11D5-8D1B-00C04F79F7C5}", "{E1B3E09D-66D2-11D5-8D1B00-C04F79F7C5}"}) {
        EXPECT_FALSE(tarvik::ParseGuid(bad, &g)) << bad;
    }
    EXPECT_EQ(g, kSample);  // untouched by failures
}

TEST(Guid, WideFunctions) {
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

TEST(Bstr, LengthPrefixAndTerminator) {
    BSTR b = SysAllocString(u"modem");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(SysStringByteLen(b), 10u);
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
    EXPECT_EQ(prefix, 10u);
    EXPECT_EQ(b[5], 0);
    SysFreeString(b);

    // Embedded zeros are part of a counted string.
    const OLECHAR withZero[] = {u'a', 0, u'b'};
    b = SysAllocStringLen(withZero, 3);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);
}

TEST(Bstr, NullsAndEmpties) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);

    // Without source text the characters are zeroed, never stale heap data.
    BSTR blank = SysAllocStringLen(nullptr, 64);
    ASSERT_NE(blank, nullptr);
    for (UINT i = 0; i <= 64; ++i)
        EXPECT_EQ(blank[i], 0) << i;
    SysFreeString(blank);
}

TEST(Bstr, ByteLengthMayBeOdd) {
    BSTR b = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    EXPECT_EQ(std::memcmp(b, "abc\0\0", 5), 0);
    SysFreeString(b);
}

TEST(Bstr, ReallocFromItsOwnText) {
    BSTR b = SysAllocString(u"ATDT5551234");
    // The new text lies inside the old string, which the call frees.
    ASSERT_TRUE(SysReAllocString(&b, b + 4));
    EXPECT_EQ(std::u16string_view(b, SysStringLen(b)), u"5551234");
    ASSERT_TRUE(SysReAllocString(&b, nullptr));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 0u);
    SysFreeString(b);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

TEST(Bstr, HolderCopiesOwnTheirText) {
    tarvik::Bstr a(u"COM1");
    tarvik::Bstr b = a;
    EXPECT_NE(a.Get(), b.Get());
    EXPECT_EQ(b.View(), u"COM1");
    *a.Put() = SysAllocString(u"COM2");
    EXPECT_EQ(b.View(), u"COM1");
    EXPECT_EQ(a.Ansi(), "COM2");
}

}  // namespace
