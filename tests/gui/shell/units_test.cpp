// Pure rules of the shell: the version block, the download status, the updater version test, the
// crash report's path, the digest and the web pages.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTranslator>
#include <QXmlStreamReader>

#include "gui/shell/crash_handler.h"
#include "gui/strings.h"
#include "gui/shell/logon.h"
#include "gui/shell/updater.h"
#include "platform/version.h"
#include "shared/base/files.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kBin = MORVANE_BIN_DIR;

platform::VersionDescription Sample()
{
    platform::VersionDescription d;
    uint16_t v[4] = {1, 2, 3, 40000};
    std::copy(v, v + 4, d.fileVersion);
    std::copy(v, v + 4, d.productVersion);
    d.strings = {{"ProductVersion", "1.2.3.40000"}, {"FileVersion", "1.2.3.40000"}, {"Comments", ""}};
    return d;
}

TEST(ShellVersionBlock, RoundTripAndQueries)
{
    std::vector<uint8_t> block = platform::BuildVersionBlock(Sample());
    ASSERT_FALSE(block.empty());
    uint16_t lang = 0, cp = 0;
    ASSERT_TRUE(platform::VersionFirstTranslation(block, lang, cp));
    EXPECT_EQ(lang, 0x0804);
    EXPECT_EQ(cp, 0x03A8);
    std::string text;
    EXPECT_TRUE(platform::VersionStringValue(block, "ProductVersion", text));
    EXPECT_EQ(text, "1.2.3.40000");
    EXPECT_TRUE(platform::VersionStringValue(block, "fileversion", text));  // keys ignore case
    EXPECT_EQ(text, "1.2.3.40000");
    EXPECT_FALSE(platform::VersionStringValue(block, "Missing", text));
    uint16_t parts[4];
    ASSERT_TRUE(platform::VersionFixedFileVersion(block, parts));
    EXPECT_EQ(parts[0], 1);
    EXPECT_EQ(parts[3], 40000);
    const uint8_t* value = nullptr;
    uint32_t size = 0;
    EXPECT_TRUE(platform::VersionQueryValue(block, "\\StringFileInfo\\080403a8\\ProductVersion", value, size));
    EXPECT_EQ(size, 12u);  // with its NUL
    EXPECT_FALSE(platform::VersionQueryValue(block, "\\StringFileInfo\\040904b0\\ProductVersion", value, size));
}

TEST(ShellVersionBlock, DamagedBlocksAreRefusedNotOverrun)
{
    const std::vector<uint8_t> good = platform::BuildVersionBlock(Sample());
    std::string text;
    uint16_t parts[4];
    // Every truncation, and every single-byte corruption of the length fields, must fail cleanly.
    for (size_t cut = 0; cut < good.size(); ++cut) {
        std::vector<uint8_t> b(good.begin(), good.begin() + static_cast<long>(cut));
        platform::VersionStringValue(b, "ProductVersion", text);
        platform::VersionFixedFileVersion(b, parts);
    }
    for (size_t at = 0; at < good.size(); ++at) {
        for (uint8_t v : {uint8_t{0}, uint8_t{0xFF}, uint8_t{7}}) {
            std::vector<uint8_t> b = good;
            b[at] = v;
            platform::VersionStringValue(b, "ProductVersion", text);
            platform::VersionFixedFileVersion(b, parts);
        }
    }
    EXPECT_FALSE(platform::VersionStringValue({}, "ProductVersion", text));
}

TEST(ShellVersionBlock, ReadFromOtherExecutables)
{
    // The programs of the build carry the project version; reading does not run them.
    for (const char* program : {"/Morvane", "/MorvaneCore", "/fake_uploader_1_0_0_10"}) {
        const std::string path = kBin + program;
        if (!files::Exists(path))
            continue;
        std::vector<uint8_t> block;
        ASSERT_TRUE(platform::ReadVersionBlock(path, block)) << path;
        EXPECT_EQ(platform::VersionBlockSize(path), block.size());
        EXPECT_LT(block.size(), 2000u);
    }
    EXPECT_EQ(platform::ProductVersionOf(kBin + "/Morvane"), "1.0.0.1");
    EXPECT_EQ(platform::ProductVersionOf(kBin + "/fake_uploader_1_0_0_10"), "1.0.0.10");
    uint16_t parts[4];
    platform::FileVersionOf(kBin + "/fake_uploader_1_0_0_10", parts);
    EXPECT_EQ(parts[3], 10);
    // No note, not ELF, missing, or larger than the caller accepts.
    EXPECT_EQ(platform::VersionBlockSize(kBin + "/fake_uploader"), 0u);
    EXPECT_EQ(platform::ProductVersionOf(kBin + "/fake_uploader"), "");
    EXPECT_EQ(platform::ProductVersionOf("/etc/passwd"), "");
    EXPECT_EQ(platform::ProductVersionOf("/nonexistent/x"), "");
    EXPECT_EQ(platform::ProductVersionOf(kBin + "/Morvane", 100), "");
    platform::FileVersionOf("/etc/passwd", parts);
    EXPECT_EQ(parts[0] + parts[1] + parts[2] + parts[3], 0);
}

