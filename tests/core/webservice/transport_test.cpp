// The client on the wire: exact request bytes, and every way an exchange can fail leaving the caller's
// data as it was.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "core/log.h"
#include "core/webservice/dynamic_service.h"
#include "soapH.h"
#include "tests/core/webservice/raw_server.h"
#include "tests/support/temp_dir.h"

namespace {

const char kEnvelopeHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                             "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                             "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                             "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:ns=\"urn:dynamic\">"
                             "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const char kEnvelopeTail[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";

std::string Response(const char* op, const std::string& escapedResult)
{
    return CRawServer::Envelope(std::string("<ns:") + op + "Response><result>" + escapedResult + "</result></ns:" + op +
                                "Response>");
}

std::string ExpectedRequest(uint16_t port, const std::string& element)
{
    std::string body = kEnvelopeHead + element + kEnvelopeTail;
    return "POST / HTTP/1.1\r\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) +
           "\r\n"
           "User-Agent: gSOAP/2.7\r\n"
           "Content-Type: text/xml; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "Connection: close\r\n"
           "SOAPAction: \"\"\r\n"
           "\r\n" +
           body;
}

class ClientWire : public ::testing::Test {
protected:
    ClientWire() : m_service("127.0.0.1", m_server.Port()) { m_service.SetTimeouts(webservice::Timeouts{1, 1, 1, 2}); }
    std::string OnlyRequest()
    {
        auto requests = m_server.Requests();
        return requests.size() == 1 ? requests[0] : std::string("<" + std::to_string(requests.size()) + " requests>");
    }

