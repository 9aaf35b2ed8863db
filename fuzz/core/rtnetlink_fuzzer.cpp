// What the routing socket delivers reaches these parsers: address dumps and change notifications.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/provider/interface_address.h"
#include "core/provider/rtnetlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (uint32_t ifindex : {0u, 2u}) {
        std::vector<rtnl::AddressRecord> records;
        rtnl::DumpState state;
        rtnl::ParseAddresses(data, size, 0, ifindex, records, state);
        if (records.size() > rtnl::kMaxAddresses)
            __builtin_trap();
        for (const rtnl::AddressRecord& r : records)
            if ((r.family != AF_INET && r.family != AF_INET6) || (ifindex != 0 && r.ifindex != ifindex))
                __builtin_trap();
        int v6 = address::ChooseIPv6(records, records.empty() ? nullptr : &records[0].address);
        int v4 = address::ChooseIPv4(records);
        if (v6 >= int(records.size()) || v4 >= int(records.size()))
            __builtin_trap();
        rtnl::ClassifyEvents(data, size, ifindex, "v0");
    }
    return 0;
}
