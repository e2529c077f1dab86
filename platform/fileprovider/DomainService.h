#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/Manager.h"

namespace nimbuscrate::fp {

// Registration of domains, as the app calls it. Completions run exactly
// once, later and on another thread.
class DomainService {
public:
    using Completion = std::function<void(std::optional<Error>)>;

    virtual ~DomainService() = default;
    virtual void addDomain(const Domain& domain, Completion done) = 0;
    virtual void removeDomain(const Domain& domain, Completion done) = 0;
    virtual void getDomains(std::function<void(std::vector<Domain>, std::optional<Error>)> done) = 0;
    // The manager of a domain, or null when the system has none for it.
    virtual ManagerPtr managerFor(const Domain& domain) = 0;
};

}  // namespace nimbuscrate::fp
