#include "platform/program.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::string ProgramPath()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramDirectory(bool trailingSeparator)
{
    std::string path = ProgramPath();
    size_t slash = path.rfind(kPathSeparator);
    if (slash == std::string::npos)
        return {};
    return path.substr(0, trailingSeparator ? slash + 1 : slash);
}

}  // namespace platform
