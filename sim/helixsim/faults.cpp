#include "helixsim/model.h"

namespace helixsim {

namespace {

bool Succeeded(const Bytes& answer) {
    return answer.size() >= 2 && answer[answer.size() - 2] == 0x90 && answer.back() == 0x00;
}

}  // namespace

// What an EEPROM holds after the power goes mid-write. UPDATE BINARY: its first `tearBytes`
// bytes, the old content after them. CREATE FILE: the object is allocated and linked with its
// declared size, but nothing was written into it (zeros, no key material). Any other command
// runs to its end; only its answer is lost.
void CardModel::TransmitTorn(const Bytes& command, uint32_t tearBytes) {
    const auto apdu = ParseApdu(command);
    const uint32_t file = m_currentFile;
    const Bytes before = m_nodes.at(file).content;
    const Bytes answer = Transmit(command);
    const bool lastPiece = apdu && (apdu->cla & 0x10) == 0;
    if (lastPiece && Succeeded(answer) && apdu->ins == 0xD6) {
        Bytes& content = m_nodes.at(file).content;
        const size_t kept = ((static_cast<size_t>(apdu->p1) << 8) | apdu->p2) + tearBytes;
        for (size_t i = kept; i < content.size() && i < before.size(); ++i) content[i] = before[i];
    }
    if (lastPiece && Succeeded(answer) && apdu->ins == 0xE0) {
        Node& created = m_nodes.at(m_currentFile);
        created.key.reset();
        std::fill(created.content.begin(), created.content.end(), 0x00);
    }
    Reset();
}

}  // namespace helixsim
