#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/HostResolver.h"
#include "proxy/io/Result.h"

namespace pemtrox {

/// One endpoint: the host name as asked for, the text of one numeric address, and the
/// interface (scope) split off the address text at "%".
class InetAddress {
public:
    /// Splits `address` at its first "%": the part after it (possibly empty) is the interface.
    InetAddress(std::string host, const std::string& address);

    const std::string& host() const { return host_; }
    /// The numeric address without its scope.
    const std::string& address() const { return address_; }
    const std::optional<std::string>& interface() const { return interface_; }

    /// "host/address"; the interface is not shown.
    std::string description() const { return host_ + "/" + address_; }
    /// Equal when host and address are; the interface is not compared.
    bool operator==(const InetAddress& other) const {
        return host_ == other.host_ && address_ == other.address_;
    }

    using LookupCompletion = std::function<void(Result<InetAddress>)>;
    /// Looks the name up without blocking and returns at once. The completion runs exactly
    /// once: with the first address of the name (in the resolver's order) or with an
    /// InetAddressError, later, on `queue`; a lookup that cannot be set up fails at once,
    /// inside this call. The handle's cancel() drops the lookup (its asker has gone): the
    /// completion then never runs and is released.
    static std::shared_ptr<HostLookup>
    getByName(const std::string& name, std::shared_ptr<DispatchQueue> queue, LookupCompletion completion);

private:
    std::string host_;
    std::string address_;
    std::optional<std::string> interface_;
};

} // namespace pemtrox
