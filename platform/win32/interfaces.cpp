#include "platform/interfaces.h"

namespace platform {

const char* const kInterfaceSourcesMissing =
    "interface sources are not available on Windows yet: leave interface out, and the address comes from the "
    "check-IP services";

}  // namespace platform
