#include "shared/base/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

TEST(Files, ReplaceAtomicallyKeepsOldFileWhenDirectoryIsGone)
{
    CTempDir tmp("morvane-files");
    ASSERT_TRUE(tmp.Ok());
    const std::string dir = tmp.Path();
    std::string path = dir + "/a.xml";

    ASSERT_TRUE(files::ReplaceAtomically(path, "first"));
    std::string got;
    ASSERT_TRUE(files::ReadAll(path, got));
    EXPECT_EQ(got, "first");
    ASSERT_TRUE(files::ReplaceAtomically(path, "second"));
    ASSERT_TRUE(files::ReadAll(path, got));
    EXPECT_EQ(got, "second");

    // A read-only directory: the temporary file cannot be made, the old file stays as it was.
    if (geteuid() != 0) {
        chmod(dir.c_str(), 0500);
        EXPECT_FALSE(files::ReplaceAtomically(path, "third"));
        chmod(dir.c_str(), 0700);
        ASSERT_TRUE(files::ReadAll(path, got));
        EXPECT_EQ(got, "second");
    }
    EXPECT_FALSE(files::ReplaceAtomically(dir + "/missing/x.xml", "y"));
    EXPECT_FALSE(files::ReadAll(dir + "/missing/x.xml", got));
    EXPECT_EQ(files::DirName(path), dir);
    EXPECT_EQ(files::DirName("x"), ".");
}

// Whatever someone who may write the directory puts at the name or at the next temporary names (a
// link to a secret, a FIFO) is replaced or skipped, never followed: its target keeps content, mode
// and group. The new file has exactly the mode asked for, under any umask, and never a set-id bit.
TEST(Files, ReplaceAtomicallyNeverTouchesWhatStandsAtTheName)
{
    CTempDir tmp("morvane-files");
    ASSERT_TRUE(tmp.Ok());
    const std::string secret = tmp / "secret", path = tmp / "provider.conf", fifo = tmp / "fifo";
    const bool root = geteuid() == 0;  // groups other than ours need root
    ASSERT_TRUE(files::ReplaceAtomically(secret, "root:x:0:\n", 0600));
    ASSERT_TRUE(!root || chown(secret.c_str(), static_cast<uid_t>(-1), 65534) == 0);
    ASSERT_EQ(symlink(secret.c_str(), path.c_str()), 0);
    for (int n = 0; n < 4; ++n) {  // the temporary names this process tries next
        const std::string next = path + files::kTemporaryInfix + std::to_string(getpid()) + "." + std::to_string(n);
        ASSERT_EQ(symlink(secret.c_str(), next.c_str()), 0);
    }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_TRUE(!root || chown(tmp.Path().c_str(), static_cast<uid_t>(-1), 100) == 0);
    const mode_t old = umask(077);
    EXPECT_TRUE(files::ReplaceAtomically(path, "kind=web-service\n", {04660, files::FileGroup::Directory}));
    EXPECT_TRUE(files::ReplaceAtomically(fifo, "x", 0644));
    umask(old);

    struct stat st {};
    ASSERT_EQ(lstat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(!root || st.st_gid == 65534u);
    std::string got;
    ASSERT_TRUE(files::ReadAll(secret, got));
    EXPECT_EQ(got, "root:x:0:\n");
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_TRUE(!root || st.st_gid == 100u) << "not the directory's group";
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}
