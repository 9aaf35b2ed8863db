#include <gtest/gtest.h>

#include <random>

#include "shared/xml/xml_document.h"
#include "tests/shared/xml/xml_test_util.h"

using xmltest::Dump;
using xmltest::Fixture;

// ---- cursor ----

TEST(XmlCursor, FailedSearchLeavesTheCursorWhereItWas)
{
    CXmlDocument d;
    ASSERT_TRUE(d.SetDocument("<r><a>1</a><b>2</b><c>3</c></r>"));
    ASSERT_TRUE(d.FindElement("r"));
    ASSERT_TRUE(d.EnterElement());
    ASSERT_TRUE(d.FindElement("b"));
    // "a" stands before the main element: not found, main stays on b.
    EXPECT_FALSE(d.FindElement("a"));
    EXPECT_EQ(d.TagName(), "b");
    EXPECT_FALSE(d.FindElement("missing"));
    EXPECT_EQ(d.ElementText(), "2");
    // The next search continues after b.
    EXPECT_TRUE(d.FindElement());
    EXPECT_EQ(d.TagName(), "c");
    d.ResetPosition();
    EXPECT_TRUE(d.FindElement("a"));
}

TEST(XmlCursor, ChildSearchWithoutMainTakesTheFirstElement)
{
    CXmlDocument d;
    ASSERT_TRUE(d.SetDocument("<r><x><y>1</y><z>2</z></x></r>"));
    EXPECT_TRUE(d.FindChildElement("x"));
    EXPECT_EQ(d.TagName(), "r");
    EXPECT_EQ(d.ChildAttribute("k"), "");
    EXPECT_TRUE(d.EnterElement());  // into r, x is main
    EXPECT_EQ(d.TagName(), "x");
    EXPECT_TRUE(d.FindChildElement("z"));
    EXPECT_FALSE(d.FindChildElement("y"));  // before the child position
    EXPECT_EQ(d.ChildElementText(), "2");
    EXPECT_TRUE(d.LeaveElement());  // r main, x child
    EXPECT_EQ(d.TagName(), "r");
    EXPECT_EQ(d.ChildElementText(), "");  // x has elements: no text
    EXPECT_FALSE(d.LeaveElement());
    CXmlDocument empty;
    EXPECT_FALSE(empty.FindChildElement());
    EXPECT_FALSE(empty.EnterElement());
    EXPECT_EQ(empty.ElementText(), "");
}

TEST(XmlCursor, NamesMatchWholeTokensCaseSensitively)
{
    CXmlDocument d;
    d.SetDocument("<r><ab/><A/><a\tk='1'/><a[x]/></r>");
    d.FindElement();
    d.EnterElement();
    EXPECT_TRUE(d.FindElement("a"));
    EXPECT_EQ(d.Attribute("k"), "1");
    EXPECT_TRUE(d.FindElement("a"));  // "a[x]": a bracket ends the name
    EXPECT_FALSE(d.FindElement("a"));
}

