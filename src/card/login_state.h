// Who is logged in on this card context, and the user PIN kept to present again.
#pragma once

#include <cstdint>

#include "libapdu/token/bytes.h"
#include "platform/minidriver.h"

enum LoginRole : uint32_t {
    kRoleUser = 1,
    kRoleAdmin = 2,
};

// PIN sets, as the extended entry points and the properties name roles: one bit per PIN identifier.
constexpr PIN_SET kPinSetUser = 1U << ROLE_USER;
constexpr PIN_SET kPinSetAdmin = 1U << ROLE_ADMIN;

struct TLoginState {
    libapdu::SecretBytes cachedPin;
    uint32_t roles = kRoleUser;

    void SetRole(uint32_t role) { roles |= role; }
    // Clears the bits only when all of them are set; clearing the user role always forgets the PIN.
    void ClearRole(uint32_t role) {
        if ((roles & role) == role) roles ^= role;
        if (role == kRoleUser) cachedPin.clear();
    }
    void StorePin(libapdu::ByteSpan pin) { cachedPin.assign(pin.begin(), pin.end()); }
    bool HasPin() const { return !cachedPin.empty(); }
    // The administrator is logged in: the applet is not selected again before card work.
    bool AdminLoggedIn() const { return roles == 2 || roles == 3; }
};
