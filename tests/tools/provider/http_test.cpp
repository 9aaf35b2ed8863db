// Request framing and the decoding dyndns2 relies on: the connection loop hands a request to a worker only
// when Frame says it is complete, so its mistakes would hang clients or let one request bleed into another.
// The pieces of secrets and of the account page that work without a server: hashes, token text, the
// slowing down of failing addresses, escaping, the language chosen, networks.

#include <gtest/gtest.h>

#include "tools/provider/credentials.h"
#include "tools/provider/dyndns2.h"
#include "tools/provider/http.h"
#include "tools/provider/page.h"
#include "tools/provider/page_text.h"

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

TEST(ProviderCredentials, HashesTokensAndTheThrottle)
{
    ASSERT_TRUE(provider::InitCredentials());
    std::string hash = provider::HashSecret("correct horse");
    EXPECT_EQ(0u, hash.find("$argon2id$v=19$m=19456,t=2,p=1$"));
    EXPECT_NE(hash, provider::HashSecret("correct horse"));  // salted
    EXPECT_TRUE(provider::VerifySecret(hash, "correct horse"));
    EXPECT_FALSE(provider::VerifySecret(hash, "correct horsE"));
    EXPECT_FALSE(provider::VerifySecret("fe01ce2a7fbac8fafaed7c982a04e229", "demo"));  // a digest is no hash

    // Token text carries the row's id; a password never reads as a token.
    std::string secret = provider::TokenSecret(), got;
    int64_t id = 0;
    ASSERT_TRUE(provider::ParseToken(provider::TokenText(42, secret), id, got));
    EXPECT_EQ(42, id);
    EXPECT_EQ(secret, got);
    for (const char* text :
         {"demo", "t42-short", "t-abcdefghijklmnopqrstuvwxyz234567", "t0-abcdefghijklmnopqrstuvwxyz234567",
          "t42-ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", "x42-abcdefghijklmnopqrstuvwxyz234567"})
        EXPECT_FALSE(provider::ParseToken(text, id, got)) << text;

    // Three failures come free, then the slots move apart, doubling to the cap; a slot past the longest
    // wait is refused, a success clears the address only when all its failures were for that secret (no
    // guessing at others between logins to one's own account), and other addresses are not touched.
    using Clock = provider::CLoginThrottle::Clock;
    provider::CLoginThrottle throttle(3);
    Clock::time_point t0 = Clock::now(), when;
    auto delayAfter = [&](const std::string& who, Clock::time_point at) {
        throttle.Failed(who, at, "x");
        EXPECT_TRUE(throttle.Reserve(who, at, when));
        return std::chrono::duration_cast<std::chrono::milliseconds>(when - at).count();
    };
    std::vector<long long> delays;
    for (int i = 0; i < 9; ++i)
        delays.push_back(delayAfter("a", t0 + std::chrono::seconds(100 * i)));
    EXPECT_EQ((std::vector<long long>{50, 50, 50, 500, 1000, 2000, 4000, 8000, 16000}), delays);
    // Reserved slots queue up behind each other: a burst from one address is spread out.
    Clock::time_point t1 = t0 + std::chrono::seconds(900);
    throttle.Failed("a", t1, "x");
    EXPECT_TRUE(throttle.Reserve("a", t1, when));   // 16 s away
    EXPECT_FALSE(throttle.Reserve("a", t1, when));  // 32 s away
    EXPECT_TRUE(throttle.Reserve("b", t1, when));
    EXPECT_EQ(t1, when);
    throttle.Succeeded("a", "y");
    EXPECT_FALSE(throttle.Reserve("a", t1, when));
    throttle.Succeeded("a", "x");
    EXPECT_TRUE(throttle.Reserve("a", t1, when));
    EXPECT_EQ(t1, when);
    throttle.Failed("b", t1, "x"), throttle.Failed("b", t1, "y");
    throttle.Succeeded("b", "x");
    EXPECT_TRUE(throttle.Reserve("b", t1, when));
    EXPECT_GT(when, t1);  // failures for two accounts: a success at one of them clears nothing
    EXPECT_TRUE(throttle.Reserve("c", t1, when) && throttle.Reserve("d", t1, when));
    EXPECT_EQ(3u, throttle.Size());  // bounded: the address seen longest ago went
    EXPECT_EQ("2001:db8:1:2::/64", provider::CLoginThrottle::AddressKey(0, "2001:db8:1:2:3:4:5:6"));
}

TEST(ProviderPage, EscapingLanguagesAndNetworks)
{
    EXPECT_EQ("&lt;b&gt; &amp;amp; &quot;x&quot; &#39;y&#39;", provider::HtmlEscape("<b> &amp; \"x\" 'y'"));
    using provider::page::Lang;
    EXPECT_EQ(Lang::Zh, provider::page::Choose("", "zh-CN,zh;q=0.9,en;q=0.8"));
    EXPECT_EQ(Lang::En, provider::page::Choose("", "de-DE,en-GB;q=0.8,zh;q=0.5"));
    EXPECT_EQ(Lang::En, provider::page::Choose("", "zh;q=0, fr"));
    EXPECT_EQ(Lang::En, provider::page::Choose("en", "zh-TW"));
    EXPECT_EQ(Lang::Zh, provider::page::Choose("zh", ""));

    provider::Cidr net;
    std::vector<provider::Cidr> nets;
    for (const char* text : {"10.1.0.0/16", "2001:db8::/32", "127.0.0.1"}) {
        ASSERT_TRUE(provider::ParseCidr(text, net)) << text;
        nets.push_back(net);
    }
    EXPECT_TRUE(provider::InAnyCidr(0x0A01FFFF, "", nets));
    EXPECT_FALSE(provider::InAnyCidr(0x0A02FFFF, "", nets));
    EXPECT_TRUE(provider::InAnyCidr(0x7F000001, "", nets));
    EXPECT_FALSE(provider::InAnyCidr(0x7F000002, "", nets));
    EXPECT_TRUE(provider::InAnyCidr(0, "2001:db8:ffff::1", nets));
    EXPECT_FALSE(provider::InAnyCidr(0, "2001:db9::1", nets));
    for (const char* text : {"10.0.0.0/33", "::/129", "10.0.0.0/", "host", "10.0.0.0/8x"})
        EXPECT_FALSE(provider::ParseCidr(text, net)) << text;
}

}  // namespace
