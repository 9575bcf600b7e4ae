#include "mdlog/commands.h"

#include <array>
#include <optional>
#include <vector>

#include "libapdu/appfs/fs_helix.h"
#include "libapdu/commands_helix.h"
#include "libapdu/libapdu.h"
#include "libapdu/token/apdu.h"
#include "libapdu/token/status_words.h"

namespace mdlog {

namespace {

using libapdu::ApduParts;
namespace helix = libapdu::helix;

constexpr uint8_t kCla = 1;
constexpr uint8_t kIns = 2;
constexpr uint8_t kP1 = 4;
constexpr uint8_t kP2 = 8;
constexpr uint8_t kAll = kCla | kIns | kP1 | kP2;
// Secure messaging and chaining ride in the class byte.
constexpr uint8_t kClaMarks =
    libapdu::IAPDUDefinitions::kClaSecureMessaging | libapdu::IAPDUDefinitions::kClaChaining;

std::string Hex16(unsigned value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return HexText(bytes, 2, "");
}

std::string Hex8(unsigned value) {
    const auto byte = static_cast<uint8_t>(value);
    return HexText(&byte, 1, "");
}

unsigned U16(const Bytes& data, size_t at) {
    return at + 1 < data.size() ? static_cast<unsigned>(data[at] << 8 | data[at + 1]) : 0;
}

// The Le of a short command without data, 00 standing for 256.
unsigned ShortLe(const Bytes& command) {
    if (command.size() != 5) return 0;
    return command[4] == 0 ? 256 : command[4];
}

const char* KindName(uint8_t kind) {
    switch (kind) {
        case libapdu::kElementaryFile:
            return "file";
        case libapdu::kDirectory:
            return "directory";
        case libapdu::kKeyObject:
            return "key object";
        default:
            return "object of unknown kind";
    }
}

std::string FcpText(const Bytes& data) {
    try {
        const libapdu::FcpInfo fcp = libapdu::ParseFcp(libapdu::ByteSpan(data.data(), data.size()));
        std::string text = "FCP: ";
        if (fcp.id) text += "identifier " + Hex16(*fcp.id) + ", ";
        text += KindName(fcp.descriptor.kind);
        if (fcp.descriptor.kind == libapdu::kElementaryFile || fcp.descriptor.kind == libapdu::kKeyObject)
            text += " of " + std::to_string(fcp.descriptor.size) + " bytes";
        text += ", access " + Hex8(fcp.descriptor.access[0]) + "/" + Hex8(fcp.descriptor.access[1]);
        if (!fcp.attributes.empty()) text += ", attributes " + HexText(fcp.attributes, "");
        return text;
    } catch (...) {
        return "an FCP that does not parse: " + HexText(data, "");
    }
}

struct Context {
    const Bytes& command;
    const ApduParts& parts;
    bool wrapped;
};

using Detail = std::string (*)(const Context&);

struct Pattern {
    std::array<uint8_t, 4> header;
    uint8_t match;
    const char* name;
    Detail detail;
    Secret secret;
};

std::string SelectAppletDetail(const Context& c) {
    const libapdu::Command applet = helix::SelectApplet();
    const libapdu::ByteSpan aid = applet.DataField();
    if (c.parts.data == Bytes(aid.begin(), aid.end())) return "";
    return " (another AID: " + HexText(c.parts.data, "") + ")";
}

std::string PathDetail(const Context& c) {
    std::string path;
    for (size_t i = 0; i + 1 < c.parts.data.size(); i += 2)
        path += (i == 0 ? "" : "/") + Hex16(U16(c.parts.data, i));
    return " " + path + " by path";
}

std::string NameDetail(const Context& c) {
    return " by name image " + HexText(c.parts.data, "");
}

std::string FidDetail(const Context& c) {
    return " " + Hex16(U16(c.parts.data, 0)) + " by identifier";
}

std::string OffsetOf(const Context& c) {
    return std::to_string(c.parts.header[2] << 8 | c.parts.header[3]);
}

std::string ReadDetail(const Context& c) {
    return " " + std::to_string(ShortLe(c.command)) + " bytes at " + OffsetOf(c);
}

std::string WriteDetail(const Context& c) {
    return " " + std::to_string(c.parts.data.size()) + " bytes at " + OffsetOf(c);
}

std::string TemplateDetail(const Context& c) {
    if (c.parts.data.empty()) return "";
    return ", " + FcpText(c.parts.data);
}

std::string DeleteDetail(const Context& c) {
    return c.parts.header[2] == 0x01 ? " of the selected directory" : " of the selected file";
}

std::string ResizeDetail(const Context& c) {
    return " to " + std::to_string(U16(c.parts.data, 0)) + " bytes";
}

std::string ListDetail(const Context& c) {
    return " (descriptor " + Hex8(c.parts.header[2]) + ")";
}

std::string ObjectDetail(const Context& c) {
    const uint8_t id = c.parts.header[3];
    return id == 0 ? " of the selected object" : " of object " + Hex8(id);
}

std::string LogoutDetail(const Context& c) {
    const uint8_t id = c.parts.data.size() == 4 ? c.parts.data[3] : 0;
    return id == 0 ? " of every object" : " of object " + Hex8(id);
}

std::string LengthDetail(const Context& c) {
    return " " + std::to_string(ShortLe(c.command)) + " bytes";
}

std::string P2Detail(const Context& c) {
    return " " + Hex8(c.parts.header[3]);
}

std::string ObjectP1P2Detail(const Context& c) {
    return " " + Hex16(static_cast<unsigned>(c.parts.header[2] << 8 | c.parts.header[3]));
}

std::string GenerateDetail(const Context& c) {
    return c.parts.data.empty() ? "" : ", parameter " + Hex8(c.parts.data.back());
}

std::string PsoDetail(const Context& c) {
    return " " + Hex8(c.parts.header[2]) + Hex8(c.parts.header[3]);
}

const std::vector<Pattern>& Patterns() {
    static const std::vector<Pattern> patterns = [] {
        const uint8_t none[1] = {0};
        const libapdu::ByteSpan empty(none, 0);
        const Bytes image(16, 0);
        const libapdu::ByteSpan name(image.data(), image.size());
        return std::vector<Pattern>{
            {helix::SelectApplet().Header(), kAll, "SELECT of the Helix applet", SelectAppletDetail,
             Secret::None},
            {helix::SelectPath({libapdu::kMasterFile}).Header(), kAll, "SELECT", PathDetail, Secret::None},
            {helix::SelectName(name).Header(), kAll, "SELECT", NameDetail, Secret::None},
            {helix::SelectFid(0).Header(), kAll, "SELECT", FidDetail, Secret::None},
            {helix::ReadBinary(0, 1).Header(), kCla | kIns, "READ BINARY", ReadDetail, Secret::None},
            {helix::UpdateBinary(0, empty).Header(), kCla | kIns, "UPDATE BINARY", WriteDetail, Secret::None},
            {helix::CreateKeyObject(empty).Header(), kCla | kIns | kP1, "CREATE FILE of a key object",
             TemplateDetail, Secret::None},
            {helix::CreateFile(0, empty).Header(), kCla | kIns, "CREATE FILE", TemplateDetail, Secret::None},
            {helix::DeleteFile(false).Header(), kCla | kIns, "DELETE FILE", DeleteDetail, Secret::None},
            {helix::RewriteAttributes(empty).Header(), kAll, "rewrite of the selected file's attributes",
             TemplateDetail, Secret::None},
            {helix::ResizeFile(0).Header(), kAll, "resize of the selected file", ResizeDetail, Secret::None},
            {helix::ListFiles(0).Header(), kCla | kIns, "listing of the selected directory", ListDetail,
             Secret::None},
            {helix::VerifyProtected(empty).Header(), kAll, "VERIFY protected (user PIN cryptogram)", nullptr,
             Secret::CommandData},
            {helix::Verify(0, empty).Header(), kCla | kIns | kP1, "VERIFY in clear", ObjectDetail,
             Secret::CommandData},
            {helix::VerifiedObjects().Header(), kAll, "query of the verified objects", nullptr, Secret::None},
            {helix::Logout(0).Header(), kAll, "LOGOUT", LogoutDetail, Secret::None},
            {helix::GetChallenge(8).Header(), kAll, "GET CHALLENGE", LengthDetail, Secret::None},
            {helix::ExternalAuthenticate(empty).Header(), kAll,
             "EXTERNAL AUTHENTICATE (administrator's answer)", nullptr, Secret::CommandData},
            {helix::ResetRetryCounter().Header(), kAll, "RESET RETRY COUNTER of the selected PIN", nullptr,
             Secret::None},
            {helix::SetPinValue(empty).Header(), kAll, "set PIN value", nullptr, Secret::CommandData},
            {helix::GetCapabilities(0, 1).Header(), kCla | kIns | kP1, "capability query", P2Detail,
             Secret::None},
            {helix::GetData(0, 0).Header(), kIns, "GET DATA", ObjectP1P2Detail, Secret::None},
            {helix::KeyEstablishmentValues().Header(), kAll, "the card's key-establishment values", nullptr,
             Secret::None},
            {helix::ReadPublicKey().Header(), kAll, "public key of the selected key object", nullptr,
             Secret::None},
            {helix::CloseSecureSession().Header(), kAll, "end of the secure session", nullptr, Secret::None},
            {helix::OpenSecureSession(empty).Header(), kAll,
             "opening of a secure session (host public value)", nullptr, Secret::ResponseData},
            {helix::GenerateKeyPair(0).Header(), kAll, "GENERATE ASYMMETRIC KEY PAIR", GenerateDetail,
             Secret::None},
            {helix::PerformSecurityOperation(0x9E, 0, empty).Header(), kCla | kIns | kP1,
             "PERFORM SECURITY OPERATION: signature", PsoDetail, Secret::None},
            {helix::PerformSecurityOperation(0x80, 0, empty).Header(), kCla | kIns | kP1,
             "PERFORM SECURITY OPERATION: decipher", PsoDetail, Secret::ResponseData},
            {helix::PerformSecurityOperation(0, 0, empty).Header(), kCla | kIns, "PERFORM SECURITY OPERATION",
             PsoDetail, Secret::None},
            {helix::AgreeKey(empty, 0).Header(), kAll, "elliptic-curve key agreement", nullptr,
             Secret::ResponseData},
            {libapdu::GetResponse(1).Header(), kAll, "GET RESPONSE", LengthDetail, Secret::None},
        };
    }();
    return patterns;
}

bool Matches(const Pattern& p, const std::array<uint8_t, 4>& header) {
    const uint8_t bits[4] = {kCla, kIns, kP1, kP2};
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t wanted = i == 0 ? static_cast<uint8_t>(p.header[0] & ~kClaMarks) : p.header[i];
        if ((p.match & bits[i]) != 0 && header[i] != wanted) return false;
    }
    return true;
}

}  // namespace

