#pragma once
// The client's end of the control channel: a connection to the service's local socket, or the
// loopback UDP channel when MORVANE_UDP_CHANNEL=1 (the same datagrams either way, one per message).
//
// CDnsListener owns the client socket (through its CSender) and a queue of received datagrams. The
// sender's receive thread queues every datagram and tells the owner through IArrivalPoster; the
// owner then calls DispatchOne on its own thread (the GUI's UI thread, or morvanectl's loop), which
// decodes one datagram and calls the matching listener operation. All sends, all decoding and every
// listener call happen on that owner thread.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/local_socket.h"
#include "shared/packet/packet.h"
#include "shared/packet/records.h"
#include "shared/packet/status_records.h"

class CSender;

// "A datagram is waiting": called on the receive thread once per queued datagram. The owner must
// answer by calling DispatchOne on its own thread (the GUI queues a call into its event loop).
class IArrivalPoster {
public:
    virtual ~IArrivalPoster() = default;
    virtual void PostArrival() = 0;
};

struct ChannelOptions {
    // user.xml in the data directory. The service's socket is found from the directory; on UDP,
    // user.xml's PORT names the service's port and is read before every send.
    std::string userFile;
    uint16_t firstPort = 6666;
    // The loopback UDP channel instead of the local socket.
    bool udp = platform::UdpChannelWanted();
};

inline constexpr int kClientPortTries = 10;

class CDnsListener {
public:
    explicit CDnsListener(ChannelOptions options);
    virtual ~CDnsListener();
    CDnsListener(const CDnsListener&) = delete;
    CDnsListener& operator=(const CDnsListener&) = delete;

    // ---- replies and notifications; the base versions do nothing ----
    virtual void OnNetInfo(const NetInfo& info);
    virtual void OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok);
    virtual void OnMapResult(const std::vector<PortMapEntry>& entries, bool ok);
    // `records` is null when the request failed.
    virtual void OnDomainList(const std::vector<DomainRecord>* records, bool ok);
    virtual void OnLogin(const std::vector<DomainRecord>* records, bool ok);
    virtual void OnIpChanged(uint32_t address);
    virtual void OnMapPortList(const std::vector<PortMapEntry>& entries);
    // Replies to the later requests. The account and provider replies are heard before a login too:
    // the provider is chosen before its account can log in.
    virtual void OnDomainStatus(const std::vector<HostStatus>& list);
    virtual void OnAccount(bool loggedIn, const std::string& user, bool readable, const ProviderSettings& settings);
    virtual void OnLoggedOut(bool ok);
    virtual void OnProviderSet(bool ok, const std::string& problem);
    virtual void OnProviderTest(bool ok, const std::string& words);

    // ---- requests; each returns whether the datagram left (callers may ignore it) ----
    // Picks a fresh session and sequence, then sends CMD_LOGIN with the name and the digest.
    virtual bool SendLogin(const std::string& user, const std::string& digest);
    bool SendDomainFlags(const std::map<uint32_t, uint8_t>& flags);
    bool RequestDomainList();
    // One of CMD_MAP_PORTS, CMD_STORE_PORTS_BASIC, CMD_REMOVE_PORTS, CMD_STORE_PORTS, CMD_STORE_PORTS_ALT.
    bool SendPortEntries(uint16_t command, const std::vector<PortMapEntry>& entries);
    bool RequestDomainStatus();
    bool RequestAccount();
    bool SendLogOut();
    bool SendProviderSettings(const ProviderSettings& settings);
    bool RequestProviderTest();

    // Where arrivals are announced. Set it before expecting replies; PostArrival must not block.
    // After SetOwner(nullptr) returns, the previous owner is not called again.
    void SetOwner(IArrivalPoster* owner);
    // Takes the oldest queued datagram, decodes it and calls the listener. False when none was queued.
    bool DispatchOne();
    // Decodes one datagram (used by DispatchOne; tests feed datagrams directly).
    void Decode(UdpInPacket& packet);

    // Why the last request did not leave: the service's socket (`path`; on UDP the socket on
    // `port`) belongs to `owner`, who is neither root nor the data directory's owner; or `nobody`
    // listens there; or this user may not connect to it (`denied`). Empty when the last request was
    // sent or failed otherwise.
    struct SendRefusal {
        uint16_t port = 0;
        std::string path;
        uint32_t owner = 0;
        bool nobody = false;
        bool denied = false;
    };
    const std::optional<SendRefusal>& LastRefusal() const { return m_refusal; }

    // Whether the channel can be used (on UDP: it could bind a client port).
    bool HasSender() const;
    bool UsesUdp() const { return m_options.udp; }
    uint16_t LocalPort() const;
    uint16_t LastSequence() const;
    uint32_t Session() const;

    // The account the owner logged in with (kept for writing user.xml once the login succeeds).
    void SetAccount(const std::string& user, const std::string& digest);
    const std::string& UserName() const { return m_userName; }
    const std::string& PasswordDigest() const { return m_passwordDigest; }
    // Set by the login reply; until then only the login reply is decoded.
    bool LoggedIn() const { return m_loggedIn; }
    // Reason byte of the last failed login reply: 1 refused by the provider, 2 provider unreachable
    // or not answering, 3 its answer could not be read, 0 not given. Valid inside OnLogin(..., false).
    uint8_t LoginFailure() const { return m_loginFailure; }
    // With reason 4 (kLoginOtherAccount): the account the provider is set up for.
    const std::string& ConfiguredAccount() const { return m_configuredAccount; }
    // Why the last port-mapping reply failed, from the optional bytes after its entries: a kind
    // (0 = not said, 1 = no gateway found, 2 = refused by the router) and the router's error code.
    uint8_t MapFailureKind() const { return m_mapFailureKind; }
    uint16_t MapFailureCode() const { return m_mapFailureCode; }

protected:
    void SetLoggedIn(bool loggedIn) { m_loggedIn = loggedIn; }

private:
    friend class CSender;
    void Enqueue(UdpInPacketPtr packet);
    bool Send(uint16_t command, const std::function<void(OutPacket&)>& body);

    ChannelOptions m_options;
    std::optional<SendRefusal> m_refusal;
    uint8_t m_mapFailureKind = 0;
    uint16_t m_mapFailureCode = 0;
    std::unique_ptr<CSender> m_sender;
    std::mutex m_queueLock;
    std::deque<UdpInPacketPtr> m_queue;
    std::mutex m_ownerLock;  // held while announcing, so SetOwner(nullptr) is a barrier
    IArrivalPoster* m_owner = nullptr;
    std::string m_userName;
    std::string m_passwordDigest;
    bool m_loggedIn = false;
    uint8_t m_loginFailure = 0;
    std::string m_configuredAccount;
};
