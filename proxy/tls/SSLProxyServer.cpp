#include "proxy/tls/SSLProxyServer.h"

#include <algorithm>
#include <mutex>

#include <openssl/crypto.h>

#include "platform/Log.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/tls/InterceptsConnect.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLHttpProxyHandler.h"

namespace pemtrox {

std::shared_ptr<SSLProxyServer> SSLProxyServer::make(SSLSettings settings,
                                                     std::shared_ptr<DispatchQueue> queue,
                                                     std::shared_ptr<SSLContextFactory> contextFactory,
                                                     std::shared_ptr<SSLCAGenerator> ca) {
    return std::make_shared<SSLProxyServer>(std::make_shared<const SSLSettings>(std::move(settings)),
                                            std::move(queue), std::move(contextFactory), std::move(ca));
}

SSLProxyServer::SSLProxyServer(std::shared_ptr<const SSLSettings> settings,
                               std::shared_ptr<DispatchQueue> queue,
                               std::shared_ptr<SSLContextFactory> contextFactory,
                               std::shared_ptr<SSLCAGenerator> ca)
    : SocketProxyServer(std::move(queue)),
      contextFactory_(contextFactory ? std::move(contextFactory) : SSLContextFactory::make()),
      ca_(ca ? std::move(ca) : SSLCAGenerator::make()), settings_(std::move(settings)) {
    initCA();
}

SSLProxyServer::~SSLProxyServer() = default;

std::string SSLProxyServer::caPassPhrase() {
    // Made at run time so that the text does not stand whole in the binary.
    std::string phrase = "x0rtm";
    phrase += "ep";
    std::reverse(phrase.begin(), phrase.end());
    return phrase + "-Ca" + std::to_string(2 * 2) + "K";
}

void SSLProxyServer::setSettings(SSLSettings settings) {
    setSettings(std::make_shared<const SSLSettings>(std::move(settings)));
}

void SSLProxyServer::setSettings(std::shared_ptr<const SSLSettings> settings) {
    settings_.store(std::move(settings));
}

void SSLProxyServer::initCA() {
    static std::once_flag cryptoInitialised;
    std::call_once(cryptoInitialised, [] {
        OPENSSL_init_crypto(
            OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG, nullptr);
    });
    try {
        installCA(*ca_, *contextFactory_, caPassPhrase());
    } catch (const Error& e) {
        fatalError("Failed to build or export CA: " + e.description());
    }
}

void SSLProxyServer::buildAndExportCA() {
    try {
        ca_->generate();
        ca_->save(caPassPhrase());
    } catch (const Error& e) {
        fatalError("Failed to build or export CA: " + e.description());
    }
}

bool SSLProxyServer::isSSLProxied(const ProxyEvent& evt) {
    return interceptsConnect(evt.host, evt.port, *settings());
}

std::shared_ptr<ProxyHandler>
SSLProxyServer::createHandler(const std::shared_ptr<ProxyConnection>& connection) {
    auto self = std::static_pointer_cast<SSLProxyServer>(shared_from_this());
    return SSLHttpProxyHandler::make(self, self, connection);
}

} // namespace pemtrox
