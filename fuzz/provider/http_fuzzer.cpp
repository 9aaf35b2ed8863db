// Whatever a client sends reaches the request framing before anything else, and a dyndns2 request's query,
// credentials, names and addresses the decoders after it.

#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/base/hostname.h"
#include "tools/provider/dyndns2.h"
#include "tools/provider/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    provider::http::Request request;
    if (provider::http::Frame(bytes, 4096, request) == provider::http::Framing::Complete) {
        // A complete request never claims more than was received.
        if (request.headerBytes + request.contentLength > size)
            __builtin_trap();
        std::vector<std::pair<std::string, std::string>> params;
        if (provider::http::ParseQuery(request.Query(), params)) {
            for (const auto& [name, value] : params) {
                std::string host;
                hostname::FromText(value, host);
            }
            // Accepted addresses are canonical, of their family, and an IPv6 one is global.
            ProviderAddresses wanted;
            if (provider::WantedFromQuery(params, 0, "2001:db8::1", wanted) == provider::WantedVerdict::Ok) {
                provider::IpFamily family;
                std::string canonical;
                for (const std::string* a : {&wanted.ipv4, &wanted.ipv6})
                    if (!a->empty() && (!provider::ParseAddress(*a, family, canonical) || canonical != *a ||
                                        (family == provider::IpFamily::V4) != (a == &wanted.ipv4)))
                        __builtin_trap();
                in6_addr a6{};
                if (!wanted.ipv6.empty() &&
                    (inet_pton(AF_INET6, wanted.ipv6.c_str(), &a6) != 1 || !provider::IsGlobalIpv6(a6)))
                    __builtin_trap();
            }
        }
        std::string decoded;
        if (const std::string* auth = request.Header("authorization"))
            provider::http::Base64Decode(*auth, decoded);
    }
    // Fed in pieces, as the connection loop feeds it, the framer says at every step what it says of the
    // same bytes all at once.
    provider::http::CFramer pieces(4096);
    size_t step = size ? data[0] % 7 + 1 : 1;
    for (size_t end = std::min(step, size);; end = std::min(end + step, size)) {
        provider::http::Framing got = pieces.Feed(bytes.substr(0, end));
        provider::http::CFramer whole(4096);
        if (got != whole.Feed(bytes.substr(0, end)))
            __builtin_trap();
        if (got != provider::http::Framing::Incomplete || end == size)
            break;
    }
    std::string decoded;
    provider::http::Base64Decode(bytes, decoded);
    return 0;
}
