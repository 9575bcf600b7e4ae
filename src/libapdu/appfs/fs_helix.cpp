#include "libapdu/appfs/fs_helix.h"

#include <algorithm>
#include <array>

#include "libapdu/appfs/curves.h"
#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"
#include "libapdu/token/reader.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

namespace {

constexpr uint16_t kMaxFileSize = 0x7FFF;
constexpr uint16_t kMaxResize = 0x7FFE;
// Offsets travel in P1-P2; bit 15 would turn P1 into a short file identifier.
constexpr uint32_t kMaxOffset = 0x7FFF;
constexpr size_t kNameEntries = 8;
constexpr size_t kNameImageBytes = 2 * kNameEntries;

// File-descriptor bytes (tag 87), which are also P1 of CREATE FILE and of the listing.
constexpr uint8_t kFdFile = 0x01;
constexpr uint8_t kFdDirectory = 0x38;
constexpr uint8_t kFdKeyObject = 0x08;

constexpr uint8_t kTagFcp = 0x62;
constexpr uint8_t kTagSize = 0x80;
constexpr uint8_t kTagFileId = 0x83;
constexpr uint8_t kTagName = 0x84;
constexpr uint8_t kTagAttributes = 0x86;
constexpr uint8_t kTagDescriptor = 0x87;
constexpr uint8_t kTagListEntry = 0xD2;

[[noreturn]] void Fail(uint16_t word, const char16_t* where) {
    ThrowAPDUException(word, where, __LINE__);
}

bool IsUserAuthObject(uint8_t id) {
    return id == 0x20 || id == 0x23 || id == 0x24 || id == 0x25;
}

uint8_t KindOf(uint8_t fileDescriptor) {
    switch (fileDescriptor) {
        case kFdFile:
            return kElementaryFile;
        case kFdDirectory:
            return kDirectory;
        case kFdKeyObject:
            return kKeyObject;
        default:
            return 0;
    }
}

void PushU16(ByteVector& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

ByteVector U16Bytes(uint16_t value) {
    ByteVector out;
    PushU16(out, value);
    return out;
}

Reader AnswerReader(ByteSpan value) {
    return Reader(value, Failure::Apdu(sw::kCorruptedData, u"CFSHelix::ReadAnswer"));
}

// A two-byte value, high byte first, that must be exactly that long.
uint16_t U16Value(ByteSpan value) {
    Reader r = AnswerReader(value);
    const uint16_t result = r.U16BE();
    r.Require(r.AtEnd());
    return result;
}

// The first element with the tag at the top level; a malformed element throws on the way.
std::optional<ParsedTlv> Find(ByteSpan buffer, uint32_t tag) {
    for (size_t at = 0; at < buffer.size;) {
        const ParsedTlv element = ParseBerTlv(buffer, at);
        if (element.tag == tag) return element;
        at = element.end;
    }
    return std::nullopt;
}

ParsedTlv Required(ByteSpan buffer, uint32_t tag) {
    const std::optional<ParsedTlv> element = Find(buffer, tag);
    if (!element) Fail(sw::kCorruptedData, u"CFSHelix::ReadAnswer");
    return *element;
}

// Every element of a listing answer that carries a child.
std::vector<ParsedTlv> ListEntries(const ByteVector& answer) {
    std::vector<ParsedTlv> entries;
    for (size_t at = 0; at < answer.size();) {
        const ParsedTlv element = ParseBerTlv(answer, at);
        if (element.tag == kTagListEntry) entries.push_back(element);
        at = element.end;
    }
    return entries;
}

// A name image holds the path's identifiers low byte first; unused entries are zero.
ByteVector NameImage(const CardPath& relative) {
    ByteVector image(kNameImageBytes, 0x00);
    for (size_t i = 0; i < relative.size() && i < kNameEntries; ++i) {
        image[2 * i] = static_cast<uint8_t>(relative[i] & 0xFF);
        image[2 * i + 1] = static_cast<uint8_t>(relative[i] >> 8);
    }
    return image;
}

CardPath DecodeNameImage(ByteSpan image) {
    Reader r = AnswerReader(image);
    r.Require(image.size == kNameImageBytes);
    CardPath name;
    while (!r.AtEnd()) {
        const uint8_t low = r.U8();
        name.push_back(static_cast<uint16_t>(r.U8() << 8 | low));
    }
    while (!name.empty() && name.back() == 0) name.pop_back();
    return name;
}

bool StartsWith(const CardPath& path, const CardPath& prefix) {
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// Longer paths do not fit the command's one-byte Lc.
Command SelectByPathCommand(const CardPath& path) {
    if (path.empty() || path.size() > 0x7F) Fail(sw::kFileNotFound, u"IAppFS::SelectPath");
    return helix::SelectPath(path);
}

// The card wants the 62 template's length in the 81 form even when it is short, and in the
// 82 form for key objects.
ByteVector WrapFcp(const TlvList& fields, bool twoByteLength) {
    const uint32_t n = fields.Length();
    ByteVector out{kTagFcp};
    if (twoByteLength) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
    } else {
        out.push_back(0x81);
    }
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    out.insert(out.end(), fields.Bytes().begin(), fields.Bytes().end());
    return out;
}

// 8A 01 04 | 83 02 id | 80 02 size: how every template begins.
TlvList TemplateHead(uint16_t id, uint16_t size) {
    TlvList fields;
    fields.Append(TlvElement(0x8A, uint8_t{0x04}))
        .Append(TlvElement(kTagFileId, U16Bytes(id)))
        .Append(TlvElement(kTagSize, U16Bytes(size)));
    return fields;
}

char LowerHex(unsigned digit) {
    return "0123456789abcdef"[digit & 0x0F];
}

// Private-key files 02nn in the key directory are named kxs/kss and the number in hex without
// a leading zero; certificate objects 84nn in the certificate directory kxc/ksc and two digits.
// nn 00-1D is the key-exchange series, 20-3D the signature series.
std::optional<TlvElement> ObjectName(const CardPath& directory, uint16_t id) {
    static const CardPath kKeyDirectory{kMasterFile, 0x3000, 0x3002};
    static const CardPath kCertificateDirectory{kMasterFile, 0x3000, 0x3001};
    const unsigned nn = id & 0xFF;
    const bool exchange = nn <= 0x1D;
    if (!exchange && (nn < 0x20 || nn > 0x3D)) return std::nullopt;
    const unsigned number = exchange ? nn : nn - 0x20;

    ByteVector name;
    if (directory == kKeyDirectory && (id >> 8) == 0x02) {
        name = exchange ? ByteVector{'k', 'x', 's'} : ByteVector{'k', 's', 's'};
        if (number > 0x0F) name.push_back(LowerHex(number >> 4));
    } else if (directory == kCertificateDirectory && (id >> 8) == 0x84) {
        name = exchange ? ByteVector{'k', 'x', 'c'} : ByteVector{'k', 's', 'c'};
        name.push_back(LowerHex(number >> 4));
    } else {
        return std::nullopt;
    }
    name.push_back(LowerHex(number));
    return TlvElement(kTagName, name);
}

// 62 81 15 | 8A 01 04 | 83 02 id | 80 02 size | 86 08 00 a0 00 a1 00 a1 00 a1 [| 84 n name]
ByteVector FileTemplate(uint16_t id, const FileDescriptor& d, const std::optional<TlvElement>& name) {
    TlvList fields = TemplateHead(id, d.size);
    fields.Append(TlvElement(kTagAttributes,
                             {0x00, d.access[0], 0x00, d.access[1], 0x00, d.access[1], 0x00, d.access[1]}));
    if (name) fields.Append(*name);
    return WrapFcp(fields, false);
}

// 62 81 19 | 8A 01 04 | 83 02 id | 80 02 00 00 | 86 0C (00 a1) six times
ByteVector DirectoryTemplate(uint16_t id, uint8_t a1) {
    TlvList fields = TemplateHead(id, 0);
    ByteVector attributes;
    for (int i = 0; i < 6; ++i) attributes.insert(attributes.end(), {0x00, a1});
    fields.Append(TlvElement(kTagAttributes, attributes));
    return WrapFcp(fields, false);
}

// 62 81 2B | 8A 01 04 | 83 02 00 nn | 80 02 00 00 | 84 10 name image |
// 86 0C 00 a1 00 a1 00 a1 00 a1 00 a0 00 FF
ByteVector NamedDirectoryTemplate(uint8_t nn, const ByteVector& image, const FileDescriptor& d) {
    const uint8_t a0 = d.access[0];
    const uint8_t a1 = d.access[1];
    TlvList fields = TemplateHead(nn, 0);
    fields.Append(TlvElement(kTagName, image))
        .Append(TlvElement(kTagAttributes, {0x00, a1, 0x00, a1, 0x00, a1, 0x00, a1, 0x00, a0, 0x00, 0xFF}));
    return WrapFcp(fields, false);
}

// E1 82 length | 90 l p | 91 l a | 92 l b | 93 81 l G | 94 l n | 95 l h
ByteVector DomainParameters(const CurveParameters& curve) {
    ByteVector values;
    const auto add = [&values](uint8_t tag, const ByteVector& value, bool longForm) {
        values.push_back(tag);
        if (longForm) values.push_back(0x81);
        values.push_back(static_cast<uint8_t>(value.size()));
        values.insert(values.end(), value.begin(), value.end());
    };
    add(0x90, curve.p, false);
    add(0x91, curve.a, false);
    add(0x92, curve.b, false);
    add(0x93, curve.g, true);
    add(0x94, curve.n, false);
    add(0x95, curve.h, false);
    ByteVector out{0xE1, 0x82};
    PushU16(out, static_cast<uint16_t>(values.size()));
    out.insert(out.end(), values.begin(), values.end());
    return out;
}

bool IsEllipticSize(uint16_t size) {
    return size < 0x40 || size == 0x42;
}

// Elliptic: 85 05 03 t 30 00 A3 and the domain parameters, t = 04 signature, 80 key exchange,
// 84 both. RSA: 85 05 05 t 20 00 A3 71 00, t = 04 signature, 08 key exchange, 0C both.
ByteVector UsageBlock(uint16_t size, uint8_t usage) {
    if (IsEllipticSize(size)) {
        const CurveParameters* curve = CurveForKeyBytes(size);
        if (curve == nullptr) HELIX_NOT_SUPPORTED("IAppFS::CreateFile");
        const uint8_t t = usage == 2 ? 0x04 : usage == 1 ? 0x80 : 0x84;
        ByteVector block{0x85, 0x05, 0x03, t, 0x30, 0x00, 0xA3};
        const ByteVector domain = DomainParameters(*curve);
        block.insert(block.end(), domain.begin(), domain.end());
        return block;
    }
    const uint8_t t = usage == 2 ? 0x04 : usage == 1 ? 0x08 : 0x0C;
    return {0x85, 0x05, 0x05, t, 0x20, 0x00, 0xA3, 0x71, 0x00};
}

// 62 82 length | 8A 01 04 | 83 02 id | 80 02 size | 86 0E 00 00 00 FF 00 FF 00 u 00 u 00 00 00 u |
// usage block.
ByteVector KeyObjectTemplate(uint16_t id, uint16_t size, uint8_t u, const ByteVector& usage) {
    TlvList fields = TemplateHead(id, size);
    fields.Append(TlvElement(kTagAttributes,
                             {0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, u, 0x00, u, 0x00, 0x00, 0x00, u}));
    ByteVector inner = fields.Bytes();
    inner.insert(inner.end(), usage.begin(), usage.end());

    ByteVector fcp{kTagFcp, 0x82};
    PushU16(fcp, static_cast<uint16_t>(inner.size()));
    fcp.insert(fcp.end(), inner.begin(), inner.end());
    return fcp;
}

}  // namespace

CFSHelix::CFSHelix(CAppletHelix& applet) : m_applet(applet) {}

bool CFSHelix::InNamedArea(const CardPath& path) const {
    return path.size() > m_baseDirectory.size() && StartsWith(path, m_baseDirectory);
}

CardPath CFSHelix::Relative(const CardPath& path) const {
    if (!StartsWith(path, m_baseDirectory)) return {};
    return CardPath(path.begin() + static_cast<std::ptrdiff_t>(m_baseDirectory.size()), path.end());
}

uint8_t CFSHelix::UserPinId() const {
    const PinReference reference = m_applet.Pin()->GetUserPinRef();
    if (reference.empty()) Fail(sw::kFileNotFound, u"IAppFS::CreateFile");
    return static_cast<uint8_t>(reference.back() & 0xFF);
}

ByteVector CFSHelix::SendSelectByPath(const CardPath& path) {
    return m_applet.Exchange(SelectByPathCommand(path));
}

// Directories report no size; their access bytes are 0 and the object named by attribute
// byte 1. Files and key objects: attribute bytes 1 and 3. Other objects (authentication
// objects) keep "nothing known".
FcpInfo ParseFcp(ByteSpan answer) {
    const ByteSpan fields = Required(answer, kTagFcp).Value();
    FcpInfo info;
    FileDescriptor& selected = info.descriptor;
    selected.kind = KindOf(AnswerReader(Required(fields, kTagDescriptor).Value()).U8());
    const std::optional<ParsedTlv> attributes = Find(fields, kTagAttributes);
    Reader r = AnswerReader(attributes ? attributes->Value() : ByteSpan());
    switch (selected.kind) {
        case kDirectory:
            r.Skip(1);
            selected.access[0] = 0;
            selected.access[1] = r.U8();
            break;
        case kElementaryFile:
        case kKeyObject:
            selected.size = U16Value(Required(fields, kTagSize).Value());
            r.Skip(1);
            selected.access[0] = r.U8();
            r.Skip(1);
            selected.access[1] = r.U8();
            break;
        default:
            break;
    }
    if (const std::optional<ParsedTlv> id = Find(fields, kTagFileId)) info.id = U16Value(id->Value());
    if (attributes) info.attributes = attributes->CopyValue();
    return info;
}

void CFSHelix::Absorb(const ByteVector& fcp) {
    FcpInfo info = ParseFcp(fcp);
    m_selected = info.descriptor;
    m_securityAttributes = std::move(info.attributes);
    m_lastFcp = fcp;
}

// Attributes that name a user authentication object other than the one the application uses
// are corrected on the card.
void CFSHelix::RefreshAttributes() {
    if (m_attributeSubstitute == 0) return;
    ByteVector corrected = m_securityAttributes;
    for (size_t i = 1; i < corrected.size(); i += 2) {
        if (IsUserAuthObject(corrected[i])) corrected[i] = m_attributeSubstitute;
    }
    if (corrected == m_securityAttributes) return;

    // A 62 template holding the corrected 86.
    const ByteVector fcp = EncodeTlv(TlvElement(kTagFcp, TlvElement(kTagAttributes, corrected)));
    (void)m_applet.Exchange(helix::RewriteAttributes(fcp));
    m_securityAttributes = std::move(corrected);
}

ByteVector CFSHelix::SelectByPath(const CardPath& path) {
    ByteVector fcp = SendSelectByPath(path);
    Absorb(fcp);
    RefreshAttributes();
    return fcp;
}

ByteVector CFSHelix::SendSelectByName(const CardPath& relative) {
    if (relative.size() > kNameEntries) Fail(sw::kFileNotFound, u"IAppFS::SelectByName");
    return SendSelectByNameImage(NameImage(relative));
}

ByteVector CFSHelix::SendSelectByNameImage(ByteSpan image) {
    return m_applet.Exchange(helix::SelectName(image));
}

uint16_t CFSHelix::AbsorbNamed(const ByteVector& fcp) {
    Absorb(fcp);
    return U16Value(Required(Required(fcp, kTagFcp).Value(), kTagFileId).Value());
}

std::optional<uint16_t> CFSHelix::TrySelectNamed(const CardPath& relative) {
    ByteVector fcp;
    try {
        fcp = SendSelectByName(relative);
    } catch (const CAPDUException&) {
        return std::nullopt;
    }
    return AbsorbNamed(fcp);
}

void CFSHelix::SelectPath(CardPath path) {
    if (path.empty() || path.front() != kMasterFile)
        path.insert(path.begin(), m_baseDirectory.begin(), m_baseDirectory.end());
    m_requestedPath = std::move(path);
    m_physicalPath.clear();
    if (!InNamedArea(m_requestedPath)) {
        m_physicalPath = m_requestedPath;
        (void)SelectByPath(m_physicalPath);
        return;
    }
    SelectBelowBase();
}

// A directory of the named area is found by its name; a file by the name of its directory and
// its own identifier. Files directly in the base directory are not reachable this way.
void CFSHelix::SelectBelowBase() {
    m_physicalPath = m_baseDirectory;
    const CardPath rest = Relative(m_requestedPath);

    ByteVector base;
    try {
        base = SendSelectByPath(m_baseDirectory);
    } catch (const CAPDUException&) {
        RecreateBaseDirectory();
        base = SendSelectByPath(m_baseDirectory);
    }
    Absorb(base);
    RefreshAttributes();

    if (const auto directory = TrySelectNamed(rest)) {
        m_physicalPath.push_back(*directory);
    } else {
        if (rest.size() < 2) Fail(sw::kFileNotFound, u"IAppFS::SelectPath");
        const ByteVector fcp = SendSelectByName(CardPath(rest.begin(), rest.end() - 1));
        m_physicalPath.push_back(AbsorbNamed(fcp));
        m_physicalPath.push_back(rest.back());
    }

    ByteVector fcp;
    try {
        fcp = SendSelectByPath(m_physicalPath);
    } catch (const CAPDUException&) {
        Fail(sw::kFileNotFound, u"IAppFS::SelectPath");
    }
    Absorb(fcp);
    RefreshAttributes();
}

void CFSHelix::RecreateBaseDirectory() {
    FileDescriptor directory;
    directory.kind = kDirectory;
    directory.access[0] = 0;
    directory.access[1] = UserPinId();
    (void)SelectByPath(CardPath(m_baseDirectory.begin(), m_baseDirectory.end() - 1));
    CreateObject(m_baseDirectory.back(), directory);
}

void CFSHelix::SelectByName(CardPath relative) {
    const uint16_t id = AbsorbNamed(SendSelectByName(relative));
    m_requestedPath = m_baseDirectory;
    m_requestedPath.insert(m_requestedPath.end(), relative.begin(), relative.end());
    m_nameScratch = m_requestedPath;
    m_physicalPath = m_baseDirectory;
    m_physicalPath.push_back(id);
}

void CFSHelix::SelectFid(uint16_t id) {
    Absorb(m_applet.Exchange(helix::SelectFid(id)));
    if (m_selected.kind != kDirectory) m_selected.kind = kElementaryFile;
}

void CFSHelix::CreateFile(uint16_t id, FileDescriptor descriptor, const ByteVector& /*content*/) {
    if (IsReservedFileId(id)) Fail(sw::kNotAllowed, u"IAppFS::CreateFile");
    if (descriptor.size > kMaxFileSize) Fail(sw::kExecutionError, u"IAppFS::CreateFile");
    // A directory below the base directory, or anything in the base directory itself, joins the
    // named area.
    const bool named =
        (descriptor.kind == kDirectory && InNamedArea(m_requestedPath)) || m_physicalPath == m_baseDirectory;
    if (named) {
        CreateNamedDirectory(id, descriptor);
    } else {
        CreateObject(id, descriptor);
    }
}

void CFSHelix::CreateObject(uint16_t id, const FileDescriptor& descriptor) {
    switch (descriptor.kind) {
        case kElementaryFile:
            (void)m_applet.Exchange(
                helix::CreateFile(kFdFile, FileTemplate(id, descriptor, ObjectName(m_requestedPath, id))));
            return;
        case kDirectory:
            (void)m_applet.Exchange(
                helix::CreateFile(kFdDirectory, DirectoryTemplate(id, descriptor.access[1])));
            return;
        case kKeyObject: {
            const ByteVector usage = UsageBlock(descriptor.size, descriptor.access[2]);
            const ByteVector fcp = KeyObjectTemplate(id, descriptor.size, UserPinId(), usage);
            ByteVector answer;
            m_applet.Pack()->ChainedSend(helix::CreateKeyObject(fcp).Encode(), answer);
            return;
        }
        default:
            HELIX_NOT_SUPPORTED("IAppFS::CreateFile");
    }
}

// All named directories live side by side in the base directory under identifiers 00nn; the
// name image carries the hierarchy.
void CFSHelix::CreateNamedDirectory(uint16_t id, const FileDescriptor& descriptor) {
    CardPath name = Relative(m_requestedPath);
    name.push_back(id);
    if (name.size() > kNameEntries) Fail(sw::kExecutionError, u"IAppFS::CreateFile");

    CardPath absolute = m_baseDirectory;
    absolute.insert(absolute.end(), name.begin(), name.end());
    bool exists = true;
    try {
        SelectPath(absolute);
    } catch (const CAPDUException&) {
        exists = false;
    }
    if (exists) Fail(sw::kFileExists, u"IAppFS::CreateFile");

    const uint8_t nn = FreeDirectoryNumber();
    const ByteVector answer = m_applet.Send(
        helix::CreateFile(kFdDirectory, NamedDirectoryTemplate(nn, NameImage(name), descriptor)));
    IAppError& error = *m_applet.Error();
    // The card refuses an identifier or name it cannot take with 6A80: the area is full.
    if (error.StatusWord(answer) == sw::kWrongData) Fail(sw::kExecutionError, u"IAppFS::CreateFile");
    error.CheckResponse(answer);
}

// The smallest nn from 1 that no directory of the base directory uses as 00nn. The listing
// names a named directory by its name image; its identifier comes from selecting that name.
// Leaves the base directory selected, which is where the new directory goes.
uint8_t CFSHelix::FreeDirectoryNumber() {
    (void)SelectByPath(m_baseDirectory);
    std::array<bool, 0x100> used{};
    bool movedAway = false;
    const ByteVector listing = List(kFdDirectory);
    for (const ParsedTlv& entry : ListEntries(listing)) {
        uint16_t id = 0;
        if (entry.length == kNameImageBytes) {
            id = AbsorbNamed(SendSelectByNameImage(entry.Value()));
            movedAway = true;
        } else {
            id = U16Value(entry.Value());
        }
        if (id <= 0xFF) used[id] = true;
    }
    if (movedAway) (void)SelectByPath(m_baseDirectory);
    for (size_t nn = 1; nn < used.size(); ++nn) {
        if (!used[nn]) return static_cast<uint8_t>(nn);
    }
    Fail(sw::kExecutionError, u"IAppFS::CreateFile");
}

// Recursion through DeleteNamedTree is bounded: a named path holds at most eight names.
void CFSHelix::DeleteFile() {  // NOLINT(misc-no-recursion)
    if (m_selected.kind == kDirectory && InNamedArea(m_requestedPath)) DeleteNamedTree();
    DeleteSelected();
}

// Named subdirectories are separate directories on the card: they go first, deepest first.
void CFSHelix::DeleteNamedTree() {  // NOLINT(misc-no-recursion)
    const CardPath directory = m_requestedPath;
    const std::vector<uint16_t> children = ListNamedChildren();
    for (uint16_t child : children) {
        CardPath path = directory;
        path.push_back(child);
        SelectPath(path);
        DeleteFile();
    }
    if (!children.empty()) SelectPath(directory);
}

void CFSHelix::DeleteSelected() {
    (void)m_applet.Exchange(helix::DeleteFile(m_selected.kind == kDirectory));
}

std::vector<uint16_t> CFSHelix::ListFiles(uint8_t kind) {
    if (m_selected.kind != kDirectory) Fail(sw::kFileDeactivated, u"IAppFS::ListFiles");
    if (kind != kElementaryFile && kind != kDirectory) HELIX_NOT_SUPPORTED("IAppFS::ListFiles");
    if (kind == kElementaryFile) return ListIdentifiers(kFdFile);
    // Inside the area the physical path may coincide with the requested one (a name [0001]
    // on directory 0001): where the path lies decides.
    if (!StartsWith(m_requestedPath, m_baseDirectory)) return ListIdentifiers(kFdDirectory);
    return ListNamedChildren();
}

// The listing goes through the key-packing facet: a long answer arrives in pieces.
ByteVector CFSHelix::List(uint8_t p1) {
    ByteVector answer;
    m_applet.Pack()->ChainedSend(helix::ListFiles(p1).Encode(), answer);
    return answer;
}

std::vector<uint16_t> CFSHelix::ListIdentifiers(uint8_t p1) {
    const ByteVector listing = List(p1);
    std::vector<uint16_t> ids;
    for (const ParsedTlv& entry : ListEntries(listing)) ids.push_back(U16Value(entry.Value()));
    return ids;
}

// The base directory lists every name of the area; the children are the names one entry longer
// than the requested path that begin with it. The selection is put back afterwards.
std::vector<uint16_t> CFSHelix::ListNamedChildren() {
    (void)SelectByPath(m_baseDirectory);
    const ByteVector listing = List(kFdDirectory);
    std::vector<uint16_t> children;
    for (const ParsedTlv& entry : ListEntries(listing)) {
        // A directory made by identifier has no name and is no part of the named tree.
        if (entry.length == 2) continue;
        m_nameScratch = m_baseDirectory;
        const CardPath name = DecodeNameImage(entry.Value());
        m_nameScratch.insert(m_nameScratch.end(), name.begin(), name.end());
        if (m_nameScratch.size() == m_requestedPath.size() + 1 && StartsWith(m_nameScratch, m_requestedPath))
            children.push_back(m_nameScratch.back());
    }
    if (!m_physicalPath.empty() && m_physicalPath != m_baseDirectory) (void)SelectByPath(m_physicalPath);
    return children;
}

void CFSHelix::ReadChunk(ByteVector& chunk, uint32_t offset) {
    const uint64_t end = uint64_t{offset} + chunk.size();
    if (offset > kMaxOffset || end > m_selected.size || chunk.size() > MaxChunk())
        Fail(sw::kEndOfFile, u"IAppFS::ReadFile");
    if (chunk.empty()) return;
    ByteVector data = m_applet.Exchange(
        helix::ReadBinary(static_cast<uint16_t>(offset), static_cast<uint8_t>(chunk.size())));
    if (data.size() != chunk.size()) Fail(sw::kEndOfFile, u"IAppFS::ReadFile");
    chunk = std::move(data);
}

void CFSHelix::WriteChunk(const ByteVector& chunk, uint32_t offset) {
    const uint64_t end = uint64_t{offset} + chunk.size();
    if (offset > kMaxOffset || end > m_selected.size || chunk.size() > MaxChunk())
        Fail(sw::kNotEnoughMemory, u"IAppFS::WriteFile");
    if (chunk.empty()) return;
    (void)m_applet.Exchange(helix::UpdateBinary(static_cast<uint16_t>(offset), chunk));
}

void CFSHelix::ResizeFile(uint16_t size) {
    if (size > kMaxResize) Fail(sw::kExecutionError, u"IAppFS::ResizeFile");
    (void)m_applet.Exchange(helix::ResizeFile(size));
    m_selected.size = size;
}

}  // namespace libapdu
