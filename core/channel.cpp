// The service's end of the loopback control channel: binding, receiving, and one handler per request.
// Every request is handled once, on the worker thread, and answered to whoever sent the last datagram.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/manager.h"
#include "core/portmap.h"
#include "core/webservice/dynamic_service.h"
#include "shared/base/udp.h"
#include "shared/packet/commands.h"
#include "shared/xml/data_files.h"

namespace {

// Most records a request can really carry in one datagram. A count beyond it announces records that
// are not there; they would all read as zeros, and handling tens of thousands of them (a router
// discovery or a file save each) would stall the service, so the work stops there.
constexpr int kMaxRequestItems = (kPacketCapacity - kPacketHeaderSize - 2) / kPortMapEntryWireSize;

int RequestCount(InPacket& in)
{
    return std::min<int>(in.ReadU16Host(), kMaxRequestItems);
}

std::vector<PortMapEntry> ReadEntries(InPacket& in)
{
    std::vector<PortMapEntry> entries;
    int n = RequestCount(in);
    entries.reserve(n);
    for (int i = 0; i < n; ++i)
        entries.push_back(ReadPortMapEntry(in));
    return entries;
}

}  // namespace

bool CMorvaneManger::OpenControlChannel()
{
    m_channel = BindLoopbackUdp(m_options.firstChannelPort, kChannelPortTries, m_channelPort);
    if (m_channel < 0)
        return false;
    datafile::WritePort(UserFile(), m_channelPort);
    return true;
}

void CMorvaneManger::CloseChannel()
{
    if (m_channel >= 0)
        ::close(m_channel);
    m_channel = -1;
}

UdpInPacketPtr CMorvaneManger::ReceivePacket(int timeoutMs)
{
    pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_channel, POLLIN, 0}};
    nfds_t count = m_channel >= 0 ? 2 : 1;
    int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0) {
        if (errno != EINTR) {
            // The socket is unusable; the periodic work goes on without it.
            CloseChannel();
            if (timeoutMs != 0)
                ::poll(fds, 1, std::min(timeoutMs < 0 ? 500 : timeoutMs, 500));
        }
        return nullptr;
    }
    if (fds[0].revents & POLLIN) {
        uint64_t counter;
        ssize_t n = ::read(m_wakeFd, &counter, sizeof counter);
        (void)n;
    }
    if (count < 2 || !(fds[1].revents & (POLLIN | POLLERR)))
        return nullptr;
    if (fds[1].revents & POLLNVAL) {
        CloseChannel();
        return nullptr;
    }

    UdpInPacketPtr packet(UdpInPacket::Create());
    if (!packet) {
        // No storage for a packet: drop the datagram rather than spin on it.
        char scrap[1];
        ::recv(m_channel, scrap, sizeof scrap, MSG_DONTWAIT);
        return nullptr;
    }
    if (packet->Receive(m_channel) <= 0)
        return nullptr;  // empty, oversized, or an error report (ICMP) for an earlier send
    return packet;
}

UdpOutPacketPtr CMorvaneManger::NewReply(uint16_t command)
{
    UdpOutPacketPtr packet(UdpOutPacket::Create());
    if (packet)
        PacketHeader::Reply(command).Write(*packet);
    return packet;
}

void CMorvaneManger::SendToClient(const OutPacket& packet)
{
    if (m_channel >= 0 && m_clientAddress != 0 && m_clientPort != 0)
        packet.SendTo(m_channel, m_clientAddress, m_clientPort);
}

void CMorvaneManger::DispatchPacket(UdpInPacket& packet)
{
    // A datagram without the header carries no command: nothing to act on, nobody to answer.
    if (!packet.HasHeader())
        return;
    if (!m_guard)
        m_guard = std::make_unique<CChannelGuard>(ProgramDirectory());
    if (!m_guard->Admit(packet.SenderAddress(), packet.SenderPort(), m_channelPort))
        return;
    m_clientAddress = packet.SenderAddress();
    m_clientPort = packet.SenderPort();

    switch (packet.Command()) {
    case CMD_LOGIN:
        OnLogin(packet);
        break;
    case CMD_SET_DOMAIN_STATE:
        OnSetDomainState(packet);
        break;
    case CMD_REFRESH_DOMAINS:
        OnRefreshDomains();
        break;
    case CMD_MAP_PORTS:
        OnMapPorts(packet);
        break;
    case CMD_STORE_PORTS_BASIC:
        OnStorePorts(packet, true);
        break;
    case CMD_REMOVE_PORTS:
        OnRemovePorts(packet);
        break;
    case CMD_STORE_PORTS:
    case CMD_STORE_PORTS_ALT:
        OnStorePorts(packet, false);
        break;
    default:
        break;  // 3, 5 and unknown codes: the sender is remembered, nothing else
    }
}

void CMorvaneManger::SendDomainReply(uint16_t command, bool ok)
{
    UdpOutPacketPtr reply = NewReply(command);
    if (!reply)
        return;
    reply->WriteU8(ok ? 1 : 0);
    if (ok)
        WriteDomainList(*reply, m_domains);  // announces only the records that fit
    SendToClient(*reply);
}

