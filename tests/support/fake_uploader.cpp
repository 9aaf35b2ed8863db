// Stands in for the crash uploader and the updater in tests: writes its arguments, one per line
// (argv[0] first), to "<its own path>.args" and exits. Built with several version notes, so tests
// can also deliver it as a newer or older updater.

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    std::string text;
    for (int i = 0; i < argc; ++i)
        text += std::string(argv[i]) + "\n";
    // Written whole, then renamed: a reader never sees half a record.
    const std::string target = std::string(self) + ".args";
    const std::string temp = target + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok && ::rename(temp.c_str(), target.c_str()) == 0 ? 0 : 1;
}
