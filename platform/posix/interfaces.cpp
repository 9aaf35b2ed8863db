#include "platform/interfaces.h"

namespace platform {

// rtnetlink: core/provider/rtnetlink.cpp.
const char* const kInterfaceSourcesMissing = nullptr;

}  // namespace platform