TEST(XmlCursor, TwoTopLevelElementsAreBothFound)
{
    CXmlDocument d;
    EXPECT_FALSE(d.SetDocument(xmltest::ReadBytes(Fixture("getdynamic_result.xml"))));
    EXPECT_NE(d.ResultNotes().find("root_has_sibling"), std::string::npos);
    ASSERT_TRUE(d.FindElement("UserInfo"));
    EXPECT_TRUE(d.FindChildElement("userid"));
    EXPECT_EQ(d.ChildElementText(), "1024");
    EXPECT_TRUE(d.FindChildElement("nick"));
    EXPECT_EQ(d.ChildElementText(), "\xe5\xbc\xa0\xe4\xb8\x89 & co");
    ASSERT_TRUE(d.FindElement("dynamic"));
    std::vector<std::string> seen;
    while (d.FindChildElement("item")) {
        d.EnterElement();
        d.FindChildElement("domain");
        std::string domain = d.ChildElementText();
        d.FindChildElement("hostid");
        std::string host = d.ChildElementText();
        d.FindChildElement("data");
        seen.push_back(domain + "|" + host + "|" + d.ChildElementText());
        d.LeaveElement();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a.example|11|1.2.3.4", "b<&>.example|12|"}));
}

// ---- building ----

TEST(XmlBuild, ChildOfAnEmptyElementTag)
{
    CXmlDocument d;
    d.SetDocument("<a/>");
    d.FindElement("a");
    ASSERT_TRUE(d.AppendChildElement("b"));
    EXPECT_EQ(d.Document(), "<a>\r\n<b/>\r\n</a>");
    ASSERT_TRUE(d.AppendChildElement("c", 12));
    EXPECT_EQ(d.Document(), "<a>\r\n<b/>\r\n<c>12</c>\r\n</a>");
    // With attributes and blanks before the slash.
    d.SetDocument("<a x=\"1\" />");
    d.FindElement();
    d.AppendChildElement("b", "t");
    EXPECT_EQ(d.Document(), "<a x=\"1\">\r\n<b>t</b>\r\n</a>");
    EXPECT_EQ(d.Attribute("x"), "1");
}

TEST(XmlBuild, DocumentsBuiltFromNothing)
{
    CXmlDocument d;
    d.SetDocument("<?xml version=\"1.0\"?>");
    d.AppendElement("dynamic");
    EXPECT_EQ(d.Document(), "<?xml version=\"1.0\"?><dynamic/>\r\n");
    d.AppendChildElement("hostid", 5);
    d.AppendChildElement("hostid", 7);
    EXPECT_EQ(d.Document(),
              "<?xml version=\"1.0\"?><dynamic>\r\n<hostid>5</hostid>\r\n<hostid>7</hostid>\r\n</dynamic>\r\n");
    // Appending after a middle sibling keeps one element per line.
    d.ResetPosition();
    d.FindElement();
    d.FindChildElement("hostid");
    d.AppendChildElement("hostid", 6);
    EXPECT_EQ(d.Document(), "<?xml version=\"1.0\"?><dynamic>\r\n<hostid>5</hostid>\r\n<hostid>6</hostid>\r\n"
                            "<hostid>7</hostid>\r\n</dynamic>\r\n");
    EXPECT_FALSE(d.AppendChildElement("bad name"));
    EXPECT_FALSE(d.AppendElement("a<b"));
    EXPECT_FALSE(d.SetAttribute("x\"y", "1"));
    CXmlDocument none;
    EXPECT_FALSE(none.AppendChildElement("x"));
    EXPECT_FALSE(none.SetElementText("x"));
    EXPECT_FALSE(none.RemoveElement());
}

TEST(XmlBuild, EscapingRoundTrip)
{
    const char* text = "a<b & c>d 'q' \"dq\" \xe4\xb8\xad";
    CXmlDocument d;
    d.SetDocument("<r/>");
    d.FindElement();
    d.AppendChildElement("t", text);
    d.EnterElement();
    d.SetAttribute("v", text);
    EXPECT_EQ(d.Document(), "<r>\r\n<t v=\"a&lt;b &amp; c&gt;d &apos;q&apos; &quot;dq&quot; \xe4\xb8\xad\">"
                            "a&lt;b &amp; c&gt;d 'q' \"dq\" \xe4\xb8\xad</t>\r\n</r>");
    CXmlDocument back;
    ASSERT_TRUE(back.SetDocument(d.Document()));
    back.FindElement();
    back.FindChildElement("t");
    EXPECT_EQ(back.ChildElementText(), text);
    EXPECT_EQ(back.ChildAttribute("v"), text);
}

TEST(XmlBuild, SetTextAndAttributesShiftWhatFollows)
{
    CXmlDocument d;
    ASSERT_TRUE(d.SetDocument("<r><a k='1'><x/></a><b>old</b><c k=v/><d k/></r>"));
    d.FindElement();
    d.EnterElement();
    d.FindElement("a");
    EXPECT_TRUE(d.SetAttribute("k", "longer value"));
    EXPECT_TRUE(d.SetElementText("new & text"));  // the child x goes with the old content
    d.FindElement("b");
    EXPECT_TRUE(d.SetElementText(""));
    d.FindElement("c");
    EXPECT_TRUE(d.SetAttribute("k", 42));
    EXPECT_TRUE(d.SetAttribute("n", "2"));
    d.FindElement("d");
    EXPECT_TRUE(d.SetAttribute("k", "3"));
    EXPECT_TRUE(d.SetElementText("t"));
    EXPECT_EQ(d.Document(), "<r><a k='longer value'>new &amp; text</a><b></b><c k=\"42\" n=\"2\"/>"
                            "<d k=\"3\">t</d></r>");
    EXPECT_EQ(Dump(d), "r k= []\n a k=longer value [new & text]\n b k= []\n c k=42 []\n d k=3 [t]\n");
}

TEST(XmlBuild, AttributesOfOddTagsStayInTheirQuotes)
{
    // The quotes pair up the same way for the parser and for attribute edits.
    CXmlDocument d;
    ASSERT_TRUE(d.SetDocument("<r x=%\"1 n=\"b n=c/>"));
    d.FindElement();
    EXPECT_EQ(d.Attribute("n"), "c");
    ASSERT_TRUE(d.SetAttribute("n", 5));
    ASSERT_TRUE(d.AppendChildElement("k"));
    CXmlDocument back;
    EXPECT_TRUE(back.SetDocument(d.Document())) << d.Document();
    back.FindElement();
    EXPECT_EQ(back.Attribute("n"), "5");
    EXPECT_TRUE(back.FindChildElement("k"));
}

TEST(XmlBuild, RemoveElementTakesTheBlanksBeforeTheNextTag)
{
    CXmlDocument d;
    d.SetDocument("<r>\r\n<a/>\r\n<b>1</b>\r\n<c/>\r\n</r>");
    d.FindElement();
    d.EnterElement();
    d.FindElement("b");
    ASSERT_TRUE(d.RemoveElement());
    EXPECT_EQ(d.TagName(), "a");  // the previous sibling
    EXPECT_EQ(d.Document(), "<r>\r\n<a/>\r\n<c/>\r\n</r>");
    ASSERT_TRUE(d.RemoveElement());
    EXPECT_EQ(d.TagName(), "");  // it was the first
    EXPECT_TRUE(d.FindElement());
    EXPECT_EQ(d.TagName(), "c");
    d.RemoveElement();
    EXPECT_EQ(d.Document(), "<r>\r\n</r>");
    // Text after the element is not white space before a tag: it stays.
    d.SetDocument("<r><a/> tail</r>");
    d.FindElement();
    d.EnterElement();
    d.FindElement();
    d.RemoveElement();
    EXPECT_EQ(d.Document(), "<r> tail</r>");
}

// Random edits: the tree kept up to date after each edit must equal the tree parsed afresh
// from the resulting text.
TEST(XmlBuild, EditedTreeMatchesReparsedText)
{
    const char* names[] = {"a", "b", "item", "x"};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        CXmlDocument d;
        d.SetDocument(
            "<?xml version=\"1.0\"?>\r\n<root><a k=\"0\">t</a><b/>\r\n<!-- c --><item><x>1</x></item></root>");
        for (int step = 0; step < 200; ++step) {
            const char* name = names[rng() % 4];
            std::string text = (rng() % 3 == 0) ? "" : "v<&>" + std::to_string(rng() % 100);
            switch (rng() % 11) {
            case 0: d.FindElement(rng() % 2 ? name : nullptr); break;
            case 1: d.FindChildElement(rng() % 2 ? name : nullptr); break;
            case 2: d.EnterElement(); break;
            case 3: d.LeaveElement(); break;
            case 4: d.ResetPosition(); break;
            case 5: d.AppendElement(name, text.c_str()); break;
            case 6: d.AppendChildElement(name, text.c_str()); break;
            case 7: d.SetElementText(text.c_str()); break;
            case 8: d.SetAttribute("k", text.c_str()); break;
            case 9: d.RemoveElement(); break;
            case 10: d.SetAttribute(name, static_cast<int>(rng() % 1000)); break;
            }
            if (step % 10 == 9) {
                CXmlDocument fresh;
                fresh.SetDocument(d.Document());
                ASSERT_EQ(Dump(d), Dump(fresh)) << "seed " << seed << " step " << step << "\n" << d.Document();
            }
        }
    }
}

