#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "shared/xml/xml_document.h"
#include "shared/xml/xml_internal.h"
#include "tests/shared/xml/xml_test_util.h"
#include "tests/support/temp_dir.h"

using xmltest::Fixture;
using xmltest::ReadBytes;

namespace {

const char kBeijing[] = "\xe5\x8c\x97\xe4\xba\xac";  // UTF-8
const char kBeijingGb[] = "\xb1\xb1\xbe\xa9";        // GB2312

class XmlFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
    }
    void TearDown() override { xmltext::SetSystemEncodingForTesting(""); }
    std::string Path(const char* name) const { return m_dir + "/" + name; }

    static std::string Location(CXmlDocument& d)
    {
        d.ResetPosition();
        d.FindElement("NetInfo");
        d.FindChildElement("netlocation");
        return d.ChildElementText();
    }

    CTempDir m_tmp{"morvane-xmlfile"};
    std::string m_dir;
};

}  // namespace

TEST_F(XmlFile, ByteOrderMarksAndWideFiles)
{
    CXmlDocument d;
    ASSERT_TRUE(d.LoadFile(Fixture("utf8_bom_chinese.xml")));
    EXPECT_EQ(Location(d), std::string(kBeijing) + " \xe7\x94\xb5\xe4\xbf\xa1");
    EXPECT_EQ(d.Document().substr(0, 5), "<?xml");  // the mark is gone
    EXPECT_NE(d.ResultNotes().find("<bom"), std::string::npos);

    ASSERT_TRUE(d.LoadFile(Fixture("utf16be_bom.xml")));
    EXPECT_EQ(Location(d), kBeijing);
    EXPECT_NE(d.ResultNotes().find("endian_swap"), std::string::npos);
    EXPECT_EQ(d.ResultNotes().find("file_error"), std::string::npos);

    ASSERT_TRUE(d.LoadFile(Fixture("utf16le_bom.xml")));
    EXPECT_EQ(Location(d), kBeijing);
    EXPECT_EQ(d.ResultNotes().find("endian_swap"), std::string::npos);

    // Saved as declared (UTF-16, no mark) and read back.
    ASSERT_TRUE(d.SaveFile(Path("wide.xml")));
    std::string bytes = ReadBytes(Path("wide.xml"));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("<\0", 2));
    CXmlDocument back;
    ASSERT_TRUE(back.LoadFile(Path("wide.xml")));
    EXPECT_EQ(back.Document(), d.Document());
}

TEST_F(XmlFile, Gb2312WrittenAndReadBack)
{
    CXmlDocument d;
    d.SetDocument("<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n");
    d.AppendElement("NetInfo");
    d.AppendChildElement("netlocation", kBeijing);
    ASSERT_TRUE(d.SaveFile(Path("gb.xml")));
    std::string bytes = ReadBytes(Path("gb.xml"));
    EXPECT_NE(bytes.find(kBeijingGb), std::string::npos);
    EXPECT_EQ(bytes.find(kBeijing), std::string::npos);

    CXmlDocument back;
    ASSERT_TRUE(back.LoadFile(Path("gb.xml")));
    EXPECT_EQ(back.Document(), d.Document());
    EXPECT_NE(back.ResultNotes().find("converted_from"), std::string::npos);

    // A character GB2312 lacks becomes '?' and the loss is noted.
    d.EnterElement();
    d.SetElementText("\xf0\x9f\x98\x80");
    ASSERT_TRUE(d.SaveFile(Path("gb.xml")));
    EXPECT_NE(d.ResultNotes().find("conversion_loss"), std::string::npos);
    ASSERT_TRUE(back.LoadFile(Path("gb.xml")));
    EXPECT_EQ(Location(back), "?");
}

TEST_F(XmlFile, DeclarationsDetectionAndNulls)
{
    CXmlDocument d;
    // Undeclared UTF-8 starting with '<'.
    ASSERT_TRUE(files::ReplaceAtomically(Path("a.xml"), std::string("<NetInfo><netlocation>") + kBeijing +
                                                            "</netlocation></NetInfo>"));
    ASSERT_TRUE(d.LoadFile(Path("a.xml")));
    EXPECT_EQ(Location(d), kBeijing);
    EXPECT_NE(d.ResultNotes().find("utf8_detection"), std::string::npos);

    // An HTML page declaring its charset.
    ASSERT_TRUE(files::ReplaceAtomically(
        Path("p.htm"), std::string("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                                   "charset=gb2312\"/></head><body>") +
                           kBeijingGb + "</body></html>"));
    ASSERT_TRUE(d.LoadFile(Path("p.htm")));
    d.FindElement("html");
    d.FindChildElement("body");
    EXPECT_EQ(d.ChildElementText(), kBeijing);

    // Zero bytes are dropped and counted.
    ASSERT_TRUE(files::ReplaceAtomically(Path("z.xml"), std::string("<r>a\0b\0</r>", 11)));
    ASSERT_TRUE(d.LoadFile(Path("z.xml")));
    EXPECT_EQ(d.Document(), "<r>ab</r>");
    EXPECT_NE(d.ResultNotes().find("<nulls_removed count=\"2\"/>"), std::string::npos);

    // Invalid bytes in a declared encoding are replaced, not fatal.
    ASSERT_TRUE(files::ReplaceAtomically(Path("bad.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>\xff</r>"));
    xmltext::SetSystemEncodingForTesting("GB2312");
    ASSERT_TRUE(d.LoadFile(Path("bad.xml")));
    EXPECT_NE(d.ResultNotes().find("conversion_loss"), std::string::npos);

    // Unreadable.
    EXPECT_FALSE(d.LoadFile(Path("missing.xml")));
    EXPECT_NE(d.ResultNotes().find("file_error"), std::string::npos);
    EXPECT_EQ(d.Document(), "");
    EXPECT_FALSE(d.SaveFile(Path("no/such/dir.xml")));
}

TEST_F(XmlFile, DoubleByteSystemCodePage)
{
    // On a GB2312 system the file's bytes are taken as they are, and names step over
    // double-byte characters whose trail byte looks like a delimiter.
    xmltext::SetSystemEncodingForTesting("GB2312");
    CXmlDocument d;
    ASSERT_TRUE(d.LoadFile(Fixture("user_gui_only.xml")));
    EXPECT_EQ(d.Document(), ReadBytes(Fixture("user_gui_only.xml")));
    d.SetDocument("<r><\xb1\x5c\xb1\x5c>1</\xb1\x5c\xb1\x5c><t>&#x5317;&#x4EAC;</t></r>");
    d.FindElement();
    EXPECT_TRUE(d.FindChildElement("\xb1\x5c\xb1\x5c"));
    EXPECT_EQ(d.ChildElementText(), "1");
    d.EnterElement();
    EXPECT_EQ(d.TagName(), "\xb1\x5c\xb1\x5c");
    d.LeaveElement();
    d.FindChildElement("t");
    EXPECT_EQ(d.ChildElementText(), kBeijingGb);
}
