#include "ctl/client.h"

#include <poll.h>

#include <cerrno>

CCtlClient::CCtlClient(const std::string& userFile) : CDnsListener(ChannelOptions{userFile, 6666})
{
    m_wake.Open();
    SetOwner(this);
}

CCtlClient::~CCtlClient()
{
    SetOwner(nullptr);
}

void CCtlClient::PostArrival()
{
    m_wake.Signal();
}

bool CCtlClient::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (DispatchOne()) {
        }
        if (done())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd pfd{m_wake.Fd(), POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0)
            m_wake.Drain();
    }
}

void CCtlClient::OnNetInfo(const NetInfo& info)
{
    m_netInfo = info;
    if (m_onEvent)
        m_onEvent("netinfo");
}

void CCtlClient::OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok)
{
    m_flags = flags;
    m_flagsOk = ok != 0;
    if (m_onEvent)
        m_onEvent("flags");
}

void CCtlClient::OnMapResult(const std::vector<PortMapEntry>& entries, bool ok)
{
    m_mapEntries = entries;
    m_mapOk = ok;
    if (m_onEvent)
        m_onEvent("map");
}

void CCtlClient::OnDomainList(const std::vector<DomainRecord>* records, bool ok)
{
    if (records)
        m_domains = *records;
    m_listOk = ok;
    if (m_onEvent)
        m_onEvent("list");
}

void CCtlClient::OnLogin(const std::vector<DomainRecord>* records, bool ok)
{
    if (records)
        m_domains = *records;
    m_loginOk = ok;
    if (m_onEvent)
        m_onEvent("login");
}

void CCtlClient::OnIpChanged(uint32_t address)
{
    NetInfo info = m_netInfo.value_or(NetInfo{});
    info.dyip = static_cast<int32_t>(address);
    m_netInfo = info;
    if (m_onEvent)
        m_onEvent("ipchanged");
}

void CCtlClient::OnMapPortList(const std::vector<PortMapEntry>& entries)
{
    m_ports = entries;
    if (m_onEvent)
        m_onEvent("ports");
}
