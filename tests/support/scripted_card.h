// A card that plays back a script through the PC/SC seam. Each step names the command it
// expects and the answer (or PC/SC failure) it gives; an unexpected command fails the test at
// once, and an unused step or a transaction left open fails it when the card goes out of scope.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "channel/pcsc.h"
#include "libapdu/token/bytes.h"

struct ScriptStep {
    // hex; a trailing '*' accepts any command that begins with the bytes before it (for commands
    // carrying host random values, which a test reads back through Received())
    std::string command;
    std::string response;  // hex; ignored when error is set
    DWORD error = SCARD_S_SUCCESS;
};

using Script = std::vector<ScriptStep>;

inline Script operator+(Script a, const Script& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One step as a script, to be joined with +.
inline Script Step(const std::string& command, const std::string& response) {
    return {{command, response}};
}

class ScriptedCard {
public:
    static constexpr SCARDHANDLE kHandle = 0x5C4D;

    ScriptedCard(std::initializer_list<ScriptStep> steps, DWORD activeProtocol = pcsc::kProtocolT1,
                 DWORD statusResult = SCARD_S_SUCCESS)
        : ScriptedCard(std::vector<ScriptStep>(steps), activeProtocol, statusResult) {}
    explicit ScriptedCard(std::vector<ScriptStep> steps, DWORD activeProtocol = pcsc::kProtocolT1,
                          DWORD statusResult = SCARD_S_SUCCESS);
    ~ScriptedCard();
    ScriptedCard(const ScriptedCard&) = delete;
    ScriptedCard& operator=(const ScriptedCard&) = delete;

    // The protocol argument of each transmit, in order.
    const std::vector<DWORD>& Protocols() const { return m_protocols; }
    // Every command transmitted, in order.
    const std::vector<libapdu::ByteVector>& Received() const { return m_received; }

    DWORD OnTransmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
                     DWORD* recvLength);
    DWORD OnStatus(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength);
    DWORD OnBeginTransaction(SCARDHANDLE card);
    DWORD OnEndTransaction(SCARDHANDLE card, DWORD disposition);

private:
    std::vector<ScriptStep> m_steps;
    size_t m_next = 0;
    DWORD m_activeProtocol;
    DWORD m_statusResult;
    libapdu::ByteVector m_atr;
    std::vector<DWORD> m_protocols;
    std::vector<libapdu::ByteVector> m_received;
    int m_transactions = 0;  // begun and not yet ended
};
