#include "shared/channel/dns_listener.h"

#include <cstdlib>

#include "shared/channel/sender.h"

namespace {

// Most records one datagram can carry after the reply's ok byte and count. A larger count announces
// records that are not there; they would read as empty records by the ten thousand, so the reading
// stops here (within this bound, records past the end still read as empty, as always).
constexpr int kListRoom = kPacketCapacity - kPacketHeaderSize - 3;
constexpr int kMaxDomainRecords = kListRoom / kEmptyDomainRecordWireSize;
constexpr int kMaxPortEntries = kListRoom / kPortMapEntryWireSize;

int Count(InPacket& in, int most)
{
    int n = in.ReadU16Host();
    return n < most ? n : most;
}

std::vector<DomainRecord> ReadDomains(InPacket& in)
{
    std::vector<DomainRecord> records;
    for (int n = Count(in, kMaxDomainRecords); n > 0; --n)
        records.push_back(ReadDomainRecord(in));
    return records;
}

std::vector<PortMapEntry> ReadPorts(InPacket& in)
{
    std::vector<PortMapEntry> entries;
    for (int n = Count(in, kMaxPortEntries); n > 0; --n)
        entries.push_back(ReadPortMapEntry(in));
    return entries;
}

}  // namespace
#include "shared/packet/commands.h"
#include "shared/xml/data_files.h"

CDnsListener::CDnsListener(ChannelOptions options) : m_options(std::move(options))
{
    m_sender = std::make_unique<CSender>(this, m_options);
}

CDnsListener::~CDnsListener()
{
    // The receive thread must be gone before the queue it fills.
    m_sender.reset();
}

void CDnsListener::OnNetInfo(const NetInfo&) {}
void CDnsListener::OnDomainFlags(const std::map<uint32_t, uint8_t>&, uint8_t) {}
void CDnsListener::OnMapResult(const std::vector<PortMapEntry>&, bool) {}
void CDnsListener::OnDomainList(const std::vector<DomainRecord>*, bool) {}
void CDnsListener::OnLogin(const std::vector<DomainRecord>*, bool) {}
void CDnsListener::OnIpChanged(uint32_t) {}
void CDnsListener::OnMapPortList(const std::vector<PortMapEntry>&) {}
void CDnsListener::OnDomainStatus(const std::vector<HostStatus>&) {}
void CDnsListener::OnAccount(bool, const std::string&, bool, const ProviderSettings&) {}
void CDnsListener::OnLoggedOut(bool) {}
void CDnsListener::OnProviderSet(bool, const std::string&) {}
void CDnsListener::OnProviderTest(bool, const std::string&) {}

bool CDnsListener::HasSender() const
{
    return m_sender && m_sender->Bound();
}
uint16_t CDnsListener::LocalPort() const
{
    return m_sender ? m_sender->Port() : 0;
}
uint16_t CDnsListener::LastSequence() const
{
    return m_sender ? m_sender->Sequence() : 0;
}
uint32_t CDnsListener::Session() const
{
    return m_sender ? m_sender->Session() : 0;
}

void CDnsListener::SetAccount(const std::string& user, const std::string& digest)
{
    m_userName = user;
    m_passwordDigest = digest;
}

void CDnsListener::SetOwner(IArrivalPoster* owner)
{
    // Once this returns, the receive thread no longer calls the previous owner.
    std::lock_guard<std::mutex> guard(m_ownerLock);
    m_owner = owner;
}

void CDnsListener::Enqueue(UdpInPacketPtr packet)
{
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_queue.push_back(std::move(packet));
    }
    std::lock_guard<std::mutex> guard(m_ownerLock);
    if (m_owner)
        m_owner->PostArrival();
}

bool CDnsListener::DispatchOne()
{
    UdpInPacketPtr packet;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (m_queue.empty())
            return false;
        packet = std::move(m_queue.front());
        m_queue.pop_front();
    }
    Decode(*packet);
    return true;
}

