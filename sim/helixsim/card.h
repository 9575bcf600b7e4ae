// The Helix card simulator: a strict model of the Helix card application at the contact level.
// A card is powered, answers command APDUs exactly as the card does (including the transport
// behaviour a reader sees: 61xx continuation, 6Cxx wrong length, command chaining), keeps its
// whole state in memory, can be saved to and loaded from an image file, and can be told to
// misbehave (fault injection) or to take time (latency model).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helixsim/fault.h"

namespace helixsim {

using Bytes = std::vector<uint8_t>;
using CardPath = std::vector<uint16_t>;  // from 3F00 down, e.g. {0x3F00, 0x3000, 0x3003, 0x4001}

// MODP group (RFC 3526, generator 2) of the secure channel's key agreement. The host's public
// value is as long as the prime: 256 bytes need an extended Lc, 192 fit a short one.
enum class AgreementGroup : uint8_t { Modp2048, Modp1536 };

// What a freshly personalised card holds. Profiles are named; DefaultProfile() is "default".
struct Profile {
    std::string name = "default";
    Bytes atr;                 // the card's ATR (one of the four recognised ones by default)
    uint8_t userPinId = 0x20;  // identifier of the user authentication object (3002 tag 86 byte 1)
    Bytes userPin;             // initial user PIN value
    uint8_t userPinMaxTries = 5;
    Bytes adminKey;  // 24-byte 3DES administrator key
    uint8_t adminMaxTries = 5;
    uint8_t biometricId = 0;  // 0 (none), 0x23, 0x24 or 0x25: biometric object on the card
    Bytes biometricTemplate;  // 20-byte value a plain VERIFY of the biometric object must match
    bool rsa4096 = true;      // capability query reports 4096-bit RSA
    bool ec = true;           // elliptic-curve keys supported
    bool strictLe = false;    // a wrong Le on commands that need one answers 6Cxx
    AgreementGroup agreementGroup = AgreementGroup::Modp2048;
    uint32_t totalMemory = 96 * 1024;
    // PIN policy (3F00/3000/EEEE) and state (EEEF)
    bool adminChallenge = true;
    uint8_t historyDepth = 0;
    uint32_t maxPinAgeDays = 0;
    bool changeAfterUnblock = false;
    bool mustChange = false;
    std::string lastChange = "20261201";  // YYYYMMDD
};

Profile DefaultProfile();
// Every named profile; ProfileByName throws std::invalid_argument for an unknown name.
std::vector<std::string> ProfileNames();
Profile ProfileByName(const std::string& name);

// Latency model: time the card spends per command plus wire time per byte at a baud rate.
struct Latency {
    uint32_t perCommandMicros = 0;
    uint32_t baud = 0;   // 0: no wire time
    bool sleep = false;  // really wait (daemon) or only account (tests)
};

struct TransmitResult {
    enum class Event { None, Reset, Removed };
    Bytes response;  // data and SW1 SW2; empty when the card did not answer (reset/removed before)
    Event event = Event::None;
    uint64_t cardMicros = 0;  // card time this exchange took under the latency model
};

class CardModel;  // the internals

class HelixCard {
public:
    explicit HelixCard(const Profile& profile);
    ~HelixCard();
    HelixCard(const HelixCard&) = delete;
    HelixCard& operator=(const HelixCard&) = delete;

    // Card image: the whole persistent state (files, objects, keys, counters, profile) in one file,
    // written atomically (temporary file and rename) so that separate processes see one card.
    // Both throw std::runtime_error; Load refuses an image that is truncated or inconsistent.
    static std::unique_ptr<HelixCard> Load(const std::string& path);
    void Save(const std::string& path) const;

    const Bytes& Atr() const;
    // Power cycle: everything volatile goes (applet selection, current file, verified objects,
    // challenge, secure-messaging session, pending chain or response).
    void Reset();
    TransmitResult Transmit(const Bytes& command);

    // A fault fires once, on command number `fault.command` (0: std::invalid_argument).
    void AddFault(const Fault& fault);
    // Commands received since the card was created or loaded: faults count on from here.
    uint32_t CommandsReceived() const;
    void SetLatency(const Latency& latency);
    uint64_t CardMicros() const;  // total card time so far

    // Every command received, in order, as given by the reader (for tests and diagnostics).
    const std::vector<Bytes>& CommandLog() const;
    void ClearCommandLog();

    // Inspection for tests: content of a transparent file, try counter of an authentication
    // object, free memory. nullopt when there is no such file or object.
    std::optional<Bytes> FileContent(const CardPath& path) const;
    std::optional<uint8_t> TriesLeft(uint8_t objectId) const;
    uint32_t FreeMemory() const;
    // The key object at `path` as created (size, usage block) and the public half of its key;
    // nullopt when there is no key object there.
    struct KeyObjectView {
        uint16_t size = 0;  // bytes
        Bytes usage;        // tag 85
        bool hasKey = false;
        Bytes modulus, exponent;  // RSA, big-endian
        Bytes point;              // EC, 04 x y
    };
    std::optional<KeyObjectView> KeyObject(const CardPath& path) const;

private:
    std::unique_ptr<CardModel> m_model;
    std::vector<Fault> m_faults;
    uint32_t m_commands = 0;  // received since creation or load
    Latency m_latency;
    uint64_t m_micros = 0;
};

}  // namespace helixsim
