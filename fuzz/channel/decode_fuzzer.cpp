// The client's decoding of whatever arrives on its port: every command, truncated bodies, wild counts.
#include <cstddef>
#include <cstdint>

#include "shared/channel/dns_listener.h"

namespace {

class CSink : public CDnsListener {
public:
    CSink() : CDnsListener(ChannelOptions{"/nonexistent/user.xml", 46666}) {}
    void OnNetInfo(const NetInfo& i) override { m_bytes += i.netlocation.size(); }
    void OnDomainFlags(const std::map<uint32_t, uint8_t>& f, uint8_t) override { m_bytes += f.size(); }
    void OnMapResult(const std::vector<PortMapEntry>& e, bool) override { m_bytes += e.size(); }
    void OnDomainList(const std::vector<DomainRecord>* r, bool) override { m_bytes += r ? r->size() : 0; }
    void OnLogin(const std::vector<DomainRecord>* r, bool) override
    {
        if (r)
            for (const auto& d : *r)
                m_bytes += d.domain.size() + d.data.size();
    }
    void OnIpChanged(uint32_t a) override { m_bytes += a & 1; }
    void OnMapPortList(const std::vector<PortMapEntry>& e) override { m_bytes += e.size(); }
    void Gate(bool loggedIn) { SetLoggedIn(loggedIn); }
    size_t m_bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CSink sink;
    if (size == 0)
        return 0;
    sink.Gate((data[0] & 1) != 0);  // both sides of the login gate
    UdpInPacket in;
    in.SetData(data + 1, static_cast<int>(size - 1));
    sink.Decode(in);
    return 0;
}
