#include "proxy/io/InetAddress.h"

#include "platform/HostResolver.h"
#include "platform/Log.h"
#include "proxy/io/InetAddressError.h"

namespace pemtrox {

namespace {

/// One lookup in progress: what was asked, and where and to whom the answer goes.
struct InetAddressLookup {
    std::string name;
    std::shared_ptr<DispatchQueue> queue;
    InetAddress::LookupCompletion completion;
};

} // namespace

InetAddress::InetAddress(std::string host, const std::string& address) : host_(std::move(host)) {
    auto percent = address.find('%');
    if (percent == std::string::npos) {
        address_ = address;
    } else {
        address_ = address.substr(0, percent);
        interface_ = address.substr(percent + 1);
    }
}

std::shared_ptr<HostLookup> InetAddress::getByName(const std::string& name,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   LookupCompletion completion) {
    auto lookup = std::make_shared<InetAddressLookup>(InetAddressLookup{name, queue, std::move(completion)});
    // The resolver answers on the lookup's queue (set-up failures inside this call), so the
    // completion runs there directly.
    return HostResolver::resolve(name, std::move(queue), [lookup](HostResolution resolution) {
        using Failure = HostResolution::Failure;
        if (!resolution.addresses.empty()) {
            lookup->completion(
                Result<InetAddress>::success(InetAddress(lookup->name, resolution.addresses.front())));
            return;
        }
        auto error = InetAddressError::getByNameFailed(lookup->name);
        switch (resolution.failure) {
        case Failure::noResolver:
            error = InetAddressError::getByNameFailed(lookup->name, std::nullopt, "Could not set client");
            break;
        case Failure::rejected:
            error = InetAddressError::getByNameFailed(lookup->name, resolution.errorCode,
                                                      resolution.errorMessage);
            break;
        case Failure::none:
        case Failure::notFound:
        case Failure::timedOut:
            LOG_DEBUG("Lookup of {} failed: {}", lookup->name, resolution.errorMessage);
            break;
        }
        lookup->completion(Result<InetAddress>::failure(makeError<InetAddressError>(std::move(error))));
    });
}

} // namespace pemtrox
