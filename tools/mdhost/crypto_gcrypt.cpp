// The host's cryptography in mdhost.exe, for which there is no OpenSSL: libgcrypt for keys,
// signatures, agreement, hashes and 3DES; the system's crypt32 to read certificates. The
// certificates mdhost issues are written as DER here.

// libgcrypt brings winsock2.h, which must come before windows.h, which wincrypt.h needs first.
#include <gcrypt.h>
// (keep this order)
#include <windows.h>
// (keep this order)
#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <stdexcept>
#include <string>
#include <utility>

#include "mdhost/hex.h"
#include "mdhost/host_crypto.h"
#include "mdhost/x509.h"

struct HostKey {
    gcry_sexp_t publicKey = nullptr;
    gcry_sexp_t privateKey = nullptr;  // null for a public key alone
    std::string curve;                 // libgcrypt's name of the curve; empty for RSA
    HostKey() = default;
    HostKey(const HostKey&) = delete;
    HostKey& operator=(const HostKey&) = delete;
    ~HostKey() {
        gcry_sexp_release(publicKey);
        gcry_sexp_release(privateKey);
    }
};

namespace mdhost {

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("libgcrypt: ") + what);
}

void Require(bool ok, const char* what) {
    if (!ok) Fail(what);
}

void Ready() {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    Require(ready, "version");
}

struct Sexp {
    gcry_sexp_t s = nullptr;
    Sexp() = default;
    explicit Sexp(gcry_sexp_t value) : s(value) {}
    Sexp(const Sexp&) = delete;
    Sexp& operator=(const Sexp&) = delete;
    ~Sexp() { gcry_sexp_release(s); }
};

struct Mpi {
    gcry_mpi_t m = nullptr;
    Mpi() = default;
    explicit Mpi(gcry_mpi_t value) : m(value) {}
    explicit Mpi(const Bytes& bigEndian) {
        Require(gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bigEndian.data(), bigEndian.size(), nullptr) == 0,
                "number");
    }
    Mpi(const Mpi&) = delete;
    Mpi& operator=(const Mpi&) = delete;
    ~Mpi() { gcry_mpi_release(m); }
};

// The big-endian bytes of `m`, left-padded to `size` (0: as long as they are).
Bytes BytesOf(gcry_mpi_t m, size_t size = 0) {
    size_t length = 0;
    Require(gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &length, m) == 0, "number size");
    Bytes value(length);
    Require(gcry_mpi_print(GCRYMPI_FMT_USG, value.data(), value.size(), &length, m) == 0, "number");
    value.resize(length);
    if (size == 0) return value;
    Require(value.size() <= size, "number too long");
    value.insert(value.begin(), size - value.size(), 0);
    return value;
}

gcry_mpi_t Part(gcry_sexp_t key, const char* token) {
    const Sexp part(gcry_sexp_find_token(key, token, 0));
    Require(part.s != nullptr, token);
    gcry_mpi_t value = gcry_sexp_nth_mpi(part.s, 1, GCRYMPI_FMT_USG);
    Require(value != nullptr, token);
    return value;
}

Bytes Data(gcry_sexp_t key, const char* token) {
    const Sexp part(gcry_sexp_find_token(key, token, 0));
    Require(part.s != nullptr, token);
    size_t length = 0;
    const char* data = gcry_sexp_nth_data(part.s, 1, &length);
    Require(data != nullptr, token);
    return Bytes(data, data + length);
}

const char* GcryptCurve(const std::string& curve) {
    if (curve == "P-256") return "NIST P-256";
    if (curve == "P-384") return "NIST P-384";
    if (curve == "P-521") return "NIST P-521";
    Fail("unknown curve");
}

size_t CoordinateSize(const HostKey& key) {
    return key.curve == "NIST P-256" ? 32 : key.curve == "NIST P-384" ? 48 : 66;
}

