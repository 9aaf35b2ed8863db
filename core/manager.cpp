#include "core/manager.h"

#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "core/hook.h"
#include "core/log.h"
#include "core/portmap.h"
#include "shared/base/ipv4.h"
#include "core/udp_intake.h"
#include "core/updater.h"
#include "core/provider/configured_provider.h"
#include "core/webservice/dynamic_service.h"
#include "core/webservice/provider_endpoint.h"
#include "platform/data_dir.h"
#include "platform/program.h"
#include "shared/xml/data_files.h"

namespace {

uint32_t MonotonicTick()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Milliseconds since boot, cut to 32 bits: wraps after 49.7 days like the system tick it models.
    return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

}  // namespace

namespace {

const char* FailureText(uint8_t kind)
{
    switch (kind) {
    case webservice::kFailRefused: return "refused by the provider";
    case webservice::kFailUnreachable: return "provider unreachable or not answering";
    default: return "the provider's answer could not be read";
    }
}

// Milliseconds until `interval` has been exceeded since `last` (the checks run when now - last > interval).
int64_t DueIn(uint32_t now, uint32_t last, uint32_t interval)
{
    uint32_t elapsed = now - last;
    return elapsed > interval ? 0 : int64_t(interval) - int64_t(elapsed) + 1;
}

}  // namespace

CMorvaneManger::CMorvaneManger(ManagerOptions options) : m_options(std::move(options))
{
    // Demos and end-to-end tests shorten the address check; the service's own default stays 120 s.
    if (const char* env = std::getenv("MORVANE_ADDRESS_CHECK_MS")) {
        long ms = std::strtol(env, nullptr, 10);
        if (ms >= 1000 && ms <= long(kAddressCheckIntervalMs))
            m_options.addressCheckIntervalMs = static_cast<uint32_t>(ms);
    }
    m_userinfo.userstatus = 1;
    m_wake.Open();
}

CMorvaneManger::~CMorvaneManger()
{
    RequestStop();
    // The worker checks the stop flag as soon as it is woken; a web-service call in progress ends
    // within its time-outs. Do not wait longer than the process would.
    if (WaitThread(std::chrono::milliseconds(3000)) || !ThreadStarted()) {
        CloseChannel();
        m_wake.Close();
    }
}

uint32_t CMorvaneManger::Tick()
{
    return m_options.tick ? m_options.tick() : MonotonicTick();
}

void CMorvaneManger::Wake()
{
    m_wake.Signal();
}

void CMorvaneManger::RequestStop()
{
    m_stop = 1;
    // A provider call in progress ends now instead of at its deadline.
    if (IProvider* service = m_cancelTarget.load())
        service->Cancel();
    Wake();
}

std::string CMorvaneManger::ProgramDirectory()
{
    if (m_programDir.empty())
        m_programDir = m_options.programDir.empty() ? platform::DataDirectory(false) : m_options.programDir;
    return m_programDir;
}

bool CMorvaneManger::StartManager()
{
    // A stop that came before or during the start wins: nothing more is started after it.
    if (m_stop)
        return false;
    datafile::CLockWaitStop lockStop(m_stop);  // a data file's lock held by someone else never delays a stop
    // An interrupted save (a crash, a kill) leaves its temporary file behind; nobody else removes it.
    datafile::RemoveLeftoverTemporaries(ProgramDirectory());
    if (!OpenControlChannel())
        return false;

    std::string host = m_options.providerHost;
    uint16_t port = m_options.providerPort;
    bool tls = false;
    if (host.empty())
        if (!ProviderEndpoint(host, port, &tls))  // a malformed override falls back to the defaults
            JournalPrint(kJournalWarning, "MORVANE_PROVIDER is malformed; using %s:%u", host.c_str(), port);
    if (port == 0)
        port = webservice::kProviderPort;
    ProviderEnvironment environment;
    std::string caFile = tls ? ProviderCaFile() : std::string();
    environment.makeWebService = [this, host, port, tls, caFile]() -> std::unique_ptr<CDynamicService> {
        auto service =
            m_options.makeService ? m_options.makeService(host, port) : std::make_unique<CDynamicService>(host, port);
        if (service && tls)
            service->UseTls(caFile);
        return service;
    };
    environment.nat = m_options.nat;
    environment.checkIpTimeoutMs = m_options.checkIpTimeoutMs;
    auto configured = std::make_unique<CConfiguredProvider>(ProviderFile(), std::move(environment));
    m_configured = configured.get();
    m_service = std::move(configured);
    m_cancelTarget = m_service.get();
    std::string why;
    if (!m_providerWatch.Open(ProviderFile(), why))
        JournalPrint(kJournalWarning, "provider: %s; %s is read again at the next provider call only", why.c_str(),
                     ProviderFile().c_str());
    m_mapper = m_options.nat ? std::make_unique<CPortMapper>(*m_options.nat) : std::make_unique<CPortMapper>();
    std::string udp = m_channelPort ? " and 127.0.0.1:" + std::to_string(m_channelPort) : "";
    JournalPrint(kJournalInfo, "service started: channel on %s%s, provider %s, data in %s", ChannelPath().c_str(),
                 udp.c_str(), m_service->Describe().c_str(), m_programDir.c_str());

    if (m_stop)
        return false;
    RestoreMappings();  // carried out by the worker, between requests
    if (m_stop || !StartThread())
        return false;
    // The updater is a program beside the service, not a data file.
    if (m_options.superviseUpdater)
        ReplaceUpdater(platform::ProgramDirectory(false));
    return true;
}

