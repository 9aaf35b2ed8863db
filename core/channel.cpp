// The service's end of the loopback control channel: binding, receiving, and one handler per request.
// Every request is handled once, on the worker thread, and answered to whoever sent the last datagram.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/manager.h"
#include "shared/base/ipv4.h"
#include "shared/base/ipv4.h"
#include "core/portmap.h"
#include "core/provider/provider.h"
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
    if (m_channel < 0) {
        JournalPrint(kJournalError, "no free channel port in 127.0.0.1:%u-%u", m_options.firstChannelPort,
                     m_options.firstChannelPort + kChannelPortTries - 1);
        return false;
    }
    if (!datafile::WritePort(UserFile(), m_channelPort)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot save %s: %s; clients will not find the service", UserFile().c_str(),
                     datafile::FailureText(UserFile(), error).c_str());
    }
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
            JournalPrint(kJournalError, "channel closed after an error: %s", std::strerror(errno));
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
        NoteDropped("no packet buffer free");
        return nullptr;
    }
    if (packet->Receive(m_channel) <= 0) {
        // Empty, oversized, or an error report (ICMP) for an earlier send.
        if (errno != ECONNREFUSED)
            NoteDropped("empty or oversized");
        return nullptr;
    }
    return packet;
}

void CMorvaneManger::NoteDropped(const char* why)
{
    ++m_dropped;
    // A flood of junk must not flood the journal: one line, then at most one a minute.
    uint32_t now = Tick();
    if (m_dropReported && uint32_t(now - m_lastDropReport) < 60000)
        return;
    JournalPrint(kJournalNotice, "channel: dropped %u datagram(s) (last: %s)", m_dropped, why);
    m_dropped = 0;
    m_dropReported = true;
    m_lastDropReport = now;
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
    if (!packet.HasHeader()) {
        NoteDropped("shorter than a header");
        return;
    }
    if (!m_guard)
        m_guard = std::make_unique<CChannelGuard>(ProgramDirectory());
    if (!m_guard->Admit(packet.SenderAddress(), packet.SenderPort(), m_channelPort))
        return;
    m_clientAddress = packet.SenderAddress();
    m_clientPort = packet.SenderPort();
    if (JournalVerbosity() >= kJournalDebug)
        JournalPrint(kJournalDebug, "channel: request %u from port %u", packet.Command(), ntohs(m_clientPort));

    switch (packet.Command()) {
    case CMD_LOGIN: OnLogin(packet); break;
    case CMD_SET_DOMAIN_STATE: OnSetDomainState(packet); break;
    case CMD_REFRESH_DOMAINS: OnRefreshDomains(); break;
    case CMD_MAP_PORTS: OnMapPorts(packet); break;
    case CMD_STORE_PORTS_BASIC: OnStorePorts(packet, true); break;
    case CMD_REMOVE_PORTS: OnRemovePorts(packet); break;
    case CMD_STORE_PORTS:
    case CMD_STORE_PORTS_ALT: OnStorePorts(packet, false); break;
    default: break;  // 3, 5 and unknown codes: the sender is remembered, nothing else
    }
}

