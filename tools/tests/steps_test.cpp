#include "mdhost/steps.h"

#include <gtest/gtest.h>

namespace mdhost {
namespace {

// A scenario fails on a wrong status and on a right status whose answer was wrong.
TEST(Steps, AStepThatAnsweredOtherwiseFailsTheScenario) {
    struct Case {
        DWORD status;
        bool agreed;
        bool behaved;
    };
    const Case cases[] = {
        {SCARD_S_SUCCESS, true, true}, {SCARD_W_WRONG_CHV, true, false}, {SCARD_S_SUCCESS, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        StepsReport report;
        report.steps.push_back({"CardDeauthenticate user", SCARD_S_SUCCESS, SCARD_S_SUCCESS, "", true});
        report.steps.push_back({"CardAuthenticatePin user", c.status, SCARD_S_SUCCESS, "", c.agreed});
        EXPECT_EQ(StepsBehaved(report), c.behaved);
        const HostReport host;
        EXPECT_EQ(StepsText(report, host).find("UNEXPECTED") == std::string::npos, c.behaved);
        EXPECT_NE(
            StepsJson(report, host).find(c.behaved ? "\"as_expected\": true" : "\"as_expected\": false"),
            std::string::npos);
    }
}

}  // namespace
}  // namespace mdhost