bool CMorvaneManger::LoadCredentials()
{
    std::map<std::string, std::string> accounts;
    if (!datafile::ReadLogins(UserFile(), accounts) || accounts.empty())
        return false;
    m_userId = accounts.begin()->first;
    m_password = accounts.begin()->second;
    return true;
}

void CMorvaneManger::SyncDomainFile()
{
    std::string path = DomainFile();
    std::vector<uint32_t> hostids;
    for (const DomainRecord& record : m_domains)
        hostids.push_back(record.hostid);
    std::map<uint32_t, int> stored = datafile::ReadSwitches(path, hostids);  // one load for all hosts
    std::map<uint32_t, uint8_t> switches;
    for (DomainRecord& record : m_domains) {
        record.enabled = static_cast<uint8_t>(stored[record.hostid]);
        switches[record.hostid] = record.enabled;
    }
    // Hosts switched on that this account does not list keep their switch: those of the other kind of
    // provider (a dyndns2 account and the web service number their hosts differently), so that going
    // back to it finds them on again. Bounded, like the list itself.
    size_t kept = 0;
    for (const auto& [hostid, op] : datafile::ReadAllSwitches(path, 2 * kMaxDomains))
        if (op == 1 && kept < kMaxDomains && switches.emplace(hostid, 1).second)
            ++kept;
    if (!datafile::WriteAllSwitches(path, switches)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot save %s: %s", path.c_str(), datafile::FailureText(path, error).c_str());
        m_switchCache.clear();
        return;
    }
    std::map<uint32_t, int> known(switches.begin(), switches.end());
    NoteSwitches(known, true);
}

CMorvaneManger::FileStamp CMorvaneManger::StampOf(const std::string& path) const
{
    FileStamp stamp;
    files::StampOf(path, stamp);
    return stamp;
}

void CMorvaneManger::NoteSwitches(const std::map<uint32_t, int>& switches, bool replace)
{
    if (replace)
        m_switchCache.clear();
    for (const auto& [hostid, value] : switches)
        m_switchCache[hostid] = value;
    m_switchStamp = StampOf(DomainFile());
}

void CMorvaneManger::CutDomainList(std::vector<DomainRecord>& domains)
{
    if (domains.size() <= kMaxDomains)
        return;
    JournalPrint(kJournalWarning, "the provider lists %zu domains; only the first %zu are kept", domains.size(),
                 kMaxDomains);
    domains.resize(kMaxDomains);
}

std::string CMorvaneManger::FailureWords(int status) const
{
    if (!m_service)
        return FailureText(webservice::kFailUnreachable);
    CallFailure failure = m_service->Failure(status);
    uint8_t kind = failure.kind == webservice::kFailNone ? uint8_t(webservice::kFailUnreadable) : uint8_t(failure.kind);
    return failure.what.empty() ? std::string(FailureText(kind)) : std::string(FailureText(kind)) + ": " + failure.what;
}

