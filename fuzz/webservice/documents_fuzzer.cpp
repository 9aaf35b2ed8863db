// Feeds arbitrary answer text to the three document readers the client runs on every reply.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/webservice/documents.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);

    NetInfo info;
    webservice::ReadNetInfo(text, info);

    UserInfo user;
    std::vector<DomainRecord> domains;
    webservice::ReadAccount(text, user, domains);
    for (const auto& d : domains)
        if (d.hostid == 0)
            __builtin_trap();  // never a stored entry without a host id

    UpdateResultMap results{{1, 0}, {2, 0}, {0x7FFFFFFF, 0}};
    webservice::ReadUpdateResults(text, results);
    if (results.size() != 3)
        __builtin_trap();  // the service cannot add hosts
    return 0;
}
