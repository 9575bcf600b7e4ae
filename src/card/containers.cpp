// Key containers: a container's key lives in the key directory as a private key file (0200 | K)
// describing it and a key object (K + 41) holding it, K being the container index, plus 20 for
// signature keys.
#include <algorithm>
#include <cstring>

#include "card/card_context.h"
#include "card/card_failure.h"
#include "card/card_io.h"
#include "card/card_object.h"
#include "card/container_map.h"
#include "card/key_material.h"
#include "card/key_references.h"
#include "log/mdlog.h"

namespace {

using libapdu::ByteVector;
using libapdu::CardPath;

constexpr uint16_t kKeyObjectBase = 0x41;

CardPath KeyDirectory() {
    return libapdu::ApplicationDirectory();
}

CardPath InKeyDirectory(uint16_t id) {
    CardPath path = KeyDirectory();
    path.push_back(id);
    return path;
}

// The two card objects of one key. Creation names the key object K + 0x41 in 16 bits (0041 to
// 0140), where decryption's path keeps only the low byte (keyref::KeyObject).
struct KeyFiles {
    uint8_t index = 0;

    static KeyFiles Exchange(BYTE container) { return {keyref::Reference(container, AT_KEYEXCHANGE)}; }
    static KeyFiles Signature(BYTE container) { return {keyref::Reference(container, AT_SIGNATURE)}; }
    uint16_t File() const { return keyref::PrivateKeyFileId(index); }
    uint16_t KeyObject() const { return static_cast<uint16_t>(index + kKeyObjectBase); }
};

KeyFiles FilesFor(BYTE container, const ContainerKey& key) {
    return key.Signature() ? KeyFiles::Signature(container) : KeyFiles::Exchange(container);
}

libapdu::FileDescriptor Descriptor(uint8_t kind, size_t size, uint8_t access1, uint8_t access2) {
    libapdu::FileDescriptor descriptor;
    descriptor.kind = kind;
    descriptor.size = static_cast<uint16_t>(size);
    descriptor.access[0] = 0;
    descriptor.access[1] = access1;
    descriptor.access[2] = access2;
    return descriptor;
}

// Runs `create`; when the card already holds an object of that identifier, the old one is
// deleted and `create` runs once more.
template <class Create>
void Replacing(libapdu::IAppFS& fs, const CardPath& path, Create&& create) {
    try {
        create();
        return;
    } catch (const libapdu::CAPDUException& e) {
        if (e.StatusWord() != sw::kFileExists) throw;
    }
    fs.SelectPath(path);
    fs.DeleteFile();
    create();
}

// Once the card is being written: its refusal of the security condition, or anything else.
template <class Work>
void OnKeyCreation(Work&& work) {
    try {
        work();
    } catch (const CAException& e) {
        ThrowStatus(e.Code() == sw::kNotAllowed ? SCARD_W_SECURITY_VIOLATION : SCARD_E_UNEXPECTED);
    }
}

void WriteKeyFile(libapdu::IToken& token, const KeyFiles& files, const ByteVector& content) {
    libapdu::IAppFS& fs = *token.GetFS();
    const libapdu::FileDescriptor descriptor =
        Descriptor(libapdu::kElementaryFile, content.size(), UserPinId(token), 3);
    Replacing(fs, InKeyDirectory(files.File()), [&] {
        fs.SelectPath(KeyDirectory());
        fs.CreateFile(files.File(), descriptor, ByteVector());
    });
    MdLog("Content for write to private key EF");
    MdLogHexTable(content.data(), content.size());
    fs.SelectPath(InKeyDirectory(files.File()));
    fs.WriteFile(content, 0);
}

// In the key directory, still current after the private key file was written.
void GenerateKey(libapdu::IToken& token, const KeyFiles& files, const ContainerKey& key, uint8_t parameter) {
    libapdu::IAppFS& fs = *token.GetFS();
    MdLog("Create private key KO FID = 0x%x for key gen", files.KeyObject());
    const libapdu::FileDescriptor descriptor = Descriptor(libapdu::kKeyObject, key.bits / 8, 0, key.Usage());
    const CardPath path = InKeyDirectory(files.KeyObject());
    Replacing(fs, path, [&] { fs.CreateFile(files.KeyObject(), descriptor, ByteVector()); });
    fs.SelectPath(path);
    MdLog("Generate asymmetric key pair");
    token.GetCrypto()->GenerateKeyPair(&parameter, 0);
}

void ImportKey(libapdu::IToken& token, const KeyFiles& files, const libapdu::KeyRecord& record) {
    MdLog("Create private key KO FID = 0x%x for key import", files.KeyObject());
    libapdu::IAppCrypto& crypto = *token.GetCrypto();
    Replacing(*token.GetFS(), InKeyDirectory(files.KeyObject()),
              [&] { crypto.ImportKey(files.KeyObject(), record); });
}

// The two objects of a key go, each only if it is there.
void DeleteKey(libapdu::IAppFS& fs, const KeyFiles& files) {
    for (uint16_t id : {files.File(), files.KeyObject()}) {
        TranslateCardFailures({{sw::kNotAllowed, SCARD_W_SECURITY_VIOLATION}}, SCARD_E_UNEXPECTED, [&] {
            try {
                fs.SelectPath(InKeyDirectory(id));
                fs.DeleteFile();
            } catch (const libapdu::CAPDUException& e) {
                if (e.StatusWord() != sw::kFileNotFound) throw;
            }
        });
    }
}

bool Selects(libapdu::IAppFS& fs, const CardPath& path) {
    try {
        fs.SelectPath(path);
        return true;
    } catch (const CAException&) {
        return false;
    }
}

// The key the host is told about: the map's record says which, else the key files on the card.
bool ReportsSignatureKey(libapdu::IAppFS& fs, const ContainerEntry* listed, BYTE container) {
    if (listed != nullptr && listed->record.wSigKeySizeBits != 0) return true;
    if (listed != nullptr && listed->record.wKeyExchangeKeySizeBits != 0) return false;
    if (Selects(fs, InKeyDirectory(KeyFiles::Exchange(container).File()))) return false;
    if (Selects(fs, InKeyDirectory(KeyFiles::Signature(container).File()))) return true;
    ThrowStatus(SCARD_E_NO_KEY_CONTAINER);
}

// The elliptic-curve container key spec of a card key, by its length in bytes.
DWORD EcSpec(bool signature, uint16_t length) {
    switch (length) {
        case 0x20:
            return signature ? AT_ECDSA_P256 : AT_ECDHE_P256;
        case 0x30:
            return signature ? AT_ECDSA_P384 : AT_ECDHE_P384;
        case 0x42:
            return signature ? AT_ECDSA_P521 : AT_ECDHE_P521;
        default:
            ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
}

// Fills the entry's cache from the card's key object; returns the container key spec of the key.
// The card's answer must describe one whole key: a modulus or point of another length than the
// key object says is not a key the host can be given.
DWORD CachePublicKey(libapdu::IToken& token, const KeyFiles& files, DWORD keySpec, ContainerEntry& entry) {
    libapdu::IAppCrypto& crypto = *token.GetCrypto();
    const libapdu::KeyObjectInfo info = TranslateCardFailures({}, SCARD_E_NO_KEY_CONTAINER, [&] {
        crypto.SelectKeyObject(InKeyDirectory(files.File()));
        return crypto.GetKeyObjectInfo();
    });
    const bool ec = info.algorithm == libapdu::kAlgEc;
    const ByteVector& key = ec ? info.point : info.modulus;
    if (key.empty()) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (ec) keySpec = EcSpec(keySpec == AT_SIGNATURE, info.size);
    if (key.size() != (ec ? 1u + 2u * info.size : info.size) || key.size() > sizeof entry.publicKey)
        ThrowStatus(SCARD_E_UNEXPECTED);

    entry.keyLengthCode = info.size;
    std::memset(entry.publicKey, 0, sizeof entry.publicKey);
    entry.exponent = 0;
    if (ec) {
        std::copy(key.begin(), key.end(), entry.publicKey);
        return keySpec;
    }
    std::reverse_copy(key.begin(), key.end(), entry.publicKey);
    // The last three bytes of the exponent, as import hands an exponent to the card.
    const size_t first = info.exponent.size() > 3 ? info.exponent.size() - 3 : 0;
    for (size_t i = first; i < info.exponent.size(); ++i)
        entry.exponent = entry.exponent << 8 | info.exponent[i];
    return keySpec;
}

}  // namespace

void CCardContext::CreateContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                   DWORD dwKeySize, PBYTE pbKeyData) {
    const bool generate = dwFlags == CARD_CREATE_CONTAINER_KEY_GEN;
    const bool import = dwFlags == CARD_CREATE_CONTAINER_KEY_IMPORT;
    if ((!generate && !import) || (import && pbKeyData == nullptr) || dwKeySpec < AT_KEYEXCHANGE ||
        dwKeySpec > AT_ECDHE_P521)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const ContainerKey key = ContainerKey::Of(dwKeySpec, dwKeySize);
    if (m_login->roles == kRoleAdmin) ThrowStatus(SCARD_W_SECURITY_VIOLATION);

    const auto transaction = SelectHeld(pCardData);
    libapdu::IToken& token = Token();
    // A size the card offers but never makes is refused before anything is written.
    const std::vector<uint16_t> lengths = token.GetCrypto()->GetAlgorithmInfo(key.Algorithm()).lengths;
    const std::optional<uint8_t> parameter = key.GenerationParameter();
    if (!parameter || std::find(lengths.begin(), lengths.end(), key.bits / 8) == lengths.end())
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    ReverifyCachedPin();

    const KeyFiles files = FilesFor(bContainerIndex, key);
    OnKeyCreation([&] {
        libapdu::IAppFS& fs = *token.GetFS();
        std::optional<ByteVector> name = RecordedContainerName(m_ContIdx, files.index);
        if (!name) name = NewContainerName();
        const ByteVector content =
            BuildPrivateKeyFile(files.index, key, *name, generate, FreshnessTrailer(fs, m_cardcf));
        MdLog("Create private key EF FID = 0x%x", files.File());
        WriteKeyFile(token, files, content);
        if (generate) {
            GenerateKey(token, files, key, *parameter);
        } else {
            ImportKey(token, files, ImportRecord(key, pbKeyData));
        }
    });
    if (bContainerIndex < m_ContIdx.size()) {
        ContainerEntry& entry = m_ContIdx[bContainerIndex];
        entry.keyLengthCode = 0;
        std::memset(entry.publicKey, 0, sizeof entry.publicKey);
        entry.exponent = 0;
    }
}