// ---- reading ----

TEST(XmlRead, CharacterReferences)
{
    CXmlDocument d;
    d.SetDocument("<r><t>&#65;&#x42;&#X43;|&bogus;|&amp;&lt;&gt;&quot;&apos;|&auml;&Auml;&dagger;&Dagger;"
                  "|&AMP;&AUML;|&#0;&#xD800;&#x110000;&#65|&#;&;& x|&thetasym;&euro;</t></r>");
    d.FindChildElement("t");
    EXPECT_EQ(d.ChildElementText(), "ABC|&bogus;|&<>\"'|\xc3\xa4\xc3\x84\xe2\x80\xa0\xe2\x80\xa1"
                                    "|&\xc3\x84|&#0;&#xD800;&#x110000;&#65|&#;&;& x|\xcf\x91\xe2\x82\xac");
}

TEST(XmlRead, TextSkipsCommentsAndKeepsCdata)
{
    CXmlDocument d;
    d.SetDocument("<r><t>a<!-- <x/> -->b<?pi x?><![CDATA[<&amp;>]]>&amp;</t><u>x<v/>y</u><w/></r>");
    d.FindChildElement("t");
    EXPECT_EQ(d.ChildElementText(), "ab<&amp;>&");
    d.FindChildElement("u");
    EXPECT_EQ(d.ChildElementText(), "");
    d.FindChildElement("w");
    EXPECT_EQ(d.ChildElementText(), "");
}

// ---- parsing ----

