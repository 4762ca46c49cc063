// Two lines on two simulated modems joined by an exchange: one dials the
// other, which is offered the call with the caller's number, answers, and the
// two hosts talk over their port handles until one side hangs up.
#include <gtest/gtest.h>

#include "line/HostHandle.h"
#include "line/LineTestKit.h"
#include "modemsim/Exchange.h"

namespace tarvik::test {
namespace {

TEST(IncomingExchange, OneLineCallsTheOtherTheyTalkAndOneHangsUp) {
    modemsim::Exchange exchange;
    // Both lines report to the callee's recorder, the only one registered:
    // Windows keeps the first registration of a class, Linux the last.
    LineHarness caller;
    caller.reporter.Revoke();
    LineHarness callee;
    ASSERT_TRUE(caller.Start());
    ASSERT_TRUE(callee.Start());
    ASSERT_TRUE(caller.modem.JoinExchange(exchange, "1001"));
    ASSERT_TRUE(callee.modem.JoinExchange(exchange, "2002"));
    ASSERT_EQ(caller.Open(), S_OK);
    ASSERT_EQ(callee.Open({{u"CallerIDEnabled", LONG{1}}, {u"NumRingsAnswer", LONG{3}}}), S_OK);

    auto call = Bag({{u"PhoneNumber", u"2002"}});
    ASSERT_EQ(caller.line->MakeCall(call.Get()), S_OK);
    ASSERT_TRUE(callee.host->WaitFor(HostEvent::Offering));
    auto cid = callee.reporter.WaitForCode(1000, 5s);
    ASSERT_TRUE(cid);
    EXPECT_NE(cid->data.find("CALR = 1001;"), std::string::npos) << cid->data;
    ASSERT_EQ(callee.line->AnswerCall(1), S_OK);

    auto answered = callee.host->WaitFor(HostEvent::Connected);
    auto dialled = caller.host->WaitFor(HostEvent::Connected);
    ASSERT_TRUE(answered && dialled);
    EXPECT_EQ(answered->a, 1);
    EXPECT_EQ(dialled->a, 0);
    const LONG calleePort = answered->b;
    const LONG callerPort = dialled->b;

    ASSERT_TRUE(HostPortWrite(callerPort, "hello from the caller\n"));
    EXPECT_NE(HostPortReadUntil(calleePort, "hello from the caller\n", 5s)
                  .find("hello from the caller\n"),
              std::string::npos);
    ASSERT_TRUE(HostPortWrite(calleePort, "and back\n"));
    EXPECT_NE(HostPortReadUntil(callerPort, "and back\n", 5s).find("and back\n"),
              std::string::npos);

    // The caller hangs up after the modem's escape guard time of silence.
    caller.KeepQuiet();
    ASSERT_EQ(caller.line->DropCall(), S_OK);
    EXPECT_EQ(caller.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_NORMAL);

    // The callee's host sees the carrier go in its data and ends its use of
    // the port; the line reports the lost carrier and tells the session.
    EXPECT_NE(HostPortReadUntil(calleePort, "NO CARRIER", 5s).find("NO CARRIER"),
              std::string::npos);
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    EXPECT_EQ(callee.host->WaitForValue(HostEvent::Disconnected), DISCONNECT_CARRIER_LOST);
    EXPECT_TRUE(callee.session->WaitForMessage());
    EXPECT_TRUE(callee.WaitForState(MODEM_IDLE));
    EXPECT_TRUE(caller.WaitForState(MODEM_IDLE));
}

}  // namespace
}  // namespace tarvik::test
