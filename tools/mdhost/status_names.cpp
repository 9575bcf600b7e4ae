#include "mdhost/status_names.h"

#include <cstdio>

namespace mdhost {

namespace {

struct Named {
    uint32_t code;
    const char* name;
};

const Named kNames[] = {
    {0x00000000, "SCARD_S_SUCCESS"},
    {0x0000001F, "ERROR_GEN_FAILURE"},
    {0x00000050, "ERROR_FILE_EXISTS"},
    {0x0000051A, "ERROR_REVISION_MISMATCH"},
    {0x80100001, "SCARD_F_INTERNAL_ERROR"},
    {0x80100003, "SCARD_E_INVALID_HANDLE"},
    {0x80100004, "SCARD_E_INVALID_PARAMETER"},
    {0x80100006, "SCARD_E_NO_MEMORY"},
    {0x80100008, "SCARD_E_INSUFFICIENT_BUFFER"},
    {0x80100009, "SCARD_E_UNKNOWN_READER"},
    {0x8010000A, "SCARD_E_TIMEOUT"},
    {0x8010000B, "SCARD_E_SHARING_VIOLATION"},
    {0x8010000C, "SCARD_E_NO_SMARTCARD"},
    {0x8010000D, "SCARD_E_UNKNOWN_CARD"},
    {0x8010000F, "SCARD_E_PROTO_MISMATCH"},
    {0x80100011, "SCARD_E_INVALID_VALUE"},
    {0x80100013, "SCARD_F_COMM_ERROR"},
    {0x80100014, "SCARD_F_UNKNOWN_ERROR"},
    {0x80100016, "SCARD_E_NOT_TRANSACTED"},
    {0x80100017, "SCARD_E_READER_UNAVAILABLE"},
    {0x8010001D, "SCARD_E_NO_SERVICE"},
    {0x8010001E, "SCARD_E_SERVICE_STOPPED"},
    {0x8010001F, "SCARD_E_UNEXPECTED"},
    {0x80100022, "SCARD_E_UNSUPPORTED_FEATURE"},
    {0x80100023, "SCARD_E_DIR_NOT_FOUND"},
    {0x80100024, "SCARD_E_FILE_NOT_FOUND"},
    {0x80100028, "SCARD_E_WRITE_TOO_MANY"},
    {0x8010002F, "SCARD_E_COMM_DATA_LOST"},
    {0x80100030, "SCARD_E_NO_KEY_CONTAINER"},
    {0x80100066, "SCARD_W_UNRESPONSIVE_CARD"},
    {0x80100067, "SCARD_W_UNPOWERED_CARD"},
    {0x80100068, "SCARD_W_RESET_CARD"},
    {0x80100069, "SCARD_W_REMOVED_CARD"},
    {0x8010006A, "SCARD_W_SECURITY_VIOLATION"},
    {0x8010006B, "SCARD_W_WRONG_CHV"},
    {0x8010006C, "SCARD_W_CHV_BLOCKED"},
    {0x8010006E, "SCARD_W_CANCELLED_BY_USER"},
};

}  // namespace

std::string HexStatus(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

const char* StatusName(uint32_t code) {
    for (const Named& n : kNames) {
        if (n.code == code) return n.name;
    }
    return "";
}

std::string StatusText(uint32_t code) {
    const std::string name = StatusName(code);
    return name.empty() ? HexStatus(code) : HexStatus(code) + " " + name;
}

}  // namespace mdhost
