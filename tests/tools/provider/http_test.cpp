// Request framing and the decoding dyndns2 relies on: the connection loop hands a request to a worker only
// when Frame says it is complete, so its mistakes would hang clients or let one request bleed into another.

#include <gtest/gtest.h>

#include "tools/provider/dyndns2.h"
#include "tools/provider/http.h"

namespace {

using provider::http::Framing;

Framing FrameOf(const std::string& bytes, provider::http::Request* out = nullptr, size_t maxBody = 100)
{
    provider::http::Request r;
    Framing f = provider::http::Frame(bytes, maxBody, r);
    if (out)
        *out = r;
    return f;
}

TEST(ProviderHttp, Framing)
{
    provider::http::Request r;
    EXPECT_EQ(Framing::Complete,
              FrameOf("GET /nic/update?a=1 HTTP/1.1\r\nHost: x\r\nAuthorization:  Basic QQ== \r\n\r\n", &r));
    EXPECT_EQ("GET", r.method);
    EXPECT_EQ("/nic/update", r.Path());
    EXPECT_EQ("a=1", r.Query());
    ASSERT_NE(nullptr, r.Header("authorization"));
    EXPECT_EQ("Basic QQ==", *r.Header("authorization"));
    EXPECT_EQ(Framing::Complete, FrameOf("GET / HTTP/1.0\n\n"));  // bare line feeds

    // A body is complete only with all announced bytes; extra bytes do not make it longer.
    std::string post = "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(Framing::Incomplete, FrameOf(post + "abcd"));
    EXPECT_EQ(Framing::Complete, FrameOf(post + "abcde", &r));
    EXPECT_EQ(5u, r.contentLength);
    EXPECT_EQ(post.size(), r.headerBytes);
    EXPECT_EQ(Framing::Incomplete, FrameOf("GET /nic/upd"));
    EXPECT_EQ(Framing::Incomplete, FrameOf("GET / HTTP/1.1\r\nHost: x\r\n"));

    EXPECT_EQ(Framing::TooLarge, FrameOf("POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n"));
    EXPECT_EQ(Framing::TooLarge, FrameOf("GET /" + std::string(provider::http::kMaxHeaderBytes, 'a')));
    EXPECT_EQ(Framing::Unsupported, FrameOf("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
    for (const char* bad :
         {"GARBAGE\r\n\r\n", "\x16\x03\x01\x02\x00\x01", "GET / HTTP/2\r\n\r\n", "GET nic HTTP/1.1\r\n\r\n",
          "GET / HTTP/1.1\r\nno colon\r\n\r\n", "GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
          "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"})
        EXPECT_EQ(Framing::Bad, FrameOf(bad)) << bad;
}

TEST(ProviderHttp, QueryAndBase64)
{
    std::vector<std::pair<std::string, std::string>> params;
    ASSERT_TRUE(provider::http::ParseQuery("hostname=a.example.net%2Cb.example.net&myip=&&flag&x=a+b", params));
    ASSERT_EQ(4u, params.size());
    EXPECT_EQ("a.example.net,b.example.net", params[0].second);
    EXPECT_EQ("myip", params[1].first);
    EXPECT_EQ("", params[1].second);
    EXPECT_EQ("flag", params[2].first);
    EXPECT_EQ("a b", params[3].second);
    for (const char* bad : {"a=%", "a=%4", "a=%zz", "%G0=1"})
        EXPECT_FALSE(provider::http::ParseQuery(bad, params)) << bad;

    std::string out;
    EXPECT_TRUE(provider::http::Base64Decode("ZGVtbzpkZW1v", out));
    EXPECT_EQ("demo:demo", out);
    EXPECT_TRUE(provider::http::Base64Decode("YTpiYw==", out));
    EXPECT_EQ("a:bc", out);
    EXPECT_TRUE(provider::http::Base64Decode("AGE6YgA=", out));
    EXPECT_EQ(std::string("\0a:b\0", 5), out);
    for (const char* bad : {"ZGVtbzpkZW1", "ZG=tbzpk", "YQ=A", "Z GVt", "====", "ZGVt\n"})
        EXPECT_FALSE(provider::http::Base64Decode(bad, out)) << bad;
}

}  // namespace