    CRawServer m_server;
    CDynamicService m_service;
};

// ---- what goes out -------------------------------------------------------------------------------

TEST_F(ClientWire, RequestsAreByteExact)
{
    m_server.SetHttpOk(Response("getDynamicIP", "&lt;NetInfo/&gt;"));
    NetInfo info;
    ASSERT_EQ(0, m_service.GetDynamicIP(info));
    EXPECT_EQ(ExpectedRequest(m_server.Port(), "<ns:getDynamicIP></ns:getDynamicIP>"), OnlyRequest());

    CRawServer second;
    CDynamicService account("127.0.0.1", second.Port());
    second.SetHttpOk(Response("getDynamic", "&lt;UserInfo/&gt;&lt;dynamic/&gt;"));
    UserInfo user;
    std::vector<DomainRecord> list;
    ASSERT_EQ(0, account.GetDynamic("alice", "0123456789abcdef0123456789abcdef", user, list));
    ASSERT_EQ(1u, second.Requests().size());
    EXPECT_EQ(ExpectedRequest(second.Port(), "<ns:getDynamic><username>alice</username>"
                                             "<password>0123456789abcdef0123456789abcdef</password></ns:getDynamic>"),
              second.Requests()[0]);
}

TEST_F(ClientWire, DynamicListTravelsAsEscapedText)
{
    m_server.SetHttpOk(Response("updateDynamic", "&lt;dynamic/&gt;"));
    UpdateResultMap hosts{{7, 0}, {3, 0}};
    ASSERT_EQ(0, m_service.UpdateDynamic("bob", "pw&<>", hosts));
    std::string request = OnlyRequest();
    std::string list = webservice::BuildDynamicList(hosts);
    // Markup of the document and of the password arrives escaped, never as child elements.
    std::string escaped;
    for (char c : list) {
        if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else if (c == '&')
            escaped += "&amp;";
        else if (c == '\r')
            escaped += "&#xD;";
        else
            escaped += c;
    }
    EXPECT_EQ(ExpectedRequest(m_server.Port(), "<ns:updateDynamic><username>bob</username>"
                                               "<password>pw&amp;&lt;&gt;</password><dynamic-list>" +
                                                   escaped + "</dynamic-list></ns:updateDynamic>"),
              request);
    EXPECT_NE(std::string::npos, request.find("&lt;hostid&gt;3&lt;/hostid&gt;"));
    EXPECT_LT(request.find("&lt;hostid&gt;3"), request.find("&lt;hostid&gt;7"));
    EXPECT_EQ(std::string::npos, request.find("xsi:type"));
}

TEST_F(ClientWire, NonAsciiTextPassesThroughAsUtf8)
{
    const std::string nick = "\xE5\xBC\xA0\xE4\xB8\x89";  // two CJK characters
    m_server.SetHttpOk(Response("getDynamic", "&lt;UserInfo&gt;&lt;userid&gt;5&lt;/userid&gt;&lt;nick&gt;" + nick +
                                                  "&lt;/nick&gt;&lt;/UserInfo&gt;&lt;dynamic/&gt;"));
    UserInfo user;
    std::vector<DomainRecord> list;
    ASSERT_EQ(0, m_service.GetDynamic("\xE6\x9D\x8E", "x", user, list));
    EXPECT_EQ(5, user.userid);
    EXPECT_EQ(nick, std::string(user.nick));
    EXPECT_NE(std::string::npos, OnlyRequest().find("<username>\xE6\x9D\x8E</username>"));
}

TEST_F(ClientWire, UnknownAddressIsLoggedOnlyAtHighLevels)
{
    CTempDir dir("morvane-ws-log");
    ASSERT_TRUE(dir.Ok());
    std::string base = dir / "core";
    auto logged = [&] {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
            std::ifstream in(e.path());
            all.append(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    };
    m_server.SetHttpOk(Response("getDynamicIP", "&lt;NetInfo&gt;&lt;nettype&gt;1&lt;/nettype&gt;&lt;/NetInfo&gt;"));
    NetInfo info;
    LogOpen(base.c_str(), 3, false);
    ASSERT_EQ(0, m_service.GetDynamicIP(info));
    EXPECT_EQ("", logged());
    LogOpen(base.c_str(), 4, false);
    ASSERT_EQ(0, m_service.GetDynamicIP(info));
    EXPECT_NE(std::string::npos, logged().find("| get dynamic ==<NetInfo><nettype>1</nettype></NetInfo>\n"));
    LogOpen(nullptr, 0, false);
    LogClose();
}

TEST(ClientEndpoint, PortEightyHasNoPortPart)
{
    EXPECT_EQ("http://ddns.example.net/", CDynamicService("ddns.example.net", 80).Endpoint());
    EXPECT_EQ("http://127.0.0.1:1800/", CDynamicService("127.0.0.1", 1800).Endpoint());
    EXPECT_EQ("http://[::1]:1800/", CDynamicService("::1", 1800).Endpoint());
    CDynamicService secure("ddns.example.net", 443);
    secure.UseTls("");
    EXPECT_EQ("https://ddns.example.net/", secure.Endpoint());
}

// ---- how it fails --------------------------------------------------------------------------------

// Every failure keeps all three callers' records exactly as they were.
class ClientFailure : public ClientWire {
protected:
    // `kind`: what the clients are told about the failure (the login reply's reason byte).
    void ExpectAllFailUntouched(const char* what, webservice::FailureKind kind)
    {
        SCOPED_TRACE(what);
        NetInfo info{0x01020304, 2, "before"};
        int status = m_service.GetDynamicIP(info);
        EXPECT_NE(0, status);
        EXPECT_EQ(kind, m_service.Failure(status).kind) << status;
        EXPECT_EQ(0x01020304, info.dyip);
        EXPECT_EQ(2, info.nettype);
        EXPECT_EQ("before", info.netlocation);

        UserInfo user;
        user.userid = 9;
        user.userstatus = 1;
        std::vector<DomainRecord> list(1);
        list[0].hostid = 4;
        EXPECT_NE(0, m_service.GetDynamic("a", "b", user, list));
        EXPECT_EQ(9, user.userid);
        EXPECT_EQ(1, user.userstatus);
        ASSERT_EQ(1u, list.size());
        EXPECT_EQ(4u, list[0].hostid);

        UpdateResultMap results{{1, 0}, {2, 5}};
        EXPECT_NE(0, m_service.UpdateDynamic("a", "b", results));
        EXPECT_EQ((UpdateResultMap{{1, 0}, {2, 5}}), results);
    }
};

TEST_F(ClientFailure, ServerSideErrors)
{
    m_server.SetHttpOk(CRawServer::Envelope("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
                                            "<faultstring>invalid user</faultstring></SOAP-ENV:Fault>"));
    ExpectAllFailUntouched("SOAP fault", webservice::kFailRefused);
    m_server.SetHttpOk(CRawServer::Envelope("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
                                            "<faultstring>database unavailable</faultstring></SOAP-ENV:Fault>"));
    ExpectAllFailUntouched("the provider's own fault", webservice::kFailUnreachable);
    m_server.SetReply(CRawServer::HttpReply("404 Not Found", "nope", "text/plain"));
    ExpectAllFailUntouched("HTTP 404", webservice::kFailUnreachable);
    m_server.SetReply(CRawServer::HttpReply("500 Internal Server Error", ""));
    ExpectAllFailUntouched("HTTP 500 without body", webservice::kFailUnreachable);
    m_server.SetHttpOk("this is not xml at all");
    ExpectAllFailUntouched("non-XML body", webservice::kFailUnreadable);
    std::string whole = CRawServer::HttpReply("200 OK", Response("getDynamic", "&lt;x/&gt;"));
    m_server.SetReply(whole.substr(0, whole.size() - 40));
    ExpectAllFailUntouched("truncated body", webservice::kFailUnreachable);
    m_server.SetReply("", CRawServer::Mode::CloseAtOnce);
    ExpectAllFailUntouched("closed without answer", webservice::kFailUnreachable);
}

TEST_F(ClientFailure, EnvelopedJunkIsAFailureNotAnEmptyAnswer)
{
    NetInfo info{77, 1, "x"};
    m_server.SetHttpOk(Response("getDynamicIP", "&lt;junk/&gt;"));
    EXPECT_EQ(webservice::kBadAnswer, m_service.GetDynamicIP(info));
    EXPECT_EQ(77, info.dyip);
    EXPECT_EQ(webservice::kFailUnreadable, m_service.Failure(webservice::kBadAnswer).kind);

    // A domain list without the account's user information is not an account.
    UserInfo user;
    std::vector<DomainRecord> list(1);
    m_server.SetHttpOk(Response(
        "getDynamic", "&lt;dynamic&gt;&lt;item&gt;&lt;hostid&gt;5&lt;/hostid&gt;&lt;/item&gt;&lt;/dynamic&gt;"));
    EXPECT_EQ(webservice::kBadAnswer, m_service.GetDynamic("a", "b", user, list));
    m_server.SetHttpOk(Response("getDynamic", "junk"));
    EXPECT_EQ(webservice::kBadAnswer, m_service.GetDynamic("a", "b", user, list));
    EXPECT_EQ(1u, list.size());
    // Only a well-formed account without domains is one.
    m_server.SetHttpOk(Response("getDynamic", "&lt;UserInfo/&gt;&lt;dynamic/&gt;"));
    list.clear();
    EXPECT_EQ(0, m_service.GetDynamic("a", "b", user, list));
    EXPECT_TRUE(list.empty());

    UpdateResultMap results{{1, 0}};
    m_server.SetHttpOk(Response("updateDynamic", "junk"));
    EXPECT_EQ(webservice::kBadAnswer, m_service.UpdateDynamic("a", "b", results));
}

TEST_F(ClientFailure, DrippingServerIsCutAtTheDeadlineAndACancelIsPrompt)
{
    // Each byte comes well within the receive limit, the whole answer never within the call's deadline.
    m_service.SetTimeouts(webservice::Timeouts{1, 1, 1, 60, 3});
    m_server.SetReply(CRawServer::HttpReply("200 OK", Response("getDynamicIP", "x")), CRawServer::Mode::Drip);
    NetInfo info{77, 1, "x"};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(webservice::kDeadline, m_service.GetDynamicIP(info));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(2500));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4500));
    EXPECT_EQ(webservice::kFailUnreachable, m_service.Failure(webservice::kDeadline).kind);

    // A stop cancels the call in progress at once, and the calls after it until resumed.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m_service.Cancel();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(webservice::kCancelled, m_service.GetDynamicIP(info));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    stopper.join();
    EXPECT_EQ(webservice::kCancelled, m_service.GetDynamicIP(info));
    EXPECT_EQ(77, info.dyip);
    m_service.Resume();
}

