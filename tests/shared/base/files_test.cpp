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
