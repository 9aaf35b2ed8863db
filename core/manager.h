#pragma once
// CMorvaneManger: the service's engine. One object holds the account, its domain list and the last
// known public address, owns the web-service client and the control channel socket, and runs the
// single worker thread that does all the work, strictly in sequence:
//   - serves the clients' requests on the channel (channel.cpp): a local socket, and the loopback
//     UDP channel when asked for;
//   - logs in with the first account of user.xml while it has no login;
//   - every 120 s asks the provider for the public addresses (IPv4, and IPv6 for an account that keeps
//     IPv6 names) and, when one changed, pushes them for every switched-on domain, tells the clients
//     and, for a new IPv4 address, re-applies the router port mappings; when the address comes from a
//     local interface, also right after that interface changes (CInterfaceWatch), and right after
//     provider.conf changes (CFileWatch);
//   - every 12 hours makes sure the updater runs.
// The worker sleeps in poll() until a request, a connection, an interface notification or a change of
// provider.conf arrives, the next periodic task is due or a stop is requested, so an idle service
// costs no CPU.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/channel_guard.h"
#include "core/interface_watch.h"
#include "core/provider/provider.h"
#include "platform/socket.h"
#include "shared/base/files.h"
#include "core/webservice/documents.h"
#include "platform/local_socket.h"
#include "shared/base/core_thread.h"
#include "shared/packet/packet.h"
#include "shared/packet/records.h"
#include "shared/packet/status_records.h"

class CConfiguredProvider;
class CDynamicService;
class INatLibrary;
class CPortMapper;
class CUdpIntake;

// Fixed timings of the worker, in milliseconds of the tick clock.
inline constexpr uint32_t kAddressCheckIntervalMs = 120000;
inline constexpr uint32_t kUpdaterCheckIntervalMs = 43200000;
// Before the first login a failing provider is retried after 5 s, doubling up to 120 s.
inline constexpr uint32_t kLoginRetryFirstMs = 5000;
inline constexpr uint32_t kLoginRetryMaxMs = 120000;
// Without an account the worker looks at user.xml again after this long.
inline constexpr uint32_t kAccountPollMs = 1000;

// The account's domain list is cut to this many (the replies carry fewer anyway).
inline constexpr size_t kMaxDomains = 256;

// The UDP channel's ports: the service binds the first free one of ten.
inline constexpr uint16_t kServiceFirstPort = 10000;
inline constexpr int kChannelPortTries = 10;
// The local socket: clients connected at once (more are turned away), connections waiting to be
// accepted, and what may wait unread on one connection before its client counts as not reading.
inline constexpr size_t kMaxChannelConnections = 32;
inline constexpr int kChannelBacklog = 16;
inline constexpr int kConnectionSendBuffer = 32768;

struct ManagerOptions {
    // Directory of the data files; empty = the data directory of the running program (its own
    // directory in a build tree or an unpacked folder, the shared data directory once installed).
    std::string programDir;
    // The provider; empty host = the built-in default or MORVANE_PROVIDER.
    std::string providerHost;
    uint16_t providerPort = 0;
    // 32-bit millisecond tick that wraps like the system's; empty = the monotonic clock.
    std::function<uint32_t()> tick;
    // The NAT library for port mapping; null = libnat.
    INatLibrary* nat = nullptr;
    // Replaces the web-service client (tests); null = a CDynamicService for the provider.
    // provider.conf decides whether the web service or a dyndns2 account is used.
    std::function<std::unique_ptr<CDynamicService>(const std::string& host, uint16_t port)> makeService;
    // The loopback UDP channel besides the local socket (MORVANE_UDP_CHANNEL=1 by default).
    bool udpChannel = platform::UdpChannelWanted();
    uint16_t firstChannelPort = kServiceFirstPort;
    uint32_t addressCheckIntervalMs = kAddressCheckIntervalMs;
    // How long a check-IP source may take to answer (dyndns2 accounts).
    long checkIpTimeoutMs = 10000;
    // How long the address-change hook may run.
    int hookTimeoutMs = 30000;
    // Look after the updater program (off in tests that must not touch other processes).
    bool superviseUpdater = true;
};

class CMorvaneManger : public CoreThreadHandle {
public:
    explicit CMorvaneManger(ManagerOptions options = {});
    ~CMorvaneManger() override;