void CMorvaneManger::SendDomainReply(uint16_t command, bool ok, uint8_t reason)
{
    UdpOutPacketPtr reply = NewReply(command);
    if (!reply)
        return;
    reply->WriteU8(ok ? 1 : 0);
    if (ok)
        WriteDomainList(*reply, m_domains);  // announces only the records that fit
    else if (reason != 0)
        reply->WriteU8(reason);  // after the ok byte, where a reader that stops there never looks
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
    if (uint8_t reason = Login(user, password)) {
        SendDomainReply(0, false, reason);
        return;
    }
    m_loggedIn = true;
    m_loginRetryPending = false;
    if (user != m_userId)
        m_pushed.clear();
    m_userId = user;
    m_password = password;
    SyncDomainFile();
    NotePushedFromData();
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
    // One load and at most one save for the whole request; nothing is written when nothing changes,
    // and a file known to hold these values already is not even read.
    bool cacheValid = !m_switchCache.empty() && StampOf(DomainFile()) == m_switchStamp;
    bool known = cacheValid;
    for (const auto& [hostid, value] : switches) {
        auto it = m_switchCache.find(hostid);
        known = known && it != m_switchCache.end() && it->second == value;
    }
    bool saved = known || datafile::SetSwitches(DomainFile(), switches);
    int saveError = errno;
    if (!saved)
        m_switchCache.clear();
    else if (!known)
        NoteSwitches(switches, !cacheValid);  // the rest of what we knew is still good if it was before
    bool ok = saved;
    UpdateResultMap results = flags;
    if (!saved) {
        // Nothing was stored: nothing is pushed, and memory keeps what the file says.
        JournalPrint(kJournalError, "cannot save %s: %s; the switches stay as they were", DomainFile().c_str(),
                     datafile::FailureText(DomainFile(), saveError).c_str());
    } else if (anyEnabled) {
        // Every listed host goes to the provider with its byte as initial result (the web service
        // takes all of them; a dyndns2 account only those switched on).
        uint32_t address = static_cast<uint32_t>(m_netinfo.dyip);
        ok = m_service && m_service->Update(m_userId, m_password, address, results) == 0;
        if (!ok) {
            results = flags;
            JournalPrint(kJournalWarning, "push of %s after a switch-on failed; retried at the next check",
                         FormatIPv4(address).c_str());
        } else {
            UpdateResultMap pushed;
            for (const auto& [hostid, value] : flags)
                if (value == 1) {
                    m_pushed[hostid] = address;
                    pushed[hostid] = results[hostid];
                }
            LogPush(address, pushed);
        }
    }
    for (const auto& [hostid, value] : flags)
        if (saved && value != 1)
            m_pushed.erase(hostid);

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
    if (!saved)
        return;
    // The in-memory switches follow the file at once (it holds just these values now), so a domain
    // switched off is no longer updated at the next address check.
    for (DomainRecord& record : m_domains) {
        auto it = flags.find(record.hostid);
        if (it != flags.end())
            record.enabled = static_cast<uint8_t>(it->second);
    }
    if (ok && anyEnabled) {
        UpdateResultMap pushed;
        for (const auto& [hostid, value] : flags)
            if (value == 1)
                pushed.emplace(hostid, value);
        // The next check has nothing to push or announce for this address.
        uint32_t address = static_cast<uint32_t>(m_netinfo.dyip);
        if (address != 0 && AllEnabledPushed(address))
            m_lastAddress = address;
        RunHook(address, pushed);
    }
}

void CMorvaneManger::OnRefreshDomains()
{
    UserInfo account;
    std::vector<DomainRecord> domains;
    // The address too, so that every client shows the current one; the list does not depend on it.
    if (m_service)
        m_service->PublicAddress(m_netinfo);
    bool ok = m_service && m_service->Hosts(m_userId, m_password, account, domains) == 0;
    if (ok) {
        CutDomainList(domains);
        m_domains = std::move(domains);
        SyncDomainFile();
        NotePushedFromData();
    }
    SendDomainReply(CMD_REFRESH_DOMAINS, ok);
    if (ok)
        SendNetInfo();
}

void CMorvaneManger::OnMapPorts(UdpInPacket& in)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    if (entries.empty())
        return;
    std::vector<PortMapEntry> failed = m_mapper->ApplyMappingRequests(MapPortFile(), entries);
    if (!m_restoring)
        m_mapper->EndPass();  // a restore in progress goes on with the same gateway
    if (UdpOutPacketPtr reply = NewReply(CMD_MAP_PORTS)) {
        reply->WriteU8(failed.empty() ? 1 : 0);
        WritePortList(*reply, entries);
        // A failure the router explains gets a tail the clients may read: why, and the router's code.
        const CPortMapper::Failure why = m_mapper->LastFailure();
        if (!failed.empty() && why.kind != CPortMapper::Failure::kNone) {
            reply->WriteU8(why.kind);
            reply->WriteU16Host(why.code);
        }
        SendToClient(*reply);
    }
}

void CMorvaneManger::OnStorePorts(UdpInPacket& in, bool forceAllowOff)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    if (forceAllowOff)
        for (PortMapEntry& e : entries)
            e.allow = 0;
    m_mapper->SaveMappings(MapPortFile(), entries);
}

void CMorvaneManger::OnRemovePorts(UdpInPacket& in)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    m_mapper->RemoveMappings(MapPortFile(), entries);
}