int Algorithm(const HashName& hash) {
    const std::string name = hash.name;
    if (name == "MD5") return GCRY_MD_MD5;
    if (name == "SHA1") return GCRY_MD_SHA1;
    if (name == "SHA256") return GCRY_MD_SHA256;
    if (name == "SHA384") return GCRY_MD_SHA384;
    if (name == "SHA512") return GCRY_MD_SHA512;
    Fail("unknown hash");
}

std::string LowerName(const HashName& hash) {
    std::string name = hash.name;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

// ---- DER, for the certificates mdhost issues ----

Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        Bytes length;
        for (size_t rest = n; rest != 0; rest >>= 8)
            length.insert(length.begin(), static_cast<uint8_t>(rest));
        out.push_back(static_cast<uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Sequence(std::initializer_list<Bytes> parts) {
    return Tlv(0x30, Join(parts));
}

Bytes Integer(Bytes bigEndian) {
    while (bigEndian.size() > 1 && bigEndian[0] == 0 && (bigEndian[1] & 0x80) == 0)
        bigEndian.erase(bigEndian.begin());
    if (bigEndian.empty() || (bigEndian[0] & 0x80) != 0) bigEndian.insert(bigEndian.begin(), 0);
    return Tlv(0x02, bigEndian);
}

Bytes BitString(const Bytes& content, uint8_t unused = 0) {
    Bytes body{unused};
    body.insert(body.end(), content.begin(), content.end());
    return Tlv(0x03, body);
}

const Bytes kEcdsaWithSha256{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};
const Bytes kEcPublicKey{0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
const Bytes kRsaEncryption{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const Bytes kNull{0x05, 0x00};

Bytes CurveOid(const HostKey& key) {
    if (key.curve == "NIST P-256") return {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    if (key.curve == "NIST P-384") return {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
    return {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
}

Bytes SubjectPublicKeyInfo(const HostKey& key) {
    if (key.curve.empty()) {
        const Mpi n(Part(key.publicKey, "n"));
        const Mpi e(Part(key.publicKey, "e"));
        return Sequence({Sequence({kRsaEncryption, kNull}),
                         BitString(Sequence({Integer(BytesOf(n.m)), Integer(BytesOf(e.m))}))});
    }
    return Sequence({Sequence({kEcPublicKey, CurveOid(key)}), BitString(Data(key.publicKey, "q"))});
}

Bytes Name(const CertificateRequest& request) {
    const auto entry = [](uint8_t attribute, const std::string& value) {
        return Tlv(0x31, Sequence({Bytes{0x06, 0x03, 0x55, 0x04, attribute},
                                   Tlv(0x0C, Bytes(value.begin(), value.end()))}));
    };
    Bytes entries;
    if (!request.organisation.empty()) entries = entry(0x0A, request.organisation);
    if (!request.commonName.empty()) {
        const Bytes cn = entry(0x03, request.commonName);
        entries.insert(entries.end(), cn.begin(), cn.end());
    }
    return Tlv(0x30, entries);
}

Bytes UtcTime(std::time_t when) {
    std::tm parts{};
    gmtime_s(&parts, &when);
    char text[20];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
    return Tlv(0x17, Bytes(text + 2, text + 15));  // UTCTime: two digits of the year
}

// One element of DER at `at`: its whole encoding, and where its content starts.
struct Element {
    size_t start, content, end;
};
Element ElementAt(const Bytes& der, size_t at) {
    Require(at + 2 <= der.size(), "DER");
    size_t length = der[at + 1];
    size_t content = at + 2;
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        Require(count >= 1 && count <= 3 && content + count <= der.size(), "DER");
        length = 0;
        for (size_t i = 0; i < count; ++i) length = length << 8 | der[content + i];
        content += count;
    }
    Require(content + length <= der.size(), "DER");
    return {at, content, content + length};
}

// The subject name of a DER certificate, as it stands.
Bytes SubjectOf(const Bytes& certificate) {
    const Element outer = ElementAt(certificate, 0);
    const Element tbs = ElementAt(certificate, outer.content);
    size_t at = tbs.content;
    for (int skip = 0; skip < 5; ++skip) at = ElementAt(certificate, at).end;  // version .. validity
    const Element subject = ElementAt(certificate, at);
    return Bytes(certificate.begin() + static_cast<std::ptrdiff_t>(subject.start),
                 certificate.begin() + static_cast<std::ptrdiff_t>(subject.end));
}

Bytes Extension(const Bytes& oid, const Bytes& value) {
    return Sequence({oid, Bytes{0x01, 0x01, 0xFF}, Tlv(0x04, value)});
}

// ECDSA with SHA-256 by `signer`, DER-encoded as X.509 wants it.
Bytes SignSha256(HostKey* signer, const Bytes& data) {
    Bytes digest(32);
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), data.data(), data.size());
    const Mpi value(digest);
    Sexp request;
    Require(gcry_sexp_build(&request.s, nullptr, "(data (flags raw) (value %m))", value.m) == 0,
            "signature data");
    Sexp signature;
    Require(signer->privateKey != nullptr && gcry_pk_sign(&signature.s, request.s, signer->privateKey) == 0,
            "signature");
    const Mpi r(Part(signature.s, "r"));
    const Mpi s(Part(signature.s, "s"));
    return Sequence({Integer(BytesOf(r.m)), Integer(BytesOf(s.m))});
}

}  // namespace

void KeyDeleter::operator()(HostKey* key) const {
    delete key;
}

void RandomBytes(uint8_t* out, size_t size) {
    Ready();
    gcry_randomize(out, size, GCRY_STRONG_RANDOM);
}

void Wipe(Bytes& secret) {
    SecureZeroMemory(secret.data(), secret.size());
}

std::string Sha1Hex(const Bytes& data) {
    return HexBytes(Digest(HashName{"SHA1", CALG_SHA1, 20}, data), "", HexCase::kLower);
}

Bytes Digest(const HashName& hash, const Bytes& message) {
    Ready();
    const int algorithm = Algorithm(hash);
    Bytes out(gcry_md_get_algo_dlen(algorithm));
    gcry_md_hash_buffer(algorithm, out.data(), message.data(), message.size());
    return out;
}

Bytes Hmac(const HashName& hash, const Bytes& key, const Bytes& data) {
    Ready();
    const int algorithm = Algorithm(hash);
    gcry_md_hd_t context = nullptr;
    Require(gcry_md_open(&context, algorithm, GCRY_MD_FLAG_HMAC) == 0, "HMAC");
    const bool keyed = gcry_md_setkey(context, key.data(), key.size()) == 0;
    gcry_md_write(context, data.data(), data.size());
    const unsigned char* mac = keyed ? gcry_md_read(context, algorithm) : nullptr;
    Bytes out;
    if (mac != nullptr) out.assign(mac, mac + gcry_md_get_algo_dlen(algorithm));
    gcry_md_close(context);
    Require(!out.empty(), "HMAC");
    return out;
}

Bytes ConcatKdf(const HashName& hash, const Bytes& secret, const Bytes& info, size_t length) {
    Bytes out;
    for (uint32_t counter = 1; out.size() < length; ++counter) {
        Bytes input{static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
                    static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
        input.insert(input.end(), secret.begin(), secret.end());
        input.insert(input.end(), info.begin(), info.end());
        const Bytes block = Digest(hash, input);
        Wipe(input);
        out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(length);
    return out;
}

Bytes TripleDesEcb(const Bytes& key, const Bytes& data) {
    Ready();
    Require(key.size() == 24 && data.size() % 8 == 0, "3DES");
    gcry_cipher_hd_t cipher = nullptr;
    Require(gcry_cipher_open(&cipher, GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_ECB, 0) == 0, "3DES");
    Bytes out(data.size());
    const bool done = gcry_cipher_setkey(cipher, key.data(), key.size()) == 0 &&
                      gcry_cipher_encrypt(cipher, out.data(), out.size(), data.data(), data.size()) == 0;
    gcry_cipher_close(cipher);
    Require(done, "3DES");
    return out;
}

Key MakeKey(const char* curve, unsigned bits) {
    Ready();
    Sexp parameters;
    if (curve != nullptr) {
        Require(gcry_sexp_build(&parameters.s, nullptr, "(genkey (ecc (curve %s)))", GcryptCurve(curve)) == 0,
                "key parameters");
    } else {
        Require(gcry_sexp_build(&parameters.s, nullptr, "(genkey (rsa (nbits %u)))", bits) == 0,
                "key parameters");
    }
    Sexp pair;
    Require(gcry_pk_genkey(&pair.s, parameters.s) == 0, "key generation");
    Key key(new HostKey);
    key->publicKey = gcry_sexp_find_token(pair.s, "public-key", 0);
    key->privateKey = gcry_sexp_find_token(pair.s, "private-key", 0);
    Require(key->publicKey != nullptr && key->privateKey != nullptr, "key generation");
    if (curve != nullptr) key->curve = GcryptCurve(curve);
    return key;
}

Key RsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    Ready();
    const Mpi n(modulus);
    const Mpi e(exponent);
    Key key(new HostKey);
    if (gcry_sexp_build(&key->publicKey, nullptr, "(public-key (rsa (n %m) (e %m)))", n.m, e.m) != 0)
        return nullptr;
    return key;
}

Key EcPublicKey(const char* curve, const Bytes& x, const Bytes& y) {
    Ready();
    Bytes point{0x04};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    Key key(new HostKey);
    key->curve = GcryptCurve(curve);
    if (gcry_sexp_build(&key->publicKey, nullptr, "(public-key (ecc (curve %s) (q %b)))", key->curve.c_str(),
                        static_cast<int>(point.size()), point.data()) != 0)
        return nullptr;
    // A point off the curve is no key.
    gcry_ctx_t context = nullptr;
    if (gcry_mpi_ec_new(&context, key->publicKey, nullptr) != 0) return nullptr;
    gcry_mpi_point_t q = gcry_mpi_ec_get_point("q", context, 1);
    const bool onCurve = q != nullptr && gcry_mpi_ec_curve_point(q, context) != 0;
    gcry_mpi_point_release(q);
    gcry_ctx_release(context);
    if (!onCurve) return nullptr;
    return key;
}

bool SamePublicKey(HostKey* a, HostKey* b) {
    if (a->curve != b->curve) return false;
    if (!a->curve.empty()) return Data(a->publicKey, "q") == Data(b->publicKey, "q");
    for (const char* token : {"n", "e"}) {
        const Mpi x(Part(a->publicKey, token));
        const Mpi y(Part(b->publicKey, token));
        if (gcry_mpi_cmp(x.m, y.m) != 0) return false;
    }
    return true;
}

Bytes KeyNumber(HostKey* key, KeyPart part, size_t size, bool little) {
    Require(key->privateKey != nullptr, "a public key has no private numbers");
    Bytes value;
    if (part == KeyPart::EcX || part == KeyPart::EcY) {
        const Bytes xy = EcPublicPoint(key);
        const size_t n = xy.size() / 2;
        const Bytes coordinate(xy.begin() + (part == KeyPart::EcX ? 0 : static_cast<std::ptrdiff_t>(n)),
                               xy.begin() + static_cast<std::ptrdiff_t>(part == KeyPart::EcX ? n : 2 * n));
        const Mpi m(coordinate);
        value = BytesOf(m.m, size);
    } else if (part == KeyPart::RsaDp || part == KeyPart::RsaDq) {
        // libgcrypt keeps p < q and u = p^-1 mod q; the blob's first prime is libgcrypt's q.
        const Mpi d(Part(key->privateKey, "d"));
        const Mpi prime(Part(key->privateKey, part == KeyPart::RsaDp ? "q" : "p"));
        const Mpi less(gcry_mpi_new(0));
        const Mpi result(gcry_mpi_new(0));
        gcry_mpi_sub_ui(less.m, prime.m, 1);
        gcry_mpi_mod(result.m, d.m, less.m);
        value = BytesOf(result.m, size);
    } else {
        static const char* const kTokens[] = {"e", "n", "q",     "p",     nullptr, nullptr,
                                              "u", "d", nullptr, nullptr, "d"};
        const Mpi m(Part(key->privateKey, kTokens[static_cast<size_t>(part)]));
        value = BytesOf(m.m, size);
    }
    if (little) std::reverse(value.begin(), value.end());
    return value;
}

Bytes EcPublicPoint(HostKey* key) {
    const Bytes q = Data(key->publicKey, "q");
    Require(q.size() == 1 + 2 * CoordinateSize(*key) && q[0] == 0x04, "EC public point");
    return Bytes(q.begin() + 1, q.end());
}

bool VerifiesPkcs1(HostKey* key, const HashName& hash, const Bytes& digest, const Bytes& signature) {
    const Mpi s(signature);
    Sexp data;
    Sexp sig;
    return gcry_sexp_build(&data.s, nullptr, "(data (flags pkcs1) (hash %s %b))", LowerName(hash).c_str(),
                           static_cast<int>(digest.size()), digest.data()) == 0 &&
           gcry_sexp_build(&sig.s, nullptr, "(sig-val (rsa (s %m)))", s.m) == 0 &&
           gcry_pk_verify(sig.s, data.s, key->publicKey) == 0;
}

bool VerifiesPss(HostKey* key, const HashName& hash, const Bytes& digest, const Bytes& signature) {
    const Mpi s(signature);
    Sexp data;
    Sexp sig;
    return gcry_sexp_build(&data.s, nullptr, "(data (flags pss) (hash %s %b) (salt-length %u))",
                           LowerName(hash).c_str(), static_cast<int>(digest.size()), digest.data(),
                           static_cast<unsigned>(hash.length)) == 0 &&
           gcry_sexp_build(&sig.s, nullptr, "(sig-val (rsa (s %m)))", s.m) == 0 &&
           gcry_pk_verify(sig.s, data.s, key->publicKey) == 0;
}

bool VerifiesEcdsa(HostKey* key, const Bytes& digest, const Bytes& signature) {
    if (key->curve.empty() || signature.empty() || signature.size() % 2 != 0) return false;
    const size_t half = signature.size() / 2;
    const Mpi r(Bytes(signature.begin(), signature.begin() + static_cast<std::ptrdiff_t>(half)));
    const Mpi s(Bytes(signature.begin() + static_cast<std::ptrdiff_t>(half), signature.end()));
    // The digest's leftmost bits, as many as the order has (FIPS 186-4, 6.4).
    const Mpi value(digest);
    const unsigned orderBits = key->curve == "NIST P-256" ? 256 : key->curve == "NIST P-384" ? 384 : 521;
    if (digest.size() * 8 > orderBits)
        gcry_mpi_rshift(value.m, value.m, static_cast<unsigned>(digest.size() * 8 - orderBits));
    Sexp data;
    Sexp sig;
    return gcry_sexp_build(&data.s, nullptr, "(data (flags raw) (value %m))", value.m) == 0 &&
           gcry_sexp_build(&sig.s, nullptr, "(sig-val (ecdsa (r %m) (s %m)))", r.m, s.m) == 0 &&
           gcry_pk_verify(sig.s, data.s, key->publicKey) == 0;
}

Bytes SharedSecret(HostKey* mine, HostKey* theirs) {
    Require(mine->privateKey != nullptr && mine->curve == theirs->curve, "ECDH keys");
    // "Encrypting" my scalar to their key gives my scalar times their point.
    const Mpi d(Part(mine->privateKey, "d"));
    Sexp data;
    Sexp result;
    Require(gcry_sexp_build(&data.s, nullptr, "(data (flags raw) (value %m))", d.m) == 0 &&
                gcry_pk_encrypt(&result.s, data.s, theirs->publicKey) == 0,
            "ECDH");
    const Bytes point = Data(result.s, "s");
    const size_t n = CoordinateSize(*mine);
    Require(point.size() == 1 + 2 * n && point[0] == 0x04, "ECDH point");
    return Bytes(point.begin() + 1, point.begin() + 1 + static_cast<std::ptrdiff_t>(n));
}

Bytes EncryptRaw(HostKey* key, const Bytes& block) {
    const Mpi value(block);
    Sexp data;
    Sexp result;
    Require(gcry_sexp_build(&data.s, nullptr, "(data (flags raw) (value %m))", value.m) == 0 &&
                gcry_pk_encrypt(&result.s, data.s, key->publicKey) == 0,
            "RSA encryption");
    const Mpi a(Part(result.s, "a"));
    return BytesOf(a.m, block.size());
}

std::optional<std::string> CertificateSubject(const Bytes& der) {
    const PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (certificate == nullptr) return std::nullopt;
    // Most specific first, as RFC 2253 writes it; "; " between the parts becomes its ",".
    const DWORD kind = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG;
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    std::string text(CertNameToStrA(X509_ASN_ENCODING, subject, kind, nullptr, 0), '\0');
    CertNameToStrA(X509_ASN_ENCODING, subject, kind, text.data(), static_cast<DWORD>(text.size()));
    CertFreeCertificateContext(certificate);
    text.resize(text.find('\0'));
    for (size_t at = text.find("; "); at != std::string::npos; at = text.find("; ", at))
        text.replace(at, 2, ",");
    return text;
}

std::optional<size_t> Pkcs7CertificateCount(const Bytes& der) {
    const HCRYPTMSG message =
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    if (message == nullptr) return std::nullopt;
    DWORD count = 0;
    DWORD size = sizeof count;
    DWORD type = 0;
    DWORD typeSize = sizeof type;
    const bool read = CryptMsgUpdate(message, der.data(), static_cast<DWORD>(der.size()), TRUE) &&
                      CryptMsgGetParam(message, CMSG_TYPE_PARAM, 0, &type, &typeSize) &&
                      type == CMSG_SIGNED &&
                      CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &size);
    CryptMsgClose(message);
    if (!read) return std::nullopt;
    return count;
}

Bytes IssueCertificate(const CertificateRequest& request, HostKey* subjectKey, const Bytes& issuerCertificate,
                       HostKey* issuerKey) {
    Bytes serial;
    for (uint64_t rest = request.serial; rest != 0; rest >>= 8)
        serial.insert(serial.begin(), static_cast<uint8_t>(rest));
    const Bytes subject = Name(request);
    const Bytes issuer = issuerCertificate.empty() ? subject : SubjectOf(issuerCertificate);
    const std::time_t now = std::time(nullptr);
    Bytes extensions;
    if (request.authority) {
        extensions = Join({Extension({0x06, 0x03, 0x55, 0x1D, 0x13}, Sequence({Bytes{0x01, 0x01, 0xFF}})),
                           Extension({0x06, 0x03, 0x55, 0x1D, 0x0F}, BitString({0x06}, 1))});
    } else {
        extensions = Extension({0x06, 0x03, 0x55, 0x1D, 0x0F},
                               request.keyExchange ? BitString({0x20}, 5) : BitString({0x80}, 7));
    }
    const Bytes tbs = Sequence({Tlv(0xA0, Integer({2})), Integer(serial), Sequence({kEcdsaWithSha256}),
                                issuer, Sequence({UtcTime(now), UtcTime(now + 365L * 24 * 3600)}), subject,
                                SubjectPublicKeyInfo(*subjectKey), Tlv(0xA3, Tlv(0x30, extensions))});
    return Sequence({tbs, Sequence({kEcdsaWithSha256}), BitString(SignSha256(issuerKey, tbs))});
}

Bytes Pkcs7Of(const std::vector<Bytes>& certificates) {
    Bytes all;
    for (const Bytes& c : certificates) all.insert(all.end(), c.begin(), c.end());
    const Bytes signedData{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    const Bytes data{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    return Sequence({signedData, Tlv(0xA0, Sequence({Integer({1}), Tlv(0x31, {}), Sequence({data}),
                                                     Tlv(0xA0, all), Tlv(0x31, {})}))});
}

}  // namespace mdhost
