// The Debian package as built by cpack (the CTest fixture packaging_build_deb): what it installs,
// with which owners and modes, what it depends on, and that the installed layout runs.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Output {
    int code = -1;
    std::string text;
};

Output Shell(const std::string& command)
{
    Output out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.text.append(buffer, n);
    int status = ::pclose(pipe);
    out.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, sep))
        out.push_back(item);
    return out;
}

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n'))
        s.pop_back();
    while (!s.empty() && s.front() == ' ')
        s.erase(s.begin());
    return s;
}

// Installed path -> "mode owner [-> target]" from dpkg-deb -c.
std::map<std::string, std::string> Contents(const std::string& deb)
{
    std::map<std::string, std::string> out;
    for (const std::string& line : Split(Shell("dpkg-deb -c " + Quote(deb)).text, '\n')) {
        std::istringstream in(line);
        std::string mode, owner, size, date, time, path, arrow, target;
        if (!(in >> mode >> owner >> size >> date >> time >> path))
            continue;
        if (path.starts_with("./"))
            path.erase(0, 1);
        std::string value = mode + " " + owner;
        if (in >> arrow >> target)
            value += " -> " + target;
        out[path] = value;
    }
    return out;
}

// The packages by name, unpacked together into one tree (as installing all of them would).
class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (const auto& entry : fs::directory_iterator(MORVANE_DEB_DIR)) {
            if (entry.path().extension() != ".deb")
                continue;
            std::string name = entry.path().filename().string();
            s_debs[name.substr(0, name.find('_'))] = entry.path();
        }
        if (s_debs.empty())
            return;
        s_tmp = std::make_unique<CTempDir>("morvane_deb");
        s_root = s_tmp->Path();
        for (const auto& [name, deb] : s_debs) {
            Shell("dpkg-deb -x " + Quote(deb) + " " + Quote(s_root));
            Shell("dpkg-deb -e " + Quote(deb) + " " + Quote(s_root + "/DEBIAN." + name));
        }
    }
    static void TearDownTestSuite() { s_tmp.reset(); }
    void SetUp() override
    {
        ASSERT_TRUE(s_debs.count("morvane")) << "no package morvane in " << MORVANE_DEB_DIR;
        ASSERT_TRUE(s_debs.count("morvane-provider")) << "no package morvane-provider in " << MORVANE_DEB_DIR;
        ASSERT_TRUE(s_debs.count("morvane-gui")) << "no package morvane-gui in " << MORVANE_DEB_DIR;
    }

    static std::string Field(const std::string& package, const std::string& name)
    {
        return Trim(Shell("dpkg-deb -f " + Quote(s_debs[package]) + " " + name).text);
    }
    static std::set<std::string> DependsOn(const std::string& package)
    {
        std::set<std::string> out;
        for (std::string alternative : Split(Field(package, "Depends"), ',')) {
            for (std::string dep : Split(alternative, '|')) {
                dep = Trim(dep);
                out.insert(dep.substr(0, dep.find_first_of(" (")));
            }
        }
        return out;
    }
    static std::string ReadText(const std::string& path)
    {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // The unit as installed, pointed at the unpacked program: systemd-analyze verifies it (its man page
    // must be found too) and rates its exposure at most 2.0.
    static void VerifyUnit(const std::string& name, const std::string& program)
    {
        if (::access("/usr/bin/systemd-analyze", X_OK) != 0)
            return;
        std::string copy = ReadText(s_root + "/lib/systemd/system/" + name);
        ASSERT_NE(copy.find(program), std::string::npos) << name;
        copy.replace(copy.find(program), program.size(), s_root + program);
        fs::create_directories(s_root + "/verify");
        const std::string path = s_root + "/verify/" + name;
        std::ofstream(path) << copy;
        Output verify =
            Shell("MANPATH=" + Quote(s_root + "/usr/share/man") + " /usr/bin/systemd-analyze verify " + Quote(path));
        EXPECT_EQ(verify.code, 0) << verify.text;
        EXPECT_EQ(verify.text, "");
        Output security = Shell("/usr/bin/systemd-analyze security --offline=true " + Quote(path) + " | tail -1");
        const std::string label = "exposure level for " + name + ": ";
        const size_t at = security.text.find(label);
        ASSERT_NE(at, std::string::npos) << security.text;
        EXPECT_LE(std::atof(security.text.c_str() + at + label.size()), 2.0) << security.text;
    }

    static inline std::map<std::string, std::string> s_debs;
    static inline std::unique_ptr<CTempDir> s_tmp;
    static inline std::string s_root;
};

