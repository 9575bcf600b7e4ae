// The minidriver's file system laid over fixed card files: cardid and cardcf under 3003, the
// container map and certificate objects under 3001, msroots under 3003/3005.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "card/card_context.h"
#include "card/card_failure.h"
#include "card/card_io.h"
#include "card/card_object.h"
#include "card/cert_object.h"
#include "card/container_map.h"
#include "libapdu/token/reader.h"
#include "log/mdlog.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::CardPath;

CardPath CardDirectory() {
    return {0x3F00, 0x3000, 0x3003};
}
CardPath RootsDirectory() {
    return {0x3F00, 0x3000, 0x3003, 0x3005};
}
CardPath RootsPath() {
    return {0x3F00, 0x3000, 0x3003, 0x3005, 0x4004};
}
CardPath KeyDirectory() {
    return {0x3F00, 0x3000, 0x3002};
}
const CardPath& kCertificateDirectory = cmap::kDirectoryPath;
constexpr uint16_t kRootsFileId = 0x4004;
constexpr uint8_t kRootsAccess = 0x30;
constexpr uint8_t kCertificateSeries = 0x84;
constexpr uint16_t kKeyFileSeries = 0x0200;
constexpr uint8_t kSignatureOffset = 0x20;
constexpr uint8_t kContainerSlots = 32;

constexpr char kMscp[] = "mscp";
constexpr size_t kMaxNameLength = 8;
constexpr size_t kPrefixBytes = 2;
constexpr DWORD kMaxContainers = 30;