void CMorvaneManger::SendIpChanged()
{
    if (UdpOutPacketPtr packet = NewReply(CMD_IP_CHANGED)) {
        packet->WriteU32Host(m_lastAddress);
        SendToClient(*packet);
    }
}

void CMorvaneManger::SendNetInfo()
{
    if (UdpOutPacketPtr packet = NewReply(CMD_NET_INFO)) {
        WriteNetInfo(*packet, m_netinfo);
        SendToClient(*packet);
    }
}

void CMorvaneManger::SendPortList()
{
    std::vector<PortMapEntry> entries;
    datafile::ReadAllMappings(MapPortFile(), entries);
    if (UdpOutPacketPtr packet = NewReply(CMD_PORT_LIST)) {
        packet->WriteU8(1);
        WritePortList(*packet, entries);
        SendToClient(*packet);
    }
}

void CMorvaneManger::OnLogin(UdpInPacket& in)
{
    std::string user = in.ReadString();
    std::string password = in.ReadString();
    if (!Login(user, password)) {
        SendDomainReply(0, false);
        return;
    }
    m_loggedIn = true;
    m_loginRetryPending = false;
    m_userId = user;
    m_password = password;
    SyncDomainFile();
    SendDomainReply(0, true);
    SendNetInfo();
    SendPortList();
}

void CMorvaneManger::OnSetDomainState(UdpInPacket& in)
{
    int n = RequestCount(in);
    if (n == 0)
        return;
    UpdateResultMap flags;  // host id -> the byte received; a repeated host keeps its first value
    bool anyEnabled = false;
    for (int i = 0; i < n; ++i) {
        uint32_t hostid = in.ReadU32Host();
        uint8_t value = in.ReadU8();
        flags.emplace(hostid, value);
    }
    std::map<uint32_t, int> switches;
    for (const auto& [hostid, value] : flags) {
        switches.emplace(hostid, value);
        anyEnabled = anyEnabled || value == 1;
    }
    datafile::SetSwitches(DomainFile(), switches);  // one load and one save for the whole request

    bool ok = true;
    UpdateResultMap results = flags;
    if (anyEnabled) {
        // Every listed host goes to the provider, enabled or not, with its byte as initial result.
        ok = m_service && m_service->UpdateDynamic(m_userId, m_password, results) == 0;
        if (!ok)
            results = flags;
    }

    if (UdpOutPacketPtr reply = NewReply(CMD_SET_DOMAIN_STATE)) {
        reply->WriteU8(ok ? 1 : 0);
        int fit = std::min<int>(static_cast<int>(results.size()), (reply->Room() - 2) / 5);
        reply->WriteU16Host(static_cast<uint16_t>(fit));
        for (auto it = results.begin(); fit-- > 0; ++it) {
            reply->WriteU32Host(it->first);
            reply->WriteU8(static_cast<uint8_t>(it->second & 0xFF));
        }
        SendToClient(*reply);
    }
    if (ok && anyEnabled) {
        SyncDomainFile();
        UpdateResultMap pushed;
        for (const auto& [hostid, value] : flags)
            if (value == 1)
                pushed.emplace(hostid, value);
        RunHook(static_cast<uint32_t>(m_netinfo.dyip), pushed);
    } else {
        // The in-memory switches follow the file at once, so a domain switched off is no longer
        // updated at the next address check.
        for (DomainRecord& record : m_domains) {
            auto it = flags.find(record.hostid);
            if (it != flags.end())
                record.enabled = static_cast<uint8_t>(it->second);
        }
    }
}

void CMorvaneManger::OnRefreshDomains()
{
    UserInfo account;
    std::vector<DomainRecord> domains;
    bool ok = m_service && m_service->GetDynamic(m_userId, m_password, account, domains) == 0;
    if (ok) {
        m_domains = std::move(domains);
        SyncDomainFile();
    }
    SendDomainReply(CMD_REFRESH_DOMAINS, ok);
}

void CMorvaneManger::OnMapPorts(UdpInPacket& in)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    if (entries.empty())
        return;
    std::vector<PortMapEntry> failed = Mapper().ApplyMappingRequests(MapPortFile(), entries);
    if (UdpOutPacketPtr reply = NewReply(CMD_MAP_PORTS)) {
        reply->WriteU8(failed.empty() ? 1 : 0);
        WritePortList(*reply, entries);
        SendToClient(*reply);
    }
}

void CMorvaneManger::OnStorePorts(UdpInPacket& in, bool forceAllowOff)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    if (forceAllowOff)
        for (PortMapEntry& e : entries)
            e.allow = 0;
    Mapper().SaveMappings(MapPortFile(), entries);
}

void CMorvaneManger::OnRemovePorts(UdpInPacket& in)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    Mapper().RemoveMappings(MapPortFile(), entries);
}
