// libnat's contract where no gateway is needed: arguments, error texts, failure without a network.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "libnat/lnat.h"

namespace {

std::string PrintedText(int code)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LNat_Print_Error(code), LNAT_OK);
    return ::testing::internal::GetCapturedStderr();
}

TEST(LNatContract, NullArgumentsAreRefused)
{
    EXPECT_EQ(LNat_Upnp_Discover(nullptr), LNAT_ERR_INVALID_ARGUMENT);
    char buf[32];
    EXPECT_EQ(LNat_Upnp_Get_Public_Ip(nullptr, buf, sizeof buf), LNAT_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(LNat_Upnp_Set_Port_Mapping(nullptr, nullptr, 80, "TCP", "MORVANE"), LNAT_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(LNat_Upnp_Remove_Port_Mapping(nullptr, 80, "TCP"), LNAT_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(LNat_Upnp_Controller_Free(nullptr), LNAT_OK);
    UpnpController* none = nullptr;
    EXPECT_EQ(LNat_Upnp_Controller_Free(&none), LNAT_OK);
}

TEST(LNatContract, EveryCodeHasAText)
{
    EXPECT_EQ(PrintedText(LNAT_ERR_NO_GATEWAY), "<4>libnat error 1002: no UPnP or NAT-PMP gateway found\n");
    EXPECT_EQ(PrintedText(718), "<4>libnat error 718: port mapping conflicts with one held for another host\n");
    EXPECT_EQ(PrintedText(714), "<4>libnat error 714: no such port mapping on the gateway\n");
    EXPECT_EQ(PrintedText(555), "<4>libnat error 555: error reported by the gateway\n");
    EXPECT_EQ(PrintedText(-7), "<4>libnat error -7: unknown error\n");
    for (int code = LNAT_ERR_INVALID_ARGUMENT; code <= LNAT_ERR_NATPMP_REFUSED; ++code)
        EXPECT_EQ(PrintedText(code).find("unknown error\n"), std::string::npos) << code;
}

TEST(LNatContract, UnreachableRootDescriptionFailsQuickly)
{
    // Loopback port where nothing listens.
    setenv("MORVANE_UPNP_ROOTDESC_URL", "http://127.0.0.1:1/rootDesc.xml", 1);
    setenv("MORVANE_NAT_METHOD", "upnp", 1);
    UpnpController* c = reinterpret_cast<UpnpController*>(&c);
    EXPECT_EQ(LNat_Upnp_Discover(&c), LNAT_ERR_NO_GATEWAY);
    EXPECT_EQ(c, nullptr);
    setenv("MORVANE_NATPMP_GATEWAY", "not-an-address", 1);
    setenv("MORVANE_NAT_METHOD", "natpmp", 1);
    EXPECT_EQ(LNat_Upnp_Discover(&c), LNAT_ERR_INVALID_ARGUMENT);
    unsetenv("MORVANE_NATPMP_GATEWAY");
    unsetenv("MORVANE_UPNP_ROOTDESC_URL");
    unsetenv("MORVANE_NAT_METHOD");
}

}  // namespace
