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
    create->SetSource(const_cast<LPOLESTR>(u"Tarvik.ModemLine"));
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(create.As(&info, IID_IErrorInfo), S_OK);
    return info;
}

TEST(ErrorInfo, OneObjectTwoFaces) {
    ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(CreateErrorInfo(create.Put()), S_OK);
    const GUID g = IID_IClassFactory;
    create->SetGUID(g);
    create->SetHelpContext(7);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(create.As(&info, IID_IErrorInfo), S_OK);
    GUID got;
    DWORD context = 0;
    EXPECT_EQ(info->GetGUID(&got), S_OK);
    EXPECT_EQ(got, g);
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 7u);
    // Texts never set read as empty strings, not null.
    Bstr help;
    EXPECT_EQ(info->GetHelpFile(help.Put()), S_OK);
    EXPECT_NE(help.Get(), nullptr);
    EXPECT_TRUE(help.Empty());
    ComPtr<IUnknown> a, b;
    create.As(&a, IID_IUnknown);
    info.As(&b, IID_IUnknown);
    EXPECT_EQ(a.Get(), b.Get());  // COM identity
}

TEST(ErrorInfo, GetHandsOverAndClears) {
    IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    EXPECT_EQ(none, nullptr);

    ASSERT_EQ(SetErrorInfo(0, MakeError(u"first").Get()), S_OK);
    ASSERT_EQ(SetErrorInfo(0, MakeError(u"second").Get()), S_OK);  // replaces
    ComPtr<IErrorInfo> got;
    ASSERT_EQ(GetErrorInfo(0, got.Put()), S_OK);
    Bstr text;
    got->GetDescription(text.Put());
    EXPECT_EQ(text.View(), u"second");
    EXPECT_EQ(GetErrorInfo(0, got.Put()), S_FALSE);

    SetErrorInfo(0, MakeError(u"dropped").Get());
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(GetErrorInfo(0, got.Put()), S_FALSE);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
}

TEST(ErrorInfo, EachThreadHasItsOwn) {
    SetErrorInfo(0, MakeError(u"main").Get());
    HRESULT otherThread = E_FAIL;
    std::thread t([&] {
        ComPtr<IErrorInfo> got;
        otherThread = GetErrorInfo(0, got.Put());
        // Left behind on purpose: ending the thread must release it.
        SetErrorInfo(0, MakeError(u"worker").Get());
    });
    t.join();
    EXPECT_EQ(otherThread, S_FALSE);
    ComPtr<IErrorInfo> got;
    ASSERT_EQ(GetErrorInfo(0, got.Put()), S_OK);
    Bstr text;
    got->GetDescription(text.Put());
    EXPECT_EQ(text.View(), u"main");
}

}  // namespace
