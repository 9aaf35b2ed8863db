#include "core/provider/https.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>

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
    bool ok = false;
};

const CurlApi& Curl()
{
    static const CurlApi api = [] {
        CurlApi a;
        void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return a;
        a.globalInit = reinterpret_cast<decltype(a.globalInit)>(dlsym(lib, "curl_global_init"));
        a.easyInit = reinterpret_cast<decltype(a.easyInit)>(dlsym(lib, "curl_easy_init"));
        a.setopt = reinterpret_cast<decltype(a.setopt)>(dlsym(lib, "curl_easy_setopt"));
        a.perform = reinterpret_cast<decltype(a.perform)>(dlsym(lib, "curl_easy_perform"));
        a.getinfo = reinterpret_cast<decltype(a.getinfo)>(dlsym(lib, "curl_easy_getinfo"));
        a.cleanup = reinterpret_cast<decltype(a.cleanup)>(dlsym(lib, "curl_easy_cleanup"));
        a.strerror = reinterpret_cast<decltype(a.strerror)>(dlsym(lib, "curl_easy_strerror"));
        a.ok = a.globalInit && a.easyInit && a.setopt && a.perform && a.getinfo && a.cleanup && a.strerror &&
               a.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        return a;  // the library stays loaded for the life of the process
    }();
    return api;
}

constexpr size_t kMaxBody = 4096;

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    std::string& body = *static_cast<std::string*>(user);
    size_t n = size * count;
    body.append(data, std::min(n, kMaxBody - std::min(kMaxBody, body.size())));
    return n;  // the rest is dropped, not an error: a long answer is rejected by its reader
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

bool HttpsGet(const HttpsRequest& request, HttpsAnswer& answer)
{
    answer = HttpsAnswer{};
    const CurlApi& api = Curl();
    if (!api.ok) {
        answer.error = "libcurl (libcurl4) cannot be loaded";
        return false;
    }
    CURL* curl = api.easyInit();
    if (!curl) {
        answer.error = "libcurl could not start";
        return false;
    }
    char error[CURL_ERROR_SIZE] = {};
    api.setopt(curl, CURLOPT_ERRORBUFFER, error);
    api.setopt(curl, CURLOPT_URL, request.url.c_str());
    api.setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    api.setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    api.setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    api.setopt(curl, CURLOPT_MAXREDIRS, 3L);
    api.setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    api.setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.caFile.empty())
        api.setopt(curl, CURLOPT_CAINFO, request.caFile.c_str());
    api.setopt(curl, CURLOPT_USERAGENT, MorvaneUserAgent());
    api.setopt(curl, CURLOPT_NOSIGNAL, 1L);
    api.setopt(curl, CURLOPT_TIMEOUT_MS, request.timeoutMs);
    api.setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
    // Only to the address the URL names: never through a proxy from the environment.
    api.setopt(curl, CURLOPT_PROXY, "");
    if (!request.user.empty()) {
        api.setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        api.setopt(curl, CURLOPT_USERNAME, request.user.c_str());
        api.setopt(curl, CURLOPT_PASSWORD, request.password.c_str());
        // Credentials stay with the host they were given for.
        api.setopt(curl, CURLOPT_UNRESTRICTED_AUTH, 0L);
    }
    if (request.cancel) {
        if (request.cancel->load()) {
            api.cleanup(curl);
            answer.error = "cancelled";
            return false;
        }
        api.setopt(curl, CURLOPT_NOPROGRESS, 0L);
        api.setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
        api.setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(request.cancel));
    }
    api.setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    api.setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    CURLcode rc = api.perform(curl);
    if (rc == CURLE_OK) {
        api.getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    } else {
        answer.error = error[0] ? error : api.strerror(rc);
        answer.body.clear();
    }
    api.cleanup(curl);
    return rc == CURLE_OK;
}
