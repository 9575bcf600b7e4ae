#include "libapdu/token/host_crypto.h"

#include <gcrypt.h>

#include <memory>

#include "libapdu/token/failure.h"

namespace libapdu {

namespace {

[[noreturn]] void CryptoFailure() {
    ThrowStatus(SCARD_F_INTERNAL_ERROR);
}

struct CipherCloser {
    void operator()(gcry_cipher_hd_t h) const { gcry_cipher_close(h); }
};
using Cipher = std::unique_ptr<std::remove_pointer_t<gcry_cipher_hd_t>, CipherCloser>;

struct MpiReleaser {
    void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiReleaser>;

Mpi ToMpi(ByteSpan bytes) {
    gcry_mpi_t m = nullptr;
    if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bytes.data, bytes.size, nullptr) != 0) CryptoFailure();
    return Mpi(m);
}

}  // namespace

void EnsureGcrypt() {
    static const bool ready = [] {
        if (gcry_check_version(nullptr) == nullptr) return false;
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    if (!ready) CryptoFailure();
}

ByteVector TdesCbcEncrypt(ByteSpan key, ByteSpan data) {
    EnsureGcrypt();
    if (key.size != 16 || data.size % 8 != 0) CryptoFailure();
    SecretBytes key3(key.begin(), key.end());
    key3.insert(key3.end(), key.begin(), key.begin() + 8);  // K3 = K1
    gcry_cipher_hd_t raw = nullptr;
    if (gcry_cipher_open(&raw, GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_CBC, 0) != 0) CryptoFailure();
    Cipher cipher(raw);
    const uint8_t iv[8] = {};
    ByteVector out(data.size);
    if (gcry_cipher_setkey(cipher.get(), key3.data(), key3.size()) != 0 ||
        gcry_cipher_setiv(cipher.get(), iv, sizeof iv) != 0 ||
        gcry_cipher_encrypt(cipher.get(), out.data(), out.size(), data.data, data.size) != 0)
        CryptoFailure();
    return out;
}

ByteVector Pad2(ByteSpan data) {
    ByteVector out(data.begin(), data.end());
    out.push_back(0x80);
    while (out.size() % 8 != 0) out.push_back(0x00);
    return out;
}

ByteVector TdesCbcMac(ByteSpan key, ByteSpan data) {
    const ByteVector chained = TdesCbcEncrypt(key, Pad2(data));
    return ByteVector(chained.end() - 8, chained.end());
}

SecretBytes ModExpWords(ByteSpan base, ByteSpan exponent, ByteSpan modulus) {
    EnsureGcrypt();
    Mpi b = ToMpi(base);
    Mpi e = ToMpi(exponent);
    Mpi m = ToMpi(modulus);
    if (gcry_mpi_cmp_ui(m.get(), 0) == 0) CryptoFailure();
    Mpi r(gcry_mpi_new(0));
    gcry_mpi_powm(r.get(), b.get(), e.get(), m.get());
    const size_t bytes = (gcry_mpi_get_nbits(r.get()) + 7) / 8;
    const size_t words = (bytes + 3) / 4;
    SecretBytes out(words * 4, 0);
    size_t written = 0;
    if (bytes != 0 &&
        gcry_mpi_print(GCRYMPI_FMT_USG, out.data() + out.size() - bytes, bytes, &written, r.get()) != 0)
        CryptoFailure();
    return out;
}

SecretBytes RandomSecret(size_t count) {
    SecretBytes out(count);
    platform::RandomBytes(out.data(), out.size());
    return out;
}

}  // namespace libapdu
