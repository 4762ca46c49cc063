#include <gtest/gtest.h>

#include <thread>

#include "tarvik/comptr.h"

using tarvik::Bstr;
using tarvik::ComPtr;

namespace {

ComPtr<IErrorInfo> MakeError(const char16_t* description) {
    ComPtr<ICreateErrorInfo> create;
    EXPECT_EQ(CreateErrorInfo(create.Put()), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetHelpContext(7);
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(create.As(&info, IID_IErrorInfo), S_OK);
    ComPtr<IUnknown> a, b;
    create.As(&a, IID_IUnknown);
    info.As(&b, IID_IUnknown);
    EXPECT_EQ(a.Get(), b.Get());  // COM identity: one object, two faces
    return info;
}

// The description of the calling thread's error, or "none".
std::u16string Taken() {
    ComPtr<IErrorInfo> got;
    if (GetErrorInfo(0, got.Put()) != S_OK)
        return u"none";
    Bstr text;
    got->GetDescription(text.Put());
    return std::u16string(text.View());
}

TEST(ErrorInfo, KeepsWhatWasSetHandsItOverOnceAndEachThreadHasItsOwn) {
    auto info = MakeError(u"first");
    DWORD context = 0;
    Bstr help;  // never set: reads as an empty string, not null
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 7u);
    EXPECT_EQ(info->GetHelpFile(help.Put()), S_OK);
    EXPECT_NE(help.Get(), nullptr);
    EXPECT_TRUE(help.Empty());

    IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
    ASSERT_EQ(SetErrorInfo(0, info.Get()), S_OK);
    ASSERT_EQ(SetErrorInfo(0, MakeError(u"second").Get()), S_OK);  // replaces
    EXPECT_EQ(Taken(), u"second");
    EXPECT_EQ(Taken(), u"none");
    SetErrorInfo(0, MakeError(u"dropped").Get());
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(Taken(), u"none");

    SetErrorInfo(0, MakeError(u"main").Get());
    std::u16string otherThread;
    std::thread([&] {
        otherThread = Taken();
        // Left behind on purpose: ending the thread must release it.
        SetErrorInfo(0, MakeError(u"worker").Get());
    }).join();
    EXPECT_EQ(otherThread, u"none");
    EXPECT_EQ(Taken(), u"main");
}

}  // namespace
