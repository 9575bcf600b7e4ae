// The key scenarios, each a sequence of steps with the status it should answer, every result of a
// private-key operation checked with OpenSSL against the public key CardGetContainerInfo reported:
// - enroll: what the Windows stack does when a certificate is enrolled: the user authenticated, a
//   container created with a key generated on the card (or imported, made by mdhost), its public
//   key read, the container map, the certificate and cardcf written;
// - sign: PKCS#1 v1.5 (SHA-1/256/384/512), PSS and ECDSA with each container's key;
// - decrypt: a block encrypted by OpenSSL to each RSA container's key, deciphered by the card;
// - delete: the last container and its certificate gone, the map and cardcf written.
// A card without containers gets one enrolled first.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mdhost/session.h"
#include "mdhost/steps.h"

namespace mdhost {

struct KeyOptions {
    std::string pin;
    std::vector<std::string> keys;  // rsa1024 .. rsa4096, p256, p384, p521
    bool import = false;
};

// The key names --key takes, comma-separated; nothing when one is not known.
std::optional<std::vector<std::string>> ParseKeyList(const std::string& list);

StepsReport RunEnrollScenario(CMinidriverSession& session, const KeyOptions& options);
StepsReport RunSignScenario(CMinidriverSession& session, const KeyOptions& options);
StepsReport RunDecryptScenario(CMinidriverSession& session, const KeyOptions& options);
StepsReport RunDeleteScenario(CMinidriverSession& session, const KeyOptions& options);

}  // namespace mdhost
