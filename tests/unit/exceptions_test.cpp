#include <gtest/gtest.h>

#include "libapdu/token/failure.h"

using libapdu::CAPDUException;
using libapdu::IException;

TEST(Exceptions, ApduExceptionCarriesTheStatusWordInBothForms) {
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
    try {
        libapdu::ThrowAPDUException(0xFACE, u"x", 1);
    } catch (const CAException& e) {
        EXPECT_EQ(e.Code(), 0xFACEu);
    }
}

TEST(Exceptions, CopyKeepsTheCode) {
    const CAException original(SCARD_W_RESET_CARD, "file.cpp", "Dec  5 2026", 7);
    const CAException copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.Code(), 0x80100068u);
}

TEST(Exceptions, ThrownStatusCodeIsASigned32BitInteger) {
    try {
        ThrowStatus(SCARD_E_UNKNOWN_CARD);
    } catch (StatusCode code) {
        EXPECT_EQ(static_cast<DWORD>(code), 0x8010000Du);
    }
}
