// Where the client finds the provider.

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/webservice/provider_endpoint.h"

namespace {

TEST(ProviderAddress, Forms)
{
    std::string host = "unchanged";
    uint16_t port = 1;
    EXPECT_TRUE(webservice::ParseProviderAddress("10.0.0.5", host, port));
    EXPECT_EQ("10.0.0.5", host);
    EXPECT_EQ(1800, port);
    EXPECT_TRUE(webservice::ParseProviderAddress("127.0.0.1:18001", host, port));
    EXPECT_EQ("127.0.0.1", host);
    EXPECT_EQ(18001, port);
    EXPECT_TRUE(webservice::ParseProviderAddress("[::1]:2000", host, port));
    EXPECT_EQ("::1", host);
    EXPECT_EQ(2000, port);

    host = "kept";
    port = 7;
    for (const char* bad : {"", ":1800", "h:", "h:0", "h:65536", "h:12x", "h:1:2", "[::1", "[::1]x", "h:-5"}) {
        EXPECT_FALSE(webservice::ParseProviderAddress(bad, host, port)) << bad;
        EXPECT_EQ("kept", host);
        EXPECT_EQ(7, port);
    }
}

TEST(ProviderAddress, SchemeSelectsTls)
{
    std::string host;
    uint16_t port = 0;
    bool tls = false;
    EXPECT_TRUE(webservice::ParseProviderAddress("https://ddns.example.net", host, port, &tls));
    EXPECT_TRUE(tls);
    EXPECT_EQ("ddns.example.net", host);
    EXPECT_EQ(1800, port);  // the same default port with or without TLS
    EXPECT_TRUE(webservice::ParseProviderAddress("https://[::1]:8443/", host, port, &tls));
    EXPECT_EQ("::1", host);
    EXPECT_EQ(8443, port);
    EXPECT_TRUE(webservice::ParseProviderAddress("http://127.0.0.1:1900", host, port, &tls));
    EXPECT_FALSE(tls);
    EXPECT_EQ(1900, port);
    // A caller that cannot do TLS is not handed an https endpoint; paths and other schemes are refused.
    EXPECT_FALSE(webservice::ParseProviderAddress("https://h", host, port));
    for (const char* bad : {"https://", "https://h:0", "ftp://h", "https://h/path", "https://h:1/x", "http:/h"})
        EXPECT_FALSE(webservice::ParseProviderAddress(bad, host, port, &tls)) << bad;

    setenv("MORVANE_PROVIDER", "https://localhost:1901", 1);
    tls = false;
    EXPECT_TRUE(ProviderEndpoint(host, port, &tls));
    EXPECT_TRUE(tls);
    EXPECT_EQ("localhost", host);
    unsetenv("MORVANE_PROVIDER");
    EXPECT_TRUE(ProviderEndpoint(host, port, &tls));
    EXPECT_FALSE(tls);  // the build default is plain HTTP

    setenv("MORVANE_PROVIDER_CA", "/etc/morvane/ca.pem", 1);
    EXPECT_EQ("/etc/morvane/ca.pem", ProviderCaFile());
    unsetenv("MORVANE_PROVIDER_CA");
    EXPECT_EQ("", ProviderCaFile());
}

TEST(ProviderAddress, EnvironmentOverridesDefault)
{
    std::string host;
    uint16_t port = 0;
    unsetenv("MORVANE_PROVIDER");
    EXPECT_TRUE(ProviderEndpoint(host, port));
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(1800, port);

    setenv("MORVANE_PROVIDER", "127.0.0.2:1900", 1);
    EXPECT_TRUE(ProviderEndpoint(host, port));
    EXPECT_EQ("127.0.0.2", host);
    EXPECT_EQ(1900, port);

    std::string defaultHost;
    unsetenv("MORVANE_PROVIDER");
    ProviderEndpoint(defaultHost, port);
    setenv("MORVANE_PROVIDER", "127.0.0.2:notaport", 1);
    EXPECT_FALSE(ProviderEndpoint(host, port));
    EXPECT_EQ(defaultHost, host);  // falls back to the defaults
    EXPECT_EQ(1800, port);
    unsetenv("MORVANE_PROVIDER");
}

}  // namespace
