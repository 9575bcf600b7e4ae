// CardAcquireContext as the host meets it: record checks, version negotiation over records of
// each version's own length, the key-injection mode without a card, and its log lines.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

#include "log_capture.h"
#include "module_over_sim.h"

namespace {

using moduletest::HostRecord;
using moduletest::Normalised;
using moduletest::SimReader;

constexpr char kReader[] = "Helix Sim 0";
// Pointer-sized handles, of which a log line shows the low 32 bits.
constexpr SCARDCONTEXT kFakeContext = static_cast<SCARDCONTEXT>(0xAB0000001234ABCDuLL);
constexpr SCARDHANDLE kFakeCard = 0x00C0FFEE;
constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

// Where the record of each version ends: where the next version's first slot would be.
size_t RecordEnd(DWORD version) {
    if (version <= CARD_DATA_VERSION_FOUR) return offsetof(CARD_DATA, pfnCardDeriveKey);
    if (version == CARD_DATA_VERSION_FIVE) return offsetof(CARD_DATA, pfnCardGetChallengeEx);
    if (version == CARD_DATA_VERSION_SIX) return offsetof(CARD_DATA, pfnCspUnpadData);
    return sizeof(CARD_DATA);
}

// Slots that belong to the host or to nobody; the module never writes them.
bool HostSlot(size_t offset) {
    return offset == offsetof(CARD_DATA, pvUnused3) || offset == offsetof(CARD_DATA, pvUnused4) ||
           offset == offsetof(CARD_DATA, pfnCspUnpadData);
}

void* SlotAt(const unsigned char* record, size_t offset) {
    void* slot = nullptr;
    std::memcpy(&slot, record + offset, sizeof slot);
    return slot;
}

// Offsets of the pointer-sized words that differ between two records.
std::set<size_t> ChangedWords(const CARD_DATA& before, const CARD_DATA& after) {
    std::set<size_t> changed;
    const auto* a = reinterpret_cast<const unsigned char*>(&before);
    const auto* b = reinterpret_cast<const unsigned char*>(&after);
    for (size_t at = 0; at < sizeof(CARD_DATA); at += sizeof(void*)) {
        if (std::memcmp(a + at, b + at, sizeof(void*)) != 0) changed.insert(at);
    }
    return changed;
}

// A record of exactly `length` bytes, followed by guard bytes the module must never touch.
class ShortRecord {
public:
    ShortRecord(const CARD_DATA& record, size_t length) : m_length(length) {
        std::memset(m_bytes, kGuardByte, sizeof m_bytes);
        std::memcpy(m_bytes, &record, length);
    }
    CARD_DATA* get() { return reinterpret_cast<CARD_DATA*>(m_bytes); }
    const unsigned char* bytes() const { return m_bytes; }
    bool GuardIntact() const {
        for (size_t i = m_length; i < sizeof m_bytes; ++i) {
            if (m_bytes[i] != kGuardByte) return false;
        }
        return true;
    }

private:
    alignas(CARD_DATA) unsigned char m_bytes[sizeof(CARD_DATA) + kGuard]{};
    size_t m_length;
};

struct VersionCase {
    DWORD requested;
    DWORD status;
    DWORD negotiated;
};

class VersionNegotiation : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionNegotiation, FillsOnlyTheSlotsOfTheNegotiatedVersion) {
    const VersionCase& c = GetParam();
    SimReader reader(kReader);
    const size_t length = RecordEnd(c.requested);
    const CARD_DATA host = reader.Record(c.requested);
    ShortRecord record(host, length);

    ASSERT_EQ(CardAcquireContext(record.get(), 0), c.status);
    // What the host set stays as it was, but for the version.
    const size_t hostFrom = offsetof(CARD_DATA, pbAtr);
    const size_t hostTo = offsetof(CARD_DATA, pvVendorSpecific);
    EXPECT_EQ(std::memcmp(record.bytes() + hostFrom, reinterpret_cast<const unsigned char*>(&host) + hostFrom,
                          hostTo - hostFrom),
              0);
    EXPECT_EQ(record.get()->dwVersion, c.negotiated);
    EXPECT_TRUE(record.GuardIntact());
    const bool bound = c.status == SCARD_S_SUCCESS;
    EXPECT_EQ(record.get()->pvVendorSpecific != nullptr, bound);
    for (size_t at = offsetof(CARD_DATA, pfnCardDeleteContext); at < length; at += sizeof(void*)) {
        const bool filled = SlotAt(record.bytes(), at) != nullptr;
        EXPECT_EQ(filled, bound && !HostSlot(at)) << "slot at offset " << at;
    }
    if (bound) {
        EXPECT_EQ(record.get()->pfnCardDeleteContext(record.get()), SCARD_S_SUCCESS);
        EXPECT_TRUE(record.GuardIntact());
    }
}

