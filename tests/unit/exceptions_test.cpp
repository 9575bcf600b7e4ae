#include <gtest/gtest.h>

#include "libapdu/token/failure.h"
#include "thrown.h"

using libapdu::CAPDUException;
using libapdu::IException;

TEST(Exceptions, ApduExceptionCarriesTheStatusWordInBothFormsAndItsSource) {
    try {
        libapdu::ThrowAPDUException(0x6982, u"IAppPin::Verify", 42);
        FAIL() << "nothing thrown";
    } catch (const CAPDUException& e) {
        EXPECT_EQ(e.StatusWord(), 0x6982);
        EXPECT_EQ(e.Code(), 0x00006982u);
        EXPECT_STREQ(e.File(), "IAppPin::Verify");
        EXPECT_EQ(e.Line(), 42);
    }
}

TEST(Exceptions, ApduExceptionIsCaughtAsEitherBase) {
    EXPECT_THROW(libapdu::ThrowAPDUException(0xFACE, u"x", 1), IException);
    EXPECT_EQ(ThrownCode([] { libapdu::ThrowAPDUException(0xFACE, u"x", 1); }), 0xFACEu);
}

TEST(Exceptions, ThrownStatusCodeIsTheWindowsCodeAsASigned32BitInteger) {
    EXPECT_EQ(ThrownStatus([] { ThrowStatus(SCARD_E_UNKNOWN_CARD); }), static_cast<StatusCode>(0x8010000Du));
    EXPECT_LT(ThrownStatus([] { ThrowStatus(SCARD_E_UNKNOWN_CARD); }).value_or(0), 0);
}
