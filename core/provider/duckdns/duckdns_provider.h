#pragma once
// A DuckDNS account as a provider kind: GET /update?domains=A,B&token=T&ip=V4&ipv6=V6, every host whose
// addresses are due in one request (hosts with an IPv6 interface id of their own in one request per
// address pair). The answer's first line is OK or KO; KO (a wrong token or a domain not of this
// account: the service does not say which) stops the hosts of that request until provider.conf
// changes. The hosts may be given as NAME.duckdns.org or as any name whose first label is the domain.

#include "core/provider/account_provider.h"

class CDuckDnsProvider : public CAccountProvider {
public:
    using CAccountProvider::CAccountProvider;
    // The update URL for these hosts and addresses (the token included: never logged).
    std::string UpdateUrl(const std::vector<std::string>& hosts, const AddressPair& address) const;

protected:
    int Send(std::vector<Item>& items) override;
};