TEST_F(ClientFailure, PeerClosingMidSendIsAnErrorNotASignal)
{
    // A request of a few megabytes cannot be sent before the peer's close resets the connection; without
    // MSG_NOSIGNAL the write would kill the process with SIGPIPE.
    m_server.SetReply("", CRawServer::Mode::CloseAtOnce);
    UpdateResultMap many;
    for (uint32_t id = 1; id <= 150000; ++id)
        many[id] = 0;
    EXPECT_NE(0, m_service.UpdateDynamic("a", "b", many));
    EXPECT_EQ(0, many[1]);
}

TEST_F(ClientFailure, ConnectionRefused)
{
    // Bind and close to get a loopback port nobody listens on.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    CDynamicService nowhere("127.0.0.1", ntohs(a.sin_port));
    NetInfo info{77, 1, "x"};
    EXPECT_NE(0, nowhere.GetDynamicIP(info));
    EXPECT_EQ(77, info.dyip);
}

TEST_F(ClientFailure, SilentServerTimesOut)
{
    m_server.SetReply("", CRawServer::Mode::NeverAnswer);
    auto start = std::chrono::steady_clock::now();
    NetInfo info{77, 1, "x"};
    EXPECT_NE(0, m_service.GetDynamicIP(info));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(77, info.dyip);
    EXPECT_LT(elapsed, std::chrono::seconds(4));
}

// ---- the wrapped operations themselves -----------------------------------------------------------

TEST_F(ClientWire, OperationWritesResultOnlyOnSuccess)
{
    struct soap* ctx = soap_new();
    std::string endpoint = m_server.Endpoint();
    std::string result = "kept";
    m_server.SetReply(CRawServer::HttpReply("500 Internal Server Error", ""));
    EXPECT_NE(0, getDynamicIP(ctx, endpoint.c_str(), nullptr, result));
    EXPECT_EQ("kept", result);
    soap_destroy(ctx);
    soap_end(ctx);

    // A response element without `result` succeeds with an empty text.
    m_server.SetHttpOk(CRawServer::Envelope("<ns:getDynamicIPResponse></ns:getDynamicIPResponse>"));
    EXPECT_EQ(0, getDynamicIP(ctx, endpoint.c_str(), nullptr, result));
    EXPECT_EQ("", result);
    soap_destroy(ctx);
    soap_end(ctx);

    // Called twice on one context, the header rewrite is installed once and still applies.
    m_server.SetHttpOk(Response("getDynamicIP", "abc"));
    EXPECT_EQ(0, getDynamicIP(ctx, endpoint.c_str(), nullptr, result));
    EXPECT_EQ("abc", result);
    auto requests = m_server.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_NE(std::string::npos, requests[2].find("\r\nUser-Agent: gSOAP/2.7\r\n"));
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);
}

}  // namespace
