// The host-name rule every validator uses: what it accepts, refuses, and how names compare.

#include "shared/base/hostname.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(HostName, OneRuleForEveryName)
{
    const std::string label63(63, 'a');
    const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');  // 253
    struct Case {
        std::string text;
        bool strict;    // IsHostName
        bool fromText;  // FromText: a final dot allowed
    };
    const std::vector<Case> cases = {
        {"a.example.net", true, true},
        {"A-1.Example.NET", true, true},
        {"x.y", true, true},
        {"xn--fiq228c.example.net", true, true},
        {"1.2.3.4", true, true},
        {longest, true, true},
        {label63 + ".net", true, true},
        {"a.example.net.", false, true},
        {"A-1.Example.NET.", false, true},
        {"", false, false},
        {".", false, false},
        {"localhost", false, false},
        {"localhost.", false, false},
        {"a..b", false, false},
        {".a.b", false, false},
        {"a.b..", false, false},
        {"-a.b", false, false},
        {"a-.b", false, false},
        {"a b.c", false, false},
        {"a_b.example.net", false, false},
        {"*.example.net", false, false},
        {"a.example.net/x", false, false},
        {std::string("a\0.b", 4), false, false},
        {"\xC3\xA9.example.net", false, false},
        {std::string(64, 'a') + ".net", false, false},
        {longest + "c", false, false},
        {std::string(250, 'a') + ".net", false, false},
    };
    for (const Case& c : cases) {
        std::string name = "unchanged";
        EXPECT_EQ(c.strict, hostname::IsHostName(c.text)) << c.text;
        EXPECT_EQ(c.fromText, hostname::FromText(c.text, name)) << c.text;
        if (c.fromText)
            EXPECT_TRUE(!name.empty() && name.back() != '.' && hostname::IsHostName(name)) << c.text;
        else
            EXPECT_EQ("unchanged", name) << c.text;
    }
    EXPECT_TRUE(hostname::Same("Home.Dyn.Example.Net", "home.dyn.example.NET"));
    EXPECT_FALSE(hostname::Same("home.example.net", "home.example.ne"));
    EXPECT_FALSE(hostname::Same("a-b.example.net", "a.b.example.net"));
}
