#include "scripted_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "hex.h"

namespace {
ScriptedCard* g_card = nullptr;  // the card in the reader for the running test
}

ScriptedCard::ScriptedCard(std::vector<ScriptStep> steps, DWORD activeProtocol, DWORD statusResult)
    : m_steps(std::move(steps)),
      m_activeProtocol(activeProtocol),
      m_statusResult(statusResult),
      m_atr(Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A")) {
    g_card = this;
}

ScriptedCard::~ScriptedCard() {
    EXPECT_EQ(m_next, m_steps.size()) << "script steps left unused, next expected: "
                                      << (m_next < m_steps.size() ? m_steps[m_next].command : "");
    EXPECT_EQ(m_transactions, 0) << "card transaction begun and never ended";
    g_card = nullptr;
}

DWORD ScriptedCard::OnTransmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength,
                               BYTE* recv, DWORD* recvLength) {
    EXPECT_EQ(card, kHandle);
    m_protocols.push_back(protocol);
    const libapdu::ByteVector sent(send, send + sendLength);
    m_received.push_back(sent);
    if (m_next >= m_steps.size()) {
        ADD_FAILURE() << "unexpected command after the script ended: " << ToHex(sent);
        return SCARD_F_INTERNAL_ERROR;
    }
    const ScriptStep& step = m_steps[m_next++];
    if (!step.command.empty() && step.command.back() == '*') {
        const libapdu::ByteVector head = Hex(step.command.substr(0, step.command.size() - 1));
        const size_t compared = std::min(head.size(), sent.size());
        EXPECT_EQ(ToHex(libapdu::ByteVector(sent.begin(), sent.begin() + compared)), ToHex(head))
            << "at script step " << m_next;
    } else {
        EXPECT_EQ(ToHex(sent), ToHex(Hex(step.command))) << "at script step " << m_next;
    }
    if (step.error != SCARD_S_SUCCESS) return step.error;
    const libapdu::ByteVector answer = Hex(step.response);
    if (answer.size() > *recvLength) {
        ADD_FAILURE() << "answer larger than the receive buffer";
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::copy(answer.begin(), answer.end(), recv);
    *recvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

DWORD ScriptedCard::OnStatus(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    EXPECT_EQ(card, kHandle);
    if (m_statusResult != SCARD_S_SUCCESS) return m_statusResult;
    if (protocol != nullptr) *protocol = m_activeProtocol;
    if (atr != nullptr && atrLength != nullptr) {
        const DWORD n = std::min<DWORD>(*atrLength, static_cast<DWORD>(m_atr.size()));
        std::memcpy(atr, m_atr.data(), n);
        *atrLength = n;
    }
    return SCARD_S_SUCCESS;
}

DWORD ScriptedCard::OnBeginTransaction(SCARDHANDLE card) {
    EXPECT_EQ(card, kHandle);
    ++m_transactions;
    return SCARD_S_SUCCESS;
}

DWORD ScriptedCard::OnEndTransaction(SCARDHANDLE card, DWORD disposition) {
    EXPECT_EQ(card, kHandle);
    EXPECT_EQ(disposition, pcsc::kLeaveCard);
    if (m_transactions == 0) {
        ADD_FAILURE() << "transaction ended that was never begun";
        return SCARD_E_NOT_TRANSACTED;
    }
    --m_transactions;
    return SCARD_S_SUCCESS;
}

// The seam: the unit tests link these instead of a real PC/SC binding.
namespace pcsc {

DWORD Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
               DWORD* recvLength) {
    if (g_card == nullptr) {
        ADD_FAILURE() << "transmit without a card";
        return SCARD_E_NO_SMARTCARD;
    }
    return g_card->OnTransmit(card, protocol, send, sendLength, recv, recvLength);
}

DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    return g_card == nullptr ? SCARD_E_NO_SMARTCARD : g_card->OnStatus(card, protocol, atr, atrLength);
}

DWORD BeginTransaction(SCARDHANDLE card) {
    return g_card == nullptr ? SCARD_E_NO_SMARTCARD : g_card->OnBeginTransaction(card);
}
DWORD EndTransaction(SCARDHANDLE card, DWORD disposition) {
    return g_card == nullptr ? SCARD_E_NO_SMARTCARD : g_card->OnEndTransaction(card, disposition);
}

}  // namespace pcsc
