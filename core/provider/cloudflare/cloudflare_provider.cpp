#include "core/provider/https.h"
#include "core/provider/cloudflare/cloudflare_provider.h"

#include "core/log.h"
#include "core/provider/address6.h"
#include "core/provider/json.h"
#include "shared/base/ipv4.h"

namespace {

constexpr uint64_t kDefaultRetryAfterMs = 60 * 1000;
constexpr size_t kMaxAnswer = 256 * 1024;

// "code 9109: Invalid access token" from the answer's errors, or the HTTP status.
std::string ApiErrors(const CJson& json, long status)
{
    std::string text;
    if (const CJson* errors = json.Get("errors"); errors && errors->IsArray())
        for (const CJson& e : errors->Items()) {
            if (!text.empty())
                text += "; ";
            text += "code " + std::to_string(e.Integer("code", 0)) + ": " + e.Text("message").substr(0, 120);
        }
    return "HTTP " + std::to_string(status) + (text.empty() ? std::string() : " (" + text + ")");
}

}  // namespace

std::string CCloudflareProvider::Api() const
{
    std::string api = m_config.server.empty() ? providerconf::kCloudflareApi : m_config.server;
    while (!api.empty() && api.back() == '/')
        api.pop_back();
    return api;
}

CCloudflareProvider::Outcome CCloudflareProvider::Call(const std::string& method, const std::string& path,
                                                       const std::string& body, CJson& json, std::string& why)
{
    HttpsRequest request;
    request.url = Api() + path;
    request.method = method;
    request.body = body;
    request.maxBody = kMaxAnswer;
    request.headers = {"Authorization: Bearer " + m_config.password, "Accept: application/json"};
    if (!body.empty())
        request.headers.push_back("Content-Type: application/json");
    HttpsAnswer answer;
    if (!Exchange(request, answer)) {
        why = method + " " + path + ": " + answer.error;
        return Outcome::Unreachable;
    }
    bool parsed = CJson::Parse(answer.body, json) && json.IsObject();
    if (answer.status == 401 || answer.status == 403) {
        why = "Cloudflare refused the token (" +
              (parsed ? ApiErrors(json, answer.status) : "HTTP " + std::to_string(answer.status)) +
              "): it must be valid and allow Zone:Read and DNS:Edit";
        StopAccount(why);
        return Outcome::Stop;
    }
    if (answer.status == 429) {
        uint64_t waitMs = answer.retryAfter >= 0 ? uint64_t(answer.retryAfter) * 1000 : kDefaultRetryAfterMs;
        BackOff(waitMs);
        why = "Cloudflare's rate limit (HTTP 429); waiting " + std::to_string(waitMs / 1000) + " s before asking again";
        JournalPrint(kJournalWarning, "%s: %s", Tag().c_str(), why.c_str());
        return Outcome::Retry;
    }
    if (answer.status >= 500 || !parsed) {
        why =
            method + " " + path + ": " +
            (parsed ? ApiErrors(json, answer.status) : "HTTP " + std::to_string(answer.status) + ", not a JSON answer");
        return Outcome::Retry;
    }
    if (answer.status < 200 || answer.status > 299 || !json.True("success")) {
        why = method + " " + path + ": " + ApiErrors(json, answer.status);
        return Outcome::Stop;
    }
    return Outcome::Done;
}

CCloudflareProvider::Outcome CCloudflareProvider::ZoneOf(const std::string& host, std::string& zoneId, std::string& why)
{
    if (auto it = m_zones.find(host); it != m_zones.end()) {
        zoneId = it->second;
        return Outcome::Done;
    }
    // The host itself may be a zone's apex; a name of one label is never a zone one may hold.
    for (size_t at = 0; at != std::string::npos && host.find('.', at) != std::string::npos;) {
        std::string candidate = host.substr(at);
        CJson json;
        Outcome o = Call("GET", "/zones?name=" + QueryEscape(candidate), "", json, why);
        if (o != Outcome::Done)
            return o;
        const CJson* result = json.Get("result");
        if (result && result->IsArray() && !result->Items().empty()) {
            zoneId = result->Items().front().Text("id");
            if (zoneId.empty()) {
                why = "a zone without an id in Cloudflare's answer for " + candidate;
                return Outcome::Retry;
            }
            m_zones[host] = zoneId;
            return Outcome::Done;
        }
        at = host.find('.', at);
        at = at == std::string::npos ? at : at + 1;
    }
    why = "no zone of this token holds " + host;
    return Outcome::Stop;
}

