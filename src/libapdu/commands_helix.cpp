#include "libapdu/commands_helix.h"

namespace libapdu::helix {

namespace {

constexpr uint8_t kInsSelect = 0xA4;

// Class byte 80: the application's own coding of an ISO command, or a command of its own.
Command Proprietary(uint8_t ins, uint8_t p1, uint8_t p2) {
    return Command(0x80, ins, p1, p2);
}

// Class byte 00: the interindustry command as ISO/IEC 7816-4 codes it.
Command Iso(uint8_t ins, uint8_t p1, uint8_t p2) {
    return Command(0x00, ins, p1, p2);
}

uint8_t High(uint16_t value) {
    return static_cast<uint8_t>(value >> 8);
}

uint8_t Low(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

Command SelectApplet() {
    static const uint8_t kAid[] = {0xA0, 0x00, 0x00, 0x01, 0x64, 'P', 'R', 'I', 'S', 'M', 0x00, 0x01};
    return Iso(kInsSelect, 0x04, 0x00).Data(ByteSpan(kAid, sizeof kAid));
}

Command SelectPath(const CardPath& path) {
    ByteVector ids;
    ids.reserve(2 * path.size());
    for (uint16_t id : path) {
        ids.push_back(High(id));
        ids.push_back(Low(id));
    }
    return Proprietary(kInsSelect, 0x08, 0x0C).Data(ids).ExpectMaximum();
}

Command SelectName(ByteSpan image) {
    return Proprietary(kInsSelect, 0x04, 0x0C).Data(image).ExpectMaximum();
}

Command SelectFid(uint16_t id) {
    const ByteVector fid{High(id), Low(id)};
    return Proprietary(kInsSelect, 0x00, 0x0C).Data(fid).ExpectMaximum();
}

Command ReadBinary(uint16_t offset, uint8_t length) {
    return Iso(0xB0, High(offset), Low(offset)).Expect(length);
}

Command UpdateBinary(uint16_t offset, ByteSpan data) {
    return Iso(0xD6, High(offset), Low(offset)).Data(data);
}

Command CreateFile(uint8_t descriptor, ByteSpan fcp) {
    return Iso(0xE0, descriptor, 0x00).Data(fcp);
}

Command CreateKeyObject(ByteSpan fcp) {
    return Iso(0xE0, 0x08, 0x00).Data(fcp).Extended();
}

Command DeleteFile(bool directory) {
    return Iso(0xE4, directory ? 0x01 : 0x00, 0x00);
}

Command RewriteAttributes(ByteSpan fcp) {
    return Proprietary(0xE8, 0x00, 0x00).Data(fcp);
}

Command ResizeFile(uint16_t size) {
    const ByteVector data{High(size), Low(size), 0x00, 0x00};
    return Proprietary(0x32, 0x00, 0x01).Data(data);
}

Command ListFiles(uint8_t descriptor) {
    return Proprietary(0x30, descriptor, 0x00).ExpectMaximum();
}

Command VerifyProtected(ByteSpan cryptogram) {
    return Proprietary(0x20, 0x00, 0x00).Data(cryptogram);
}

Command Verify(uint8_t reference, ByteSpan value) {
    return Iso(0x20, 0x00, reference).Data(value);
}

Command VerifiedObjects() {
    return Proprietary(0xCE, 0x00, 0x00).ExpectMaximum();
}

Command Logout(uint8_t id) {
    const ByteVector object{0x00, 0x00, 0x00, id};
    return Proprietary(0x28, 0x00, 0x00).Data(object);
}

Command GetChallenge(uint8_t length) {
    return Iso(0x84, 0x00, 0x00).Expect(length);
}

Command ExternalAuthenticate(ByteSpan answer) {
    return Proprietary(0x82, 0x00, 0x00).Data(answer);
}

Command ResetRetryCounter() {
    return Proprietary(0x2C, 0x00, 0x00).ExpectMaximum();
}

Command SetPinValue(ByteSpan pin) {
    const auto n = static_cast<uint8_t>(pin.size);
    SecretBytes data{0x62, 0x81, static_cast<uint8_t>(n + 2), 0x81, n};
    data.insert(data.end(), pin.begin(), pin.end());
    return Proprietary(0x24, 0x00, 0x00).Data(ByteSpan(data.data(), data.size()));
}

Command GetData(uint8_t cla, uint16_t object) {
    return Command(cla, 0xCB, High(object), Low(object)).ExpectMaximum();
}

Command GetCapabilities(uint8_t p2, uint8_t length) {
    return Proprietary(0xCB, 0x01, p2).Expect(length);
}

Command ReadPublicKey() {
    return Proprietary(0x48, 0x00, 0x00).ExpectMaximum();
}

Command KeyEstablishmentValues() {
    return Proprietary(0x48, 0x00, 0x80).ExpectMaximum();
}

Command OpenSecureSession(ByteSpan hostPublic) {
    return Proprietary(0x86, 0x00, 0x00).Data(hostPublic).ExpectMaximum();
}

Command CloseSecureSession() {
    return Proprietary(0x86, 0xFF, 0xFF);
}

Command GenerateKeyPair(uint8_t parameter) {
    const ByteVector data{0xAC, 0x03, 0x80, 0x01, parameter};
    return Iso(0x47, 0x00, 0x00).Data(data);
}

Command PerformSecurityOperation(uint8_t p1, uint8_t p2, ByteSpan data) {
    return Iso(0x2A, p1, p2).Data(data).ExpectMaximum().Extended();
}

Command AgreeKey(ByteSpan peerPoint, uint8_t length) {
    ByteVector point{0x04};
    point.insert(point.end(), peerPoint.begin(), peerPoint.end());
    return Proprietary(0x4A, 0x00, 0x00).Data(point).Expect(length == 0 ? Command::kMaxShortNe : length);
}

}  // namespace libapdu::helix
