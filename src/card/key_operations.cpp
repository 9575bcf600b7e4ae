// Private-key operations: not offered by this build yet.
#include "card/card_context.h"
#include "libapdu/token/failure.h"

void CCardContext::SignData(PCARD_DATA, PCARD_SIGNING_INFO) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::RSADecrypt(PCARD_DATA, PCARD_RSA_DECRYPT_INFO) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}
