#pragma once
// The provider's own web service as an IProvider: every call goes to CDynamicService unchanged (same
// requests, same bytes). The provider decides the address itself, so Update's address is not sent;
// an optional cross-check against other address sources only adds a log line.

#include <functional>
#include <memory>

#include "core/provider/provider.h"
#include "core/webservice/dynamic_service.h"

class CWebServiceProvider : public IProvider {
public:
    explicit CWebServiceProvider(std::unique_ptr<CDynamicService> service) : m_service(std::move(service)) {}

    // Another opinion on the public address, asked after each successful PublicAddress; 0 = none.
    void SetCrossCheck(std::function<uint32_t()> check) { m_crossCheck = std::move(check); }
    CDynamicService* Service() const { return m_service.get(); }

    int PublicAddress(NetInfo& info) override;
    int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
              std::vector<DomainRecord>& hosts) override;
    int Update(const std::string& user, const std::string& digest, const AddressPair& address,
               UpdateResultMap& results) override;
    CallFailure Failure(int status) const override;
    void Cancel() override;
    std::string Describe() const override;

private:
    std::unique_ptr<CDynamicService> m_service;
    std::function<uint32_t()> m_crossCheck;
};
