#include "core/webservice/soap_calls.h"

#include <sys/socket.h>

#include <cstring>
#include <new>

#include "soapH.h"

namespace webservice {
namespace {

// The library announces its own version; the service has always seen this client as 2.7.
constexpr const char kUserAgent[] = "gSOAP/2.7";
constexpr const char kHeaderPluginId[] = "morvane-client-headers";

// Per-context plug-in data: the header writer we wrap.
struct HeaderPlugin {
    int (*next)(struct soap*, const char*, const char*) = nullptr;
};

int WriteHeader(struct soap* soap, const char* key, const char* value)
{
    auto* plugin = static_cast<HeaderPlugin*>(soap_lookup_plugin(soap, kHeaderPluginId));
    if (key && value && std::strcmp(key, "User-Agent") == 0)
        value = kUserAgent;
    // The SSL build of the library offers compression; the request stays as this client always sent it.
    if (key && std::strcmp(key, "Accept-Encoding") == 0)
        return SOAP_OK;
    return plugin->next(soap, key, value);
}

int CopyPlugin(struct soap*, struct soap_plugin* dst, struct soap_plugin* src)
{
    auto* copy = new (std::nothrow) HeaderPlugin(*static_cast<HeaderPlugin*>(src->data));
    if (!copy)
        return SOAP_EOM;
    dst->data = copy;
    return SOAP_OK;
}

void DeletePlugin(struct soap*, struct soap_plugin* plugin)
{
    delete static_cast<HeaderPlugin*>(plugin->data);
}

int RegisterPlugin(struct soap* soap, struct soap_plugin* plugin, void*)
{
    auto* data = new (std::nothrow) HeaderPlugin;
    if (!data)
        return SOAP_EOM;
    data->next = soap->fposthdr;
    plugin->id = kHeaderPluginId;
    plugin->data = data;
    plugin->fcopy = CopyPlugin;
    plugin->fdelete = DeletePlugin;
    soap->fposthdr = WriteHeader;
    return SOAP_OK;
}

}  // namespace

void UseClientHeaders(struct soap* soap)
{
    // A peer that closes while we send must give an error status, not kill the process.
    soap->socket_flags = MSG_NOSIGNAL;
    if (!soap_lookup_plugin(soap, kHeaderPluginId))
        soap_register_plugin(soap, RegisterPlugin);
}

void PrepareContext(struct soap* soap, const Timeouts& timeouts)
{
    // Nick names and domain data may be Chinese: pass UTF-8 through instead of Latin-1 conversion.
    soap_set_mode(soap, SOAP_C_UTFSTRING);
    soap->connect_timeout = timeouts.connect;
    soap->send_timeout = timeouts.send;
    soap->recv_timeout = timeouts.recv;
    soap->transfer_timeout = timeouts.transfer;
    soap->recv_maxlength = kMaxResponseBytes;
    UseClientHeaders(soap);
}

}  // namespace webservice

// The generated stubs clear `result` before they receive; calling with a temporary keeps the
// caller's value when the exchange fails.

int updateDynamic(struct soap* soap, const char* endpoint, const char* action, const std::string& username,
                  const std::string& password, const std::string& dynamicList, std::string& result)
{
    webservice::UseClientHeaders(soap);
    std::string answer;
    int status = soap_call_ns__updateDynamic(soap, endpoint, action, username, password, dynamicList, answer);
    if (status == SOAP_OK)
        result = std::move(answer);
    return status;
}

int getDynamic(struct soap* soap, const char* endpoint, const char* action, const std::string& username,
               const std::string& password, std::string& result)
{
    webservice::UseClientHeaders(soap);
    std::string answer;
    int status = soap_call_ns__getDynamic(soap, endpoint, action, username, password, answer);
    if (status == SOAP_OK)
        result = std::move(answer);
    return status;
}

int getDynamicIP(struct soap* soap, const char* endpoint, const char* action, std::string& result)
{
    webservice::UseClientHeaders(soap);
    std::string answer;
    int status = soap_call_ns__getDynamicIP(soap, endpoint, action, answer);
    if (status == SOAP_OK)
        result = std::move(answer);
    return status;
}
