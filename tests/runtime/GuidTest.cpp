#include <gtest/gtest.h>

#include "tarvik/com.h"

namespace {

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

}  // namespace