void CMorvaneManger::NotePushedFromData()
{
    NoteHeldFromData();
    AddressPair address = AddressPair::Of(m_netinfo);
    if (address.Empty())
        return;
    // The data as a provider shows addresses: "V4", "V6" or "V4,V6".
    std::string v4 = address.ipv4 ? FormatIPv4(address.ipv4) : std::string();
    std::string v6 = address.HasIPv6() ? address::FormatIPv6(address.ipv6) : std::string();
    std::string data = v4.empty() || v6.empty() ? v4 + v6 : v4 + "," + v6;
    for (const DomainRecord& record : m_domains)
        if (record.data == data)
            m_pushed[record.hostid] = address;
}

bool CMorvaneManger::AllEnabledPushed(const AddressPair& address) const
{
    for (const DomainRecord& record : m_domains) {
        if (!record.enabled)
            continue;
        auto it = m_pushed.find(record.hostid);
        if (it == m_pushed.end() || it->second != address)
            return false;
    }
    return true;
}

void CMorvaneManger::LogPush(const AddressPair& address, const UpdateResultMap& results)
{
    std::string hosts;
    for (const auto& [hostid, result] : results) {
        std::string name = std::to_string(hostid);
        for (const DomainRecord& record : m_domains)
            if (record.hostid == hostid && !record.domain.empty())
                name = record.domain;
        if (!hosts.empty())
            hosts += ", ";
        hosts += name + " (result " + std::to_string(result) + ")";
    }
    if (m_service && !m_service->LastUpdateSent())
        JournalPrint(kJournalInfo, "addresses now %s: nothing to send for %s", address.Text().c_str(), hosts.c_str());
    else
        JournalPrint(kJournalInfo, "pushed %s: %s", address.Text().c_str(), hosts.c_str());
    for (const auto& [hostid, result] : results)
        if (result == 0)
            JournalPrint(kJournalWarning,
                         "the provider refused the update of host %u; not retried before the "
                         "address changes or the domain is switched on again",
                         hostid);
}

uint8_t CMorvaneManger::Login(const std::string& user, const std::string& password)
{
    if (!m_service)
        return webservice::kFailUnreachable;
    // No account has an empty name: refused here, without a call the provider would count against
    // this machine's address as a failed login.
    if (user.empty()) {
        JournalPrint(kJournalWarning, "login without an account name refused");
        return webservice::kFailRefused;
    }
    int status = m_service->PublicAddress(m_netinfo);
    // Filled into temporaries so that a failed attempt keeps the list the service already has:
    // address updates for the switched-on domains go on with it.
    UserInfo account = m_userinfo;
    std::vector<DomainRecord> domains;
    if (status == 0)
        status = m_service->Hosts(user, password, account, domains);
    if (status != 0) {
        CallFailure failure = m_service->Failure(status);
        uint8_t kind =
            failure.kind == webservice::kFailNone ? uint8_t(webservice::kFailUnreadable) : uint8_t(failure.kind);
        JournalPrint(kJournalWarning, "login as '%s' failed: %s (%s)", user.c_str(), FailureText(kind),
                     failure.what.c_str());
        return kind;
    }
    CutDomainList(domains);
    m_userinfo = account;
    m_domains = std::move(domains);
    JournalPrint(kJournalInfo, "logged in as '%s': %zu domains, public address %s", user.c_str(), m_domains.size(),
                 AddressPair::Of(m_netinfo).Text().c_str());
    return 0;
}

