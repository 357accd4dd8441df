// The pemtrox program: plays the part of the operating system for the tunnel extension.
// It makes the provider, starts it with the start options, serves app messages, and
// stops it on SIGINT or SIGTERM. Its "message" verb is the user's side of app messages.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <pthread.h>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "PacketTunnel/PacketTunnelProvider.h"
#include "platform/AppMessageChannel.h"
#include "platform/Container.h"
#include "platform/DispatchQueue.h"
#include "platform/KeyedArchive.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "platform/NetnsTunnelPlatform.h"
#include "proxy/io/CustomLogFormatter.h"
#include "proxy/recording/RecordingListener.h"

namespace {

using namespace pemtrox;

const char* usage = R"(Usage: pemtrox [options]
       pemtrox message <Command> [--no-reply] [--container DIR]
       (options go before or after the command)

An intercepting, recording HTTP/HTTPS proxy.

Options:
  --mode Proxy|LWIP  how to run (default Proxy: a proxy on every interface)
  --port N           the proxy port (default 8888)
  --interface ADDRESS
                     Proxy mode: listen only on this address of the machine, e.g.
                     127.0.0.1 (default: every interface)
  --netns NAME       LWIP mode (root): the network namespace whose traffic the tunnel
                     takes, made when missing; run apps there with 'ip netns exec NAME'
                     (never the program's own namespace)
  --options JSON     the start options as one JSON object, e.g.
                     '{"PacketTunnelMode":"Proxy","Port":9090}' (instead of --mode/--port)
  --container DIR    the app group container (settings, recordings, log, CA, the
                     app-message socket); default $PEMTROX_CONTAINER, else
                     $XDG_DATA_HOME/pemtrox
  --help             print this help and exit
  --version          print the version and exit

Commands of 'pemtrox message': SettingsChanged, Plumber, Log, ClearLog. The reply's
type and text are printed; the exit status is non-zero when nothing answers.
)";

constexpr const char* socketName = "pemtrox.sock";

// How long a stop waits for the recording writer before it drops what is left.
constexpr auto recordingStopBound = std::chrono::seconds(3);

int usageError(const std::string& text) {
    std::fprintf(stderr, "pemtrox: %s\nTry 'pemtrox --help'.\n", text.c_str());
    return 2;
}

int sendMessage(const std::filesystem::path& container, const std::string& command, bool wantsReply) {
    try {
        auto reply = sendAppMessage(container / socketName, {command.begin(), command.end()}, wantsReply);
        if (!reply)
            return 0;
        std::string type, message;
        for (auto& [key, value] : KeyedArchive::decode(*reply)) {
            std::string text;
            if (auto* s = std::get_if<std::string>(&value))
                text = *s;
            else if (auto* b = std::get_if<KeyedArchive::Bytes>(&value))
                text.assign(b->begin(), b->end());
            (key == "type" ? type : message) = text;
        }
        std::printf("%s\n", type.c_str());
        if (!message.empty())
            std::printf("%s\n", message.c_str());
        return 0;
    } catch (const Error& error) {
        std::fprintf(stderr, "pemtrox: no answer from a running pemtrox: %s\n", error.description().c_str());
        return 1;
    }
}

/// Whether the text is a numeric IPv4 or IPv6 address; the unspecified ones are told apart.
bool isAddress(const std::string& text, bool* unspecified) {
    in6_addr v6{};
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        *unspecified = v4.s_addr == INADDR_ANY;
        return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        *unspecified = IN6_IS_ADDR_UNSPECIFIED(&v6);
        return true;
    }
    return false;
}

/// Why the mode's proxy is not serving after the start, or none. The provider logs such a
/// failure and goes on; for the program it is a start that failed: nobody can use the proxy,
/// and proxy.env would point shells at a port someone else holds.
ErrorPtr proxyNotListening(const PacketTunnelProvider& provider) {
    auto mode = provider.tunnelMode();
    return mode ? mode->notServing() : nullptr;
}

/// The signals that stop the program: blocked in every thread, taken only by sigwait.
sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

