// Which address of an interface is published: the selection rules over records shaped like the
// kernel's, and the interface identifier of another machine behind the same prefix.

#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <sys/socket.h>

#include "core/provider/interface_address.h"

namespace {

constexpr uint32_t F = rtnl::kForever;

struct Row {
    const char* text;
    uint32_t flags;
    uint32_t preferred;
    uint32_t valid = F;
};

std::vector<rtnl::AddressRecord> Records(std::initializer_list<Row> rows)
{
    std::vector<rtnl::AddressRecord> out;
    for (const Row& row : rows) {
        rtnl::AddressRecord r;
        r.family = AF_INET6;
        r.flags = row.flags;
        r.preferredSeconds = row.preferred;
        r.validSeconds = row.valid;
        EXPECT_TRUE(address::ParseIPv6(row.text, r.address)) << row.text;
        out.push_back(r);
    }
    return out;
}

std::string Chosen(const std::vector<rtnl::AddressRecord>& records, const char* current = nullptr)
{
    address::IPv6 in{};
    if (current)
        address::ParseIPv6(current, in);
    int i = address::ChooseIPv6(records, current ? &in : nullptr);
    return i < 0 ? "none" : address::FormatIPv6(records[size_t(i)].address);
}

}  // namespace

TEST(InterfaceAddressTest, IPv6SelectionRules)
{
    const uint32_t P = IFA_F_PERMANENT;
    struct Case {
        const char* what;
        std::vector<rtnl::AddressRecord> records;
        const char* current;
        const char* expected;
    } cases[] = {
        {"only global unicast",
         Records({{"fe80::1", P, F},
                  {"fd12:3456::1", P, F},
                  {"fc00::1", P, F},
                  {"::1", P, F},
                  {"::", P, F},
                  {"::ffff:203.0.113.1", P, F},
                  {"ff02::1", P, F},
                  {"fec0::1", P, F}}),
         nullptr, "none"},
        {"documentation prefix counts", Records({{"fe80::1", P, F}, {"2001:db8::7", 0, 600, 900}}), nullptr,
         "2001:db8::7"},
        {"never temporary, tentative, optimistic, DAD-failed or deprecated",
         Records({{"2001:db8::1", IFA_F_TEMPORARY, 3600},
                  {"2001:db8::2", IFA_F_TENTATIVE | P, F},
                  {"2001:db8::3", IFA_F_OPTIMISTIC | IFA_F_TENTATIVE, 3600},
                  {"2001:db8::4", IFA_F_DADFAILED | P, F},
                  {"2001:db8::5", IFA_F_DEPRECATED | P, F},
                  {"2001:db8::6", P, 0},
                  {"2001:db8::7", 0, 100, 0}}),
         nullptr, "none"},
        {"permanent before longer lifetime",
         Records({{"2001:db8::9", 0, 86400}, {"2001:db8::a", P, 600}, {"2001:db8::b", IFA_F_TEMPORARY, F}}), nullptr,
         "2001:db8::a"},
        {"then the longest preferred lifetime",
         Records({{"2001:db8:1::1", 0, 600}, {"2001:db8:2::1", 0, 7200}, {"2001:db8:3::1", 0, 3600}}), nullptr,
         "2001:db8:2::1"},
        {"then the lowest address", Records({{"2001:db8::20", P, F}, {"2001:db8::10", P, F}}), nullptr, "2001:db8::10"},
        {"the current one stays while eligible", Records({{"2001:db8:1::1", 0, 600}, {"2001:db8:2::1", 0, 7200}}),
         "2001:db8:1::1", "2001:db8:1::1"},
        {"current permanent stays beside another permanent", Records({{"2001:db8::10", P, F}, {"2001:db8::20", P, F}}),
         "2001:db8::20", "2001:db8::20"},
        {"a permanent one replaces a current one that is not",
         Records({{"2001:db8:1::1", 0, 7200}, {"2001:db8::10", P, 600}}), "2001:db8:1::1", "2001:db8::10"},
        {"a current one gone deprecated is left",
         Records({{"2001:db8:1::1", IFA_F_DEPRECATED, 0}, {"2001:db8:2::1", 0, 60}}), "2001:db8:1::1", "2001:db8:2::1"},
        {"a current one no longer listed is left", Records({{"2001:db8:2::1", 0, 60}}), "2001:db8:1::1",
         "2001:db8:2::1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Chosen(c.records, c.current), c.expected) << c.what;
}

TEST(InterfaceAddressTest, IPv4PrefersPublicThenPrimary)
{
    auto v4 = [](uint32_t a, uint32_t flags, uint32_t preferred = F) {
        rtnl::AddressRecord r;
        r.family = AF_INET;
        r.flags = flags;
        r.preferredSeconds = preferred;
        r.address = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
        return r;
    };
    std::vector<rtnl::AddressRecord> records = {
        v4(0xC0A80102, 0),                   // 192.168.1.2, primary
        v4(0xCB007101, IFA_F_TENTATIVE),     // 203.0.113.1, not yet usable
        v4(0xCB007102, IFA_F_SECONDARY, 0),  // 203.0.113.2, deprecated
        v4(0xCB007103, IFA_F_SECONDARY),     // 203.0.113.3
    };
    EXPECT_EQ(address::ChooseIPv4(records), 3);
    records.pop_back();
    EXPECT_EQ(address::ChooseIPv4(records), 2);
    records.pop_back();
    EXPECT_EQ(address::ChooseIPv4(records), 0);
    records.erase(records.begin());
    EXPECT_EQ(address::ChooseIPv4(records), -1);
}

TEST(InterfaceAddressTest, InterfaceIdOnThisMachinesPrefix)
{
    address::IPv6 chosen{}, id{};
    ASSERT_TRUE(address::ParseIPv6("2001:db8:aa:bb:211:22ff:fe33:4455", chosen));
    ASSERT_TRUE(address::ParseInterfaceId("::1234", id));
    EXPECT_EQ(address::FormatIPv6(address::WithInterfaceId(chosen, id)), "2001:db8:aa:bb::1234");
    ASSERT_TRUE(address::ParseInterfaceId("::a:b:c:d", id));
    EXPECT_EQ(address::FormatIPv6(address::WithInterfaceId(chosen, id)), "2001:db8:aa:bb:a:b:c:d");
    for (const char* bad :
         {"::", "1::1234", "::1:0:0:0:1234", "1234", "::12345", "::1234/64", "[::1234]", "::1234%eth0", ""})
        EXPECT_FALSE(address::ParseInterfaceId(bad, id)) << bad;
}
