#include "shared/xml/data_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <thread>

#include "shared/base/files.h"
#include "tests/shared/xml/xml_test_util.h"
#include "tests/support/temp_dir.h"

using xmltest::Fixture;
using xmltest::ReadBytes;

namespace {

const char kDigest[] = "0123456789abcdef0123456789abcdef";

class DataFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
    }
    std::string Path(const char* name) const { return m_dir + "/" + name; }
    // A copy of a fixture in the test's directory.
    std::string Copy(const char* fixture, const char* name) const
    {
        std::string p = Path(name);
        EXPECT_TRUE(files::ReplaceAtomically(p, ReadBytes(Fixture(fixture))));
        return p;
    }

    CTempDir m_tmp{"morvane-datafile"};
    std::string m_dir;
};

}  // namespace

TEST_F(DataFile, Login)
{
    std::string user, digest;
    EXPECT_FALSE(datafile::ReadLogin(Copy("user_empty_pwd.xml", "u1.xml"), user, digest));
    EXPECT_FALSE(datafile::ReadLogin(Copy("user_two_roots.xml", "u2.xml"), user, digest));
    EXPECT_FALSE(datafile::ReadLogin(Path("missing.xml"), user, digest));
    EXPECT_FALSE(datafile::ReadLogin("", user, digest));
    EXPECT_EQ(user, "");

    std::map<std::string, std::string> accounts{{"a", "1"}};
    ASSERT_TRUE(datafile::ReadLogins(Copy("user_gui_only.xml", "u3.xml"), accounts));
    EXPECT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts["\xe5\xbc\xa0\xe4\xb8\x89"], kDigest);  // GB2312 file, UTF-8 in memory

    // From nothing: the full layout with an empty PORT.
    std::string p = Path("user.xml");
    ASSERT_TRUE(datafile::WriteLogin(p, "\xe5\xbc\xa0\xe4\xb8\x89", kDigest));
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("user_gui_only.xml")));
    EXPECT_EQ(datafile::ReadPort(p), 0);

    // Rewriting keeps PORT; a UserInfo without PWD gets one.
    ASSERT_TRUE(datafile::WritePort(p, 10001));
    ASSERT_TRUE(datafile::WriteLogin(p, "li", "ffff"));
    ASSERT_TRUE(datafile::ReadLogin(p, user, digest));
    EXPECT_EQ(user + "/" + digest, "li/ffff");
    EXPECT_EQ(datafile::ReadPort(p), 10001);
    std::string q = Copy("user_empty_pwd.xml", "u4.xml");
    ASSERT_TRUE(files::ReplaceAtomically(q, "<User><UserInfo><UserID>x</UserID></UserInfo></User>"));
    ASSERT_TRUE(datafile::WriteLogin(q, "y", "d"));
    ASSERT_TRUE(datafile::ReadLogin(q, user, digest));
    EXPECT_EQ(user + "/" + digest, "y/d");
}

TEST_F(DataFile, PortKeepsWhatTheGuiWrote)
{
    std::string p = Copy("user_gui_only.xml", "user.xml");
    ASSERT_TRUE(datafile::WritePort(p, 10003));
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("user_gui_only.port.expected")));
    EXPECT_FALSE(files::Exists(p + ".bad"));
    ASSERT_TRUE(datafile::WritePort(p, 10004));
    EXPECT_EQ(datafile::ReadPort(p), 10004);
    EXPECT_FALSE(datafile::WritePort("", 1));
    EXPECT_EQ(datafile::ReadPort(""), 0);
}