    // Program directory, channel, web-service client, stored port mappings, worker thread, then the
    // updater replacement. False when the channel or the client cannot be set up.
    bool StartManager();
    // The worker thread's body; returns when a stop was requested.
    void Run(int arg) override;
    // Asks the worker to end and wakes it; callable from any thread or a signal-free control handler.
    void RequestStop();
    // Wakes the worker so that it looks at the clock again (tests that move the tick call this).
    void Wake();

    std::string ProgramDirectory();
    std::string UserFile() { return ProgramDirectory() + "/user.xml"; }
    std::string DomainFile() { return ProgramDirectory() + "/domain.xml"; }
    std::string MapPortFile() { return ProgramDirectory() + "/mapport.xml"; }
    std::string ProviderFile() { return ProgramDirectory() + "/provider.conf"; }

    // Takes the first account of user.xml (smallest login name) when there is one.
    bool LoadCredentials();
    // Gives every domain its switch from domain.xml, then rewrites domain.xml with exactly the
    // current hosts (new ones switched off).
    void SyncDomainFile();

    // ---- control channel (channel.cpp) ----
    // The local socket, and the UDP channel when asked for (its port is then written into user.xml).
    bool OpenControlChannel();
    bool OpenLocalChannel();  // the local socket, where the system has one
    // A pooled packet with the reply header for `command`, or null when the pool is exhausted.
    UdpOutPacketPtr NewReply(uint16_t command);
    // While a request is handled, to the client that sent it; otherwise (notifications) to every
    // connected client, and to the UDP client that spoke last.
    void SendToClient(const OutPacket& packet);
    // 0 without the UDP channel.
    uint16_t ChannelPort() const { return m_channelPort; }
    std::string ChannelPath() const { return m_listener.Path(); }

    // State, for the service's tests and diagnostics (read them only while the worker is stopped
    // or from the worker itself).
    bool LoggedIn() const { return m_loggedIn; }
    const std::vector<DomainRecord>& Domains() const { return m_domains; }
    uint32_t LastAddress() const { return m_lastAddress.ipv4; }
    const AddressPair& LastAddresses() const { return m_lastAddress; }
    bool Restoring() const { return m_restoring; }

private:
    uint32_t Tick();
    // One login attempt with these credentials; fills netinfo, userinfo and the domain list. 0 on
    // success, else why it failed (webservice::FailureKind), logged.
    uint8_t Login(const std::string& user, const std::string& password);
    // Hosts whose data, as the provider reports it, already is the current address count as pushed.
    void NotePushedFromData();
    void CutDomainList(std::vector<DomainRecord>& domains);
    void LogPush(const AddressPair& address, const UpdateResultMap& results);
    bool AllEnabledPushed(const AddressPair& address) const;
    void CheckAddress();
    void CheckUpdater();
    // Runs the optional address-change hook for the hosts just pushed.
    void RunHook(const AddressPair& address, const UpdateResultMap& hosts);
    int NextWaitMs(uint32_t now) const;
    void CloseChannel();
    // Restoring the enabled mappings of mapport.xml runs on the worker one record per pass, so that
    // requests arriving meanwhile wait for one mapping at most; the gateway is discovered once.
    void RestoreMappings();
    void RestoreStep();
    void FinishRestore();
    void NoteDropped(const char* why);

    // The channel (channel.cpp). A connection on the local socket, with its user as the kernel
    // recorded it when it connected; replies go back on it, notifications to all of them.
    struct Connection {
        int fd = -1;  // -1: closed, removed at the next receive
        uid_t uid = 0;
        uint64_t id = 0;
    };
    // Who sent the request being handled.
    struct Origin {
        uint64_t connection = 0;  // 0: the UDP channel
        uint32_t address = 0;     // UDP: network order
        uint16_t port = 0;
        uid_t uid = 0;
    };
    // Waits at most `timeoutMs` (negative: without limit) for a request, a connection, a wake-up or
    // a stop; a request comes back with its sender in m_origin.
    UdpInPacketPtr ReceivePacket(int timeoutMs);
    void DispatchPacket(UdpInPacket& packet);
    CChannelGuard& Guard();
    void AcceptConnections();
    UdpInPacketPtr ReceiveOn(Connection& connection, short events);
    void CloseConnection(Connection& connection);
    void SendOn(Connection& connection, const OutPacket& packet);
    void SendUdp(uint32_t address, uint16_t port, uid_t uid, const OutPacket& packet);
    // One journal line naming who asked for a change.
    void Audit(const std::string& what);

