#include "shared/base/secret_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace files {

bool ReadSecretFile(const std::string& path, size_t maxBytes, std::string& text, std::string& why)
{
    int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text.size() + static_cast<size_t>(n) > maxBytes) {
            why = n < 0 ? "cannot read " + path + ": " + std::strerror(errno)
                        : path + " is larger than " + std::to_string(maxBytes) + " bytes";
            if (fd != STDIN_FILENO)
                close(fd);
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    if (fd != STDIN_FILENO)
        close(fd);
    return true;
}

}  // namespace files
