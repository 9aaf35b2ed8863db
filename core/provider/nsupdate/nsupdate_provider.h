#pragma once
// RFC 2136 updates straight to the user's own primary, signed with the account's TSIG key: one UPDATE
// message for every host due, deleting each due A (AAAA) RRset and adding the one address (the server
// applies it all or nothing), over UDP with TCP when the answer is truncated or the message too large.
// Success only on NOERROR with an answer whose TSIG verifies. A refused signature (BADSIG, BADKEY)
// stops the account, REFUSED or NOTZONE the hosts of the message; no answer is tried again at the next
// check; anything else too.

#include "core/provider/account_provider.h"

class CNsupdateProvider : public CAccountProvider {
public:
    using CAccountProvider::CAccountProvider;
    // How long to wait for each transport.
    void SetTimeoutMs(int ms) { m_timeoutMs = ms; }

protected:
    int Send(std::vector<Item>& items) override;

private:
    int m_timeoutMs = 5000;
};
