// CardAcquireContext as the host meets it: version negotiation over records of each version's own
// length, the key-injection mode without a card, refusals, and its log lines.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

#include "log_capture.h"
#include "module_over_sim.h"

namespace {

using moduletest::HostRecord;
using moduletest::SimReader;

// Pointer-sized handles, of which a log line shows the low 32 bits.
constexpr SCARDCONTEXT kFakeContext = static_cast<SCARDCONTEXT>(0xAB0000001234ABCDuLL);
constexpr SCARDHANDLE kFakeCard = 0x00C0FFEE;

// Offsets of the pointer-sized words of `after` that differ from `before`, over `length` bytes.
std::set<size_t> ChangedWords(const void* before, const void* after, size_t length) {
    std::set<size_t> changed;
    for (size_t at = 0; at < length; at += sizeof(void*)) {
        if (std::memcmp(static_cast<const char*>(before) + at, static_cast<const char*>(after) + at,
                        sizeof(void*)) != 0)
            changed.insert(at);
    }
    return changed;
}

// Each record is exactly as long as its version (the next version's first slot ends it), followed
// by guard bytes: the module fills every slot of that version but the host's and writes nothing else.
TEST(AcquireContext, FillsOnlyTheSlotsOfTheNegotiatedVersion) {
    const struct {
        DWORD requested, negotiated;
        size_t end;
    } cases[] = {
        {4, 4, offsetof(CARD_DATA, pfnCardDeriveKey)},
        {5, 5, offsetof(CARD_DATA, pfnCardGetChallengeEx)},
        {6, 6, offsetof(CARD_DATA, pfnCspUnpadData)},
        {7, 7, sizeof(CARD_DATA)},
        {8, 7, sizeof(CARD_DATA)},
        {9, 7, sizeof(CARD_DATA)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        SimReader reader;
        const CARD_DATA host = reader.Record(c.requested);
        alignas(CARD_DATA) unsigned char bytes[sizeof(CARD_DATA) + 64];
        std::memset(bytes, 0xA5, sizeof bytes);
        std::memcpy(bytes, &host, c.end);
        unsigned char before[sizeof bytes];
        std::memcpy(before, bytes, sizeof bytes);
        auto* record = reinterpret_cast<CARD_DATA*>(bytes);

        ASSERT_EQ(CardAcquireContext(record, 0), SCARD_S_SUCCESS);
        std::set<size_t> expected{offsetof(CARD_DATA, pvVendorSpecific)};
        if (c.requested != c.negotiated) expected.insert(offsetof(CARD_DATA, dwVersion));
        for (size_t at = offsetof(CARD_DATA, pfnCardDeleteContext); at < c.end; at += sizeof(void*)) {
            if (at != offsetof(CARD_DATA, pvUnused3) && at != offsetof(CARD_DATA, pvUnused4) &&
                at != offsetof(CARD_DATA, pfnCspUnpadData))
                expected.insert(at);
        }
        EXPECT_EQ(ChangedWords(before, bytes, sizeof bytes), expected);
        EXPECT_EQ(record->dwVersion, c.negotiated);
        if (c.requested == 9) {
            CARD_CAPABILITIES caps{0, FALSE, FALSE};
            EXPECT_EQ(record->pfnCardQueryCapabilities(record, &caps), SCARD_S_SUCCESS);
            EXPECT_EQ(caps.dwVersion, 1u);
            EXPECT_TRUE(caps.fCertificateCompression && caps.fKeyGen);
            BYTE index = 0;
            EXPECT_EQ(record->pfnCspGetDHAgreement(record, nullptr, &index, 0), SCARD_E_UNSUPPORTED_FEATURE);
        }
        EXPECT_EQ(record->pfnCardDeleteContext(record), SCARD_S_SUCCESS);
        EXPECT_EQ(record->pvVendorSpecific, nullptr);
        EXPECT_EQ(std::memcmp(bytes + c.end, before + c.end, sizeof bytes - c.end), 0);
    }
}

// Refusals answer their code and write nothing into the record. Handles are checked before the
// version, and only outside the key-injection mode, which is version 7 and flag 1 exactly; the
// ATR before any card work.
TEST(AcquireContext, RefusalLeavesTheRecordAsItWas) {
    const struct {
        const char* name{};
        DWORD flags{}, version{};
        SCARDCONTEXT context{};
        SCARDHANDLE card{};
        DWORD status{};
        size_t lines{};  // log entries written before the refusal
        const char* profile = "default";
    } cases[] = {
        {"no context handle", 0, 3, 0, kFakeCard, SCARD_E_INVALID_HANDLE, 1},
        {"no card handle", 0, 7, kFakeContext, 0, SCARD_E_INVALID_HANDLE, 1},
        {"no handles with flag 2", 2, 3, 0, 0, SCARD_E_INVALID_HANDLE, 1},
        {"key injection version 3", 1, 3, 0, 0, ERROR_REVISION_MISMATCH, 2},
        {"version 3", 0, 3, kFakeContext, kFakeCard, ERROR_REVISION_MISMATCH, 2},
        {"key injection version 6", 1, 6, 0, 0, SCARD_E_INVALID_PARAMETER, 2},
        {"key injection version 8", 1, 8, 0, 0, SCARD_E_INVALID_PARAMETER, 2},
        {"flag 2", 2, 7, kFakeContext, kFakeCard, SCARD_E_INVALID_PARAMETER, 2},
        {"flag 3", 3, 7, kFakeContext, kFakeCard, SCARD_E_INVALID_PARAMETER, 2},
        {"unknown card", 0, 7, kFakeContext, kFakeCard, SCARD_E_UNKNOWN_CARD, 3, "unknown-atr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        std::vector<BYTE> atr = helixsim::ProfileByName(c.profile).atr;
        CARD_DATA record = HostRecord(atr, c.context, c.card, c.version);
        const CARD_DATA before = record;
        EXPECT_EQ(CardAcquireContext(&record, c.flags), c.status);
        // Byte for byte: any byte written, padding included, is a fault.
        // NOLINTNEXTLINE(*-memory-comparison,cert-exp42-c,cert-flp37-c)
        EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0);
        EXPECT_EQ(moduletest::Entries(log.Read()).size(), c.lines) << log.Read();
    }
}

TEST(AcquireContext, LogLinesMatchTheExpectedFileAndKeyInjectionFillsNineSlots) {
    LogCapture log;
    std::vector<BYTE> known = helixsim::DefaultProfile().atr;
    std::vector<BYTE> unknown = helixsim::ProfileByName("unknown-atr").atr;

    EXPECT_EQ(CardAcquireContext(nullptr, 0), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(CardAcquireContext(nullptr, CARD_SECURE_KEY_INJECTION_NO_CARD_MODE), SCARD_E_INVALID_PARAMETER);
    CARD_DATA noCard = HostRecord(known, kFakeContext, 0);
    EXPECT_EQ(CardAcquireContext(&noCard, 0), SCARD_E_INVALID_HANDLE);
    CARD_DATA old = HostRecord(known, kFakeContext, kFakeCard, 3);
    EXPECT_EQ(CardAcquireContext(&old, 0), ERROR_REVISION_MISMATCH);
    // Key injection without a card fills exactly nine slots; the host's pointer is not a context of
    // this module, so deleting leaves it where it is.
    CARD_DATA injection = HostRecord(known, 0, 0);
    injection.pvVendorSpecific = &known;
    const CARD_DATA before = injection;
    EXPECT_EQ(CardAcquireContext(&injection, CARD_SECURE_KEY_INJECTION_NO_CARD_MODE), SCARD_S_SUCCESS);
    const std::set<size_t> nine{
        offsetof(CARD_DATA, pfnMDImportSessionKey),       offsetof(CARD_DATA, pfnMDEncryptData),
        offsetof(CARD_DATA, pfnCardGetSharedKeyHandle),   offsetof(CARD_DATA, pfnCardDestroyKey),
        offsetof(CARD_DATA, pfnCardGetAlgorithmProperty), offsetof(CARD_DATA, pfnCardGetKeyProperty),
        offsetof(CARD_DATA, pfnCardSetKeyProperty),       offsetof(CARD_DATA, pfnCardProcessEncryptedData),
        offsetof(CARD_DATA, pfnCardDeleteContext)};
    EXPECT_EQ(ChangedWords(&before, &injection, sizeof injection), nine);
    CARD_DATA stranger = HostRecord(unknown, kFakeContext, kFakeCard);
    EXPECT_EQ(CardAcquireContext(&stranger, 0), SCARD_E_UNKNOWN_CARD);

    EXPECT_EQ(moduletest::Normalised(log.Read()), ReadTestData("entry/acquire.log"));
    EXPECT_EQ(injection.pfnCardDestroyKey(&injection, 0), SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(injection.pfnCardDeleteContext(&injection), SCARD_S_SUCCESS);
    EXPECT_EQ(injection.pvVendorSpecific, &known);
}

}  // namespace