TEST_F(DataFile, BrokenFileIsReplacedButKept)
{
    std::string p = Copy("user_two_roots.xml", "user.xml");
    ASSERT_TRUE(datafile::WritePort(p, 10002));
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("user_two_roots.port.expected")));
    EXPECT_EQ(ReadBytes(p + ".bad"), ReadBytes(Fixture("user_two_roots.xml")));
    EXPECT_EQ(datafile::ReadPort(p), 10002);

    // A well-formed file with some other root is no user.xml either.
    std::string m = Path("mapport.xml");
    ASSERT_TRUE(files::ReplaceAtomically(m, "<User/>"));
    ASSERT_TRUE(datafile::SetMapping(m, 80, 1, 0, 1));
    EXPECT_EQ(ReadBytes(m + ".bad"), "<User/>");
    std::vector<PortMapEntry> maps;
    ASSERT_TRUE(datafile::ReadAllMappings(m, maps));
    EXPECT_EQ(maps.size(), 1u);

    // The same for a domain.xml of the wrong shape, whichever writer replaces it.
    std::string d = Path("domain.xml");
    ASSERT_TRUE(files::ReplaceAtomically(d, "<MAPPORTLIST/>"));
    ASSERT_TRUE(datafile::WriteAllSwitches(d, {{7, 1}}));
    EXPECT_EQ(ReadBytes(d + ".bad"), "<MAPPORTLIST/>");
    ASSERT_TRUE(files::ReplaceAtomically(d, "<OTHER/>"));
    ASSERT_TRUE(datafile::SetSwitches(d, {{7, 1}}));
    EXPECT_EQ(ReadBytes(d + ".bad"), "<OTHER/>");
    EXPECT_EQ(datafile::ReadSwitch(d, 7), 1);
}