TEST(XmlParse, StructuralErrors)
{
    CXmlDocument d;
    // b is never ended: it gets no content and c follows it as a sibling.
    EXPECT_FALSE(d.SetDocument("<a><b><c>1</c></a>"));
    EXPECT_NE(d.ResultNotes().find("<unended_start_tag tagname=\"b\""), std::string::npos);
    EXPECT_EQ(Dump(d), "a k= []\n b k= []\n c k= [1]\n");

    EXPECT_FALSE(d.SetDocument("<a>x</q></a>"));
    EXPECT_NE(d.ResultNotes().find("<lone_end_tag tagname=\"q\""), std::string::npos);
    EXPECT_EQ(d.ResultNotes().find("unended"), std::string::npos);  // notes cleared per parse
    EXPECT_EQ(Dump(d), "a k= [x]\n");

    // Open at the end: closed there, what they held rises to the top level.
    EXPECT_FALSE(d.SetDocument("<a><b/><c>"));
    EXPECT_EQ(Dump(d), "a k= []\nb k= []\nc k= []\n");

    EXPECT_FALSE(d.SetDocument("<?xml version=\"1.0\"?><!-- only -->"));
    EXPECT_NE(d.ResultNotes().find("no_root_element"), std::string::npos);
    EXPECT_FALSE(d.SetDocument(""));

    EXPECT_TRUE(d.SetDocument("<!DOCTYPE r [<!ELEMENT r ANY>]>\r\n<r a=\"x>y\"><![CDATA[</r>]]></r>"));
    EXPECT_EQ(d.ResultNotes(), "");
    d.FindElement();
    EXPECT_EQ(d.Attribute("a"), "x>y");
    EXPECT_EQ(d.ElementText(), "</r>");
}

TEST(XmlParse, EditsInsideAnElementWithoutEndTag)
{
    CXmlDocument d;
    EXPECT_FALSE(d.SetDocument("<A>\r\n  <B/>"));
    ASSERT_TRUE(d.FindElement("A"));
    ASSERT_TRUE(d.AppendChildElement("n"));
    ASSERT_TRUE(d.EnterElement());
    ASSERT_TRUE(d.RemoveElement());  // the blanks after it belong to no element of A's
    EXPECT_EQ(d.Document(), "<A>\r\n\r\n  <B/>");
    d.LeaveElement();
    ASSERT_TRUE(d.RemoveElement());
    EXPECT_EQ(d.Document(), "<B/>");
    EXPECT_EQ(Dump(d), "B k= []\n");
}

TEST(XmlParse, SyntaxNotes)
{
    struct Case {
        const char* text;
        const char* note;
    } cases[] = {
        {"<r>1 < 2</r>", "first_tag_syntax"},
        {"<r><!-x--></r>", "comment_tag_syntax"},
        {"<r><![CDAT[x]]></r>", "cdata_section_syntax"},
        {"<r><!ELEMENT x></r>", "exclamation_tag_syntax"},
        {"<r><!-- open </r>", "unterminated_tag_syntax"},
        {"<r a=\"open></r>", "unterminated_tag_syntax"},
        {"<r><x </r>", "unterminated_tag_syntax"},
        {"<r><!DOCTYPE r></r>", "doctype_tag_syntax"},
        {"<r/><?pi", "unterminated_tag_syntax"},
    };
    for (const Case& c : cases) {
        CXmlDocument d;
        EXPECT_FALSE(d.SetDocument(c.text)) << c.text;
        EXPECT_NE(d.ResultNotes().find(c.note), std::string::npos) << c.text << " " << d.ResultNotes();
    }
}

TEST(XmlParse, NotesStopGrowing)
{
    std::string text = "<r>";
    for (int i = 0; i < 500; ++i)
        text += "</x>";
    text += "</r>";
    CXmlDocument d;
    EXPECT_FALSE(d.SetDocument(text));
    EXPECT_GT(d.ResultNotes().size(), 900u);
    EXPECT_LT(d.ResultNotes().size(), 1200u);
}

TEST(XmlParse, ManyNodesAcrossSegments)
{
    // More than one 65536-entry segment of nodes, then edits near the start.
    std::string text = "<r>";
    for (int i = 0; i < 70000; ++i)
        text += "<i>" + std::to_string(i) + "</i>";
    text += "</r>";
    CXmlDocument d;
    ASSERT_TRUE(d.SetDocument(text));
    d.FindElement();
    d.FindChildElement();
    d.EnterElement();
    d.AppendElement("j", "x");
    int count = 0;
    std::string last;
    d.ResetPosition();
    while (d.FindElement("i")) {
        ++count;
        last = d.ElementText();
    }
    EXPECT_EQ(count, 70000);
    EXPECT_EQ(last, "69999");
}