// Package -> the program it carries (the package a binary's library dependencies must be listed in).
const std::map<std::string, std::string> kPackageOf = {
    {"/usr/lib/morvane/MorvaneCore", "morvane"}, {"/usr/lib/morvane/morvanectl", "morvane"},
    {"/usr/lib/morvane/libnat.so", "morvane"},   {"/usr/bin/morvane-provider", "morvane-provider"},
    {"/usr/lib/morvane/Morvane", "morvane-gui"},
};

TEST_F(PackageTest, EachPackageInstallsItsOwnFiles)
{
    const std::map<std::string, std::map<std::string, std::string>> expected = {
        {"morvane",
         {{"/usr/lib/morvane/MorvaneCore", "-rwxr-xr-x root/root"},
          {"/usr/lib/morvane/morvanectl", "-rwxr-xr-x root/root"},
          {"/usr/lib/morvane/libnat.so", "-rw"},
          {"/usr/bin/morvanectl", "lrwxrwxrwx root/root 0 -> ../lib/morvane/morvanectl"},
          {"/lib/systemd/system/morvane.service", "-rw-r--r-- root/root"},
          {"/usr/share/man/man8/MorvaneCore.8.gz", "-rw-r--r-- root/root"},
          {"/usr/share/man/man1/morvanectl.1.gz", "-rw-r--r-- root/root"},
          {"/usr/share/doc/morvane/copyright", "-rw-r--r-- root/root"},
          {"/usr/share/doc/morvane/changelog.gz", "-rw-r--r-- root/root"}}},
        {"morvane-provider",
         {{"/usr/bin/morvane-provider", "-rwxr-xr-x root/root"},
          {"/lib/systemd/system/morvane-provider.service", "-rw-r--r-- root/root"},
          {"/usr/share/man/man1/morvane-provider.1.gz", "-rw-r--r-- root/root"},
          {"/usr/share/doc/morvane-provider/copyright", "-rw-r--r-- root/root"}}},
        {"morvane-gui",
         {{"/usr/lib/morvane/Morvane", "-rwxr-xr-x root/root"},
          {"/usr/bin/morvane", "lrwxrwxrwx root/root 0 -> ../lib/morvane/Morvane"},
          {"/usr/share/applications/morvane.desktop", "-rw-r--r-- root/root"},
          {"/usr/share/icons/hicolor/scalable/apps/morvane.svg", "-rw-r--r-- root/root"},
          {"/usr/share/doc/morvane-gui/copyright", "-rw-r--r-- root/root"}}},
    };
    std::set<std::string> seen;
    for (const auto& [package, wanted] : expected) {
        std::map<std::string, std::string> files = Contents(s_debs.at(package));
        for (const auto& [path, what] : wanted) {
            auto it = files.find(path);
            ASSERT_NE(it, files.end()) << path << " missing from " << package;
            // dpkg-deb prints a link's size column; compare what matters.
            if (what.find(" -> ") != std::string::npos) {
                EXPECT_EQ(it->second.substr(0, 20), what.substr(0, 20)) << path;
                EXPECT_EQ(it->second.substr(it->second.find(" -> ")), what.substr(what.find(" -> "))) << path;
            } else {
                EXPECT_EQ(it->second.substr(0, what.size()), what) << path;
            }
        }
        for (const auto& [path, what] : files) {
            EXPECT_NE(what.find(" root/root"), std::string::npos) << path << " " << what;
            if (what[0] != 'd') {
                EXPECT_TRUE(seen.insert(path).second) << path << " is in two packages";
            }
            // Nothing of the build, of the tests, or of the machine's state.
            EXPECT_FALSE(path.starts_with("/var/") || path.starts_with("/etc/") || path.starts_with("/usr/local/") ||
                         path.starts_with("/usr/include/"))
                << path;
            EXPECT_EQ(path.find("build-tree"), std::string::npos) << path;
            EXPECT_EQ(path.find("test"), std::string::npos) << path;
            EXPECT_FALSE(path.ends_with(".a")) << path;
        }
    }
    // A headless server installs the service without the desktop program's files.
    for (const auto& [path, what] : Contents(s_debs.at("morvane")))
        EXPECT_FALSE(path.ends_with("/Morvane") || path.find("applications") != std::string::npos) << path;
}