// What someone who may write the directory can plant: a link to a secret, a link to where a file
// should never be created, a setuid target, a FIFO, a device, a huge file. None is read through,
// none blocks, a save sets it aside by renaming and writes a fresh 0660 file.
TEST_F(DataFile, PlantedLinksAndSpecialFilesAreSetAsideNeverFollowed)
{
    const std::string secret = Path("secret");
    ASSERT_TRUE(
        files::ReplaceAtomically(secret, "<User><UserInfo><UserID>root</UserID><PWD>x</PWD></UserInfo></User>", 0600));
    ASSERT_EQ(chmod(secret.c_str(), 04755), 0);
    const std::string p = Path("user.xml");
    ASSERT_EQ(symlink(secret.c_str(), p.c_str()), 0);
    const std::string elsewhere = Path("elsewhere");
    ASSERT_EQ(symlink(elsewhere.c_str(), (p + ".lock").c_str()), 0);
    std::string user, digest;
    EXPECT_FALSE(datafile::ReadLogin(p, user, digest)) << "read through a link";
    ASSERT_TRUE(datafile::WritePort(p, 10001));
    struct stat st;
    ASSERT_EQ(lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u) << "took the link target's mode";
    ASSERT_EQ(lstat((p + ".bad").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is kept aside as it is, not copied";
    EXPECT_FALSE(files::Exists(elsewhere)) << "created a file through the lock's link";
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);

    // A FIFO and a device neither block nor get read; a huge file is not loaded.
    const std::string fifo = Path("domain.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0660), 0);
    EXPECT_EQ(datafile::ReadSwitch(fifo, 7), 0);
    EXPECT_TRUE(datafile::SetSwitch(fifo, 7, 1));
    EXPECT_EQ(datafile::ReadSwitch(fifo, 7), 1);
    const std::string device = Path("mapport.xml");
    ASSERT_EQ(symlink("/dev/zero", device.c_str()), 0);
    std::vector<PortMapEntry> maps;
    EXPECT_FALSE(datafile::ReadAllMappings(device, maps));
    std::string huge(files::kMaxReadSize + 1, ' ');
    huge.replace(0, 13, "<MAPPORTLIST>");
    huge += "</MAPPORTLIST>";
    ASSERT_TRUE(files::ReplaceAtomically(Path("big.xml"), huge));
    std::string got;
    EXPECT_FALSE(files::ReadAll(Path("big.xml"), got));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_FALSE(files::ReadAll("/dev/zero", got));
}

TEST_F(DataFile, LeftoverTemporariesOfDeadWritersAreRemoved)
{
    const std::string dead = Path("user.xml.tmp.999999999.0");
    const std::string deadBad = Path("domain.xml.bad.tmp.999999999.3");
    const std::string alive = m_dir + "/user.xml.tmp." + std::to_string(getpid()) + ".1";
    for (const std::string& f : {dead, deadBad, alive, Path("other.tmp.1.1")})
        ASSERT_TRUE(files::ReplaceAtomically(f, "x"));
    EXPECT_EQ(datafile::RemoveLeftoverTemporaries(m_dir), 2);
    EXPECT_FALSE(files::Exists(dead));
    EXPECT_FALSE(files::Exists(deadBad));
    EXPECT_TRUE(files::Exists(alive)) << "a save in progress";
    EXPECT_TRUE(files::Exists(Path("other.tmp.1.1"))) << "not one of ours";
}

TEST_F(DataFile, InterruptedSaveLeavesTheOldFile)
{
    std::string p = Copy("user_gui_only.xml", "user.xml");
    // A child whose writes stop after 64 bytes (a full disk, in effect; root is held to it
    // too): the temporary file is never complete, so it is never renamed over user.xml.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {64, 64};
        setrlimit(RLIMIT_FSIZE, &lim);
        bool a = datafile::WritePort(p, 10009);
        bool b = datafile::WriteLogin(p, "x", "y");
        _exit(!a && !b ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save reported success";
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("user_gui_only.xml")));
    EXPECT_TRUE(datafile::WritePort(p, 10009));
    EXPECT_EQ(datafile::ReadPort(p), 10009);
}

TEST_F(DataFile, Switches)
{
    std::string p = Path("domain.xml");
    ASSERT_TRUE(datafile::WriteAllSwitches(p, {}));
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("domain_empty.expected")));
    EXPECT_EQ(datafile::ReadSwitch(p, 7), 0);

    ASSERT_TRUE(datafile::WriteAllSwitches(p, {{42, 0}, {0xFFFFFFFFu, 1}, {7, 1}}));
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("domain_three.expected")));
    EXPECT_EQ(datafile::ReadSwitch(p, 7), 1);
    EXPECT_EQ(datafile::ReadSwitch(p, 42), 0);
    EXPECT_EQ(datafile::ReadSwitch(p, 0xFFFFFFFFu), 1);
    EXPECT_EQ(datafile::ReadSwitch(p, 99), 0);
    EXPECT_EQ(datafile::ReadSwitch(Path("missing.xml"), 7), 0);

    ASSERT_TRUE(datafile::SetSwitch(p, 42, 1));
    ASSERT_TRUE(datafile::SetSwitch(p, 7, 0));
    ASSERT_TRUE(datafile::SetSwitch(p, 100, 1));
    EXPECT_EQ(datafile::ReadSwitch(p, 42), 1);
    EXPECT_EQ(datafile::ReadSwitch(p, 7), 0);
    EXPECT_EQ(datafile::ReadSwitch(p, 100), 1);
    EXPECT_NE(ReadBytes(p).find("<DOMAIN>\r\n<ID>100</ID>\r\n<OP>1</OP>\r\n<MAPPORT>80</MAPPORT>\r\n</DOMAIN>\r\n"
                                "</DOMAINLIST>"),
              std::string::npos);

    // Many hosts in one go give the same file as one at a time.
    std::string one = Path("one.xml"), many = Path("many.xml");
    for (auto [id, op] : std::map<uint32_t, int>{{3, 1}, {9, 0}, {4, 1}})
        ASSERT_TRUE(datafile::SetSwitch(one, id, op));
    ASSERT_TRUE(datafile::SetSwitches(many, {{3, 1}, {9, 0}, {4, 1}}));
    EXPECT_EQ(ReadBytes(one), ReadBytes(many));
    EXPECT_EQ(datafile::ReadSwitches(many, {4, 9, 77}), (std::map<uint32_t, int>{{4, 1}, {9, 0}, {77, 0}}));

    std::string q = Path("fresh.xml");
    ASSERT_TRUE(datafile::SetSwitch(q, 5, 1));
    EXPECT_EQ(datafile::ReadSwitch(q, 5), 1);
    // A DOMAIN without OP gets one.
    ASSERT_TRUE(files::ReplaceAtomically(q, "<DOMAINLIST><DOMAIN><ID>5</ID></DOMAIN></DOMAINLIST>"));
    EXPECT_EQ(datafile::ReadSwitch(q, 5), 0);
    ASSERT_TRUE(datafile::SetSwitch(q, 5, 1));
    EXPECT_EQ(datafile::ReadSwitch(q, 5), 1);
}