void CheckName(const char* name) {
    const size_t length = name == nullptr ? 0 : strnlen(name, kMaxNameLength + 1);
    if (length == 0 || length > kMaxNameLength) ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

void CheckNames(const char* directory, const char* file) {
    if (directory != nullptr) CheckName(directory);
    CheckName(file);
}

bool Is(const char* text, const char* expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

std::optional<uint8_t> HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return std::nullopt;
}

// "<prefix>NN" with exactly two hexadecimal digits: the container index NN.
std::optional<uint8_t> IndexAfter(const char* name, const char* prefix) {
    const size_t prefixLength = std::strlen(prefix);
    if (std::strncmp(name, prefix, prefixLength) != 0) return std::nullopt;
    const char* digits = name + prefixLength;
    if (digits[0] == '\0' || digits[1] == '\0' || digits[2] != '\0') return std::nullopt;
    const std::optional<uint8_t> high = HexDigit(digits[0]);
    const std::optional<uint8_t> low = HexDigit(digits[1]);
    if (!high || !low) return std::nullopt;
    return static_cast<uint8_t>(*high << 4 | *low);
}

uint8_t SignatureSlot(uint8_t index) {
    return static_cast<uint8_t>(index + kSignatureOffset);
}

uint16_t CertificateFileId(uint8_t slot) {
    return static_cast<uint16_t>(kCertificateSeries << 8 | slot);
}

CardPath Under(const CardPath& directory, uint16_t id) {
    CardPath path = directory;
    path.push_back(id);
    return path;
}

// The signature certificate first, then the key-exchange one.
std::optional<uint16_t> CertificateId(const char* name) {
    if (const auto index = IndexAfter(name, "ksc")) return CertificateFileId(SignatureSlot(*index));
    if (const auto index = IndexAfter(name, "kxc")) return CertificateFileId(*index);
    return std::nullopt;
}

// The name under which a certificate object found on the card is listed.
std::string CertificateName(uint8_t slot) {
    const bool signature = slot >= kSignatureOffset && slot < kSignatureOffset + kContainerSlots;
    char name[kMaxNameLength + 1] = {};
    (void)std::snprintf(name, sizeof name, signature ? "ksc%02x" : "kxc%02x",
                        static_cast<unsigned>(signature ? slot - kSignatureOffset : slot));
    return name;
}

enum class FileKind { Unmapped, Cardid, Cardcf, Cmapfile, Msroots, Certificate, BadCertificate };

struct MappedFile {
    FileKind kind = FileKind::Unmapped;
    uint16_t id = 0;  // certificate file identifier
};

// The files that can be created and deleted: msroots and the certificates, all in mscp, where
// every other name is taken for a certificate name.
MappedFile CreatableFile(const char* directory, const char* name) {
    if (!Is(directory, kMscp)) return {FileKind::Unmapped};
    if (Is(name, "msroots")) return {FileKind::Msroots};
    if (const auto id = CertificateId(name)) return {FileKind::Certificate, *id};
    return {FileKind::BadCertificate};
}

// What is read and written: cardid and cardcf in any directory, cmapfile in mscp, and the files
// that can be created.
MappedFile Resolve(const char* directory, const char* name) {
    if (Is(name, "cardcf")) return {FileKind::Cardcf};
    if (Is(name, "cardid")) return {FileKind::Cardid};
    if (Is(directory, kMscp) && Is(name, "cmapfile")) return {FileKind::Cmapfile};
    return CreatableFile(directory, name);
}

// What CardGetFileInfo addresses, by file name alone.
std::optional<CardPath> InfoPath(const char* name) {
    if (Is(name, "cardid")) return CardidPath();
    if (Is(name, "cardcf")) return CardcfPath();
    if (Is(name, "cmapfile")) return cmap::kFilePath;
    if (const auto index = IndexAfter(name, "kxc"))
        return Under(kCertificateDirectory, CertificateFileId(*index));
    if (const auto index = IndexAfter(name, "ksc"))
        return Under(kCertificateDirectory, CertificateFileId(SignatureSlot(*index)));
    if (const auto index = IndexAfter(name, "kxs")) return Under(KeyDirectory(), kKeyFileSeries | *index);
    if (const auto index = IndexAfter(name, "kss"))
        return Under(KeyDirectory(), kKeyFileSeries | SignatureSlot(*index));
    return std::nullopt;
}

template <class Work>
auto OnMappedFile(Work&& work) -> decltype(work()) {
    return TranslateCardFailures({{sw::kFileNotFound, SCARD_E_FILE_NOT_FOUND}}, SCARD_E_UNEXPECTED, work);
}

template <class Work>
auto OnCard(Work&& work) -> decltype(work()) {
    return TranslateCardFailures({}, SCARD_E_UNEXPECTED, work);
}

libapdu::FileDescriptor ElementaryFile(size_t size, uint8_t access) {
    libapdu::FileDescriptor descriptor;
    descriptor.kind = libapdu::kElementaryFile;
    descriptor.size = static_cast<uint16_t>(size);
    descriptor.access[0] = 0;
    descriptor.access[1] = access;
    descriptor.access[2] = 3;
    return descriptor;
}

// cardid and cardcf: a two-byte length, high byte first, before the data.
ByteVector PrefixedContent(const ByteVector& file, size_t dataBytes, bool exactPrefix) {
    libapdu::Reader r(file, libapdu::Failure::Status(SCARD_E_UNEXPECTED));
    const size_t prefix = r.U16BE();
    r.Require(file.size() == dataBytes + kPrefixBytes);
    r.Require(exactPrefix ? prefix + kPrefixBytes == file.size() : prefix <= file.size());
    return r.Rest().ToVector();
}

void WritePrefixed(libapdu::IAppFS& fs, const CardPath& path, ByteSpan data,
                   std::initializer_list<WordToStatus> writeFailures) {
    const size_t size = OnMappedFile([&] {
        fs.SelectPath(path);
        return fs.GetFileInfo().size;
    });
    if (data.size + kPrefixBytes > size) ThrowStatus(SCARD_E_WRITE_TOO_MANY);
    ByteVector content{static_cast<uint8_t>(data.size >> 8), static_cast<uint8_t>(data.size & 0xFF)};
    content.insert(content.end(), data.begin(), data.end());
    TranslateCardFailures(writeFailures, SCARD_E_UNEXPECTED, [&] { fs.WriteFile(content, 0); });
}

// A read that must not fail the caller: the list stays as it was when the card cannot give the
// file or the file's length field does not match.
void LoadContainersQuietly(libapdu::IToken& token, std::vector<ContainerEntry>& containers) {
    ByteVector file;
    try {
        file = cmap::ReadFile(token);
    } catch (const CAException&) {
        return;
    }
    if (cmap::LengthMatches(file)) cmap::Parse(file, containers);
}

// Everything the new object needs is gathered, and the room for it measured, before the old one
// goes: a certificate the object cannot hold, or the card cannot store, leaves the card as it was.
// `replaced` is the old object's size, as the selection that found it reported.
void ReplaceCertificate(libapdu::IToken& token, uint16_t id, ByteSpan certificate, size_t replaced,
                        std::vector<ContainerEntry>& containers, const ByteVector& cachedCardcf) {
    libapdu::IAppFS& fs = *token.GetFS();
    const auto slot = static_cast<uint8_t>(id & 0xFF);
    if (containers.size() <= slot % kContainerSlots) LoadContainersQuietly(token, containers);
    const ByteVector name = RecordedContainerName(containers, slot).value_or(ByteVector());
    const ByteVector trailer = FreshnessTrailer(fs, cachedCardcf);
    const uint8_t user = UserPinId(token);
    const ByteVector object = BuildCertificateObject(slot, certificate, name, trailer);

    const CardPath path = Under(kCertificateDirectory, id);
    if (object.size() > replaced + token.GetInfo()->GetFreeMemory()) ThrowStatus(SCARD_E_WRITE_TOO_MANY);
    fs.SelectPath(path);
    fs.DeleteFile();
    fs.SelectPath(kCertificateDirectory);
    fs.CreateFile(id, ElementaryFile(object.size(), user), ByteVector());
    fs.SelectPath(path);
    fs.WriteFile(object, 0);
}

void ListCardDirectory(libapdu::IAppFS& fs) {
    fs.SelectPath(CardDirectory());
    (void)fs.ListFiles(libapdu::kDirectory);
    (void)fs.ListFiles(libapdu::kElementaryFile);
}

bool RootsPresent(libapdu::IAppFS& fs) {
    try {
        fs.SelectPath(RootsPath());
        return true;
    } catch (const libapdu::CAPDUException& e) {
        if (e.StatusWord() == sw::kFileNotFound) return false;
        throw;
    }
}

std::vector<std::string> MscpListing(libapdu::IAppFS& fs) {
    std::vector<std::string> names{"cmapfile"};
    if (RootsPresent(fs)) names.emplace_back("msroots");
    fs.SelectPath(kCertificateDirectory);
    std::vector<uint16_t> ids = fs.ListFiles(libapdu::kElementaryFile);
    std::sort(ids.begin(), ids.end());
    for (uint16_t id : ids) {
        if (id >> 8 == kCertificateSeries) names.push_back(CertificateName(static_cast<uint8_t>(id & 0xFF)));
    }
    return names;
}

ByteVector MultiString(const std::vector<std::string>& names) {
    ByteVector out;
    for (const std::string& name : names) {
        out.insert(out.end(), name.begin(), name.end());
        out.push_back('\0');
    }
    out.push_back('\0');
    return out;
}

}  // namespace

