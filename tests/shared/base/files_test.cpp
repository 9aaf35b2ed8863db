#include "shared/base/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <tuple>

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

// The one writer behind every replaced file: a link to a secret at the name, a FIFO at another are
// replaced, never followed; the new file has exactly the mode and group asked for, under any umask.
TEST(Files, ReplaceAtomicallyNeverTouchesWhatStandsAtTheName)
{
    CTempDir tmp("morvane-files");
    const std::string secret = tmp / "secret", path = tmp / "provider.conf", fifo = tmp / "fifo";
    ASSERT_TRUE(files::ReplaceAtomically(secret, "x", 0600) && symlink(secret.c_str(), path.c_str()) == 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const gid_t group = geteuid() == 0 ? 100 : getegid();  // another group needs root
    ASSERT_EQ(chown(tmp.Path().c_str(), static_cast<uid_t>(-1), group), 0);
    const mode_t old = umask(077);
    EXPECT_TRUE(files::ReplaceAtomically(path, "y", {04660, files::FileGroup::Directory}));
    EXPECT_TRUE(files::ReplaceAtomically(fifo, "z", 0644));
    umask(old);
    struct stat st {
    }, fst{};
    std::string got;
    EXPECT_TRUE(files::ReadAll(secret, got, 8, &st.st_mode) && got == "x" && st.st_mode == 0600);
    ASSERT_TRUE(lstat(path.c_str(), &st) == 0 && lstat(fifo.c_str(), &fst) == 0);
    EXPECT_EQ(std::make_tuple(st.st_mode, st.st_gid, fst.st_mode),
              std::make_tuple(S_IFREG | 0660u, group, S_IFREG | 0644u));
}