void CMorvaneManger::CheckAddress()
{
    if (!m_service)
        return;
    if (int status = m_service->PublicAddress(m_netinfo)) {
        // The client logged it; the switched-on domains say it until a check answers again.
        m_checkFailure = "the address could not be checked (" + FailureWords(status) + ")";
        SendDomainStatus();
        return;
    }
    m_checkFailure.clear();
    AddressPair address = AddressPair::Of(m_netinfo);
    if (address.Empty())
        return;
    bool changed = address != m_lastAddress;

    // Every enabled host not yet pushed with these addresses: a failed push is retried here, a done
    // one is repeated only when the provider asks for a keep-alive.
    UpdateResultMap hosts;
    for (const DomainRecord& record : m_domains) {
        auto it = m_pushed.find(record.hostid);
        if (record.enabled &&
            (it == m_pushed.end() || it->second != address || m_service->RefreshDue(record.hostid, address)))
            hosts[record.hostid] = 1;
    }
    bool pushed = false, sent = false;
    if (!hosts.empty()) {
        int status = m_service->Update(m_userId, m_password, address, hosts);
        // Nothing sent (only a family without an address now changed): no attempt to note, no hook.
        sent = status != 0 || m_service->LastUpdateSent();
        if (sent)
            NoteAttempt(address, hosts, status);
        if (status == 0) {
            for (const auto& entry : hosts)
                m_pushed[entry.first] = address;
            LogPush(address, hosts);
            pushed = true;
        } else {
            JournalPrint(kJournalWarning, "push of %s for %zu host(s) failed; retried at the next check",
                         address.Text().c_str(), hosts.size());
        }
    }
    // Port mappings and the IPv4 notification belong to the IPv4 address; the network information
    // (which carries both) goes out for either.
    bool newIPv4 = address.ipv4 != 0 && address.ipv4 != m_lastAddress.ipv4;
    if (changed && AllEnabledPushed(address)) {
        m_lastAddress = address;
        if (pushed) {
            if (newIPv4)
                SendIpChanged();
            SendNetInfo();
        }
    }
    if (!hosts.empty() || changed)
        SendDomainStatus();
    if (pushed && sent)
        RunHook(address, hosts);
    // Also after a failed update: the router may have lost its mappings with the address.
    if (newIPv4)
        RestoreMappings();
}

void CMorvaneManger::RestoreMappings()
{
    if (m_restoring) {
        m_restoreAgain = true;
        return;
    }
    std::vector<PortMapEntry> records;
    if (!datafile::ReadAllMappings(MapPortFile(), records) || records.empty())
        return;
    if (records.size() > datafile::kMaxMappings) {
        JournalPrint(kJournalWarning, "%s holds %zu mappings; only the first %zu are restored", MapPortFile().c_str(),
                     records.size(), datafile::kMaxMappings);
        records.resize(datafile::kMaxMappings);
    }
    m_restoreList = std::move(records);
    m_restoreNext = 0;
    m_restoring = true;
    Wake();
}

void CMorvaneManger::RestoreStep()
{
    if (m_restoreNext < m_restoreList.size()) {
        PortMapEntry& record = m_restoreList[m_restoreNext++];
        record.op = record.allow ? (m_mapper->MapPort(record.port, 1, record.type) ? 1 : 0) : 0;
    }
    if (m_restoreNext >= m_restoreList.size())
        FinishRestore();
}

void CMorvaneManger::FinishRestore()
{
    m_mapper->EndPass();
    // One save for the pass. Records changed by a request meanwhile keep what the request stored;
    // only the outcome (op) of the ones still there is written.
    std::vector<PortMapEntry> current;
    datafile::ReadAllMappings(MapPortFile(), current);
    std::vector<PortMapEntry> updates;
    int mapped = 0, enabled = 0;
    for (const PortMapEntry& done : m_restoreList) {
        enabled += done.allow ? 1 : 0;
        mapped += done.op;
        for (const PortMapEntry& now : current)
            if (now.port == done.port && now.type == done.type && now.allow == done.allow && now.op != done.op)
                updates.push_back(PortMapEntry{done.port, done.op, done.type, done.allow});
    }
    if (!updates.empty() && !datafile::SetMappings(MapPortFile(), updates)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot save %s: %s", MapPortFile().c_str(),
                     datafile::FailureText(MapPortFile(), error).c_str());
    }
    JournalPrint(kJournalInfo, "port mappings restored: %d of %d enabled", mapped, enabled);
    // A mapping the router lost (or took again) is told to every client, which shows it as it is now.
    if (!updates.empty() && !m_stop)
        SendPortList();
    m_restoring = false;
    m_restoreList.clear();
    if (m_restoreAgain) {
        m_restoreAgain = false;
        RestoreMappings();
    }
}

void CMorvaneManger::RunHook(const AddressPair& address, const UpdateResultMap& hosts)
{
    std::vector<uint32_t> ids;
    for (const auto& entry : hosts)
        ids.push_back(entry.first);
    RunAddressHook(ProgramDirectory(), address.ipv4, address.HasIPv6() ? address::FormatIPv6(address.ipv6) : "", ids,
                   m_options.hookTimeoutMs);
}

void CMorvaneManger::CheckUpdater()
{
    if (FindUpdaterByPath() == 0)
        StartUpdater(platform::ProgramDirectory(false), platform::ProgramPath());
}