/// Runs the provider until SIGINT or SIGTERM; its start options come from the command line.
int runProvider(const std::filesystem::path& container, const PacketTunnelProviderBase::Options& options,
                const std::optional<std::string>& netns, const std::optional<std::string>& interface) {
    auto main = DispatchQueue::main();
    std::shared_ptr<TunnelPlatform> platform;
    if (netns) {
        try {
            platform = NetnsTunnelPlatform::make(*netns, container);
        } catch (const Error& error) {
            std::fprintf(stderr, "pemtrox: the network namespace %s: %s\n", netns->c_str(),
                         error.description().c_str());
            return 1;
        }
    } else {
        // proxy.env names the one address the proxy listens on, when it is told one.
        bool unspecified = false;
        bool named = interface && isAddress(*interface, &unspecified) && !unspecified;
        platform =
            std::make_shared<ProxyEnvTunnelPlatform>(container, false, named ? *interface : "127.0.0.1");
    }
    std::shared_ptr<PacketTunnelProvider> provider;
    main->sync([&] {
        provider = PacketTunnelProvider::make();
        provider->setTunnelPlatform(platform);
        provider->setProxyInterface(interface);
    });
    auto stop = [&] {
        std::promise<void> stopped;
        main->async([&] { provider->stopTunnel(0, [&] { stopped.set_value(); }); });
        stopped.get_future().wait();
    };

    std::unique_ptr<AppMessageServer> messages;
    try {
        // App messages reach the provider on the main queue, like every other entry point.
        messages = AppMessageServer::start(container / socketName, [&](const AppMessageServer::Bytes& message,
                                                                       bool wantsReply) {
            std::optional<AppMessageServer::Bytes> reply;
            main->sync([&] {
                std::function<void(std::optional<PacketTunnelProviderBase::Bytes>)> completion;
                if (wantsReply)
                    completion = [&](std::optional<PacketTunnelProviderBase::Bytes> bytes) { reply = bytes; };
                provider->handleAppMessage(message, completion);
            });
            return reply;
        });
    } catch (const Error& error) {
        std::fprintf(stderr, "pemtrox: %s\n", error.description().c_str());
        return 1;
    }

    std::promise<ErrorPtr> started;
    main->async([&] { provider->startTunnel(options, [&](ErrorPtr error) { started.set_value(error); }); });
    auto error = started.get_future().get();
    if (!error)
        main->sync([&] { error = proxyNotListening(*provider); });
    if (error) {
        // Whatever the start wrote (proxy.env, the tunnel's settings, the message socket)
        // goes again: nothing is left that points at a proxy that is not there.
        stop();
        messages->stop();
        main->sync([&] { provider.reset(); });
        std::fprintf(stderr, "pemtrox: the tunnel did not start: %s\n", error->description().c_str());
        return 1;
    }
    logMessage("Running; app messages at " + messages->path().string());

    auto signals = stopSignals();
    int received = 0;
    sigwait(&signals, &received);
    stop();
    // The recording writer gets a few seconds for what it still holds: a disk that stopped
    // answering must not keep the program from ending.
    std::shared_ptr<RecordingListener> recording;
    main->sync([&] { recording = provider->recordingListener(); });
    if (recording)
        recording->finishWrites(recordingStopBound);
    recording.reset();
    messages->stop();
    main->sync([&] { provider.reset(); });
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // The crypto library is set up once, on this thread: set up first on a queue's thread,
    // it leaves that thread's state unreachable at exit. It is never torn down: threads not
    // joined at exit (the key pool, the cache writer, a queue ended by its own work) may still
    // be using it, and would crash on its freed state or leave their own state unreachable.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                            OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT,
                        nullptr);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::string> mode, port, optionsText, command, netns, interface;
    bool wantsReply = true;
    // Options go before or after the verb and its command: "message" is the first word that is
    // no option, its command the next.
    bool messageVerb = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("pemtrox %s\n", PEMTROX_VERSION);
            return 0;
        } else if (a == "--mode") {
            if (!(mode = value()))
                return usageError("--mode needs Proxy or LWIP");
        } else if (a == "--port") {
            if (!(port = value()))
                return usageError("--port needs a number");
        } else if (a == "--interface") {
            bool unspecified = false;
            if (!(interface = value()) || !isAddress(*interface, &unspecified))
                return usageError("--interface needs an IP address of this machine, e.g. 127.0.0.1");
        } else if (a == "--netns") {
            if (!(netns = value()))
                return usageError("--netns needs a namespace name");
        } else if (a == "--options") {
            if (!(optionsText = value()))
                return usageError("--options needs a JSON object");
        } else if (a == "--container") {
            auto dir = value();
            if (!dir)
                return usageError("--container needs a directory");
            Container::setDirectory(*dir);
        } else if (a == "--no-reply") {
            wantsReply = false;
        } else if (a == "message" && !messageVerb) {
            messageVerb = true;
        } else if (messageVerb && !command && !a.starts_with("-")) {
            command = a;
        } else {
            return usageError("unknown option '" + a + "'");
        }
    }

    if (messageVerb && !command)
        return usageError("message needs a command");
    if (!messageVerb && !wantsReply)
        return usageError("--no-reply is for 'pemtrox message'");

    // Start options as the containing app would pass them: typed values in an object.
    PacketTunnelProviderBase::Options options = nlohmann::json::object();
    if (optionsText) {
        if (mode || port)
            return usageError("--options replaces --mode and --port");
        options = nlohmann::json::parse(*optionsText, nullptr, false);
        if (options.is_discarded() || !options.is_object())
            return usageError("--options needs a JSON object");
    } else {
        options["PacketTunnelMode"] = mode.value_or("Proxy");
        if (port) {
            char* end = nullptr;
            long number = std::strtol(port->c_str(), &end, 10);
            if (port->empty() || *end != '\0')
                return usageError("--port needs a number");
            options["Port"] = number;
        }
    }

    // Only LWIP mode has a tunnel device. An unknown mode is the provider's to refuse, with
    // the error its start reports.
    bool lwip = false;
    try {
        lwip = packetTunnelModeFromOptions(options) == PacketTunnelMode::LWIP;
    } catch (const Error&) {
    }
    if (!command && lwip && !netns)
        return usageError(
            "LWIP mode needs --netns NAME: the network namespace whose traffic the tunnel takes");
    if (!command && !lwip && netns)
        return usageError("--netns is for LWIP mode");
    if (!command && lwip && interface)
        return usageError("--interface is for Proxy mode");

    auto console =
        std::make_shared<ConsoleLogger>(logLevelErrorWarning | static_cast<std::uint32_t>(LogFlag::info));
    console->setFormatter(std::make_shared<CustomLogFormatter>());
    auto container = Container::directory();
    if (!container) {
        std::fprintf(stderr, "pemtrox: Couldn't get container URL\n");
        return 1;
    }
    if (command)
        return sendMessage(*container, *command, wantsReply);

    Log::addLogger(console);
    logMessage("Container: " + container->string());
    // Every thread inherits the blocked signals, so that only sigwait takes them.
    auto signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return runProvider(*container, options, netns, interface);
}
