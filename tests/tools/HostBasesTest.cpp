// What tarvik/host.h gives hosts beyond the contract: the caller-ID report's
// fields, and a bag made and filled in one call.
#include <gtest/gtest.h>

#include "tarvik/host.h"

namespace {

TEST(HostBases, CallerIdFieldsComeFromTheReportText) {
    struct Case {
        const char* text;
        tarvik::CallerId expected;
    } cases[] = {
        {"DATE = 1206;TIME = 0902;CALR = 5551212;NAME = ALICE REMOTE;",
         {"1206", "0902", "5551212", "ALICE REMOTE"}},
        {"NMBR=5551212;DATE=1206", {"1206", "", "5551212", ""}},
        // The line keeps earlier calls' fields: the last of each counts.
        {"CALR = 111;NAME = OLD;DATE = 0101;CALR = 222;", {"0101", "", "222", "OLD"}},
        {"no fields;=;MESG = 1", {}},
    };
    for (const Case& c : cases) {
        const tarvik::CallerId id = tarvik::ParseCallerId(c.text);
        EXPECT_EQ(std::tie(id.date, id.time, id.number, id.name),
                  std::tie(c.expected.date, c.expected.time, c.expected.number, c.expected.name))
            << c.text;
    }
}

}  // namespace
