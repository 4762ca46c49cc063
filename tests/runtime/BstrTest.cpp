#include <gtest/gtest.h>

#include <cstring>

#include "tarvik/comptr.h"

namespace {

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
