// Reading the three answer documents and building the update request, without a network.

#include <gtest/gtest.h>

#include <cstring>

#include "core/webservice/documents.h"

using namespace webservice;

namespace {

std::string Field(const char* field, size_t width)
{
    return std::string(field, strnlen(field, width));
}

TEST(Numbers, StrtolRulesClampedToInt32)
{
    EXPECT_EQ(42, ParseNumber("  42abc"));
    EXPECT_EQ(-7, ParseNumber("-7"));
    EXPECT_EQ(0, ParseNumber("abc"));
    EXPECT_EQ(0, ParseNumber(""));
    EXPECT_EQ(2147483647, ParseNumber("4294967296"));
    EXPECT_EQ(2147483647, ParseNumber("99999999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, ParseNumber("-99999999999999999999999"));
}

TEST(NetInfoDocument, SignedAddressAndMissingChildren)
{
    NetInfo info;
    ReadNetInfo("<NetInfo><dyip>-1062731519</dyip><nettype>3</nettype><netlocation>office</netlocation></NetInfo>",
                info);
    EXPECT_EQ(0xC0A80101u, static_cast<uint32_t>(info.dyip));  // 192.168.1.1
    EXPECT_EQ(3, info.nettype);
    EXPECT_EQ("office", info.netlocation);

    // Without dyip the previous address stays; present children still apply.
    ReadNetInfo("<NetInfo><nettype>1</nettype></NetInfo>", info);
    EXPECT_EQ(0xC0A80101u, static_cast<uint32_t>(info.dyip));
    EXPECT_EQ(1, info.nettype);
    EXPECT_EQ("office", info.netlocation);

    ReadNetInfo("<NetInfo><dyip>3000000000</dyip></NetInfo>", info);
    EXPECT_EQ(2147483647, info.dyip);

    // A child standing before its predecessor is not found.
    NetInfo order{5, 5, "x"};
    ReadNetInfo("<NetInfo><nettype>2</nettype><dyip>9</dyip><netlocation>y</netlocation></NetInfo>", order);
    EXPECT_EQ(9, order.dyip);
    EXPECT_EQ(5, order.nettype);
    EXPECT_EQ("y", order.netlocation);

    NetInfo untouched{5, 6, "z"};
    for (const char* text : {"", "garbage", "<Other><dyip>1</dyip></Other>", "<NetInfo>"})
        ReadNetInfo(text, untouched);
    EXPECT_EQ(5, untouched.dyip);
    EXPECT_EQ(6, untouched.nettype);
    EXPECT_EQ("z", untouched.netlocation);
}

TEST(AccountDocument, UserInfoFieldsAndWidths)
{
    UserInfo user;
    std::vector<DomainRecord> list;
    ReadAccount("<UserInfo><userid>12</userid><nick>N &amp; M</nick><email>e@x</email>"
                "<username>abcdefghijklmnopq</username><userstatus>257</userstatus><validated>1</validated>"
                "</UserInfo><dynamic/>",
                user, list);
    EXPECT_EQ(12, user.userid);
    EXPECT_EQ("N & M", Field(user.nick, sizeof user.nick));
    EXPECT_EQ("e@x", Field(user.email, sizeof user.email));
    EXPECT_EQ(0, std::memcmp(user.username, "abcdefghijklmnopq", 17));  // 17 chars: full, no terminator
    EXPECT_EQ(1, user.userstatus);                                      // low byte of 257
    EXPECT_EQ(1, user.validated);
    EXPECT_TRUE(list.empty());

    // 18 characters are cut to 17; a shorter later value zeroes the rest of the field.
    ReadAccount("<UserInfo><nick>ab</nick><username>abcdefghijklmnopqr</username></UserInfo>", user, list);
    EXPECT_EQ(0, std::memcmp(user.username, "abcdefghijklmnopq", 17));
    EXPECT_EQ("ab", Field(user.nick, sizeof user.nick));
    for (size_t i = 2; i < sizeof user.nick; ++i)
        ASSERT_EQ(0, user.nick[i]);
    EXPECT_EQ(12, user.userid);  // absent child keeps the value

    std::string longMail(100, 'm');
    ReadAccount("<UserInfo><email>" + longMail + "</email></UserInfo>", user, list);
    EXPECT_EQ(std::string(65, 'm'), std::string(user.email, 65));
}

TEST(AccountDocument, DomainList)
{
    UserInfo user;
    user.userid = 99;
    std::vector<DomainRecord> list(1);
    list[0].hostid = 1000;
    // No UserInfo: the list is still read. Items without a usable host id are dropped.
    ReadAccount("<dynamic>"
                "<item><domain>a.example.net</domain><hostid>11</hostid><data>1.2.3.4</data></item>"
                "<item><domain>zero.example.net</domain><hostid>0</hostid><data>x</data></item>"
                "<item><domain>none.example.net</domain><data>x</data></item>"
                "<item><domain>b.example.net</domain><hostid>12</hostid></item>"
                "<item><hostid>13</hostid><domain>late.example.net</domain><data>d</data></item>"
                "</dynamic>",
                user, list);
    EXPECT_EQ(99, user.userid);
    ASSERT_EQ(3u, list.size());  // appended to what the caller had
    EXPECT_EQ(1000u, list[0].hostid);
    EXPECT_EQ("a.example.net", list[1].domain);
    EXPECT_EQ(11u, list[1].hostid);
    EXPECT_EQ("1.2.3.4", list[1].data);
    EXPECT_EQ("b.example.net", list[2].domain);
    EXPECT_EQ("", list[2].data);
    // The last item has hostid before domain: once domain is found, hostid is searched after it and
    // missed, so the item is dropped.
    EXPECT_EQ(0, list[1].enabled);

    // The usual answer: UserInfo, then dynamic, with a declaration in front.
    std::vector<DomainRecord> both;
    ReadAccount("<?xml version=\"1.0\"?>\r\n<UserInfo><userid>3</userid></UserInfo>\r\n"
                "<dynamic><item><domain>c</domain><hostid>-1</hostid><data></data></item></dynamic>",
                user, both);
    EXPECT_EQ(3, user.userid);
    ASSERT_EQ(1u, both.size());
    EXPECT_EQ(0xFFFFFFFFu, both[0].hostid);
}

TEST(UpdateDocument, ResultsOnlyForKnownHosts)
{
    UpdateResultMap results{{1, 0}, {2, 0}, {3, 0}};
    ReadUpdateResults("<dynamic>"
                      "<item hostid=\"1\" result=\"1\"/>"
                      "<item hostid=\"0\" result=\"5\"/>"
                      "<item result=\"6\"/>"
                      "<item hostid=\"42\" result=\"7\"/>"
                      "<other hostid=\"3\" result=\"8\"/>"
                      "<item hostid=\"2\" result=\"-3\" extra=\"x\"></item>"
                      "</dynamic>",
                      results);
    EXPECT_EQ((UpdateResultMap{{1, 1}, {2, -3}, {3, 0}}), results);

    UpdateResultMap same{{1, 4}};
    for (const char* text : {"", "<x/>", "<dynamic>", "not xml <item hostid=\"1\" result=\"9\"/>"})
        ReadUpdateResults(text, same);
    EXPECT_EQ((UpdateResultMap{{1, 4}}), same);
}

TEST(UpdateDocument, RequestListsHostIdsAscending)
{
    std::string empty = BuildDynamicList({});
    EXPECT_EQ(0u, empty.find("<?xml version=\"1.0\"?>"));
    EXPECT_NE(std::string::npos, empty.find("<dynamic/>"));
    EXPECT_EQ(std::string::npos, empty.find("hostid"));

    std::string list = BuildDynamicList({{30, 0}, {2, 0}, {100, 0}});
    size_t a = list.find("<hostid>2</hostid>\r\n");
    size_t b = list.find("<hostid>30</hostid>\r\n");
    size_t c = list.find("<hostid>100</hostid>\r\n");
    ASSERT_NE(std::string::npos, a);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(list.find("<dynamic>"), a);
    EXPECT_GT(list.find("</dynamic>"), c);

    // Round trip through the reader the service's answer uses.
    UpdateResultMap big{{0x80000001u, 0}};
    std::string text = BuildDynamicList(big);
    size_t at = text.find("<hostid>");
    std::string id = text.substr(at + 8, text.find("</hostid>") - at - 8);
    ReadUpdateResults("<dynamic><item hostid=\"" + id + "\" result=\"1\"/></dynamic>", big);
    EXPECT_EQ(1, big[0x80000001u]);
}

}  // namespace