TEST_F(DataFile, Mappings)
{
    std::vector<PortMapEntry> maps;
    ASSERT_TRUE(datafile::ReadAllMappings(Copy("mapport_mixed.xml", "m.xml"), maps));
    // No PORT, PORT 0 and a port beyond 16 bits are skipped; absent values read 0.
    ASSERT_EQ(maps.size(), 2u);
    EXPECT_EQ(maps[0], (PortMapEntry{80, 1, 0, 1}));
    EXPECT_EQ(maps[1], (PortMapEntry{5353, 0, 1, 0}));
    EXPECT_FALSE(datafile::ReadAllMappings(Path("missing.xml"), maps));
    EXPECT_EQ(maps.size(), 2u);

    std::string p = Path("mapport.xml");
    ASSERT_TRUE(datafile::SetMapping(p, 8080, 1, 0, 1));
    ASSERT_TRUE(datafile::SetMapping(p, 8080, 1, 1, 0));  // same port, other protocol
    ASSERT_TRUE(datafile::SetMapping(p, 8080, 0, 1, 1));  // updates the UDP one
    EXPECT_EQ(ReadBytes(p), ReadBytes(Fixture("mapport_two_protocols.expected")));

    // Children kept in another order are all updated.
    ASSERT_TRUE(files::ReplaceAtomically(
        p, "<MAPPORTLIST><MAPPORT><PORT TYPE=\"0\">21</PORT><TYPE>0</TYPE><OP>0</OP><ALLOW>0</ALLOW>"
           "</MAPPORT></MAPPORTLIST>"));
    ASSERT_TRUE(datafile::SetMapping(p, 21, 1, 0, 1));
    maps.clear();
    ASSERT_TRUE(datafile::ReadAllMappings(p, maps));
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0], (PortMapEntry{21, 1, 0, 1}));

    ASSERT_TRUE(datafile::SetMapping(p, 22, 1, 1, 1));
    EXPECT_TRUE(datafile::RemoveMapping(p, 21, 1));  // wrong protocol: nothing removed
    EXPECT_TRUE(datafile::RemoveMapping(p, 21, 0));
    maps.clear();
    ASSERT_TRUE(datafile::ReadAllMappings(p, maps));
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].port, 22);
    EXPECT_TRUE(datafile::RemoveMapping(Path("none.xml"), 22, 1));  // no file: nothing to remove, none made
    EXPECT_FALSE(files::Exists(Path("none.xml")));

    // Many at once: one file, capped; existing entries are still updated when it is full.
    std::vector<PortMapEntry> many;
    for (int i = 0; i < 300; ++i)
        many.push_back(PortMapEntry{static_cast<uint16_t>(1000 + i), 0, 0, 1});
    int refused = 0;
    EXPECT_FALSE(datafile::SetMappings(p, many, &refused));
    EXPECT_EQ(refused, 300 - int(datafile::kMaxMappings) + 1);  // one place was taken by port 22
    maps.clear();
    ASSERT_TRUE(datafile::ReadAllMappings(p, maps));
    ASSERT_EQ(maps.size(), datafile::kMaxMappings);
    EXPECT_TRUE(datafile::SetMappings(p, {PortMapEntry{1000, 1, 0, 0}}, &refused));
    EXPECT_EQ(refused, 0);
    EXPECT_TRUE(datafile::RemoveMappings(p, {PortMapEntry{1000, 0, 0, 0}, PortMapEntry{1001, 0, 0, 0}}));
    maps.clear();
    ASSERT_TRUE(datafile::ReadAllMappings(p, maps));
    EXPECT_EQ(maps.size(), datafile::kMaxMappings - 2);
}

// The GUI and the service both rewrite user.xml; neither may lose the other's change.
TEST_F(DataFile, ConcurrentWritersLoseNothing)
{
    std::string p = Path("user.xml");
    const int kRounds = 60;
    auto logins = [&] {
        for (int i = 1; i <= kRounds; ++i)
            datafile::WriteLogin(p, "user" + std::to_string(i), kDigest);
    };
    auto ports = [&] {
        for (int i = 1; i <= kRounds; ++i)
            datafile::WritePort(p, static_cast<unsigned>(10000 + i));
    };

    // Two threads.
    std::thread a(logins);
    std::thread b(ports);
    a.join();
    b.join();
    std::string user, digest;
    ASSERT_TRUE(datafile::ReadLogin(p, user, digest));
    EXPECT_EQ(user, "user" + std::to_string(kRounds));
    EXPECT_EQ(datafile::ReadPort(p), 10000 + kRounds);

    // Two processes.
    ASSERT_EQ(unlink(p.c_str()), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ports();
        _exit(0);
    }
    logins();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(datafile::ReadLogin(p, user, digest));
    EXPECT_EQ(user, "user" + std::to_string(kRounds));
    EXPECT_EQ(datafile::ReadPort(p), 10000 + kRounds);
    EXPECT_FALSE(files::Exists(p + ".bad"));
}
