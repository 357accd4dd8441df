// The pemtrox program: plays the part of the operating system for the tunnel extension.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "platform/Container.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "proxy/engine/LoggingProxyListener.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/engine/Settings.h"
#include "proxy/io/CustomLogFormatter.h"
#include "proxy/tls/SSLCACertificateProxyListener.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLProxyServer.h"
#include "proxy/tls/SSLTestProxyListener.h"

namespace {

const char* usage = R"(Usage: pemtrox [options]

An intercepting, recording HTTP/HTTPS proxy. HTTPS to the hosts that settings.json's
"sslSettings.*" select is decrypted with certificates of the CA in the container.

Options:
  --port N          the proxy port on every interface (default 8888)
  --container DIR   the app group container (settings, recordings, log, CA);
                    default $PEMTROX_CONTAINER, else $XDG_DATA_HOME/pemtrox
  --help            print this help and exit
  --version         print the version and exit
)";

int usageError(const std::string& text) {
    std::fprintf(stderr, "pemtrox: %s\nTry 'pemtrox --help'.\n", text.c_str());
    return 2;
}

/// Serves as an explicit HTTP and HTTPS proxy on every interface until SIGINT or SIGTERM,
/// intercepting TLS as the settings in the container say.
int runProxy(int port, const std::filesystem::path& container) {
    using namespace pemtrox;
    auto settings = Settings::load(UserDefaults::suite(container));
    auto queue = DispatchQueue::make("ProxyManager");
    std::shared_ptr<SSLProxyServer> server;
    std::string failure;
    queue->sync([&] {
        server = SSLProxyServer::make(settings.sslSettings, queue, nullptr, SSLCAGenerator::make(container));
        server->addProxyListener(std::make_shared<SSLTestProxyListener>());
        server->addProxyListener(std::make_shared<SSLCACertificateProxyListener>());
        server->addProxyListener(std::make_shared<LoggingProxyListener>());
        try {
            server->bind(port, std::nullopt);
        } catch (...) {
            failure = describe(currentError());
        }
    });
    if (!failure.empty()) {
        std::fprintf(stderr, "pemtrox: cannot listen on port %d: %s\n", port, failure.c_str());
        return 1;
    }
    logMessage("Proxy listening on port " + std::to_string(port) +
               "; CA certificate: " + server->ca()->caCertificateFile().string());
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    int received = 0;
    sigwait(&signals, &received);
    logMessage("Stopping");
    queue->sync([&] {
        server->stopListening();
        server->stop();
    });
    for (int i = 0; i < 50 && server->handlerCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    queue->sync([&] { server.reset(); });
    queue->stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    using namespace pemtrox;
    std::vector<std::string> args(argv + 1, argv + argc);
    int port = 8888;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& a = args[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("pemtrox %s\n", PEMTROX_VERSION);
            return 0;
        } else if (a == "--port") {
            if (i + 1 >= args.size())
                return usageError("--port needs a number");
            char* end = nullptr;
            long value = std::strtol(args[++i].c_str(), &end, 10);
            if (*end != '\0' || !isValidPort(value))
                return usageError("--port needs a number from 1 to 65535");
            port = static_cast<int>(value);
        } else if (a == "--container") {
            if (i + 1 >= args.size())
                return usageError("--container needs a directory");
            Container::setDirectory(args[++i]);
        } else {
            return usageError("unknown option '" + a + "'");
        }
    }
    auto console =
        std::make_shared<ConsoleLogger>(logLevelErrorWarning | static_cast<std::uint32_t>(LogFlag::info));
    console->setFormatter(std::make_shared<CustomLogFormatter>());
    Log::addLogger(console);
    auto container = Container::directory();
    if (!container)
        fatalError("Couldn't get container URL");
    logMessage("Container: " + container->string());
    // Every thread inherits the blocked signals, so that only sigwait takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return runProxy(port, *container);
}
