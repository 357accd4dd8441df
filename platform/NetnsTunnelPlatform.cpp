#include "platform/NetnsTunnelPlatform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/Rtnetlink.h"

namespace pemtrox {

namespace {

int prefixOfMask(const std::string& mask) {
    in_addr address{};
    if (inet_pton(AF_INET, mask.c_str(), &address) != 1)
        GenericError("Not a subnet mask: \"" + mask + "\"").raise();
    auto bits = ntohl(address.s_addr);
    int prefix = std::popcount(bits);
    if (prefix && bits != ~0u << (32 - prefix))
        GenericError("Not a subnet mask: \"" + mask + "\"").raise();
    return prefix;
}

/// Writes the whole text into the file in place (truncating it first).
void writeInPlace(const std::filesystem::path& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        systemError("open(" + path.string() + ")", errno)->raise();
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = errno;
            ::close(fd);
            systemError("write(" + path.string() + ")", error)->raise();
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace

std::shared_ptr<NetnsTunnelPlatform> NetnsTunnelPlatform::make(const std::string& name,
                                                               std::filesystem::path proxyEnvDirectory,
                                                               std::filesystem::path netnsEtc) {
    auto home = NetworkNamespace::current();
    auto client = NetworkNamespace::named(name);
    if (client.sameAs(home))
        GenericError("The namespace \"" + name +
                     "\" is the program's own: the tunnel would capture the traffic it relays")
            .raise();
    std::shared_ptr<NetnsTunnelPlatform> platform(
        new NetnsTunnelPlatform(name, std::move(proxyEnvDirectory), std::move(netnsEtc), std::move(client)));
    auto& self = *platform;
    self.home_ = std::make_unique<Rtnetlink>();
    self.client_.run([&] { self.inClient_ = std::make_unique<Rtnetlink>(); });
    return platform;
}

NetnsTunnelPlatform::NetnsTunnelPlatform(std::string name, std::filesystem::path proxyEnvDirectory,
                                         std::filesystem::path netnsEtc, NetworkNamespace client)
    : name_(std::move(name)), netnsEtc_(std::move(netnsEtc)), client_(std::move(client)),
      proxyEnv_(std::move(proxyEnvDirectory), true), queue_(DispatchQueue::make("TunnelPlatform")) {}

NetnsTunnelPlatform::~NetnsTunnelPlatform() {
    queue_->stop();
}

std::optional<TunDevice> NetnsTunnelPlatform::openTunnelDevice() {
    return queue_->onQueue([&] {
        // The queue's thread was started in the program's namespace: the device is made
        // there whatever namespace the caller stands in.
        auto device = TunDevice::create("pemtrox%d");
        try {
            home_->moveLink(device.index(), client_.fd());
        } catch (const Error& error) {
            // The kernel names neither the device nor whose it is: "move link (link 22): File
            // exists". The name, free here, is taken there: most likely by the device of another
            // instance for the same namespace.
            if (inClient_->linkIndex(device.name()))
                GenericError("The network namespace " + name_ + " already has a device " + device.name() +
                             ", which another pemtrox instance for it may hold: " + error.description())
                    .raise();
            throw;
        }
        device_ = device.name();
        deviceIndex_ = inClient_->linkIndex(device_);
        if (!deviceIndex_)
            GenericError("The device " + device_ + " did not arrive in the namespace " + name_).raise();
        LOG_INFO("Tunnel device {} moved into the network namespace {}", device_, name_);
        return std::optional<TunDevice>(std::move(device));
    });
}

void NetnsTunnelPlatform::apply(const std::optional<TunnelNetworkSettings>& settings,
                                std::function<void(ErrorPtr)> completion) {
    std::weak_ptr<NetnsTunnelPlatform> weak = shared_from_this();
    queue_->async([weak, settings, completion = std::move(completion)] {
        ErrorPtr error;
        if (auto self = weak.lock()) {
            try {
                settings ? self->applyNow(*settings) : self->clear();
            } catch (...) {
                error = currentError();
            }
        } else {
            error = makeError<GenericError>("The tunnel platform is gone");
        }
        DispatchQueue::main()->async([completion, error] { completion(error); });
    });
}

void NetnsTunnelPlatform::applyNow(const TunnelNetworkSettings& settings) {
    if (!deviceIndex_)
        GenericError("No tunnel device in the namespace " + name_ + " to apply the settings to").raise();
    clear();
    applied_ = settings;
    inClient_->setLinkUp(deviceIndex_, true);
    if (const auto& v4 = settings.ipv4Settings) {
        for (std::size_t i = 0; i < v4->addresses.size(); ++i)
            inClient_->addAddress(deviceIndex_, v4->addresses[i],
                                  i < v4->subnetMasks.size() ? prefixOfMask(v4->subnetMasks[i]) : 32);
        for (const auto& route : v4->includedRoutes)
            inClient_->addRoute(route.destinationAddress, prefixOfMask(route.subnetMask), deviceIndex_);
        for (const auto& route : v4->excludedRoutes)
            inClient_->addRoute(route.destinationAddress, prefixOfMask(route.subnetMask), 0);
    }
    if (const auto& v6 = settings.ipv6Settings) {
        for (std::size_t i = 0; i < v6->addresses.size(); ++i)
            inClient_->addAddress(deviceIndex_, v6->addresses[i],
                                  i < v6->networkPrefixLengths.size() ? v6->networkPrefixLengths[i] : 128);
        for (const auto& route : v6->includedRoutes)
            inClient_->addRoute(route.destinationAddress, route.networkPrefixLength, deviceIndex_);
        for (const auto& route : v6->excludedRoutes)
            inClient_->addRoute(route.destinationAddress, route.networkPrefixLength, 0);
    }
    writeResolvConf(settings.dnsSettings);
    if (auto error = proxyEnv_.publish(settings.proxySettings))
        error->raise();
}

void NetnsTunnelPlatform::clear() {
    if (!applied_ || !deviceIndex_)
        return;
    auto settings = std::exchange(applied_, std::nullopt);
    // Throw routes name no device, so they outlive it unless taken away here.
    if (const auto& v4 = settings->ipv4Settings) {
        for (const auto& route : v4->excludedRoutes)
            inClient_->deleteRoute(route.destinationAddress, prefixOfMask(route.subnetMask), 0);
        for (std::size_t i = 0; i < v4->addresses.size(); ++i)
            inClient_->deleteAddress(deviceIndex_, v4->addresses[i],
                                     i < v4->subnetMasks.size() ? prefixOfMask(v4->subnetMasks[i]) : 32);
    }
    if (const auto& v6 = settings->ipv6Settings) {
        for (const auto& route : v6->excludedRoutes)
            inClient_->deleteRoute(route.destinationAddress, route.networkPrefixLength, 0);
        for (std::size_t i = 0; i < v6->addresses.size(); ++i)
            inClient_->deleteAddress(deviceIndex_, v6->addresses[i],
                                     i < v6->networkPrefixLengths.size() ? v6->networkPrefixLengths[i] : 128);
    }
    // Down, the device loses every route through it.
    inClient_->setLinkUp(deviceIndex_, false);
}

void NetnsTunnelPlatform::writeResolvConf(const std::optional<DNSSettings>& dns) {
    std::error_code ignored;
    std::filesystem::create_directories(resolvConfPath().parent_path(), ignored);
    std::string text =
        "# Written by pemtrox while its tunnel runs: the DNS servers of the program's network.\n";
    for (const auto& server : dns ? dns->servers : std::vector<std::string>{})
        text += "nameserver " + server + "\n";
    writeInPlace(resolvConfPath(), text);
}

void NetnsTunnelPlatform::stop() {
    queue_->onQueue([&] {
        try {
            clear();
        } catch (const Error& error) {
            LOG_WARNING("Failed to clear the tunnel settings in {}: {}", name_, error.description());
        }
        if (deviceIndex_) {
            try {
                inClient_->deleteLink(deviceIndex_);
            } catch (const Error& error) {
                LOG_WARNING("Failed to remove the tunnel device {}: {}", device_, error.description());
            }
            deviceIndex_ = 0;
        }
        std::error_code ignored;
        std::filesystem::remove(resolvConfPath(), ignored);
        std::filesystem::remove(resolvConfPath().parent_path(), ignored); // only when empty
        proxyEnv_.removeProxyEnv();
    });
}

} // namespace pemtrox