std::string HexText(const uint8_t* data, size_t size, const char* separator) {
    static const char* const kDigits = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        if (i != 0) text += separator;
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0x0F]);
    }
    return text;
}

uint16_t StatusWord(const Bytes& response) {
    return libapdu::sw::Of(response.data(), response.size());
}

CommandInfo DescribeCommand(const Bytes& command) {
    CommandInfo info;
    ApduParts parts;
    try {
        parts = libapdu::SplitApdu(libapdu::ByteSpan(command.data(), command.size()));
    } catch (...) {
        info.name = "malformed command " + HexText(command.data(), std::min<size_t>(command.size(), 8));
        return info;
    }
    const uint8_t cla = parts.header[0];
    info.ins = parts.header[1];
    info.chained = (cla & libapdu::IAPDUDefinitions::kClaChaining) != 0;
    info.wrapped = (cla & libapdu::IAPDUDefinitions::kClaSecureMessaging) ==
                   libapdu::IAPDUDefinitions::kClaSecureMessaging;
    std::array<uint8_t, 4> header = parts.header;
    header[0] = static_cast<uint8_t>(cla & ~kClaMarks);
    for (const Pattern& p : Patterns()) {
        if (!Matches(p, header)) continue;
        info.known = true;
        info.secret = p.secret;
        if (info.wrapped) {
            // The data is a cryptogram and a MAC: nothing of the plain command shows.
            info.name = std::string("secure-messaging wrapped ") + p.name;
            info.secret = Secret::CommandData;
        } else {
            const Context context{command, parts, info.wrapped};
            info.name = std::string(p.name) + (p.detail != nullptr && !info.chained ? p.detail(context) : "");
        }
        return info;
    }
    info.name = "unknown command " + HexText(parts.header.data(), 4);
    return info;
}

std::string DescribeResponse(uint8_t ins, const Bytes& response) {
    if (response.size() < 2) return "no status word (" + std::to_string(response.size()) + " bytes)";
    const uint16_t word = StatusWord(response);
    std::string text = Hex16(word);
    const char* meaning = libapdu::sw::Meaning(word);
    if (*meaning != 0) text += std::string(" ") + meaning;
    const std::optional<uint16_t> folded = libapdu::NormaliseStatusWord(word);
    text += folded ? ", normalised " + Hex16(*folded) : ", normalised success";
    const Bytes data(response.begin(), response.end() - 2);
    if (data.empty()) return text;
    if (ins == 0xA4 && data[0] == 0x62) return text + "; " + FcpText(data);
    return text + "; " + std::to_string(data.size()) + " bytes of data";
}

}  // namespace mdlog
