#include "core/manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/hook.h"
#include "core/portmap.h"
#include "core/updater.h"
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
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CMorvaneManger::~CMorvaneManger()
{
    RequestStop();
    // The worker checks the stop flag as soon as it is woken; a web-service call in progress ends
    // within its time-outs. Do not wait longer than the process would.
    if (WaitThread(std::chrono::milliseconds(3000)) || !ThreadStarted()) {
        CloseChannel();
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        m_wakeFd = -1;
    }
}

uint32_t CMorvaneManger::Tick()
{
    return m_options.tick ? m_options.tick() : MonotonicTick();
}

void CMorvaneManger::Wake()
{
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(m_wakeFd, &one, sizeof one);
        (void)n;  // a full counter already means "wake up"
    }
}

void CMorvaneManger::RequestStop()
{
    m_stop = 1;
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
    // An interrupted save (a crash, a kill) leaves its temporary file behind; nobody else removes it.
    datafile::RemoveLeftoverTemporaries(ProgramDirectory());
    if (!OpenControlChannel())
        return false;

    std::string host = m_options.providerHost;
    uint16_t port = m_options.providerPort;
    if (host.empty())
        ProviderEndpoint(host, port);  // a malformed override falls back to the defaults
    if (port == 0)
        port = webservice::kProviderPort;
    m_service = m_options.makeService ? m_options.makeService(host, port) : std::make_unique<CDynamicService>(host, port);
    if (!m_service)
        return false;

    if (m_stop)
        return false;
    RestoreMappings();
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
    datafile::WriteAllSwitches(path, switches);
}

bool CMorvaneManger::Login(const std::string& user, const std::string& password)
{
    if (!m_service)
        return false;
    if (m_service->GetDynamicIP(m_netinfo) != 0)
        return false;
    // Filled into temporaries so that a failed attempt keeps the list the service already has:
    // address updates for the switched-on domains go on with it.
    UserInfo account = m_userinfo;
    std::vector<DomainRecord> domains;
    if (m_service->GetDynamic(user, password, account, domains) != 0)
        return false;
    m_userinfo = account;
    m_domains = std::move(domains);
    return true;
}

CPortMapper CMorvaneManger::Mapper()
{
    return m_options.nat ? CPortMapper(*m_options.nat) : CPortMapper();
}

void CMorvaneManger::RestoreMappings()
{
    Mapper().RestoreMappings(MapPortFile());
}

void CMorvaneManger::CheckAddress()
{
    if (!m_service || m_service->GetDynamicIP(m_netinfo) != 0)
        return;
    uint32_t address = static_cast<uint32_t>(m_netinfo.dyip);
    if (address == 0 || address == m_lastAddress)
        return;

    UpdateResultMap hosts;
    for (const DomainRecord& record : m_domains)
        if (record.enabled)
            hosts[record.hostid] = 0;
    if (!hosts.empty() && m_service->UpdateDynamic(m_userId, m_password, hosts) == 0) {
        m_lastAddress = address;
        SendIpChanged();
        SendNetInfo();
        RunHook(address, hosts);
    }
    // Also after a failed update: the router may have lost its mappings with the address.
    RestoreMappings();
}

void CMorvaneManger::RunHook(uint32_t address, const UpdateResultMap& hosts)
{
    std::vector<uint32_t> ids;
    for (const auto& entry : hosts)
        ids.push_back(entry.first);
    RunAddressHook(ProgramDirectory(), address, ids, m_options.hookTimeoutMs);
}

void CMorvaneManger::CheckUpdater()
{
    if (FindUpdaterByPath() == 0)
        StartUpdater(platform::ProgramDirectory(false), platform::ProgramPath());
}

int CMorvaneManger::NextWaitMs(uint32_t now) const
{
    int64_t wait;
    if (!m_loggedIn) {
        if (m_waitingForAccount)
            wait = kAccountPollMs;
        else if (m_loginRetryPending)
            wait = std::max<int64_t>(0, int64_t(m_loginRetryDelay) - int64_t(uint32_t(now - m_lastLoginAttempt)));
        else
            wait = 0;
    } else {
        wait = DueIn(now, m_lastAddressCheck, m_options.addressCheckIntervalMs);
        if (m_options.superviseUpdater)
            wait = std::min(wait, DueIn(now, m_lastUpdaterCheck, kUpdaterCheckIntervalMs));
    }
    return static_cast<int>(std::min<int64_t>(wait, INT_MAX));
}

void CMorvaneManger::Run(int)
{
    m_lastAddressCheck = 0;
    m_lastUpdaterCheck = 0;
    m_lastAddress = 0;
    while (!m_stop) {
        // 1. Serve the channel; sleeps until a datagram, the next due task, or a stop.
        if (UdpInPacketPtr packet = ReceivePacket(NextWaitMs(Tick())))
            DispatchPacket(*packet);
        if (m_stop)
            break;

        // 2. Log in with the remembered account while there is no login.
        if (!m_loggedIn) {
            if (m_userId.empty() || m_password.empty())
                LoadCredentials();
            m_waitingForAccount = m_userId.empty() || m_password.empty();
            if (m_waitingForAccount)
                continue;
            uint32_t now = Tick();
            if (m_loginRetryPending && uint32_t(now - m_lastLoginAttempt) < m_loginRetryDelay)
                continue;
            m_lastLoginAttempt = now;
            if (!Login(m_userId, m_password)) {
                // Back off instead of hammering a provider that is down.
                m_loginRetryDelay = m_loginRetryPending ? std::min(m_loginRetryDelay * 2, kLoginRetryMaxMs)
                                                        : kLoginRetryFirstMs;
                m_loginRetryPending = true;
                continue;
            }
            m_loginRetryPending = false;
            m_loginRetryDelay = kLoginRetryFirstMs;
            SyncDomainFile();
            m_loggedIn = true;
        }

        // 3. Periodic work; unsigned differences survive the wrap of the tick.
        uint32_t now = Tick();
        if (uint32_t(now - m_lastAddressCheck) > m_options.addressCheckIntervalMs) {
            CheckAddress();
            m_lastAddressCheck = now;
        } else if (m_options.superviseUpdater && uint32_t(now - m_lastUpdaterCheck) > kUpdaterCheckIntervalMs) {
            CheckUpdater();
            m_lastUpdaterCheck = now;
        }
    }
    CloseChannel();
}
