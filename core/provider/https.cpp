#include "core/provider/https.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/library.h"

namespace {

// libcurl and the many libraries it loads are opened only when an HTTPS request is first made, so
// a service that uses the web service never maps them (about 4 MB of resident pages).
struct CurlApi {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_setopt) setopt = nullptr;
    decltype(&curl_easy_perform) perform = nullptr;
    decltype(&curl_easy_getinfo) getinfo = nullptr;
    decltype(&curl_easy_cleanup) cleanup = nullptr;
    decltype(&curl_easy_strerror) strerror = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFree = nullptr;
    bool ok = false;
};

const CurlApi& Curl()
{
    static const CurlApi api = [] {
        CurlApi a;
        void* lib = platform::OpenLibrary(platform::kCurlLibrary);
        if (!lib)
            return a;
        a.globalInit = reinterpret_cast<decltype(a.globalInit)>(platform::LibrarySymbol(lib, "curl_global_init"));
        a.easyInit = reinterpret_cast<decltype(a.easyInit)>(platform::LibrarySymbol(lib, "curl_easy_init"));
        a.setopt = reinterpret_cast<decltype(a.setopt)>(platform::LibrarySymbol(lib, "curl_easy_setopt"));
        a.perform = reinterpret_cast<decltype(a.perform)>(platform::LibrarySymbol(lib, "curl_easy_perform"));
        a.getinfo = reinterpret_cast<decltype(a.getinfo)>(platform::LibrarySymbol(lib, "curl_easy_getinfo"));
        a.cleanup = reinterpret_cast<decltype(a.cleanup)>(platform::LibrarySymbol(lib, "curl_easy_cleanup"));
        a.strerror = reinterpret_cast<decltype(a.strerror)>(platform::LibrarySymbol(lib, "curl_easy_strerror"));
        a.slistAppend = reinterpret_cast<decltype(a.slistAppend)>(platform::LibrarySymbol(lib, "curl_slist_append"));
        a.slistFree = reinterpret_cast<decltype(a.slistFree)>(platform::LibrarySymbol(lib, "curl_slist_free_all"));
        a.ok = a.globalInit && a.easyInit && a.setopt && a.perform && a.getinfo && a.cleanup && a.strerror &&
               a.slistAppend && a.slistFree && a.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        return a;  // the library stays loaded for the life of the process
    }();
    return api;
}

struct Sink {
    std::string* body;
    size_t max;
    long* retryAfter;
};

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    Sink& sink = *static_cast<Sink*>(user);
    size_t n = size * count;
    sink.body->append(data, std::min(n, sink.max - std::min(sink.max, sink.body->size())));
    return n;  // the rest is dropped, not an error: a long answer is rejected by its reader
}

// Only Retry-After is wanted from the header lines; a date instead of seconds counts as none.
size_t Header(char* data, size_t size, size_t count, void* user)
{
    Sink& sink = *static_cast<Sink*>(user);
    size_t n = size * count;
    std::string line(data, n);
    static const char kName[] = "retry-after:";
    if (line.size() > sizeof kName - 1) {
        bool match = true;
        for (size_t i = 0; i + 1 < sizeof kName && match; ++i)
            match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
        if (match) {
            size_t at = line.find_first_not_of(" \t", sizeof kName - 1);
            long seconds = 0;
            size_t digits = 0;
            for (; at != std::string::npos && at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]));
                 ++at, ++digits)
                seconds = std::min(seconds * 10 + (line[at] - '0'), 86400L);
            if (digits > 0)
                *sink.retryAfter = seconds;
        }
    }
    return n;
}

// libcurl asks at least once a second, also while waiting for an answer.
int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel && cancel->load() ? 1 : 0;
}

}  // namespace

const char* MorvaneUserAgent()
{
    return "Morvane/" MORVANE_VERSION;
}

namespace {

// Every option is checked: a libcurl that lacks one (an older one without the protocol restriction
// for redirects, say) would otherwise go ahead without it, possibly sending the password over plain
// HTTP. The first refusal ends the request before anything is sent.
class COptions {
public:
    COptions(const CurlApi& api, CURL* curl) : m_api(api), m_curl(curl) {}
    template <typename T>
    void Set(CURLoption option, T value, const char* name)
    {
        if (m_failed != CURLE_OK)
            return;
        m_failed = m_api.setopt(m_curl, option, value);
        if (m_failed != CURLE_OK)
            m_name = name;
    }
    bool Ok() const { return m_failed == CURLE_OK; }
    std::string Error() const
    {
        return std::string("libcurl refused ") + m_name + " (" + m_api.strerror(m_failed) + "); request not sent";
    }

private:
    const CurlApi& m_api;
    CURL* m_curl;
    CURLcode m_failed = CURLE_OK;
    const char* m_name = "";
};

#define MORVANE_SET(options, option, value) (options).Set(option, value, #option)

}  // namespace

