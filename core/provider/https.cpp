#include "core/provider/https.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace {

constexpr size_t kMaxBody = 4096;

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    std::string& body = *static_cast<std::string*>(user);
    size_t n = size * count;
    body.append(data, std::min(n, kMaxBody - std::min(kMaxBody, body.size())));
    return n;  // the rest is dropped, not an error: a long answer is rejected by its reader
}

void GlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

const char* MorvaneUserAgent()
{
    return "Morvane/" MORVANE_VERSION;
}

bool HttpsGet(const HttpsRequest& request, HttpsAnswer& answer)
{
    GlobalInit();
    answer = HttpsAnswer{};
    CURL* curl = curl_easy_init();
    if (!curl) {
        answer.error = "libcurl could not start";
        return false;
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, request.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, MorvaneUserAgent());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
    // Only to the address the URL names: never through a proxy from the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    if (!request.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, request.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, request.password.c_str());
        // Credentials stay with the host they were given for.
        curl_easy_setopt(curl, CURLOPT_UNRESTRICTED_AUTH, 0L);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    } else {
        answer.error = error[0] ? error : curl_easy_strerror(rc);
        answer.body.clear();
    }
    curl_easy_cleanup(curl);
    return rc == CURLE_OK;
}