bool CCardContext::CacheCurrent(const CARD_DATA& data) const {
    return m_hSCardCtx == data.hSCardCtx && m_hScard == data.hScard;
}

void CCardContext::AdoptHandles(const CARD_DATA& data) {
    if (!CacheCurrent(data)) {
        m_cardid.clear();
        m_cardcf.clear();
        m_ContIdx.clear();
    }
    m_hSCardCtx = data.hSCardCtx;
    m_hScard = data.hScard;
}

void CCardContext::CreateDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName,
                                   CARD_DIRECTORY_ACCESS_CONDITION) {
    if (pszDirectoryName == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckName(pszDirectoryName);
    Reselect(pCardData);
    TranslateCardFailures({}, ERROR_FILE_EXISTS, [&] { ListCardDirectory(*Token().GetFS()); });
}

void CCardContext::DeleteDirectory(PCARD_DATA, LPSTR pszDirectoryName) {
    if (pszDirectoryName == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckName(pszDirectoryName);
    TranslateCardFailures({}, ERROR_FILE_EXISTS, [&] { ListCardDirectory(*Token().GetFS()); });
}

void CCardContext::CreateFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                              DWORD cbInitialCreationSize, CARD_FILE_ACCESS_CONDITION) {
    if (pszFileName == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckNames(pszDirectoryName, pszFileName);
    Reselect(pCardData);
    libapdu::IToken& token = Token();
    const uint32_t freeBytes = OnCard([&] { return token.GetInfo()->GetFreeMemory(); });
    if (cbInitialCreationSize >= freeBytes || cbInitialCreationSize > 0xFFFF)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);

    const MappedFile file = CreatableFile(pszDirectoryName, pszFileName);
    if (file.kind == FileKind::BadCertificate) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (file.kind != FileKind::Msroots && file.kind != FileKind::Certificate) return;

    ReverifyCachedPin();
    libapdu::IAppFS& fs = *token.GetFS();
    TranslateCardFailures({{sw::kFileExists, ERROR_FILE_EXISTS}}, SCARD_E_UNEXPECTED, [&] {
        if (file.kind == FileKind::Msroots) {
            fs.SelectPath(RootsDirectory());
            fs.CreateFile(kRootsFileId, ElementaryFile(cbInitialCreationSize, kRootsAccess), ByteVector());
        } else {
            const uint8_t user = UserPinId(token);
            fs.SelectPath(kCertificateDirectory);
            fs.CreateFile(file.id, ElementaryFile(cbInitialCreationSize, user), ByteVector());
        }
    });
}

void CCardContext::ReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                            PBYTE* ppbData, PDWORD pcbData) {
    if (ppbData == nullptr || pcbData == nullptr || pszFileName == nullptr || dwFlags != 0)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckNames(pszDirectoryName, pszFileName);

    const MappedFile file = Resolve(pszDirectoryName, pszFileName);
    ByteVector answer;
    switch (file.kind) {
        case FileKind::Cardcf:
        case FileKind::Cardid: {
            const bool cardcf = file.kind == FileKind::Cardcf;
            ByteVector& cache = cardcf ? m_cardcf : m_cardid;
            if (cache.empty() || !CacheCurrent(*pCardData)) {
                Reselect(pCardData);
                AdoptHandles(*pCardData);
                const ByteVector content = OnMappedFile(
                    [&] { return ReadWhole(*Token().GetFS(), cardcf ? CardcfPath() : CardidPath()); });
                cache = PrefixedContent(content, cardcf ? m_cardcfSize : m_cardidSize, cardcf);
            }
            answer = cache;
            break;
        }
        case FileKind::Cmapfile: {
            if (m_ContIdx.empty() || !CacheCurrent(*pCardData)) {
                Reselect(pCardData);
                AdoptHandles(*pCardData);
                const ByteVector content = OnMappedFile([&] { return cmap::ReadFile(Token()); });
                MdLog("Readed content from cmapfile");
                MdLogHexTable(content.data(), content.size());
                cmap::CheckLength(content);
                cmap::Parse(content, m_ContIdx);
            }
            for (const ContainerEntry& entry : m_ContIdx) {
                const auto* record = reinterpret_cast<const uint8_t*>(&entry.record);
                answer.insert(answer.end(), record, record + cmap::kRecordBytes);
            }
            break;
        }
        case FileKind::Msroots:
            Reselect(pCardData);
            answer = OnMappedFile([&] { return ReadWhole(*Token().GetFS(), RootsPath()); });
            break;
        case FileKind::Certificate:
            Reselect(pCardData);
            answer = OnMappedFile([&] {
                libapdu::IAppCrypto& crypto = *Token().GetCrypto();
                crypto.SelectKeyObject(Under(kCertificateDirectory, file.id));
                return crypto.GetKeyObjectInfo().content;
            });
            break;
        case FileKind::BadCertificate:
        case FileKind::Unmapped:
            ThrowStatus(SCARD_E_FILE_NOT_FOUND);
    }
    *ppbData = CopyOut(*pCardData, answer);
    *pcbData = static_cast<DWORD>(answer.size());
}

