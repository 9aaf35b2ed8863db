#include "core/hook_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/hook.h"
#include "platform/data_dir.h"

std::string AddressHookPath(const std::string& dataDirectory)
{
    if (dataDirectory == platform::kInstalledDataDirectory)
        return std::string(platform::kInstalledConfigDirectory) + "/" + kAddressHookName;
    return dataDirectory + "/" + kAddressHookName;
}

int OpenTrustedHook(const std::string& path, std::string& why)
{
    why.clear();
    // O_NONBLOCK: a FIFO planted there must not hold the service up.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "it is not a regular file";
    else if (st.st_uid != 0 && static_cast<uid_t>(st.st_uid) != ::geteuid())
        why = "it belongs to uid " + std::to_string(st.st_uid) + ", neither root nor the service's user";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        why = "its group or others may write it";
    else if (!(st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)))
        why = "it is not executable";
    if (!why.empty()) {
        ::close(fd);
        return -1;
    }
    // Blocking again for whoever reads it.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