bool HttpsGetHere(const HttpsRequest& request, HttpsAnswer& answer)
{
    answer = HttpsAnswer{};
    const CurlApi& api = Curl();
    if (!api.ok) {
        answer.error = platform::kCurlLibraryMissing;
        return false;
    }
    if (request.cancel && request.cancel->load()) {
        answer.error = "cancelled";
        return false;
    }
    CURL* curl = api.easyInit();
    if (!curl) {
        answer.error = "libcurl could not start";
        return false;
    }
    char error[CURL_ERROR_SIZE] = {};
    COptions o(api, curl);
    MORVANE_SET(o, CURLOPT_ERRORBUFFER, error);
    MORVANE_SET(o, CURLOPT_URL, request.url.c_str());
    MORVANE_SET(o, CURLOPT_PROTOCOLS_STR, "https");
    MORVANE_SET(o, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    // A request carrying its own headers (a bearer token) or a body is never sent on to another place.
    MORVANE_SET(o, CURLOPT_FOLLOWLOCATION, request.headers.empty() && request.method.empty() ? 1L : 0L);
    MORVANE_SET(o, CURLOPT_MAXREDIRS, 3L);
    MORVANE_SET(o, CURLOPT_SSL_VERIFYPEER, 1L);
    MORVANE_SET(o, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.caFile.empty())
        MORVANE_SET(o, CURLOPT_CAINFO, request.caFile.c_str());
    MORVANE_SET(o, CURLOPT_USERAGENT, MorvaneUserAgent());
    MORVANE_SET(o, CURLOPT_NOSIGNAL, 1L);
    MORVANE_SET(o, CURLOPT_TIMEOUT_MS, request.timeoutMs);
    MORVANE_SET(o, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
    if (request.ipVersion != 0)
        MORVANE_SET(o, CURLOPT_IPRESOLVE,
                    static_cast<long>(request.ipVersion == 6 ? CURL_IPRESOLVE_V6 : CURL_IPRESOLVE_V4));
    // Only to the address the URL names: never through a proxy from the environment.
    MORVANE_SET(o, CURLOPT_PROXY, "");
    if (!request.user.empty()) {
        // Credentials stay with the host they were given for.
        MORVANE_SET(o, CURLOPT_UNRESTRICTED_AUTH, 0L);
        MORVANE_SET(o, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        MORVANE_SET(o, CURLOPT_USERNAME, request.user.c_str());
        MORVANE_SET(o, CURLOPT_PASSWORD, request.password.c_str());
    }
    if (request.cancel) {
        MORVANE_SET(o, CURLOPT_NOPROGRESS, 0L);
        MORVANE_SET(o, CURLOPT_XFERINFOFUNCTION, Progress);
        MORVANE_SET(o, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(request.cancel));
    }
    Sink sink{&answer.body, request.maxBody, &answer.retryAfter};
    MORVANE_SET(o, CURLOPT_WRITEFUNCTION, Collect);
    MORVANE_SET(o, CURLOPT_WRITEDATA, &sink);
    MORVANE_SET(o, CURLOPT_HEADERFUNCTION, Header);
    MORVANE_SET(o, CURLOPT_HEADERDATA, &sink);
    if (!request.method.empty() && request.method != "GET") {
        MORVANE_SET(o, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        MORVANE_SET(o, CURLOPT_POSTFIELDS, request.body.c_str());
        MORVANE_SET(o, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    }
    curl_slist* headers = nullptr;
    for (const std::string& h : request.headers)
        headers = api.slistAppend(headers, h.c_str());
    if (headers)
        MORVANE_SET(o, CURLOPT_HTTPHEADER, headers);
    if (!o.Ok()) {
        answer.error = o.Error();
        api.cleanup(curl);
        api.slistFree(headers);
        return false;
    }
    CURLcode rc = api.perform(curl);
    if (rc == CURLE_OK && api.getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status) != CURLE_OK) {
        answer.status = 0;
        rc = CURLE_GOT_NOTHING;
    }
    if (rc != CURLE_OK) {
        answer.error = error[0] ? error : api.strerror(rc);
        answer.body.clear();
    }
    api.cleanup(curl);
    api.slistFree(headers);
    return rc == CURLE_OK;
}

std::string QueryEscape(const std::string& text, const char* keep)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (c && std::strchr(keep, c))) {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}
