// The host's own PC/SC client for a real reader (pcsc-lite, or WinSCard on Windows). The module
// in the same process reaches the same service through its own binding, and the handles are
// valid for both. PC/SC's own types differ between the platforms (pcsc-lite's DWORD is 8 bytes
// on 64-bit Linux), so this boundary speaks fixed-width values only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mdhost::pcscclient {

struct Opened {
    uint32_t rv = 0;
    uintptr_t handle = 0;
};

Opened EstablishContext();
uint32_t ReleaseContext(uintptr_t context);
// Shared mode, T=0 or T=1.
Opened Connect(uintptr_t context, const std::string& reader);
uint32_t Reconnect(uintptr_t card, uint32_t initialization);
uint32_t Disconnect(uintptr_t card, uint32_t disposition);
uint32_t BeginTransaction(uintptr_t card);
uint32_t EndTransaction(uintptr_t card, uint32_t disposition);
// SCardStatus: the ATR.
uint32_t Status(uintptr_t card, std::vector<uint8_t>& atr);

constexpr uint32_t kLeaveCard = 0;
constexpr uint32_t kResetCard = 1;

}  // namespace mdhost::pcscclient
