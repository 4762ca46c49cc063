// tarvik demo from start to end: calls out, then calls in with caller ID, one
// answered and one refused, every callback in the order a call lives.
#include <gtest/gtest.h>

#include "process/ToolProcess.h"

namespace {

TEST(DemoCommand, ShowsCallsOutAndIn) {
    tarvik::test::ToolProcess tool({tarvik::test::ToolPath("tarvik"), "demo"});
    ASSERT_EQ(tool.Finish(), 0) << tool.Out() << tool.Err();
    const std::string& out = tool.Out();
    for (const char* expected :
         {"OpenLine returned S_OK", "CallConnected(bIncoming=0", "Hello, remote side!",
          "DropCall returned S_OK", "CallDisconnected(lCause=2223", "CallDisconnected(lCause=2221",
          "CloseLine() returned S_OK", "Shutdown() returned S_OK", "CallOffering()",
          "event reporter: 1000", "CALR = 5551212", "NAME = ALICE REMOTE",
          "CallConnected(bIncoming=1", "Hello, this is the caller.",
          "Hello, caller! The host here.", "NAME = BOB UNWANTED", "AnswerCall(0) returned S_OK"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    // The outgoing calls come first; each incoming call is offered before the
    // host answers or refuses it, and only the answered one connects.
    const size_t firstOffer = out.find("CallOffering()");
    const size_t secondOffer = out.find("CallOffering()", firstOffer + 1);
    ASSERT_NE(secondOffer, std::string::npos) << out;
    EXPECT_LT(out.find("CallConnected"), out.find("DropCall()"));
    EXPECT_LT(out.find("lCause=2223"), out.find("lCause=2221"));
    EXPECT_LT(out.find("lCause=2221"), firstOffer);
    EXPECT_LT(firstOffer, out.find("AnswerCall(1)"));
    EXPECT_LT(out.find("AnswerCall(1)"), out.find("CallConnected(bIncoming=1"));
    EXPECT_LT(out.find("CallConnected(bIncoming=1"), secondOffer);
    EXPECT_LT(secondOffer, out.find("AnswerCall(0)"));
    EXPECT_EQ(out.find("CallConnected(bIncoming=1", secondOffer), std::string::npos) << out;
}

}  // namespace
