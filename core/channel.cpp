// The service's end of the control channel: the local socket (and the loopback UDP channel when
// asked for), receiving, and one handler per request. Every request is handled once, on the worker
// thread, and answered to whoever sent it; notifications go to every client.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/manager.h"
#include "core/portmap.h"
#include "core/provider/config.h"
#include "core/provider/provider.h"
#include "core/udp_intake.h"
#include "platform/data_dir.h"
#include "shared/base/ipv4.h"
#include "shared/base/udp.h"
#include "shared/packet/commands.h"
#include "shared/xml/data_files.h"

namespace {

// Most records a request can really carry in one datagram. A count beyond it announces records that
// are not there; they would all read as zeros, and handling tens of thousands of them (a router
// discovery or a file save each) would stall the service, so the work stops there.
constexpr int kMaxRequestItems = (kPacketCapacity - kPacketHeaderSize - 2) / kPortMapEntryWireSize;

// How many items an audit line names before it only counts the rest.
constexpr size_t kAuditItems = 8;

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

// "map 8080/tcp, unmap 53/udp": `words` turns an entry and its "8080/tcp" into its part.
template <typename Words>
std::string PortWords(const std::vector<PortMapEntry>& entries, Words words)
{
    std::string text;
    for (size_t i = 0; i < entries.size() && i < kAuditItems; ++i) {
        const PortMapEntry& e = entries[i];
        text += (i ? ", " : "") + words(e, std::to_string(e.port) + (e.type == 1 ? "/udp" : "/tcp"));
    }
    if (entries.size() > kAuditItems)
        text += " and " + std::to_string(entries.size() - kAuditItems) + " more";
    return text;
}

}  // namespace

bool CMorvaneManger::OpenControlChannel()
{
    if (platform::kLocalChannel && !OpenLocalChannel())
        return false;
    if (!m_options.udpChannel && platform::kLocalChannel) {
        // PORT 0: no UDP channel, so a client of it finds nothing rather than an old port.
        if (datafile::ReadPort(UserFile()) != 0)
            datafile::WritePort(UserFile(), 0);
        return true;
    }
    m_channel = BindLoopbackUdp(m_options.firstChannelPort, kChannelPortTries, m_channelPort);
    if (m_channel < 0) {
        JournalPrint(kJournalError, "no free channel port in 127.0.0.1:%u-%u", m_options.firstChannelPort,
                     m_options.firstChannelPort + kChannelPortTries - 1);
        CloseChannel();
        return false;
    }
    m_intake = std::make_unique<CUdpIntake>(m_channel, m_channelPort, ProgramDirectory());
    if (!m_intake->Start()) {
        JournalPrint(kJournalError, "cannot start the UDP channel's receiver");
        CloseChannel();
        return false;
    }
    if (!datafile::WritePort(UserFile(), m_channelPort)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot save %s: %s; UDP clients will not find the service", UserFile().c_str(),
                     datafile::FailureText(UserFile(), error).c_str());
    }
    return true;
}

bool CMorvaneManger::OpenLocalChannel()
{
    const std::string path = platform::ChannelSocketPath(ProgramDirectory());
    // Only the data directory's group may connect; the connections are checked one by one as well.
    struct stat data {};
    gid_t group = ::stat(ProgramDirectory().c_str(), &data) == 0 ? data.st_gid : static_cast<gid_t>(-1);
    // The unit makes the runtime directory; a service started otherwise (by root) makes it alike.
    if (path.rfind(std::string(platform::kInstalledRuntimeDirectory) + "/", 0) == 0 &&
        ::mkdir(platform::kInstalledRuntimeDirectory, 0750) == 0)
        (void)::chown(platform::kInstalledRuntimeDirectory, static_cast<uid_t>(-1), group);
    if (!m_listener.Listen(path, kChannelBacklog, 0660, group)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot open the channel at %s: %s", path.c_str(),
                     error == EADDRINUSE ? "another service serves it" : std::strerror(error));
        return false;
    }
    if (m_spareFd < 0)
        m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

void CMorvaneManger::CloseChannel()
{
    m_intake.reset();  // its thread reads the UDP socket
    if (m_channel >= 0)
        platform::CloseSocket(m_channel);
    m_channel = -1;
    for (Connection& connection : m_connections)
        if (connection.fd >= 0)
            ::close(connection.fd);
    m_connections.clear();
    m_listener.Close();
    if (m_spareFd >= 0)
        ::close(m_spareFd);
    m_spareFd = -1;
}

