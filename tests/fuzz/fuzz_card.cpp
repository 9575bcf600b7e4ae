#include "fuzz_card.h"

#include <cstring>

#include "fuzz_check.h"

namespace {

struct State {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    size_t commands = 0;
    int transactions = 0;
    const uint8_t* last = nullptr;
    size_t lastLength = 0;
};
// One card per process: libFuzzer runs one input at a time.
State& Card() {
    static State state;
    return state;
}

// The next answer, or nothing once the input is used up.
bool NextAnswer(const uint8_t** answer, size_t* length) {
    State& s = Card();
    if (s.position >= s.size) return false;
    size_t n = s.data[s.position++];
    if (n == 0xFF) {
        if (s.size - s.position < 2) {
            s.position = s.size;
            return false;
        }
        n = static_cast<size_t>(s.data[s.position]) << 8 | s.data[s.position + 1];
        s.position += 2;
    }
    if (n > s.size - s.position) n = s.size - s.position;
    *answer = s.data + s.position;
    *length = n;
    s.position += n;
    return true;
}

// The ATR of the card family the module recognises.
constexpr BYTE kAtr[] = {0x3B, 0x8C, 0x80, 0x01, 0x80, 0x73, 0xC8, 0x21, 0x13,
                         0x66, 0x01, 0x06, 0x11, 0x59, 0x00, 0x01, 0x2C};

}  // namespace

namespace fuzzcard {

void Load(const uint8_t* data, size_t size) {
    static const uint8_t kDone[] = {0x90, 0x00};
    Card() = State{data, size, 0, 0, 0, kDone, sizeof kDone};
}

void NewCall() {
    Card().commands = 0;
}

int OpenTransactions() {
    return Card().transactions;
}

}  // namespace fuzzcard

namespace pcsc {

DWORD Transmit(SCARDHANDLE card, DWORD, const BYTE* send, DWORD sendLength, BYTE* recv, DWORD* recvLength) {
    FUZZ_REQUIRE(card == fuzzcard::kHandle);
    FUZZ_REQUIRE(send != nullptr && sendLength >= 4 && recv != nullptr && recvLength != nullptr);
    FUZZ_REQUIRE(++Card().commands <= fuzzcard::kCommandsPerCall);
    const uint8_t* answer = nullptr;
    size_t length = 0;
    if (NextAnswer(&answer, &length)) {
        Card().last = answer;
        Card().lastLength = length;
    } else {
        answer = Card().last;
        length = Card().lastLength;
    }
    if (length > *recvLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (length != 0) std::memcpy(recv, answer, length);
    *recvLength = static_cast<DWORD>(length);
    return SCARD_S_SUCCESS;
}

DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    FUZZ_REQUIRE(card == fuzzcard::kHandle);
    if (protocol != nullptr) *protocol = kProtocolT1;
    if (atr != nullptr && atrLength != nullptr) {
        if (*atrLength < sizeof kAtr) return SCARD_E_INSUFFICIENT_BUFFER;
        std::memcpy(atr, kAtr, sizeof kAtr);
        *atrLength = sizeof kAtr;
    }
    return SCARD_S_SUCCESS;
}

DWORD BeginTransaction(SCARDHANDLE card) {
    FUZZ_REQUIRE(card == fuzzcard::kHandle);
    ++Card().transactions;
    return SCARD_S_SUCCESS;
}

DWORD EndTransaction(SCARDHANDLE card, DWORD) {
    FUZZ_REQUIRE(card == fuzzcard::kHandle);
    FUZZ_REQUIRE(Card().transactions > 0);
    --Card().transactions;
    return SCARD_S_SUCCESS;
}

}  // namespace pcsc