TEST_F(PackageTest, DependsOnThePackagesOfEveryLibraryItLoads)
{
    for (const auto& [package, deb] : s_debs) {
        EXPECT_EQ(Field(package, "Package"), package);
        EXPECT_EQ(Field(package, "Section"), "net") << package;
        EXPECT_FALSE(Field(package, "Architecture").empty());
        EXPECT_EQ(Field(package, "Version"), Field("morvane", "Version"));
    }
    const std::string coreDepends = Field("morvane", "Depends");
    EXPECT_NE(coreDepends.find("adduser"), std::string::npos) << coreDepends;
    EXPECT_NE(coreDepends.find("init-system-helpers"), std::string::npos) << coreDepends;
    // The service's package pulls in no toolkit or display libraries.
    EXPECT_EQ(coreDepends.find("qt"), std::string::npos) << coreDepends;
    EXPECT_EQ(coreDepends.find("libx"), std::string::npos) << coreDepends;
    EXPECT_NE(Field("morvane-gui", "Depends").find("morvane (= " + Field("morvane", "Version") + ")"),
              std::string::npos)
        << Field("morvane-gui", "Depends");

    for (const auto& [binary, package] : kPackageOf) {
        const std::set<std::string> dependsOn = DependsOn(package);
        const std::string depends = Field(package, "Depends");
        Output dynamic = Shell("objdump -p " + Quote(s_root + binary));
        ASSERT_EQ(dynamic.code, 0) << binary << dynamic.text;
        std::set<std::string> needed;
        for (const std::string& line : Split(dynamic.text, '\n')) {
            std::istringstream in(line);
            std::string tag, value;
            if (!(in >> tag >> value))
                continue;
            if (tag == "RUNPATH" || tag == "RPATH")
                EXPECT_EQ(value, "$ORIGIN") << binary << " must not look into the build tree";
            else if (tag == "NEEDED" && value != "libnat.so")
                needed.insert(value);
        }
        // Where this machine finds each library, and which package owns that file (libc's too).
        Output ldd = Shell("ldd " + Quote(s_root + binary));
        ASSERT_EQ(ldd.code, 0) << binary << ldd.text;
        for (const std::string& line : Split(ldd.text, '\n')) {
            std::istringstream in(line);
            std::string name, arrow, path;
            if (!(in >> name >> arrow))
                continue;
            if (arrow == "=>")
                in >> path;
            else if (name.starts_with("/"))  // the loader itself, named by path
                path = name, name = name.substr(name.rfind('/') + 1);
            if (!needed.count(name))
                continue;
            EXPECT_NE(path, "not") << binary << ": " << name << " not found";
            // dpkg knows each file under one of its two names on a merged-/usr system.
            std::string other = path.starts_with("/usr/") ? path.substr(4) : "/usr" + path;
            Output where = Shell("dpkg -S " + Quote(path) + "; dpkg -S " + Quote(other));
            std::string owner;
            for (const std::string& found : Split(where.text, '\n')) {
                if (!found.starts_with("dpkg-query") && found.find(": /") != std::string::npos) {
                    owner = found.substr(0, found.find(':'));
                    break;
                }
            }
            ASSERT_FALSE(owner.empty()) << path;
            EXPECT_TRUE(dependsOn.count(owner)) << binary << " loads " << path << " from " << owner << ", which "
                                                << package << " does not depend on: " << depends;
            needed.erase(name);
        }
        EXPECT_TRUE(needed.empty()) << binary << ": unresolved " << *needed.begin();
    }
}

