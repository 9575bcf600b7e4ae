#include "libapdu/isender.h"

#include "channel/exceptions.h"

namespace libapdu {

void ISender::Reserved() {
    ThrowAPDUException(kNotSupported, u"ISender::Reserved", __LINE__);
}

}  // namespace libapdu
