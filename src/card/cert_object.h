// The card object that keeps a certificate: a 7-byte header, tagged entries with 0xFF filler up
// to their fixed widths, and the 4-byte freshness trailer taken from cardcf.
#pragma once

#include <cstdint>

#include "libapdu/token/bytes.h"

// Builds the object for certificate file 84xx from the host's X.509 DER bytes. A certificate
// without issuer, serial number or subject is SCARD_E_INVALID_PARAMETER; one too large for a card
// file is SCARD_E_WRITE_TOO_MANY.
libapdu::ByteVector BuildCertificateObject(uint8_t fileIdLow, libapdu::ByteSpan certificate,
                                           libapdu::ByteSpan containerName, libapdu::ByteSpan trailer);