TEST(ShellVersionBlock, TruncatedExecutableIsRefused)
{
    const std::string source = kBin + "/fake_uploader_1_0_0_2";
    std::string bytes;
    ASSERT_TRUE(files::ReadAll(source, bytes));
    CTempDir dir("morvane-version-cut");
    const std::string path = dir / "cut";
    // Cut inside the section header table, then inside the ELF header.
    for (size_t keep : {bytes.size() - 100, size_t{40}, size_t{3}}) {
        ASSERT_TRUE(files::ReplaceAtomically(path, std::string_view(bytes).substr(0, keep)));
        EXPECT_EQ(platform::ProductVersionOf(path), "") << keep;
    }
}

TEST(ShellUpdaterRules, VersionComparedAsText)
{
    EXPECT_TRUE(gui::IsNewerUpdaterVersion("1.0.0.2"));
    EXPECT_TRUE(gui::IsNewerUpdaterVersion("1.0.0.10"));
    EXPECT_TRUE(gui::IsNewerUpdaterVersion("2.0"));
    EXPECT_FALSE(gui::IsNewerUpdaterVersion("1.0.0.1"));
    EXPECT_FALSE(gui::IsNewerUpdaterVersion("1.0.0.0"));
    EXPECT_FALSE(gui::IsNewerUpdaterVersion(""));  // no version: not installed
    EXPECT_FALSE(gui::IsNewerUpdaterVersion("0.9.9.9"));
}

class ShellDownloadStatus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_site.programDir = m_tmp.Path() + "/";
        m_site.guiPath = m_site.programDir + "Morvane";
        mkdir((m_site.programDir + "down").c_str(), 0755);
    }
    bool With(const std::string& xml)
    {
        std::ofstream(m_site.programDir + gui::kDownloadStatus) << xml;
        return gui::IsDownloadComplete(m_site);
    }
    CTempDir m_tmp{"morvane-down"};
    gui::UpdaterSite m_site;
};

TEST_F(ShellDownloadStatus, EveryFileDataUnderEveryChildMustBeTwo)
{
    EXPECT_FALSE(gui::IsDownloadComplete(m_site));  // no file
    EXPECT_TRUE(With("<PROG><TYPE><FILEDATA>2</FILEDATA><FILEDATA>2</FILEDATA></TYPE></PROG>"));
    EXPECT_FALSE(With("<PROG><TYPE><FILEDATA>2</FILEDATA><FILEDATA>1</FILEDATA></TYPE></PROG>"));
    // Children after the first TYPE count whatever their name.
    EXPECT_FALSE(With("<PROG><TYPE><FILEDATA>2</FILEDATA></TYPE><OTHER><FILEDATA>0</FILEDATA></OTHER></PROG>"));
    // Children before the first TYPE do not.
    EXPECT_TRUE(With("<PROG><OTHER><FILEDATA>0</FILEDATA></OTHER><TYPE><FILEDATA>2</FILEDATA></TYPE></PROG>"));
    EXPECT_FALSE(With("<PROG><OTHER><FILEDATA>2</FILEDATA></OTHER></PROG>"));  // no TYPE
    EXPECT_TRUE(With("<PROG><TYPE><NAME>a</NAME></TYPE><TYPE/></PROG>"));      // no FILEDATA at all
    EXPECT_FALSE(With("<PROG><TYPE><FILEDATA> 2</FILEDATA></TYPE></PROG>"));   // exactly "2"
    EXPECT_FALSE(With("<ROOT><TYPE><FILEDATA>2</FILEDATA></TYPE></ROOT>"));    // no PROG
}

