#include "platform/data_dir.h"

#include "platform/program.h"
#include "shared/base/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

class DataDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
        ::unsetenv("MORVANE_DATA_DIR");
    }
    void TearDown() override
    {
        ::chmod(m_dir.c_str(), 0700);
        ::unsetenv("MORVANE_DATA_DIR");
    }
    CTempDir m_tmp{"data_dir"};
    std::string m_dir;
};

TEST_F(DataDirTest, MarkersKeepTheDataBesideThePrograms)
{
    // Even under /usr: an unpacked folder or a build tree is self-contained.
    EXPECT_EQ(platform::DataDirectoryFor("/usr/lib/morvane"), platform::kInstalledDataDirectory);
    EXPECT_EQ(platform::DataDirectoryFor("/opt/morvane/bin"), platform::kInstalledDataDirectory);
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/" + platform::kPortableMarker, ""));
    ::chmod(m_dir.c_str(), 0555);
    EXPECT_EQ(platform::DataDirectoryFor(m_dir), m_dir);
    ::chmod(m_dir.c_str(), 0700);
    ::unlink((m_dir + "/" + platform::kPortableMarker).c_str());
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/" + platform::kBuildTreeMarker, ""));
    EXPECT_EQ(platform::DataDirectoryFor(m_dir), m_dir);
}

TEST_F(DataDirTest, WritableProgramDirectoryElseTheSystemOne)
{
    EXPECT_EQ(platform::DataDirectoryFor(m_dir), m_dir);
    EXPECT_EQ(platform::DataDirectoryFor(m_dir + "/missing"), platform::kInstalledDataDirectory);
    EXPECT_EQ(platform::DataDirectoryFor(""), "");
    // "/usrx" is not under /usr.
    EXPECT_NE(platform::DataDirectoryFor("/usrx/nothing"), m_dir);
}

TEST_F(DataDirTest, EnvironmentAndSeparatorForms)
{
    ::setenv("MORVANE_DATA_DIR", (m_dir + "/d//").c_str(), 1);
    EXPECT_EQ(platform::DataDirectory(false), m_dir + "/d");
    EXPECT_EQ(platform::DataDirectory(true), m_dir + "/d/");
    // Relative values are ignored: a service's working directory is "/".
    ::setenv("MORVANE_DATA_DIR", "relative", 1);
    std::string dir = platform::DataDirectory(false);
    EXPECT_EQ(dir, platform::DataDirectoryFor(platform::ProgramDirectory(false)));
    // The tests run from the build tree, which carries the marker.
    EXPECT_EQ(dir, platform::ProgramDirectory(false));
    EXPECT_EQ(platform::DataDirectory(true), platform::ProgramDirectory(true));
}

}  // namespace
