#pragma once
// Any service updated by one HTTPS GET, as a provider kind: the URL template of provider.conf with
// {host}, {ipv4}, {ipv6} and {password} replaced (URL-encoded), Basic credentials when a user is given.
// The update succeeded when the answer's body contains the configured text, or (none configured) when
// its status is 2xx. A template without {host} is sent once for all the hosts due; with it, once per
// host. 401 and 403 stop the account (the credentials are refused); anything else is tried again at
// the next check.

#include "core/provider/account_provider.h"

class CUrlProvider : public CAccountProvider {
public:
    using CAccountProvider::CAccountProvider;
    // The template filled in for `host` and `address` (a family not given becomes empty).
    std::string Fill(const std::string& host, const AddressPair& address) const;

protected:
    int Send(std::vector<Item>& items) override;
};
