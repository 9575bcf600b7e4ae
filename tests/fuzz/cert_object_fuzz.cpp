// The certificate object the module writes for a certificate file, read back the way the token
// library reads it: whatever certificate the host hands over is either refused with a status or
// comes back byte for byte, in an object whose header counts header and entries and which ends
// with the freshness trailer.
// Input: the file's low identifier byte, a name length byte (below 80) and the name, then the
// certificate's DER bytes.
#include <cstdint>

#include "card/cert_object.h"
#include "fuzz_check.h"
#include "libapdu/appcry/cry_finder.h"
#include "libapdu/token/failure.h"

using libapdu::ByteSpan;
using libapdu::ByteVector;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t fileIdLow = data[0];
    const size_t nameLength = data[1] % 80;
    if (size - 2 < nameLength) return 0;
    const ByteSpan name(data + 2, nameLength);
    const ByteSpan certificate(name.end(), size - 2 - nameLength);
    const uint8_t trailer[] = {0x01, 0x02, 0x03, 0x04};

    ByteVector object;
    try {
        object = BuildCertificateObject(fileIdLow, certificate, name, ByteSpan(trailer, sizeof trailer));
    } catch (const StatusCode& status) {
        FUZZ_REQUIRE(status == static_cast<StatusCode>(SCARD_E_INVALID_PARAMETER) ||
                     status == static_cast<StatusCode>(SCARD_E_WRITE_TOO_MANY));
        return 0;
    }
    FUZZ_REQUIRE(object.size() <= 0xFFFF && object.size() > 11);
    FUZZ_REQUIRE(object[3] == fileIdLow);
    FUZZ_REQUIRE((size_t{object[4]} << 8 | object[5]) == object.size() - sizeof trailer);
    FUZZ_REQUIRE(ByteVector(object.end() - sizeof trailer, object.end()) == ByteVector(trailer, trailer + 4));
    FUZZ_REQUIRE(libapdu::CCryFinder::CertificateOfRecord(object, u"fuzz") == certificate.ToVector());
    return 0;
}