CCloudflareProvider::Outcome CCloudflareProvider::SetRecord(const std::string& host, bool ipv6,
                                                            const std::string& address, std::string& why)
{
    const char* type = ipv6 ? "AAAA" : "A";
    std::string zoneId;
    if (Outcome o = ZoneOf(host, zoneId, why); o != Outcome::Done)
        return o;
    const std::string records = "/zones/" + QueryEscape(zoneId) + "/dns_records";
    auto key = std::make_pair(host, ipv6);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto known = m_records.find(key);
        if (known == m_records.end()) {
            CJson json;
            Outcome o = Call("GET", records + "?type=" + type + "&name=" + QueryEscape(host), "", json, why);
            if (o != Outcome::Done)
                return o;
            const CJson* result = json.Get("result");
            size_t count = result && result->IsArray() ? result->Items().size() : 0;
            if (count > 1) {
                why = std::to_string(count) + " " + type + " records for " + host +
                      " at Cloudflare; which one to change cannot be known: keep one";
                return Outcome::Stop;
            }
            if (count == 0) {
                // Created with the TTL given, else automatic (1), and not proxied unless asked.
                std::string body = "{\"type\":\"" + std::string(type) + "\",\"name\":" + CJson::Quote(host) +
                                   ",\"content\":" + CJson::Quote(address) +
                                   ",\"ttl\":" + std::to_string(m_config.ttl ? m_config.ttl : 1) +
                                   ",\"proxied\":" + (m_config.proxied == 1 ? "true" : "false") + "}";
                CJson created;
                if (Outcome p = Call("POST", records, body, created, why); p != Outcome::Done)
                    return p;
                const CJson* r = created.Get("result");
                if (r && r->IsObject() && !r->Text("id").empty())
                    m_records[key] = Record{r->Text("id"), address};
                return Outcome::Done;
            }
            const CJson& r = result->Items().front();
            if (r.Text("id").empty()) {
                why = "a record without an id in Cloudflare's answer for " + host;
                return Outcome::Retry;
            }
            known = m_records.emplace(key, Record{r.Text("id"), r.Text("content")}).first;
        }
        if (known->second.content == address)
            return Outcome::Done;  // already so: nothing to change
        std::string body = "{\"content\":" + CJson::Quote(address);
        if (m_config.ttl)
            body += ",\"ttl\":" + std::to_string(m_config.ttl);
        if (m_config.proxied == 0 || m_config.proxied == 1)
            body += std::string(",\"proxied\":") + (m_config.proxied ? "true" : "false");
        body += "}";
        CJson json;
        Outcome o = Call("PATCH", records + "/" + QueryEscape(known->second.id), body, json, why);
        if (o == Outcome::Done) {
            known->second.content = address;
            return o;
        }
        // A record removed since it was looked up: look again (once) instead of stopping the host.
        m_records.erase(known);
        if (o != Outcome::Stop || json.Get("errors") == nullptr || why.find("HTTP 404") == std::string::npos)
            return o;
    }
    return Outcome::Retry;
}

int CCloudflareProvider::Send(std::vector<Item>& items)
{
    int status = 0;
    for (Item& item : items) {
        for (bool ipv6 : {false, true}) {
            if (ipv6 ? !item.sent.HasIPv6() : item.sent.ipv4 == 0)
                continue;
            std::string address = ipv6 ? address::FormatIPv6(item.sent.ipv6) : FormatIPv4(item.sent.ipv4);
            std::string why;
            Outcome o = SetRecord(item.name, ipv6, address, why);
            if (o == Outcome::Done) {
                (ipv6 ? item.done6 : item.done4) = true;
                continue;
            }
            if (o == Outcome::Stop && !why.empty() && why.rfind("Cloudflare refused the token", 0) != 0)
                item.stop = why;
            else if (o != Outcome::Stop)
                JournalPrint(kJournalWarning, "%s: %s %s of %s not changed: %s", Tag().c_str(), ipv6 ? "AAAA" : "A",
                             address.c_str(), item.name.c_str(), why.c_str());
            status = Fail(o == Outcome::Unreachable ? kStatusNoAnswer : o == Outcome::Stop ? kStatusRefused : 1, why);
            // A refused token or a wait for the rate limit ends this round for every host.
            if (o == Outcome::Retry && why.find("HTTP 429") != std::string::npos)
                return status;
            if (o == Outcome::Stop && item.stop.empty())
                return status;
        }
    }
    return status == kStatusRefused ? 0 : status;
}