    void OnLogin(UdpInPacket& in);
    void OnSetDomainState(UdpInPacket& in);
    void OnRefreshDomains();
    void OnMapPorts(UdpInPacket& in);
    void OnStorePorts(UdpInPacket& in, bool forceAllowOff);
    void OnRemovePorts(UdpInPacket& in);
    // The later requests (channel_account.cpp): each domain's state, the account and the provider
    // settings, log out, new settings, a test of the provider.
    void OnDomainStatus();
    void OnAccount();
    void OnLogOut();
    void OnSetProvider(UdpInPacket& in);
    void OnTestProvider();
    // Reply 10 with every domain's state: to the requester, or as a notification to every client.
    void SendDomainStatus();
    std::vector<HostStatus> StatusList() const;
    // What an update of `hosts` to `address` came to (`status` = the provider's answer to the whole).
    void NoteAttempt(const AddressPair& address, const UpdateResultMap& hosts, int status);
    // The addresses the provider reports in the hosts' data.
    void NoteHeldFromData();
    // Why the call that returned `status` failed, in words.
    std::string FailureWords(int status) const;
    // A failed login reply (command 0) carries `reason` after the ok byte.
    void SendDomainReply(uint16_t command, bool ok, uint8_t reason = 0);
    void SendIpChanged();
    void SendNetInfo();
    void SendPortList();

    ManagerOptions m_options;

    std::vector<DomainRecord> m_domains;
    NetInfo m_netinfo;
    UserInfo m_userinfo;
    std::unique_ptr<IProvider> m_service;             // the provider provider.conf names
    CConfiguredProvider* m_configured = nullptr;      // the same, for what only it can say
    std::atomic<IProvider*> m_cancelTarget{nullptr};  // what a stop from another thread cancels
    std::string m_userId;
    std::string m_password;
    uint32_t m_clientAddress = 0;  // the UDP client that spoke last, network order
    uint16_t m_clientPort = 0;     // network order
    uid_t m_clientUid = 0;         // its owner when it spoke
    AddressPair m_lastAddress;     // pushed for every switched-on host and announced
    std::string m_programDir;
    platform::CLocalListener m_listener;
    std::vector<Connection> m_connections;
    uint64_t m_nextConnectionId = 1;
    size_t m_nextServed = 0;  // connections take turns
    int m_spareFd = -1;       // given up to turn a connection away when descriptors run out
    Origin m_origin;
    bool m_inRequest = false;
    int m_channel = -1;  // UDP
    std::unique_ptr<CUdpIntake> m_intake;
    std::unique_ptr<CChannelGuard> m_guard;  // who may use the channel
    uint16_t m_channelPort = 0;
    platform::CWakeEvent m_wake;  // stop requests and tick changes
    bool m_loggedIn = false;

    // What domain.xml holds for some hosts, valid while the file is the one we last wrote or read
    // (same inode, size and modification time): a request that changes nothing needs no file access.
    std::map<uint32_t, int> m_switchCache;
    using FileStamp = files::FileStamp;
    FileStamp m_switchStamp;
    FileStamp StampOf(const std::string& path) const;
    // These values are in domain.xml now (replace: and nothing else is known).
    void NoteSwitches(const std::map<uint32_t, int>& switches, bool replace);

    // Per enabled host, the addresses of its last successful push (or the ones its data already shows).
    std::map<uint32_t, AddressPair> m_pushed;

    // Per host: what the provider holds as far as the service knows, and its last update.
    struct HostHistory {
        AddressPair held;
        uint32_t updatedAt = 0, triedAt = 0;
        std::string failure;  // empty after an accepted update
    };
    std::map<uint32_t, HostHistory> m_history;
    // Why the last address check failed; empty when it answered.
    std::string m_checkFailure;

    std::unique_ptr<CPortMapper> m_mapper;
    std::atomic<bool> m_restoring{false};
    bool m_restoreAgain = false;
    std::vector<PortMapEntry> m_restoreList;
    size_t m_restoreNext = 0;

    CDropNotes m_drops;
    bool m_connectionsFullReported = false;

    // The interface the address comes from, and provider.conf; their descriptors wait in
    // ReceivePacket's poll().
    CInterfaceWatch m_watch;
    CFileWatch m_providerWatch;
    void FollowInterface();

    // Periodic work, in ticks.
    uint32_t m_lastAddressCheck = 0;
    uint32_t m_lastUpdaterCheck = 0;
    bool m_loginRetryPending = false;
    uint32_t m_lastLoginAttempt = 0;
    uint32_t m_loginRetryDelay = kLoginRetryFirstMs;
    bool m_waitingForAccount = false;
};
