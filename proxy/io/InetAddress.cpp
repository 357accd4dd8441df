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

void InetAddress::getByName(const std::string& name, std::shared_ptr<DispatchQueue> queue,
                            LookupCompletion completion) {
    auto lookup = std::make_shared<InetAddressLookup>(InetAddressLookup{name, queue, std::move(completion)});
    // The resolver answers on the lookup's queue, so the completion runs there directly.
    HostResolver::resolve(name, std::move(queue), [lookup](HostResolution resolution) {
        if (!resolution.addresses.empty()) {
            lookup->completion(
                Result<InetAddress>::success(InetAddress(lookup->name, resolution.addresses.front())));
            return;
        }
        if (resolution.errorCode != 0)
            LOG_DEBUG("Lookup of {} failed: {}", lookup->name, resolution.errorMessage);
        lookup->completion(Result<InetAddress>::failure(
            makeError<InetAddressError>(InetAddressError::getByNameFailed(lookup->name))));
    });
}

} // namespace pemtrox