TEST(ShellCrashPath, DumpPathBesideTheProgram)
{
    EXPECT_EQ(gui::CrashDumpPath("/opt/morvane/Morvane"), "/opt/morvane/Morvane.dmp");
    EXPECT_EQ(gui::CrashDumpPath("/opt/morvane/Morvane.exe"), "/opt/morvane/Morvane.dmp");
    EXPECT_EQ(gui::CrashDumpPath("/opt/morvane/Morvane.bin.old"), "/opt/morvane/Morvane.bin.dmp");
    // A dot in a directory name is not the program's extension.
    EXPECT_EQ(gui::CrashDumpPath("/opt/morvane-1.0/Morvane"), "/opt/morvane-1.0/Morvane.dmp");
    EXPECT_EQ(gui::CrashDumpPath("/opt/x/.Morvane"), "/opt/x/.Morvane.dmp");
}

TEST(ShellLogin, DigestAndPages)
{
    EXPECT_EQ(gui::PasswordDigest(QStringLiteral("demo")), "fe01ce2a7fbac8fafaed7c982a04e229");
    EXPECT_EQ(gui::PasswordDigest(QString::fromLatin1(gui::kRememberedPassword)),
              "8a7ab20ec0ab3262ce329c7dcb399a4e");  // "***" is a password like any other
    EXPECT_EQ(gui::RegisterUrl(), "http://127.0.0.1/index.php?action=reg");
    EXPECT_EQ(gui::RecoveryUrl(QStringLiteral("demo")), "http://127.0.0.1/index.php?action=takeback&username=demo");
    // Characters that would end or extend the query are escaped.
    EXPECT_EQ(gui::RecoveryUrl(QString::fromUtf8("张 三&admin=1#x")),
              "http://127.0.0.1/index.php?action=takeback&username=%E5%BC%A0%20%E4%B8%89%26admin%3D1%23x");
}

}  // namespace

// Every text the sources mark for translation (as lupdate finds it now, so a new text without an
// English entry fails here) has a finished English translation in the built .qm; Chinese, C and
// POSIX keep the original texts.
TEST(ShellTranslation, EveryTextHasAFinishedEnglishTranslation)
{
    const QString source = QString::fromUtf8(MORVANE_FIXTURES) + QStringLiteral("/../..");
    QTranslator english;
    ASSERT_TRUE(english.load(QStringLiteral("morvane_en"), QStringLiteral(MORVANE_BIN_DIR "/translations")));
    std::string committed;
    ASSERT_TRUE(files::ReadAll((source + QStringLiteral("/gui/translations/morvane_en.ts")).toStdString(), committed));
    EXPECT_EQ(committed.find("unfinished"), std::string::npos);

    int count = 0;
    const int* ids = gui::StringIds(count);
    for (int i = 0; i < count; ++i)
        EXPECT_FALSE(english.translate("Morvane", gui::LoadStringText(ids[i])).isEmpty()) << ids[i];

    const QString lupdate = QStringLiteral("/usr/lib/qt6/bin/lupdate");
    if (!QFile::exists(lupdate))
        GTEST_SKIP() << "no lupdate (qt6-l10n-tools) to list the marked texts";
    const QString fresh = QDir::tempPath() + QStringLiteral("/morvane-lupdate-%1.ts").arg(getpid());
    QProcess run;
    run.start(lupdate, {source + QStringLiteral("/gui"), QStringLiteral("-locations"), QStringLiteral("none"),
                        QStringLiteral("-ts"), fresh});
    ASSERT_TRUE(run.waitForFinished(60000));
    ASSERT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    QFile file(fresh);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString context;
    QString text;
    QString comment;
    int texts = 0;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement && xml.name() == QLatin1String("message")) {
            // A text with a disambiguation is looked up with it, as the program does.
            ++texts;
            EXPECT_FALSE(english
                             .translate(context.toUtf8().constData(), text.toUtf8().constData(),
                                        comment.isEmpty() ? nullptr : comment.toUtf8().constData())
                             .isEmpty())
                << context.toStdString() << ": " << text.toStdString() << " (" << comment.toStdString() << ")";
            comment.clear();
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("source"))
            text = xml.readElementText();
        else if (xml.name() == QLatin1String("comment"))
            comment = xml.readElementText();
    }
    file.remove();
    EXPECT_GE(texts, count);

    for (const char* original : {"zh-CN", "zh", "zh_TW", "C", "POSIX", "c.utf-8", ""})
        EXPECT_FALSE(gui::WantsTranslation(QString::fromLatin1(original))) << original;
    for (const char* other : {"en-US", "de-DE", "fr"})
        EXPECT_TRUE(gui::WantsTranslation(QString::fromLatin1(other))) << other;
}