void CMorvaneManger::FollowInterface()
{
    // The interface as the provider last read provider.conf (before each of its calls), for the
    // address families the account keeps.
    unsigned kinds = rtnl::kLink | rtnl::kOverrun;
    ProviderConfig::Families families = m_configured ? m_configured->Families() : ProviderConfig::Families::IPv4;
    if (families != ProviderConfig::Families::IPv6)
        kinds |= rtnl::kIPv4Address;
    if (families == ProviderConfig::Families::IPv6 || families == ProviderConfig::Families::Both)
        kinds |= rtnl::kIPv6Address;
    m_watch.Follow(m_configured ? m_configured->InterfaceName() : std::string(), kinds);
}

int CMorvaneManger::NextWaitMs(uint32_t now) const
{
    int64_t wait;
    if (m_restoring)
        return 0;
    if (!m_loggedIn) {
        if (m_waitingForAccount)
            wait = kAccountPollMs;
        else if (m_loginRetryPending)
            wait = std::max<int64_t>(0, int64_t(m_loginRetryDelay) - int64_t(uint32_t(now - m_lastLoginAttempt)));
        else
            wait = 0;
    } else {
        wait = DueIn(now, m_lastAddressCheck, m_options.addressCheckIntervalMs);
        for (int64_t changed : {m_watch.DueIn(now), m_providerWatch.DueIn(now)})
            if (changed >= 0)
                wait = std::min(wait, changed);
        if (m_options.superviseUpdater)
            wait = std::min(wait, DueIn(now, m_lastUpdaterCheck, kUpdaterCheckIntervalMs));
    }
    return static_cast<int>(std::min<int64_t>(wait, INT_MAX));
}

void CMorvaneManger::Run(int)
{
    datafile::CLockWaitStop lockStop(m_stop);
    m_lastAddressCheck = 0;
    m_lastUpdaterCheck = 0;
    m_lastAddress = AddressPair{};
    while (!m_stop) {
        FollowInterface();
        // 1. Serve the channel; sleeps until a datagram, an interface change, the next due task, or a stop.
        if (UdpInPacketPtr packet = ReceivePacket(NextWaitMs(Tick())))
            DispatchPacket(*packet);
        if (m_stop)
            break;
        if (m_restoring)
            RestoreStep();

        // 2. Log in with the remembered account while there is no login.
        if (!m_loggedIn) {
            if (m_userId.empty() || m_password.empty())
                LoadCredentials();
            bool waiting = m_userId.empty() || m_password.empty();
            if (waiting && !m_waitingForAccount)
                JournalPrint(kJournalNotice, "no remembered account in %s; waiting for a login", UserFile().c_str());
            m_waitingForAccount = waiting;
            if (m_waitingForAccount)
                continue;
            uint32_t now = Tick();
            if (m_loginRetryPending && uint32_t(now - m_lastLoginAttempt) < m_loginRetryDelay)
                continue;
            m_lastLoginAttempt = now;
            if (Login(m_userId, m_password) != 0) {
                // Back off instead of hammering a provider that is down.
                m_loginRetryDelay =
                    m_loginRetryPending ? std::min(m_loginRetryDelay * 2, kLoginRetryMaxMs) : kLoginRetryFirstMs;
                m_loginRetryPending = true;
                continue;
            }
            m_loginRetryPending = false;
            m_loginRetryDelay = kLoginRetryFirstMs;
            SyncDomainFile();
            NotePushedFromData();
            m_loggedIn = true;
        }

        // 3. Periodic work; unsigned differences survive the wrap of the tick.
        uint32_t now = Tick();
        // A change of the interface the address comes from, or of provider.conf, is checked at once,
        // not at the next period.
        if (uint32_t(now - m_lastAddressCheck) > m_options.addressCheckIntervalMs || m_watch.DueIn(now) == 0 ||
            m_providerWatch.DueIn(now) == 0) {
            m_watch.Taken();
            m_providerWatch.Taken();
            CheckAddress();
            m_lastAddressCheck = now;
        } else if (m_options.superviseUpdater && uint32_t(now - m_lastUpdaterCheck) > kUpdaterCheckIntervalMs) {
            CheckUpdater();
            m_lastUpdaterCheck = now;
        }
    }
    if (m_restoring) {
        // Stopped in the middle of a restore: what was done so far is stored.
        m_restoreList.resize(m_restoreNext);
        m_restoreAgain = false;
        FinishRestore();
    }
    CloseChannel();
}
