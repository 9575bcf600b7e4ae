// Every command the Helix application takes, one builder each, its bytes beside it. Lengths
// and Le are the encoder's business; a builder fixes only what the card expects.
#pragma once

#include <cstdint>

#include "libapdu/token/apdu.h"
#include "libapdu/types.h"

namespace libapdu::helix {

// SELECT by AID: 00 A4 04 00 0C A0 00 00 01 64 "PRISM" 00 01, no Le.
Command SelectApplet();

// SELECT by path: 80 A4 08 0C 2n, the identifiers high byte first (3F00 included), Le 00.
Command SelectPath(const CardPath& path);
// SELECT by name image: 80 A4 04 0C 10 image Le 00.
Command SelectName(ByteSpan image);
// SELECT by identifier: 80 A4 00 0C 02 id Le 00.
Command SelectFid(uint16_t id);

// READ BINARY: 00 B0 offset-high offset-low Le.
Command ReadBinary(uint16_t offset, uint8_t length);
// UPDATE BINARY: 00 D6 offset-high offset-low Lc data.
Command UpdateBinary(uint16_t offset, ByteSpan data);

// CREATE FILE: 00 E0 P1 00 Lc template, P1 the file descriptor byte (01 file, 38 directory).
Command CreateFile(uint8_t descriptor, ByteSpan fcp);
// CREATE FILE of a key object, always extended: 00 E0 08 00 00 Lc-high Lc-low template.
Command CreateKeyObject(ByteSpan fcp);
// DELETE FILE: 00 E4 P1 00, P1 01 for a directory.
Command DeleteFile(bool directory);
// Rewrite of the selected file's attributes: 80 E8 00 00 Lc template.
Command RewriteAttributes(ByteSpan fcp);
// Resize of the selected file: 80 32 00 01 04 size-high size-low 00 00.
Command ResizeFile(uint16_t size);
// Listing of the selected directory: 80 30 P1 00 Le 00, P1 the descriptor byte of the kind listed.
Command ListFiles(uint8_t descriptor);

// VERIFY of the user PIN as a cryptogram: 80 20 00 00 10 cryptogram.
Command VerifyProtected(ByteSpan cryptogram);
// VERIFY in clear: 00 20 00 P2 Lc value, P2 00 for the selected object or a biometric object's id.
Command Verify(uint8_t reference, ByteSpan value);
// Which objects are verified now: 80 CE 00 00 Le 00.
Command VerifiedObjects();
// LOGOUT: 80 28 00 00 04 00 00 00 id (id 00: every object).
Command Logout(uint8_t id);
// GET CHALLENGE: 00 84 00 00 Le.
Command GetChallenge(uint8_t length);
// EXTERNAL AUTHENTICATE: 80 82 00 00 Lc answer.
Command ExternalAuthenticate(ByteSpan answer);
// RESET RETRY COUNTER of the selected PIN: 80 2C 00 00 Le 00.
Command ResetRetryCounter();
// Set PIN value: 80 24 00 00 (n + 5) 62 81 (n + 2) 81 n value; goes out under secure messaging.
Command SetPinValue(ByteSpan pin);

// GET DATA: CLA CB P1 P2 Le 00.
Command GetData(uint8_t cla, uint16_t object);
// Capability query: 80 CB 01 P2 Le, Le the bytes the caller reads.
Command GetCapabilities(uint8_t p2, uint8_t length);

// Public key of the selected key object: 80 48 00 00 Le 00 (a 7F 49 template).
Command ReadPublicKey();
// The card's key-establishment values: 80 48 00 80 Le 00 (80 g, 81 p, 82 B).
Command KeyEstablishmentValues();
// The host's public value, opening a secure session: 80 86 00 00 Lc A Le 00 (extended past 255 bytes).
Command OpenSecureSession(ByteSpan hostPublic);
// Ends the card's secure session: 80 86 FF FF.
Command CloseSecureSession();

// GENERATE ASYMMETRIC KEY PAIR: 00 47 00 00 05 AC 03 80 01 parameter.
Command GenerateKeyPair(uint8_t parameter);
// PERFORM SECURITY OPERATION, always extended: 00 2A P1 P2 00 Lc-high Lc-low data Le 00 00.
Command PerformSecurityOperation(uint8_t p1, uint8_t p2, ByteSpan data);
// Elliptic-curve key agreement: 80 4A 00 00 (n + 1) 04 peer-point Le.
Command AgreeKey(ByteSpan peerPoint, uint8_t length);

}  // namespace libapdu::helix
