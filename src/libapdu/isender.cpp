#include "libapdu/isender.h"

#include "libapdu/token/failure.h"

namespace libapdu {

void ISender::Reserved() {
    ThrowAPDUException(sw::kNotSupported, u"ISender::Reserved", __LINE__);
}

}  // namespace libapdu
