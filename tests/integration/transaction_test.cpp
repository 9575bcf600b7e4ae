#include <gtest/gtest.h>

#include <stdexcept>

#include "channel/transaction.h"
#include "module_over_sim.h"
#include "thrown.h"

TEST(TransactionGuard, FailureToBeginIsUnexpectedAndSendsNothing) {
    moduletest::ModuleCard m;
    m.Commands();
    helixsim::Readers::Instance().ResetCard(moduletest::kReader);  // the handle now sees SCARD_W_RESET_CARD
    EXPECT_EQ(ThrownStatus([&] { CTransactionGuard guard(m.Card()); }),
              static_cast<StatusCode>(SCARD_E_UNEXPECTED));
    EXPECT_TRUE(m.Commands().empty());
}

TEST(TransactionGuard, IsEndedWhenTheWorkInsideFails) {
    moduletest::ModuleCard m;
    try {
        CTransactionGuard guard(m.Card());
        throw std::runtime_error("card work failed");
    } catch (const std::runtime_error&) {
    }
    // Ended with leave-card: another connection can take the card at once.
    const SCARDHANDLE card = m.Connect();
    helixsim::Readers::Instance().SetWaitLimit(std::chrono::milliseconds(200));
    EXPECT_EQ(pcsc::BeginTransaction(card), SCARD_S_SUCCESS);
    EXPECT_EQ(pcsc::EndTransaction(card, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    EXPECT_EQ(helixsim::Readers::Instance().BlockedCalls(), 0u);
}