void CCardContext::WriteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                             PBYTE pbData, DWORD cbData) {
    if (pbData == nullptr || pszFileName == nullptr || dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckNames(pszDirectoryName, pszFileName);
    const MappedFile file = Resolve(pszDirectoryName, pszFileName);
    if (file.kind == FileKind::Unmapped || file.kind == FileKind::BadCertificate)
        ThrowStatus(SCARD_E_FILE_NOT_FOUND);

    ReselectWithPin(pCardData);
    libapdu::IToken& token = Token();
    libapdu::IAppFS& fs = *token.GetFS();
    const ByteSpan data(pbData, cbData);
    switch (file.kind) {
        case FileKind::Cardcf:
            WritePrefixed(fs, CardcfPath(), data, {});
            // A record of another size is not what readers expect: let the next read ask the card.
            m_cardcf = cbData == m_cardcfSize ? data.ToVector() : ByteVector();
            return;
        case FileKind::Cardid:
            WritePrefixed(fs, CardidPath(), data, {{sw::kNotAllowed, SCARD_W_SECURITY_VIOLATION}});
            m_cardid = cbData == m_cardidSize ? data.ToVector() : ByteVector();
            return;
        case FileKind::Cmapfile: {
            const ByteVector current = OnMappedFile([&] { return ReadWhole(fs, cmap::kFilePath); });
            MdLog("Content for write to cmapfile ");
            MdLogHexTable(pbData, cbData);
            const ByteVector written = OnCard([&] {
                cmap::Merge(token, current, data);
                return cmap::ReadFile(token);
            });
            cmap::CheckLength(written);
            // Unlike a read, a write leaves the list as the card holds it, even with no records.
            std::vector<ContainerEntry> containers;
            cmap::Parse(written, containers);
            m_ContIdx.swap(containers);
            return;
        }
        case FileKind::Msroots:
            OnMappedFile([&] {
                fs.SelectPath(RootsPath());
                fs.WriteFile(data.ToVector(), 0);
            });
            return;
        case FileKind::Certificate: {
            const size_t replaced = OnMappedFile([&] {
                fs.SelectPath(Under(kCertificateDirectory, file.id));
                return fs.GetFileInfo().size;
            });
            OnCard([&] { ReplaceCertificate(token, file.id, data, replaced, m_ContIdx, m_cardcf); });
            return;
        }
        case FileKind::BadCertificate:
        case FileKind::Unmapped:
            break;
    }
}

void CCardContext::DeleteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                              DWORD dwFlags) {
    if (pszFileName == nullptr || dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckNames(pszDirectoryName, pszFileName);
    Reselect(pCardData);
    const MappedFile file = CreatableFile(pszDirectoryName, pszFileName);
    if (file.kind == FileKind::BadCertificate) ThrowStatus(SCARD_E_FILE_NOT_FOUND);
    if (file.kind != FileKind::Msroots && file.kind != FileKind::Certificate) return;

    ReverifyCachedPin();
    libapdu::IAppFS& fs = *Token().GetFS();
    OnMappedFile([&] {
        fs.SelectPath(file.kind == FileKind::Msroots ? RootsPath() : Under(kCertificateDirectory, file.id));
        fs.DeleteFile();
    });
}

void CCardContext::EnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames,
                             LPDWORD pdwcbFileName, DWORD dwFlags) {
    if (pszDirectoryName != nullptr && pszDirectoryName[0] == '\0') ThrowStatus(SCARD_E_DIR_NOT_FOUND);
    if (pmszFileNames == nullptr || pdwcbFileName == nullptr || dwFlags != 0)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (pszDirectoryName != nullptr) {
        CheckName(pszDirectoryName);
        if (!Is(pszDirectoryName, kMscp)) ThrowStatus(SCARD_E_DIR_NOT_FOUND);
    }
    Reselect(pCardData);
    const std::vector<std::string> names = pszDirectoryName == nullptr
                                               ? std::vector<std::string>{"cardid", "cardcf"}
                                               : OnMappedFile([&] { return MscpListing(*Token().GetFS()); });
    const ByteVector listing = MultiString(names);
    *pmszFileNames = reinterpret_cast<LPSTR>(CopyOut(*pCardData, listing));
    *pdwcbFileName = static_cast<DWORD>(listing.size());
}

