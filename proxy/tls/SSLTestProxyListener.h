#pragma once

#include <memory>
#include <mutex>

#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

class SSLProxyServer;
class SSLSocketWrapper;

/// Answers the TLS test host in process: a TLS server with a certificate of the
/// interception CA that replies "Hello world" to any request, so that a client can check
/// that it trusts the CA.
class SSLTestProxyListener : public ProxyServerAdapter {
public:
    /// Serves the exchanges of `server`, with its certificate factory on its queue. Held
    /// weakly: the server holds its listeners.
    explicit SSLTestProxyListener(std::weak_ptr<SSLProxyServer> server) : server_(std::move(server)) {}

    /// For the test host: the exchange's remote becomes the in-process server. Never throws.
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) override;

    /// The TLS server of the most recent test exchange while it runs.
    std::shared_ptr<SSLSocketWrapper> saveMe() const;

private:
    std::weak_ptr<SSLProxyServer> server_;
    mutable std::mutex mutex_;
    std::weak_ptr<SSLSocketWrapper> saveMe_;
};

} // namespace pemtrox