TEST_F(PackageTest, TheInstalledLayoutRunsAndDescribesItself)
{
    // libnat.so resolves beside the programs, from wherever the tree is unpacked.
    for (const auto& [program, package] : kPackageOf) {
        if (program.ends_with(".so"))
            continue;
        std::string arg = program.ends_with("MorvaneCore") ? "-x" : "--help";
        if (program.ends_with("/Morvane"))
            continue;  // a GUI; its libraries are checked above
        Output run = Shell(Quote(s_root + program) + " " + arg);
        EXPECT_EQ(run.code, 0) << program << ": " << run.text;
    }

    std::string unit;
    {
        std::ifstream in(s_root + "/lib/systemd/system/morvane.service");
        unit.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(unit.find("\nExecStart=/usr/lib/morvane/MorvaneCore\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nEnvironment=MORVANE_SCM_SERVICE=MORVANE\n"), std::string::npos);
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
    // Its own user, restarted when killed, files nobody else may read.
    for (const char* line :
         {"\nUser=morvane\n", "\nStateDirectory=morvane\n", "\nStateDirectoryMode=2770\n", "\nUMask=0007\n",
          "\nRuntimeDirectory=morvane\n", "\nRuntimeDirectoryMode=0750\n", "\nRestart=on-failure\n",
          "\nNoNewPrivileges=yes\n", "\nCapabilityBoundingSet=\n", "\nProtectSystem=strict\n",
          "\nRestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    VerifyUnit("morvane.service", "/usr/lib/morvane/MorvaneCore");
    VerifyUnit("morvane-provider.service", "/usr/bin/morvane-provider");  // its user and modes: test-systemd.sh

    for (const char* page : {"/usr/share/man/man8/MorvaneCore.8.gz", "/usr/share/man/man1/morvanectl.1.gz",
                             "/usr/share/man/man1/morvane-provider.1.gz"}) {
        Output man = Shell("MANWIDTH=80 man --warnings -l " + Quote(s_root + page) + " 2>&1 >/dev/null");
        EXPECT_EQ(man.code, 0) << page;
        EXPECT_EQ(man.text, "") << page;
    }
    std::string desktop;
    {
        std::ifstream in(s_root + "/usr/share/applications/morvane.desktop");
        desktop.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(desktop.find("\nExec=morvane\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nIcon=morvane\n"), std::string::npos);
    EXPECT_EQ(Shell("xmllint --noout " + Quote(s_root + "/usr/share/icons/hicolor/scalable/apps/morvane.svg")).code, 0);
}

TEST_F(PackageTest, MaintainerScriptsAreValidAndSetUpTheServiceUser)
{
    for (const std::string package : {"morvane", "morvane-provider"})
        for (const char* script : {"postinst", "prerm", "postrm"}) {
            const std::string path = s_root + "/DEBIAN." + package + "/" + script;
            ASSERT_EQ(::access(path.c_str(), X_OK), 0) << script;
            Output syntax = Shell("sh -n " + Quote(path));
            EXPECT_EQ(syntax.code, 0) << script << ": " << syntax.text;
        }
    const std::string postinst = ReadText(s_root + "/DEBIAN.morvane/postinst");
    EXPECT_NE(postinst.find("adduser --system"), std::string::npos);
    EXPECT_NE(postinst.find("install -d -m 2770 -o morvane -g morvane /var/lib/morvane"), std::string::npos);
    EXPECT_NE(postinst.find("deb-systemd-helper enable 'morvane.service'"), std::string::npos);
    EXPECT_EQ(postinst.find("@"), std::string::npos) << "unreplaced placeholder";
    const std::string postrm = ReadText(s_root + "/DEBIAN.morvane/postrm");
    EXPECT_NE(postrm.find("deluser --quiet --system morvane"), std::string::npos);
    EXPECT_NE(postrm.find("delgroup --quiet --system morvane"), std::string::npos);
}

TEST_F(PackageTest, LintianFindsNoErrors)
{
    if (::access("/usr/bin/lintian", X_OK) != 0)
        GTEST_SKIP() << "lintian not installed";
    for (const auto& [package, deb] : s_debs) {
        Output lint = Shell("lintian --no-tag-display-limit " + Quote(deb));
        for (const std::string& line : Split(lint.text, '\n'))
            EXPECT_FALSE(line.starts_with("E: ")) << line;
    }
}

}  // namespace