void CCardContext::GetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                               PCARD_FILE_INFO pCardFileInfo) {
    if (pszFileName == nullptr || pCardFileInfo == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckNames(pszDirectoryName, pszFileName);
    const std::optional<CardPath> path = InfoPath(pszFileName);
    if (!path) ThrowStatus(SCARD_E_FILE_NOT_FOUND);

    try {
        Reselect(pCardData);
    } catch (...) {
        ThrowStatus(SCARD_E_UNEXPECTED);
    }
    libapdu::IAppFS& fs = *Token().GetFS();
    TranslateCardFailures({}, SCARD_E_FILE_NOT_FOUND, [&] { fs.SelectPath(*path); });
    pCardFileInfo->cbFileSize = OnCard([&] { return fs.GetFileInfo().size; });
}

void CCardContext::QueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags,
                                  PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo) {
    if (pCardFreeSpaceInfo == nullptr || dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (pCardFreeSpaceInfo->dwVersion > 1) ThrowStatus(ERROR_REVISION_MISMATCH);
    Reselect(pCardData);
    libapdu::IToken& token = Token();
    if (m_ContIdx.empty()) LoadContainersQuietly(token, m_ContIdx);
    const uint32_t freeBytes = OnCard([&] { return token.GetInfo()->GetFreeMemory(); });
    pCardFreeSpaceInfo->dwVersion = 1;
    pCardFreeSpaceInfo->dwBytesAvailable = freeBytes;
    pCardFreeSpaceInfo->dwKeyContainersAvailable = static_cast<DWORD>(m_ContIdx.size());
    pCardFreeSpaceInfo->dwMaxKeyContainers = kMaxContainers;
}

void CCardContext::QueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags,
                                 PCARD_KEY_SIZES pKeySizes) {
    if (dwKeySpec < AT_KEYEXCHANGE || dwKeySpec > AT_ECDHE_P521 || dwFlags != 0 || pKeySizes == nullptr)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    struct Sizes {
        DWORD minimum, standard, maximum, increment;
    };
    Sizes sizes{};
    switch (dwKeySpec) {
        case AT_KEYEXCHANGE:
        case AT_SIGNATURE: {
            Reselect(pCardData);
            const std::vector<uint16_t> lengths =
                OnCard([&] { return Token().GetCrypto()->GetAlgorithmInfo(libapdu::kAlgRsa).lengths; });
            const bool rsa4096 = std::find(lengths.begin(), lengths.end(), 0x0200) != lengths.end();
            sizes = {1024, 2048, rsa4096 ? 4096u : 2048u, 1024};
            break;
        }
        case AT_ECDSA_P256:
        case AT_ECDHE_P256:
            sizes = {256, 256, 256, 1};
            break;
        case AT_ECDSA_P384:
        case AT_ECDHE_P384:
            sizes = {384, 384, 384, 1};
            break;
        default:
            sizes = {521, 521, 521, 1};
            break;
    }
    pKeySizes->dwVersion = 1;
    pKeySizes->dwMinimumBitlen = sizes.minimum;
    pKeySizes->dwDefaultBitlen = sizes.standard;
    pKeySizes->dwMaximumBitlen = sizes.maximum;
    pKeySizes->dwIncrementalBitlen = sizes.increment;
}