void CDnsListener::Decode(UdpInPacket& in)
{
    if (!in.HasHeader())
        return;
    uint16_t command = in.Command();
    const bool beforeLogin = command == 0 || command == CMD_ACCOUNT || command == CMD_SET_PROVIDER ||
                             command == CMD_TEST_PROVIDER || command == CMD_LOG_OUT;
    if (!beforeLogin && !m_loggedIn)
        return;  // only the login and the provider's replies are heard before a successful login

    switch (command) {
    case 0: {
        uint8_t ok = in.ReadU8();
        if (ok) {
            std::vector<DomainRecord> records = ReadDomains(in);
            m_loggedIn = true;
            OnLogin(&records, true);
        } else {
            m_loggedIn = false;
            // Why, when the service says (older services send the ok byte alone).
            m_loginFailure = in.Remaining() > 0 ? in.ReadU8() : 0;
            m_configuredAccount = m_loginFailure == kLoginOtherAccount ? in.ReadString() : std::string();
            OnLogin(nullptr, false);
        }
        break;
    }
    case CMD_SET_DOMAIN_STATE: {
        uint8_t ok = in.ReadU8();
        std::map<uint32_t, uint8_t> flags;
        for (int n = Count(in, kMaxPortEntries); n > 0; --n) {
            uint32_t hostid = in.ReadU32Host();
            uint8_t flag = in.ReadU8();
            flags[hostid] = flag;
        }
        OnDomainFlags(flags, ok);
        break;
    }
    case CMD_REFRESH_DOMAINS: {
        if (in.ReadU8()) {
            std::vector<DomainRecord> records = ReadDomains(in);
            OnDomainList(&records, true);
        } else {
            OnDomainList(nullptr, false);
        }
        break;
    }
    case CMD_IP_CHANGED: OnIpChanged(in.ReadU32Host()); break;
    case CMD_MAP_PORTS: {
        uint8_t ok = in.ReadU8();
        std::vector<PortMapEntry> entries = ReadPorts(in);
        m_mapFailureKind = in.ReadU8();  // absent: 0, no reason given
        m_mapFailureCode = in.ReadU16Host();
        OnMapResult(entries, ok != 0);
        break;
    }
    case CMD_PORT_LIST:
        if (in.ReadU8()) {
            std::vector<PortMapEntry> entries = ReadPorts(in);
            OnMapPortList(entries);
        }
        break;
    case CMD_NET_INFO: {
        NetInfo info = ReadNetInfo(in);
        OnNetInfo(info);
        break;
    }
    case CMD_DOMAIN_STATUS: OnDomainStatus(ReadHostStatusList(in)); break;
    case CMD_ACCOUNT: {
        const bool loggedIn = in.ReadU8() != 0;
        const std::string user = in.ReadString();
        const bool readable = in.ReadU8() != 0;
        OnAccount(loggedIn, user, readable, ReadProviderSettings(in));
        break;
    }
    case CMD_LOG_OUT: {
        const bool ok = in.ReadU8() != 0;
        if (ok)
            m_loggedIn = false;
        OnLoggedOut(ok);
        break;
    }
    case CMD_SET_PROVIDER: {
        const bool ok = in.ReadU8() != 0;
        OnProviderSet(ok, in.ReadString());
        break;
    }
    case CMD_TEST_PROVIDER: {
        const bool ok = in.ReadU8() != 0;
        OnProviderTest(ok, in.ReadString());
        break;
    }
    default: break;
    }
}

bool CDnsListener::Send(uint16_t command, const std::function<void(OutPacket&)>& body)
{
    if (!m_sender)
        return false;
    UdpOutPacketPtr packet(UdpOutPacket::Create());
    if (!packet)
        return false;
    uint16_t sequence = m_sender->NextSequence();
    packet->SetRequest(command, sequence);
    PacketHeader::Request(m_sender->Session(), command, sequence).Write(*packet);
    body(*packet);
    m_refusal.reset();
    if (!m_options.udp)
        return m_sender->SendLocal(*packet, m_refusal);
    // The service may have moved to another port since the last request; 0 when it has no UDP channel.
    int port = datafile::ReadPort(m_options.userFile);
    if (port <= 0 || port > 65535)
        return false;
    SendRefusal refusal;
    // Whoever holds the port while the service is down must not get the login: ask the kernel whose
    // socket it is before anything leaves.
    refusal.port = static_cast<uint16_t>(port);
    if (!m_sender->PeerTrusted(refusal.port, refusal.owner, refusal.nobody)) {
        m_refusal = refusal;
        return false;
    }
    return m_sender->SendTo(*packet, static_cast<uint16_t>(port));
}

bool CDnsListener::SendLogin(const std::string& user, const std::string& digest)
{
    if (m_sender) {
        // Session first, then sequence: the order of the two draws is observable.
        uint32_t session = static_cast<uint32_t>(std::rand()) + 1;
        uint16_t sequence = static_cast<uint16_t>(std::rand() & 0x3FFF);
        m_sender->StartSession(session, sequence);
    }
    return Send(0, [&](OutPacket& out) {
        out.WriteString(user);
        out.WriteString(digest);
    });
}

bool CDnsListener::SendDomainFlags(const std::map<uint32_t, uint8_t>& flags)
{
    return Send(CMD_SET_DOMAIN_STATE, [&](OutPacket& out) {
        out.WriteU16Host(static_cast<uint16_t>(flags.size()));
        for (const auto& [hostid, flag] : flags) {
            out.WriteU32Host(hostid);
            out.WriteU8(flag);
        }
    });
}

bool CDnsListener::RequestDomainList()
{
    return Send(CMD_REFRESH_DOMAINS, [](OutPacket&) {});
}

bool CDnsListener::RequestDomainStatus()
{
    return Send(CMD_DOMAIN_STATUS, [](OutPacket&) {});
}

bool CDnsListener::RequestAccount()
{
    return Send(CMD_ACCOUNT, [](OutPacket&) {});
}

bool CDnsListener::SendLogOut()
{
    return Send(CMD_LOG_OUT, [](OutPacket&) {});
}

bool CDnsListener::SendProviderSettings(const ProviderSettings& settings)
{
    // Settings that do not fit one datagram are not sent at all: half of them would read as others.
    UdpOutPacket trial;
    trial.Skip(kPacketHeaderSize);
    if (!WriteProviderSettings(trial, settings))
        return false;
    return Send(CMD_SET_PROVIDER, [&](OutPacket& out) { WriteProviderSettings(out, settings); });
}

bool CDnsListener::RequestProviderTest()
{
    return Send(CMD_TEST_PROVIDER, [](OutPacket&) {});
}

bool CDnsListener::SendPortEntries(uint16_t command, const std::vector<PortMapEntry>& entries)
{
    return Send(command, [&](OutPacket& out) {
        out.WriteU16Host(static_cast<uint16_t>(entries.size()));
        for (const PortMapEntry& e : entries)
            WritePortMapEntry(out, e);
    });
}