void CCardContext::DeleteContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwReserved) {
    if (dwReserved != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    ReselectWithPin(pCardData);
    libapdu::IAppFS& fs = *Token().GetFS();
    DeleteKey(fs, KeyFiles::Exchange(bContainerIndex));
    DeleteKey(fs, KeyFiles::Signature(bContainerIndex));
}

void CCardContext::GetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                    PCONTAINER_INFO pContainerInfo) {
    if (pContainerInfo == nullptr || dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (pContainerInfo->dwVersion == 0) pContainerInfo->dwVersion = CONTAINER_INFO_CURRENT_VERSION;
    if (pContainerInfo->dwVersion != CONTAINER_INFO_CURRENT_VERSION) ThrowStatus(ERROR_REVISION_MISMATCH);

    Reselect(pCardData);
    MdLog("m_ContIdx size = %d", static_cast<int>(m_ContIdx.size()));
    libapdu::IToken& token = Token();
    if (bContainerIndex >= m_ContIdx.size()) {
        std::optional<ByteVector> file;
        try {
            file = cmap::ReadFile(token);
        } catch (const CAException&) {
            // Without a map the key files on the card still tell what the container holds.
        }
        if (file) {
            MdLog("Readed content from cmapfile");
            MdLogHexTable(file->data(), file->size());
            cmap::CheckLength(*file);
            cmap::Parse(*file, m_ContIdx);
            MdLog("m_ContIdx size = %d after read cmapfile", static_cast<int>(m_ContIdx.size()));
        }
    }

    ContainerEntry* listed = bContainerIndex < m_ContIdx.size() ? &m_ContIdx[bContainerIndex] : nullptr;
    ContainerEntry unlisted;
    ContainerEntry& entry = listed != nullptr ? *listed : unlisted;
    const bool signature = ReportsSignatureKey(*token.GetFS(), listed, bContainerIndex);
    const KeyFiles files =
        signature ? KeyFiles::Signature(bContainerIndex) : KeyFiles::Exchange(bContainerIndex);
    DWORD keySpec = signature ? AT_SIGNATURE : AT_KEYEXCHANGE;
    if (entry.keyLengthCode == 0 || entry.exponent == 0)
        keySpec = CachePublicKey(token, files, keySpec, entry);

    const ByteVector blob = PublicKeyBlob(keySpec, entry.keyLengthCode, entry.publicKey, entry.exponent);
    BYTE* out = CopyOut(*pCardData, blob);
    const auto size = static_cast<DWORD>(blob.size());
    if (keySpec == AT_KEYEXCHANGE || keySpec >= AT_ECDHE_P256) {
        pContainerInfo->cbKeyExPublicKey = size;
        pContainerInfo->pbKeyExPublicKey = out;
    } else {
        pContainerInfo->cbSigPublicKey = size;
        pContainerInfo->pbSigPublicKey = out;
    }
}
