#include "shared/packet/status_records.h"

#include <algorithm>

#include "shared/packet/packet.h"

namespace {

bool WriteTexts(OutPacket& out, const std::vector<std::string>& texts)
{
    bool ok = texts.size() <= kMaxSettingsItems && out.WriteU16Host(static_cast<uint16_t>(texts.size()));
    for (const std::string& text : texts)
        ok = ok && out.WriteString(text);
    return ok;
}

std::vector<std::string> ReadTexts(InPacket& in)
{
    const size_t n = std::min<size_t>(in.ReadU16Host(), kMaxSettingsItems);
    std::vector<std::string> texts;
    for (size_t i = 0; i < n; ++i)
        texts.push_back(in.ReadString());
    return texts;
}

bool WriteHostStatus(OutPacket& out, const HostStatus& s)
{
    return out.WriteU32Host(s.hostid) && out.WriteU8(s.state) && out.WriteU32Host(s.ipv4) && out.WriteString(s.ipv6) &&
           out.WriteU32Host(s.updatedAt) && out.WriteU32Host(s.triedAt) && out.WriteString(s.reason);
}

}  // namespace

bool WriteProviderSettings(OutPacket& out, const ProviderSettings& s)
{
    uint8_t* mark = out.Skip(0);
    bool ok = out.WriteString(s.kind) && out.WriteString(s.server) && out.WriteString(s.user) &&
              out.WriteString(s.password) && out.WriteU8(s.passwordStored ? 1 : 0) && WriteTexts(out, s.hosts) &&
              WriteTexts(out, s.checkIp) && out.WriteU8(s.checkIpDefaults ? 1 : 0) &&
              out.WriteString(s.interfaceName) && out.WriteU8(s.router ? 1 : 0) && out.WriteString(s.caFile) &&
              out.WriteString(s.zone) && out.WriteU32Host(s.ttl) &&
              out.WriteU8(s.proxied < 0 ? 0
                          : s.proxied   ? 2
                                        : 1) &&
              out.WriteString(s.keyName) && out.WriteString(s.keyAlgorithm) && out.WriteString(s.success);
    if (!ok)
        out.SetCursor(mark);
    return ok;
}

ProviderSettings ReadProviderSettings(InPacket& in)
{
    ProviderSettings s;
    s.kind = in.ReadString();
    s.server = in.ReadString();
    s.user = in.ReadString();
    s.password = in.ReadString();
    s.passwordStored = in.ReadU8() != 0;
    s.hosts = ReadTexts(in);
    s.checkIp = ReadTexts(in);
    s.checkIpDefaults = in.ReadU8() != 0;
    s.interfaceName = in.ReadString();
    s.router = in.ReadU8() != 0;
    s.caFile = in.ReadString();
    s.zone = in.ReadString();
    s.ttl = in.ReadU32Host();
    const uint8_t proxied = in.ReadU8();
    s.proxied = proxied == 0 ? -1 : proxied == 2 ? 1 : 0;
    s.keyName = in.ReadString();
    s.keyAlgorithm = in.ReadString();
    s.success = in.ReadString();
    return s;
}

int WriteHostStatusList(OutPacket& out, const std::vector<HostStatus>& list)
{
    uint8_t* count = out.Skip(0);
    if (!out.WriteU16Host(0))
        return 0;
    int written = 0;
    for (const HostStatus& s : list) {
        uint8_t* mark = out.Skip(0);
        if (!WriteHostStatus(out, s)) {
            out.SetCursor(mark);
            break;
        }
        ++written;
    }
    uint8_t* end = out.SetCursor(count);
    out.WriteU16Host(static_cast<uint16_t>(written));
    out.SetCursor(end);
    return written;
}

std::vector<HostStatus> ReadHostStatusList(InPacket& in)
{
    const uint16_t n = in.ReadU16Host();
    std::vector<HostStatus> list;
    for (uint16_t i = 0; i < n && in.Remaining() > 0; ++i) {
        HostStatus s;
        s.hostid = in.ReadU32Host();
        s.state = in.ReadU8();
        s.ipv4 = in.ReadU32Host();
        s.ipv6 = in.ReadString();
        s.updatedAt = in.ReadU32Host();
        s.triedAt = in.ReadU32Host();
        s.reason = in.ReadString();
        list.push_back(std::move(s));
    }
    return list;
}
