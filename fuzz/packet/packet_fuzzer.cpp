// Datagram decoding as both ends of the channel do it: set data, header, then the body readers
// chosen by the first byte. Large packets get the same readers. Whatever the bytes, nothing may
// read outside the packet, and a re-encoded record must decode to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <vector>

#include "shared/packet/large_packet.h"
#include "shared/packet/packet.h"
#include "shared/packet/records.h"

namespace {

bool Same(const DomainRecord& a, const DomainRecord& b)
{
    return a.domain == b.domain && a.reserved1 == b.reserved1 && a.reserved2 == b.reserved2 &&
           a.reserved3 == b.reserved3 && a.reserved4 == b.reserved4 && a.hostid == b.hostid && a.data == b.data &&
           a.reserved5 == b.reserved5 && a.reserved6 == b.reserved6 && a.enabled == b.enabled;
}

template <class In>
void DecodeBody(In& in, uint8_t selector)
{
    switch (selector % 7) {
    case 0: {
        in.ReadU8();
        const std::vector<DomainRecord> list = ReadDomainList(in);
        for (std::size_t i = 0; i < list.size() && i < 32; ++i) {
            const DomainRecord& r = list[i];
            // Round trip: what was read must encode and decode unchanged.
            UdpOutPacket out;
            if (WriteDomainRecord(out, r)) {
                InPacket back;
                back.SetData(out.Data(), out.Size());
                if (!Same(ReadDomainRecord(back), r))
                    std::abort();
            }
        }
        break;
    }
    case 1: ReadPortList(in); break;
    case 6:
        if constexpr (std::is_base_of_v<InPacket, In>) {
            // Decoding into a kept list must give what a fresh list gives.
            static std::vector<DomainRecord> kept;
            InPacket twin;
            twin.SetData(in.Cursor(), in.Remaining());
            const std::vector<DomainRecord> fresh = ReadDomainList(twin);
            twin.SetData(in.Cursor(), in.Remaining());
            ReadDomainList(twin, kept);
            if (kept.size() != fresh.size())
                std::abort();
            for (std::size_t i = 0; i < kept.size(); ++i)
                if (!Same(kept[i], fresh[i]))
                    std::abort();
        }
        break;
    case 2: {
        // Round trip, the IPv6 tail included: what was read must encode and decode unchanged.
        const NetInfo info = ReadNetInfo(in);
        UdpOutPacket out;
        if (WriteNetInfo(out, info)) {
            InPacket back;
            back.SetData(out.Data(), out.Size());
            const NetInfo again = ReadNetInfo(back);
            if (again.dyip != info.dyip || again.nettype != info.nettype || again.netlocation != info.netlocation ||
                again.reportsIPv6 != info.reportsIPv6 || again.dyip6 != info.dyip6 || back.Remaining() != 0)
                std::abort();
        }
        break;
    }
    case 3: {
        const uint16_t n = in.ReadU16Host();
        for (uint16_t i = 0; i < n && i < 4096; ++i) {
            in.ReadU32Host();
            in.ReadU8();
        }
        break;
    }
    case 4:
        in.ReadString();
        in.ReadStringView();
        break;
    default: {
        uint8_t raw[64];
        in.ReadRaw(raw, selector % 65);
        in.ReadU16();
        in.ReadU32();
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static UdpInPacket* pooled = UdpInPacket::Create();  // reused like a pooled object
    if (!pooled)
        return 0;
    const int length = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    pooled->SetData(data, length);
    const bool header = length >= kPacketHeaderSize;
    if (pooled->HasHeader() != header || (!header && pooled->Command() != kNoCommand))
        std::abort();
    if (pooled->HasHeader()) {
        UdpInPacket copy(*pooled);
        DecodeBody(*pooled, static_cast<uint8_t>(pooled->Command()));
        DecodeBody(copy, static_cast<uint8_t>(copy.Command() + 1));
    }

    LargeInPacket large(data, length);
    DecodeBody(large, size > 0 ? data[0] : 0);
    return 0;
}
