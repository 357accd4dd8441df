#include "PacketTunnel/PacketTunnelProvider.h"

#include <cmath>
#include <fstream>

#include "PacketTunnel/LWIPTunnelMode.h"
#include "PacketTunnel/NetworkChangeProcedure.h"
#include "PacketTunnel/ProxyTunnelMode.h"
#include "PacketTunnel/Resolver.h"
#include "PacketTunnel/TunPacketFlow.h"
#include "platform/Container.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "platform/UnicodeScalars.h"
#include "platform/UserDefaults.h"
#include "proxy/io/AppGroup.h"
#include "proxy/io/CustomLogFormatter.h"
#include "proxy/io/Plumber.h"
#include "proxy/recording/RecordingListener.h"
#include "proxy/tools/ToolsProxyServerListenerMultiplexer.h"

namespace pemtrox {

namespace {

/// Platform answers may come on any thread; the provider's state belongs to the main queue.
void onMain(std::function<void()> work) {
    auto main = DispatchQueue::main();
    if (main->isCurrent())
        work();
    else
        main->async(std::move(work));
}

} // namespace

std::shared_ptr<PacketTunnelProvider> PacketTunnelProvider::make() {
    std::shared_ptr<PacketTunnelProvider> provider(new PacketTunnelProvider());
    // The log file first: loading the settings warns about what it cannot read as written,
    // and the user looks for those warnings in the file.
    provider->setupLogging();
    provider->settings_.publish(Settings::load(provider->userDefaults()));
    return provider;
}

PacketTunnelProvider::PacketTunnelProvider() = default;

PacketTunnelProvider::~PacketTunnelProvider() {
    LOG_INFO("PacketTunnelProvider deinit");
    if (fileLogger_)
        Log::removeLogger(fileLogger_);
}

UserDefaults PacketTunnelProvider::userDefaults() {
    auto container = Container::directory();
    return container ? UserDefaults::suite(*container) : UserDefaults();
}

// MARK: start and stop

void PacketTunnelProvider::startTunnel(const std::optional<Options>& options,
                                       std::function<void(ErrorPtr)> completion) {
    bool given = options && options->is_object() && !options->empty();
    PacketTunnelMode chosen;
    try {
        chosen = packetTunnelModeFromOptions(options);
    } catch (...) {
        completion(currentError());
        return;
    }
    mode_ = chosen;
    // A run of an earlier start may still wait for the platform; this start's changes are
    // this start's procedure's.
    if (networkChange_)
        networkChange_->stop();
    networkChange_ = makeNetworkChange();
    if (given && options->contains("Port") && !(*options)["Port"].is_number())
        LOG_WARNING("Port {} is not a number; keeping port {}", (*options)["Port"].dump(), proxyPort_);
    else if (given && options->contains("Port")) {
        const auto& value = (*options)["Port"];
        // A number's integer value is the port (9090.7 serves on 9090), as long as one exists.
        double port = std::trunc(value.get<double>());
        if (port >= 1 && port <= 65535)
            proxyPort_ = static_cast<int>(port);
        else
            LOG_WARNING("Port {} is outside 1-65535; keeping port {}", value.dump(), proxyPort_);
    }
    LOG_INFO("Start tunnel: {}", packetTunnelModeText(chosen));
    // The one place that tells the modes apart: from here on the mode is a TunnelMode.
    if (chosen == PacketTunnelMode::Proxy) {
        startProxy();
    } else if (auto error = startLWIP()) {
        releaseTunnel();
        completion(error);
        return;
    }
    try {
        startRecording();
    } catch (...) {
        logError("Failed to start recording: ", currentError());
    }
    std::weak_ptr<PacketTunnelProvider> weak =
        std::static_pointer_cast<PacketTunnelProvider>(shared_from_this());
    try {
        auto monitor = makeReachability();
        if (tunnelDeviceIndex_)
            monitor->ignoreInterface(tunnelDeviceIndex_);
        monitor->start();
        reachability_ = monitor;
    } catch (...) {
        logError("Failed to start reachability: ", currentError());
    }
    if (reachability_)
        reachabilityObserver_ = reachability_->addObserver([weak](ReachabilityFlags flags) {
            if (auto self = weak.lock())
                self->networkChanged(flags);
        });
    toolsMultiplexer_ = ToolsProxyServerListenerMultiplexer::make(settings_.current()->tools);
    toolsMultiplexer_->updateListeners();
    toolsSubscription_ = settings_.subscribe([this](const SettingsPublisher::Snapshot&) { updateTools(); });
    if (tunnelMode_)
        tunnelMode_->setToolsListener(toolsMultiplexer_);
    updateTools();
    networkTunnelSettings = makeTunnelNetworkSettings(chosen);
    setTunnelNetworkSettings(networkTunnelSettings, [weak, completion](ErrorPtr error) {
        auto self = weak.lock();
        if (error) {
            LOG_INFO("Failed to set the tunnel network settings: {}", describe(error));
            // Nothing may keep running behind a start reported as failed.
            if (self) {
                self->stopMode();
                self->releaseTunnel();
            }
            completion(error);
            return;
        }
        LOG_INFO("Start reading packets");
        if (self && self->tunnelMode_)
            self->tunnelMode_->tunnelSettingsApplied();
        completion(nullptr);
    });
}

void PacketTunnelProvider::stopTunnel(int, std::function<void()> completion) {
    LOG_INFO("Stopping tunnel");
    reachabilityObserver_.reset();
    stopMode();
    releaseTunnel();
    LOG_INFO("Stopped tunnel");
    completion();
}

void PacketTunnelProvider::releaseTunnel() {
    // A network-change run still under way sees this at its next step and ends.
    networkChange().stop();
    reachabilityObserver_.reset();
    if (ownsPacketFlow_) {
        packetFlow_->close();
        packetFlow_.reset();
        ownsPacketFlow_ = false;
    }
    tunnelDeviceIndex_ = 0;
    if (tunnelPlatform())
        tunnelPlatform()->stop();
}

ErrorPtr PacketTunnelProvider::openTunnelDevice() {
    if (packetFlow_ || !tunnelPlatform())
        return nullptr;
    try {
        if (auto device = tunnelPlatform()->openTunnelDevice()) {
            tunnelDeviceIndex_ = device->index();
            packetFlow_ = TunPacketFlow::make(std::move(*device));
            ownsPacketFlow_ = true;
        }
    } catch (...) {
        return currentError();
    }
    return nullptr;
}

TunnelMode::Configuration PacketTunnelProvider::modeConfiguration() {
    TunnelMode::Configuration configuration;
    configuration.tunnelAddress = tunnelAddress;
    configuration.proxyPort = proxyPort_;
    configuration.proxyInterface = proxyInterface_;
    // The CA lives in the container, beside the recordings, so the user's side finds it.
    configuration.caDirectory = Container::directory().value_or(std::filesystem::path());
    configuration.settings = &settings_;
    return configuration;
}

void PacketTunnelProvider::startProxy() {
    tunnelMode_ = ProxyTunnelMode::start(modeConfiguration());
}

ErrorPtr PacketTunnelProvider::startLWIP() {
    if (auto error = openTunnelDevice())
        return error;
    if (!packetFlow_)
        return makeError<GenericError>(
            "LWIP mode is not available without a tunnel device; start with --mode Proxy");
    try {
        tunnelMode_ = LWIPTunnelMode::start(modeConfiguration(), packetFlow_);
    } catch (...) {
        return currentError(); // the stack runs once per process: a second start is refused
    }
    return nullptr;
}

void PacketTunnelProvider::stopMode() {
    if (tunnelMode_ && tunnelMode_->stop())
        tunnelMode_.reset();
}

std::vector<std::string> PacketTunnelProvider::systemDnsServers() {
    return Resolver::tunnelDnsServers();
}

TunnelNetworkSettings PacketTunnelProvider::makeTunnelNetworkSettings(PacketTunnelMode forMode) {
    bool claimsRoutes = forMode == PacketTunnelMode::LWIP;
    TunnelNetworkSettings out;
    out.tunnelRemoteAddress = tunnelAddress;
    out.ipv4Settings = IPv4Settings{{tunnelAddress}, {"255.255.255.0"}, {}, {}};
    if (claimsRoutes)
        out.ipv4Settings->includedRoutes.push_back({"0.0.0.0", "0.0.0.0"});
    out.ipv6Settings = IPv6Settings{{tunnelAddress6}, {tunnelAddress6PrefixLength}, {}, {{"FF02::", 16}}};
    if (claimsRoutes)
        out.ipv6Settings->includedRoutes.push_back({"::0", 0});
    auto servers = systemDnsServers();
    LOG_INFO("DNS servers: {}", NetworkChangeProcedure::dnsServersText(servers));
    out.dnsSettings = DNSSettings{servers};
    ProxyServerAddress proxy{proxyAddress, proxyPort_};
    out.proxySettings = ProxySettings{true, proxy, true, proxy};
    return out;
}

// MARK: network changes

std::shared_ptr<Reachability> PacketTunnelProvider::makeReachability() {
    return Reachability::make();
}

// The procedure's steps act on the provider while it lives; a step that finds it gone does
// nothing, and the run is left where it was.
std::shared_ptr<NetworkChangeProcedure> PacketTunnelProvider::makeNetworkChange() {
    std::weak_ptr<PacketTunnelProvider> weak =
        std::static_pointer_cast<PacketTunnelProvider>(shared_from_this());
    NetworkChangeProcedure::Steps steps;
    steps.clearSettings = [weak](std::function<void(ErrorPtr)> done) {
        if (auto self = weak.lock())
            self->setTunnelNetworkSettings(std::nullopt, std::move(done));
    };
    steps.renewSettings = [weak](std::vector<std::string> servers, std::function<void(ErrorPtr)> done) {
        auto self = weak.lock();
        if (!self)
            return;
        if (self->networkTunnelSettings)
            self->networkTunnelSettings->dnsSettings = DNSSettings{std::move(servers)};
        self->updateNetworkTunnelSettings(std::move(done));
    };
    steps.dnsServers = [weak] {
        auto self = weak.lock();
        return self ? self->systemDnsServers() : std::vector<std::string>();
    };
    steps.invalidateICMPSockets = [weak] {
        if (auto self = weak.lock())
            self->invalidateICMPSockets();
    };
    steps.rebindICMPSockets = [weak] {
        if (auto self = weak.lock())
            self->rebindICMPSockets();
    };
    steps.setReasserting = [weak](bool value) {
        if (auto self = weak.lock())
            self->setReasserting(value);
    };
    return NetworkChangeProcedure::make(std::move(steps), DispatchQueue::main());
}

NetworkChangeProcedure& PacketTunnelProvider::networkChange() {
    if (!networkChange_)
        networkChange_ = makeNetworkChange();
    return *networkChange_;
}

void PacketTunnelProvider::networkChanged(ReachabilityFlags flags) {
    networkChange().networkChanged(flags);
}

void PacketTunnelProvider::updateNetworkTunnelSettings(std::function<void(ErrorPtr)> completion) {
    setTunnelNetworkSettings(networkTunnelSettings, [completion = std::move(completion)](ErrorPtr error) {
        onMain([completion, error] {
            if (error)
                logError("Failed to update network tunnel settings: ", error);
            else
                LOG_INFO("Network tunnel settings updated");
            if (completion)
                completion(error);
        });
    });
}

void PacketTunnelProvider::invalidateICMPSockets() {
    if (tunnelMode_)
        tunnelMode_->networkChangeBegins();
}

void PacketTunnelProvider::rebindICMPSockets() {
    if (tunnelMode_)
        tunnelMode_->networkChangeEnded();
}

// MARK: recording and tools

void PacketTunnelProvider::startRecording() {
    if (recordingListener_)
        stopRecording();
    if (!tunnelMode_ || !tunnelMode_->hasProxyServer())
        return;
    auto container = Container::directory();
    if (!container)
        throw GenericError("Couldn't get container URL");
    auto listener =
        RecordingListener::make(*container / "Recording", settings_.current()->recordingSettings, true);
    recordingSubscription_ = settings_.subscribe([listener](const SettingsPublisher::Snapshot& settings) {
        listener->setSettings(settings->recordingSettings);
    });
    tunnelMode_->setRecordingListener(listener);
    recordingListener_ = listener;
}

void PacketTunnelProvider::stopRecording() {
    if (!recordingListener_)
        return;
    if (tunnelMode_)
        tunnelMode_->setRecordingListener(nullptr);
    recordingSubscription_.reset();
    recordingListener_.reset();
}

// Loaded once, here, into one snapshot: each part that subscribed takes its own section.
void PacketTunnelProvider::settingsChanged() {
    settings_.publish(Settings::load(userDefaults()));
}

void PacketTunnelProvider::updateTools() {
    if (!toolsMultiplexer_)
        return;
    toolsMultiplexer_->settings = settings_.current()->tools;
    toolsMultiplexer_->updateListeners();
}

// MARK: app messages and the log file

void PacketTunnelProvider::setupLogging() {
    auto container = Container::directory();
    auto directory = container ? *container : std::filesystem::temp_directory_path() / "pemtrox-logs";
    auto logger = std::make_shared<FileLogger>(directory, logLevelErrorWarning, std::chrono::seconds(86400));
    logger->setFormatter(std::make_shared<CustomLogFormatter>());
    Log::addLogger(logger);
    fileLogger_ = logger;
}

void PacketTunnelProvider::handleAppMessage(const Bytes& message,
                                            std::function<void(std::optional<Bytes>)> completion) {
    std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
    auto command = isValidUTF8(text) ? appMessageCommandFromString(text) : std::nullopt;
    auto type = AppMessageReplyType::UnknownMessage;
    std::optional<Data> reply;
    if (command) {
        switch (*command) {
        case AppMessageCommand::SettingsChanged:
            settingsChanged();
            type = AppMessageReplyType::Acknowleged;
            break;
        case AppMessageCommand::Plumber:
            type = AppMessageReplyType::Plumber;
            reply = toData(Plumber::report());
            break;
        case AppMessageCommand::Log:
            type = AppMessageReplyType::Log;
            if (fileLogger_)
                reply = toData(fileLogger_->currentLogFilePath().string());
            break;
        case AppMessageCommand::ClearLog:
            type = AppMessageReplyType::Acknowleged;
            if (fileLogger_) {
                Log::removeLogger(fileLogger_);
                // Its own writer empties the file, so that a disk that stops answering holds
                // that thread alone and not this queue.
                fileLogger_->clearCurrentLogFile();
                setupLogging();
            }
            break;
        }
    }
    if (completion)
        completion(encodeAppMessageReply(type, reply));
}

} // namespace pemtrox