CChannelGuard& CMorvaneManger::Guard()
{
    if (!m_guard)
        m_guard = std::make_unique<CChannelGuard>(ProgramDirectory());
    return *m_guard;
}

void CMorvaneManger::AcceptConnections()
{
    // A few per pass: a burst of connections does not hold up the requests already waiting.
    for (int i = 0; i < 8; ++i) {
        int fd = ::accept4(m_listener.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && m_spareFd >= 0) {
            // Out of descriptors: turn the connection away (its client sees it closed) instead of
            // finding it waiting at every wake-up.
            ::close(m_spareFd);
            fd = ::accept4(m_listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
            m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            NoteDropped("out of file descriptors");
            continue;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        // Who connected, as the kernel recorded it at connect(): what the connection later carries is
        // that user's, whatever has happened to the client since.
        uid_t uid = 0;
        if (!platform::LocalPeer(fd, uid) || !Guard().AdmitPeer(uid)) {
            ::close(fd);
            continue;
        }
        if (m_connections.size() >= kMaxChannelConnections) {
            if (!m_connectionsFullReported)
                JournalPrint(kJournalWarning, "channel: %zu clients connected already; turned away uid %u",
                             m_connections.size(), static_cast<unsigned>(uid));
            m_connectionsFullReported = true;
            ::close(fd);
            continue;
        }
        m_connectionsFullReported = false;
        int buffer = kConnectionSendBuffer;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        m_connections.push_back(Connection{fd, uid, m_nextConnectionId++});
        if (JournalVerbosity() >= kJournalDebug)
            JournalPrint(kJournalDebug, "channel: uid %u connected", static_cast<unsigned>(uid));
    }
}

void CMorvaneManger::CloseConnection(Connection& connection)
{
    if (connection.fd >= 0)
        ::close(connection.fd);
    connection.fd = -1;
}

UdpInPacketPtr CMorvaneManger::ReceiveOn(Connection& connection, short events)
{
    if (events & POLLNVAL) {
        connection.fd = -1;
        return nullptr;
    }
    UdpInPacketPtr packet(UdpInPacket::Create());
    if (!packet) {
        // No storage for a packet: drop the message rather than spin on it.
        char scrap[1];
        ::recv(connection.fd, scrap, sizeof scrap, MSG_DONTWAIT);
        NoteDropped("no packet buffer free");
        return nullptr;
    }
    int got = packet->Receive(connection.fd);
    if (got > 0)
        return packet;
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return nullptr;  // nothing there after all
    // An empty message reads like the end of the connection, but without the hang-up.
    if ((got < 0 && errno == EMSGSIZE) || (got == 0 && !(events & POLLHUP)))
        NoteDropped("empty or oversized");
    else
        CloseConnection(connection);  // the client has gone (or its connection failed)
    return nullptr;
}

UdpInPacketPtr CMorvaneManger::ReceivePacket(int timeoutMs)
{
    m_connections.erase(
        std::remove_if(m_connections.begin(), m_connections.end(), [](const Connection& c) { return c.fd < 0; }),
        m_connections.end());
    std::vector<pollfd> fds;
    fds.reserve(5 + m_connections.size());
    fds.push_back({m_wake.Fd(), POLLIN, 0});
    int listening = -1, udp = -1, watch = -1, conf = -1;
    // The interface notifications (interface_watch.h): only while an interface source is followed.
    if (m_watch.Descriptor() >= 0) {
        watch = static_cast<int>(fds.size());
        fds.push_back({m_watch.Descriptor(), POLLIN, 0});
    }
    if (m_providerWatch.Descriptor() >= 0) {
        conf = static_cast<int>(fds.size());
        fds.push_back({m_providerWatch.Descriptor(), POLLIN, 0});
    }
    if (m_listener.Fd() >= 0) {
        listening = static_cast<int>(fds.size());
        fds.push_back({m_listener.Fd(), POLLIN, 0});
    }
    if (m_intake) {
        udp = static_cast<int>(fds.size());
        fds.push_back({m_intake->ReadyFd(), POLLIN, 0});
    }
    const size_t first = fds.size(), polled = m_connections.size();
    for (const Connection& connection : m_connections)
        fds.push_back({connection.fd, POLLIN, 0});

    if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
        if (errno != EINTR) {
            // Nothing here can fix it; the periodic work goes on, without spinning.
            JournalPrint(kJournalError, "channel: poll failed: %s", std::strerror(errno));
            if (timeoutMs != 0)
                ::poll(fds.data(), 1, std::min(timeoutMs < 0 ? 500 : timeoutMs, 500));
        }
        return nullptr;
    }
    if (fds[0].revents & POLLIN)
        m_wake.Drain();
    if (watch >= 0 && fds[watch].revents)
        m_watch.OnReadable(Tick());
    if (conf >= 0 && fds[conf].revents)
        m_providerWatch.OnReadable(Tick());
    if (listening >= 0 && (fds[listening].revents & POLLIN))
        AcceptConnections();
    // One request per call; the connections take turns, the UDP channel after them.
    for (size_t k = 0; k < polled; ++k) {
        size_t i = (m_nextServed + k) % polled;
        short events = fds[first + i].revents;
        if (!events || m_connections[i].fd < 0)
            continue;
        if (UdpInPacketPtr packet = ReceiveOn(m_connections[i], events)) {
            m_nextServed = i + 1;
            m_origin = Origin{m_connections[i].id, 0, 0, m_connections[i].uid};
            return packet;
        }
    }
    CUdpIntake::Arrival arrival;
    if (udp >= 0 && (fds[udp].revents & POLLIN) && m_intake->Take(arrival)) {
        m_origin = Origin{0, arrival.address, arrival.port, arrival.owner};
        return std::move(arrival.packet);
    }
    return nullptr;
}

void CMorvaneManger::NoteDropped(const char* why)
{
    m_drops.Note(why, Tick());
}

UdpOutPacketPtr CMorvaneManger::NewReply(uint16_t command)
{
    UdpOutPacketPtr packet(UdpOutPacket::Create());
    if (packet)
        PacketHeader::Reply(command).Write(*packet);
    return packet;
}

void CMorvaneManger::SendOn(Connection& connection, const OutPacket& packet)
{
    if (connection.fd < 0)
        return;
    // Never waits: a client that does not read its replies loses its connection, not the service
    // its worker.
    ssize_t sent =
        ::send(connection.fd, packet.Data(), static_cast<size_t>(packet.Size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent == packet.Size())
        return;
    if (sent >= 0 || errno == EAGAIN)
        JournalPrint(kJournalWarning, "channel: a client of uid %u does not read what it is sent; disconnected",
                     static_cast<unsigned>(connection.uid));
    CloseConnection(connection);
}

void CMorvaneManger::SendUdp(uint32_t address, uint16_t port, uid_t uid, const OutPacket& packet)
{
    // Only while the port still belongs to the user who sent from it: a client that exited leaves
    // its port to whoever binds it next.
    if (m_channel < 0 || address == 0 || port == 0)
        return;
    if (!Guard().StillOwnedBy(address, port, m_channelPort, uid)) {
        if (address == m_clientAddress && port == m_clientPort) {
            m_clientAddress = 0;  // gone: no notifications for whoever comes next
            m_clientPort = 0;
        }
        return;
    }
    packet.SendTo(m_channel, address, port);
}

void CMorvaneManger::SendToClient(const OutPacket& packet)
{
    if (m_inRequest) {
        if (m_origin.connection == 0) {
            SendUdp(m_origin.address, m_origin.port, m_origin.uid, packet);
            return;
        }
        for (Connection& connection : m_connections)
            if (connection.id == m_origin.connection)
                SendOn(connection, packet);
        return;
    }
    for (Connection& connection : m_connections)
        SendOn(connection, packet);
    SendUdp(m_clientAddress, m_clientPort, m_clientUid, packet);
}

void CMorvaneManger::Audit(const std::string& what)
{
    JournalPrint(kJournalInfo, "channel: uid %u: %s", static_cast<unsigned>(m_origin.uid), what.c_str());
}

void CMorvaneManger::DispatchPacket(UdpInPacket& packet)
{
    // A message without the header carries no command: nothing to act on, nobody to answer.
    if (!packet.HasHeader()) {
        NoteDropped("shorter than a header");
        return;
    }
    if (m_origin.connection == 0) {
        // On UDP the last sender takes the notifications (commands 3 and 5 are for just that).
        m_clientAddress = m_origin.address;
        m_clientPort = m_origin.port;
        m_clientUid = m_origin.uid;
    }
    if (JournalVerbosity() >= kJournalDebug)
        JournalPrint(kJournalDebug, "channel: request %u from uid %u", packet.Command(),
                     static_cast<unsigned>(m_origin.uid));

    m_inRequest = true;
    switch (packet.Command()) {
    case CMD_LOGIN: OnLogin(packet); break;
    case CMD_SET_DOMAIN_STATE: OnSetDomainState(packet); break;
    case CMD_REFRESH_DOMAINS: OnRefreshDomains(); break;
    case CMD_MAP_PORTS: OnMapPorts(packet); break;
    case CMD_STORE_PORTS_BASIC: OnStorePorts(packet, true); break;
    case CMD_REMOVE_PORTS: OnRemovePorts(packet); break;
    case CMD_STORE_PORTS:
    case CMD_STORE_PORTS_ALT: OnStorePorts(packet, false); break;
    case CMD_DOMAIN_STATUS: OnDomainStatus(); break;
    case CMD_ACCOUNT: OnAccount(); break;
    case CMD_LOG_OUT: OnLogOut(); break;
    case CMD_SET_PROVIDER: OnSetProvider(packet); break;
    case CMD_TEST_PROVIDER: OnTestProvider(); break;
    default: break;  // 3, 5 and unknown codes: nothing to do
    }
    m_inRequest = false;
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
        packet->WriteU32Host(m_lastAddress.ipv4);
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
    Audit("log in as '" + user + "'");
    if (uint8_t reason = Login(user, password)) {
        // A dyndns2 account refuses every other name: saying which name it takes beats "wrong password".
        std::vector<ProviderConfig> accounts;
        ProviderConfig config;
        if (reason == webservice::kFailRefused && providerconf::ReadAll(ProviderFile(), accounts) &&
            accounts.size() == 1 && (config = accounts.front()).kind == ProviderConfig::Kind::Dyndns2 &&
            config.user != user && config.name != user) {
            if (UdpOutPacketPtr reply = NewReply(CMD_LOGIN)) {
                reply->WriteU8(0);
                reply->WriteU8(kLoginOtherAccount);
                reply->WriteString(config.user);
                SendToClient(*reply);
            }
            return;
        }
        SendDomainReply(0, false, reason);
        return;
    }
    m_loggedIn = true;
    m_loginRetryPending = false;
    if (user != m_userId) {
        m_pushed.clear();
        m_history.clear();
    }
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
    std::string asked;
    for (const auto& [hostid, value] : flags) {
        switches.emplace(hostid, value);
        anyEnabled = anyEnabled || value == 1;
        if (switches.size() <= kAuditItems)
            asked += (asked.empty() ? "" : ", ") + std::to_string(hostid) + (value == 1 ? " on" : " off");
    }
    if (flags.size() > kAuditItems)
        asked += " and " + std::to_string(flags.size() - kAuditItems) + " more";
    // One load and at most one save for the whole request; nothing is written when nothing changes,
    // and a file known to hold these values already is not even read.
    bool cacheValid = !m_switchCache.empty() && StampOf(DomainFile()) == m_switchStamp;
    bool known = cacheValid;
    for (const auto& [hostid, value] : switches) {
        auto it = m_switchCache.find(hostid);
        known = known && it != m_switchCache.end() && it->second == value;
    }
    if (!known || anyEnabled)  // a request that changes nothing and pushes nothing is not worth a line
        Audit("switch host " + asked);
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
        AddressPair address = AddressPair::Of(m_netinfo);
        int status = m_service ? m_service->Update(m_userId, m_password, address, results) : -1;
        ok = status == 0;
        UpdateResultMap enabled;
        for (const auto& [hostid, value] : flags)
            if (value == 1)
                enabled[hostid] = ok ? results[hostid] : value;
        NoteAttempt(address, enabled, status);
        if (!ok) {
            results = flags;
            JournalPrint(kJournalWarning, "push of %s after a switch-on failed; retried at the next check",
                         address.Text().c_str());
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
        AddressPair address = AddressPair::Of(m_netinfo);
        if (!address.Empty() && AllEnabledPushed(address))
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
    Audit(PortWords(entries,
                    [](const PortMapEntry& e, const std::string& port) { return (e.op ? "map " : "unmap ") + port; }));
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
    if (!entries.empty())
        Audit("store " + PortWords(entries, [](const PortMapEntry& e, const std::string& port) {
                  return port + (e.allow ? " (kept mapped)" : "");
              }));
    m_mapper->SaveMappings(MapPortFile(), entries);
}

void CMorvaneManger::OnRemovePorts(UdpInPacket& in)
{
    std::vector<PortMapEntry> entries = ReadEntries(in);
    if (!entries.empty())
        Audit("forget " + PortWords(entries, [](const PortMapEntry&, const std::string& port) { return port; }));
    m_mapper->RemoveMappings(MapPortFile(), entries);
}
