#include <gtest/gtest.h>
#include <locale.h>

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

}  // namespace
