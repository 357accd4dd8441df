#pragma once

#include <memory>
#include <mutex>

#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

class SSLSocketWrapper;

/// Answers the TLS test host in process: a TLS server with a certificate of the
/// interception CA that replies "Hello world" to any request, so that a client can check
/// that it trusts the CA.
class SSLTestProxyListener : public ProxyServerAdapter {
public:
    /// For the test host: the exchange's remote becomes the in-process server. Never throws.
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) override;

    /// The TLS server of the most recent test exchange while it runs.
    std::shared_ptr<SSLSocketWrapper> saveMe() const;

private:
    mutable std::mutex mutex_;
    std::weak_ptr<SSLSocketWrapper> saveMe_;
};

} // namespace pemtrox
