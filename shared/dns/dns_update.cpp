#include "shared/dns/dns_update.h"

#include <ldns/ldns.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace dns {

namespace {

struct PktFree {
    void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
struct RrListFree {
    void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); }
};
struct BufferFree {
    void operator()(ldns_buffer* b) const { ldns_buffer_free(b); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;
using RrList = std::unique_ptr<ldns_rr_list, RrListFree>;
using Buffer = std::unique_ptr<ldns_buffer, BufferFree>;

bool Resolve(const std::string& host, uint16_t port, sockaddr_storage& to, socklen_t& len)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return false;
    std::memcpy(&to, found->ai_addr, found->ai_addrlen);
    len = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

std::string RcodeName(int rcode)
{
    ldns_lookup_table* entry = ldns_lookup_by_id(ldns_rcodes, rcode);
    return entry && entry->name ? entry->name : "RCODE " + std::to_string(rcode);
}

std::string TsigErrorName(int error)
{
    switch (error) {
    case 16: return "BADSIG";
    case 17: return "BADKEY";
    case 18: return "BADTIME";
    case 22: return "BADTRUNC";
    default: return "TSIG error " + std::to_string(error);
    }
}

// One exchange over UDP or TCP. On success `wire` holds the answer (malloc'ed by ldns).
ldns_status Exchange(ldns_buffer* query, const sockaddr_storage& to, socklen_t len, bool tcp, int timeoutMs,
                     uint8_t*& wire, size_t& size)
{
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    wire = nullptr;
    size = 0;
    return tcp ? ldns_tcp_send(&wire, query, &to, len, timeout, &size)
               : ldns_udp_send(&wire, query, &to, len, timeout, &size);
}

ldns_rdf* NameRdf(const std::string& name)
{
    return ldns_dname_new_frm_str((name + ".").c_str());
}

}  // namespace

const char* const kUpdatesMissing = nullptr;

DnsUpdateResult SendAddressUpdate(const DnsZone& zone, const std::string& name, const std::string& address,
                                  int timeoutMs)
{
    return SendAddressUpdates(zone, {DnsAddressRecord{name, address}}, timeoutMs);
}

DnsUpdateResult SendAddressUpdates(const DnsZone& zone, const std::vector<DnsAddressRecord>& records, int timeoutMs)
{
    DnsUpdateResult result;
    const char* algorithm = AlgorithmWireName(zone.algorithm);
    if (!algorithm) {
        result.error = "unknown TSIG algorithm " + zone.algorithm;
        return result;
    }
    sockaddr_storage to{};
    socklen_t toLen = 0;
    if (!Resolve(zone.server, zone.port, to, toLen)) {
        result.error = "cannot resolve server " + zone.server;
        return result;
    }

    // Update section, per record: delete the RRset of its type (class ANY, no data), then add the one
    // record. An A record and an AAAA record of one name are two RRsets: replacing one leaves the other.
    RrList updates(ldns_rr_list_new());
    for (const DnsAddressRecord& record : records) {
        const bool v6 = record.address.find(':') != std::string::npos;
        const ldns_rr_type type = v6 ? LDNS_RR_TYPE_AAAA : LDNS_RR_TYPE_A;
        ldns_rr* remove = ldns_rr_new();
        ldns_rr_list_push_rr(updates.get(), remove);
        ldns_rr_set_owner(remove, NameRdf(record.name));
        ldns_rr_set_type(remove, type);
        ldns_rr_set_class(remove, LDNS_RR_CLASS_ANY);
        ldns_rr_set_ttl(remove, 0);
        ldns_rr* add = ldns_rr_new();
        ldns_rr_list_push_rr(updates.get(), add);
        ldns_rr_set_owner(add, NameRdf(record.name));
        ldns_rr_set_type(add, type);
        ldns_rr_set_class(add, LDNS_RR_CLASS_IN);
        ldns_rr_set_ttl(add, zone.ttl);
        ldns_rdf* a = nullptr;
        ldns_status parsed =
            v6 ? ldns_str2rdf_aaaa(&a, record.address.c_str()) : ldns_str2rdf_a(&a, record.address.c_str());
        if (!ldns_rr_owner(remove) || !ldns_rr_owner(add) || parsed != LDNS_STATUS_OK) {
            result.error = "bad name or address: " + record.name + " " + record.address;
            return result;
        }
        ldns_rr_push_rdf(add, a);
    }

    ldns_rdf* zoneName = NameRdf(zone.zone);
    Pkt query(zoneName ? ldns_update_pkt_new(zoneName, LDNS_RR_CLASS_IN, nullptr, updates.get(), nullptr) : nullptr);
    if (!query) {
        result.error = "cannot build the update";
        return result;
    }
    ldns_pkt_set_rd(query.get(), false);
    ldns_pkt_set_random_id(query.get());
    std::string keyName = zone.keyName + ".";
    if (ldns_pkt_tsig_sign(query.get(), keyName.c_str(), zone.secret.c_str(), 300, algorithm, nullptr) !=
        LDNS_STATUS_OK) {
        result.error = "cannot sign the update (bad key?)";
        return result;
    }
    Buffer wireQuery(ldns_buffer_new(LDNS_MAX_PACKETLEN));
    if (ldns_pkt2buffer_wire(wireQuery.get(), query.get()) != LDNS_STATUS_OK) {
        result.error = "cannot encode the update";
        return result;
    }

    Pkt answer;
    uint8_t* wire = nullptr;
    size_t size = 0;
    // Larger than a datagram that crosses any path unfragmented: TCP only.
    bool tcpOnly = ldns_buffer_position(wireQuery.get()) > 1232;
    for (bool tcp : {false, true}) {
        if (tcpOnly && !tcp)
            continue;
        ldns_status st = Exchange(wireQuery.get(), to, toLen, tcp, timeoutMs, wire, size);
        if (st != LDNS_STATUS_OK || !wire) {
            std::free(wire);
            result.error = std::string("no answer over ") + (tcp ? "TCP" : "UDP") + " (server down or time-out)";
            return result;
        }
        ldns_pkt* parsed = nullptr;
        if (ldns_wire2pkt(&parsed, wire, size) != LDNS_STATUS_OK) {
            std::free(wire);
            result.error = "malformed answer";
            return result;
        }
        answer.reset(parsed);
        if (!ldns_pkt_tc(parsed) || tcp)
            break;
        std::free(wire);  // truncated: again over TCP
        wire = nullptr;
    }
    std::unique_ptr<uint8_t, decltype(&std::free)> ownWire(wire, &std::free);

    if (ldns_pkt_id(answer.get()) != ldns_pkt_id(query.get()) || !ldns_pkt_qr(answer.get())) {
        result.error = "answer does not match the update";
        return result;
    }
    int rcode = ldns_pkt_get_rcode(answer.get());
    ldns_rr* tsig = ldns_pkt_tsig(answer.get());
    if (tsig && ldns_rr_rd_count(tsig) > 5) {
        int tsigError = ldns_rdf2native_int16(ldns_rr_rdf(tsig, 5));
        if (tsigError != 0) {
            result.error = RcodeName(rcode) + " (" + TsigErrorName(tsigError) + ")";
            return result;
        }
    }
    if (rcode != LDNS_RCODE_NOERROR) {
        result.error = RcodeName(rcode);
        result.refusedContent = rcode == LDNS_RCODE_REFUSED || rcode == LDNS_RCODE_NOTZONE;
        return result;
    }
    // A success must come from the holder of the key.
    const ldns_rdf* queryMac = ldns_rr_rdf(ldns_pkt_tsig(query.get()), 3);
    if (!tsig) {
        result.error = "answer not signed";
        return result;
    }
    if (!ldns_pkt_tsig_verify(answer.get(), ownWire.get(), size, keyName.c_str(), zone.secret.c_str(), queryMac)) {
        result.error = "answer signature does not verify";
        return result;
    }
    result.ok = true;
    return result;
}

bool QueryAddress(const std::string& server, uint16_t port, const std::string& name, std::string& addresses,
                  int timeoutMs, bool ipv6)
{
    const ldns_rr_type type = ipv6 ? LDNS_RR_TYPE_AAAA : LDNS_RR_TYPE_A;
    addresses.clear();
    sockaddr_storage to{};
    socklen_t toLen = 0;
    ldns_rdf* owner = NameRdf(name);
    if (!owner || !Resolve(server, port, to, toLen)) {
        ldns_rdf_deep_free(owner);
        return false;
    }
    Pkt query(ldns_pkt_query_new(owner, type, LDNS_RR_CLASS_IN, 0));
    if (!query)
        return false;
    ldns_pkt_set_random_id(query.get());
    Buffer wireQuery(ldns_buffer_new(LDNS_MAX_PACKETLEN));
    uint8_t* wire = nullptr;
    size_t size = 0;
    if (ldns_pkt2buffer_wire(wireQuery.get(), query.get()) != LDNS_STATUS_OK ||
        Exchange(wireQuery.get(), to, toLen, false, timeoutMs, wire, size) != LDNS_STATUS_OK || !wire) {
        std::free(wire);
        return false;
    }
    ldns_pkt* parsed = nullptr;
    ldns_status st = ldns_wire2pkt(&parsed, wire, size);
    std::free(wire);
    Pkt answer(parsed);
    if (st != LDNS_STATUS_OK || ldns_pkt_id(parsed) != ldns_pkt_id(query.get()) ||
        (ldns_pkt_get_rcode(parsed) != LDNS_RCODE_NOERROR && ldns_pkt_get_rcode(parsed) != LDNS_RCODE_NXDOMAIN))
        return false;
    ldns_rr_list* records = ldns_pkt_answer(parsed);
    for (size_t i = 0; i < ldns_rr_list_rr_count(records); ++i) {
        ldns_rr* rr = ldns_rr_list_rr(records, i);
        if (ldns_rr_get_type(rr) != type || ldns_rr_rd_count(rr) < 1)
            continue;
        char* text = ldns_rdf2str(ldns_rr_rdf(rr, 0));
        if (text) {
            if (!addresses.empty())
                addresses += ' ';
            addresses += text;
            std::free(text);
        }
    }
    return true;
}

}  // namespace dns
