// The host-name rule every validator uses: what it accepts and what it refuses.

#include "shared/base/hostname.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

TEST(HostName, OneRuleForEveryName)
{
    const std::string label63(63, 'a');
    const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');  // 253
    // Accepted as they are, and with a final dot only from text.
    const std::vector<std::string> good = {
        "a.example.net", "A-1.Example.NET", "x.y", "xn--fiq228c.example.net", "1.2.3.4", longest, label63 + ".net"};
    const std::vector<std::string> dotted = {"a.example.net.", "A-1.Example.NET."};
    // Refused whatever the form, separated by '|' (the first one is empty).
    std::vector<std::string> bad;
    std::stringstream list("|.|localhost|localhost.|a..b|.a.b|a.b..|-a.b|a-.b|a b.c|a_b.example.net|*.example.net|"
                           "a.example.net/x|\xC3\xA9.example.net");
    for (std::string text; std::getline(list, text, '|');)
        bad.push_back(text);
    for (const std::string& more : {std::string("a\0.b", 4), std::string(64, 'a') + ".net", longest + "c"})
        bad.push_back(more);
    std::string name;
    for (const auto& text : good)
        EXPECT_TRUE(hostname::IsHostName(text) && hostname::FromText(text, name) && name == text) << text;
    for (const auto& text : dotted)
        EXPECT_TRUE(!hostname::IsHostName(text) && hostname::FromText(text, name) && name + "." == text) << text;
    for (const auto& text : bad)
        EXPECT_FALSE(hostname::IsHostName(text) || hostname::FromText(text, name)) << text;
}