INSTANTIATE_TEST_SUITE_P(Versions3To9, VersionNegotiation,
                         ::testing::Values(VersionCase{3, ERROR_REVISION_MISMATCH, 3}, VersionCase{4, 0, 4},
                                           VersionCase{5, 0, 5}, VersionCase{6, 0, 6}, VersionCase{7, 0, 7},
                                           VersionCase{8, 0, 7}, VersionCase{9, 0, 7}),
                         [](const testing::TestParamInfo<VersionCase>& p) {
                             return "Version" + std::to_string(p.param.requested);
                         });

TEST(AcquireContext, KeyInjectionWithoutACardFillsExactlyNineSlots) {
    int marker = 0;
    CARD_DATA record{};
    record.dwVersion = CARD_DATA_VERSION_SEVEN;
    record.pvVendorSpecific = &marker;
    const CARD_DATA before = record;

    ASSERT_EQ(CardAcquireContext(&record, CARD_SECURE_KEY_INJECTION_NO_CARD_MODE), SCARD_S_SUCCESS);
    const std::set<size_t> expected{
        offsetof(CARD_DATA, pfnMDImportSessionKey),       offsetof(CARD_DATA, pfnMDEncryptData),
        offsetof(CARD_DATA, pfnCardGetSharedKeyHandle),   offsetof(CARD_DATA, pfnCardDestroyKey),
        offsetof(CARD_DATA, pfnCardGetAlgorithmProperty), offsetof(CARD_DATA, pfnCardGetKeyProperty),
        offsetof(CARD_DATA, pfnCardSetKeyProperty),       offsetof(CARD_DATA, pfnCardProcessEncryptedData),
        offsetof(CARD_DATA, pfnCardDeleteContext)};
    EXPECT_EQ(ChangedWords(before, record), expected);
    EXPECT_EQ(record.dwVersion, CARD_DATA_VERSION_SEVEN);
    EXPECT_EQ(record.pvVendorSpecific, &marker);

    EXPECT_EQ(record.pfnCardDestroyKey(&record, 0), SCARD_E_UNSUPPORTED_FEATURE);
    // The host's pointer is not a context of this module: deleting leaves it where it is.
    EXPECT_EQ(record.pfnCardDeleteContext(&record), SCARD_S_SUCCESS);
    EXPECT_EQ(record.pvVendorSpecific, &marker);
}

// Refusals answer their code and write nothing into the record. Handles are checked before the
// version, and only outside the key-injection mode, which is version 7 and flag 1 exactly; the
// ATR before any card work.
TEST(AcquireContext, RefusalLeavesTheRecordAsItWas) {
    const struct {
        const char* name{};
        DWORD flags{};
        DWORD version{};
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

TEST(AcquireContext, LogLinesMatchTheExpectedFile) {
    LogCapture log;
    std::vector<BYTE> known = helixsim::DefaultProfile().atr;
    std::vector<BYTE> unknown = helixsim::ProfileByName("unknown-atr").atr;

    EXPECT_EQ(CardAcquireContext(nullptr, 0), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(CardAcquireContext(nullptr, CARD_SECURE_KEY_INJECTION_NO_CARD_MODE), SCARD_E_INVALID_PARAMETER);
    CARD_DATA noCard = HostRecord(known, kFakeContext, 0);
    EXPECT_EQ(CardAcquireContext(&noCard, 0), SCARD_E_INVALID_HANDLE);
    CARD_DATA old = HostRecord(known, kFakeContext, kFakeCard, 3);
    EXPECT_EQ(CardAcquireContext(&old, 0), ERROR_REVISION_MISMATCH);
    CARD_DATA injection = HostRecord(known, 0, 0);
    EXPECT_EQ(CardAcquireContext(&injection, CARD_SECURE_KEY_INJECTION_NO_CARD_MODE), SCARD_S_SUCCESS);
    CARD_DATA stranger = HostRecord(unknown, kFakeContext, kFakeCard);
    EXPECT_EQ(CardAcquireContext(&stranger, 0), SCARD_E_UNKNOWN_CARD);

    EXPECT_EQ(Normalised(log.Read()), ReadTestData("entry/acquire.log"));
}

TEST(AcquireContext, NegotiatedRecordServesCapabilityQueries) {
    SimReader reader(kReader);
    moduletest::Acquired card(reader.Record(9));
    ASSERT_EQ(card->dwVersion, CARD_DATA_VERSION_SEVEN);
    CARD_CAPABILITIES caps{0, FALSE, FALSE};
    EXPECT_EQ(card->pfnCardQueryCapabilities(card.get(), &caps), SCARD_S_SUCCESS);
    EXPECT_EQ(caps.dwVersion, 1u);
    EXPECT_TRUE(caps.fCertificateCompression);
    EXPECT_TRUE(caps.fKeyGen);
    // The host's own agreement lookup is not offered.
    BYTE index = 0;
    EXPECT_EQ(card->pfnCspGetDHAgreement(card.get(), nullptr, &index, 0), SCARD_E_UNSUPPORTED_FEATURE);
}

}  // namespace
