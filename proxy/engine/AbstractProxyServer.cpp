#include "proxy/engine/AbstractProxyServer.h"

#include <optional>

#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

namespace {

using L = ProxyServerListener;
using S = ProxyEventStatus;
using Evt = std::shared_ptr<ProxyEvent>;

template <auto step, class... Args>
void notify(const AbstractProxyServer& server, std::optional<S> stage, const Evt& evt, const Args&... args) {
    if (stage)
        evt->status = *stage;
    server.fanOut<step>(evt, args...);
}

} // namespace

void AbstractProxyServer::addProxyListener(const std::shared_ptr<ProxyServerListener>& listener) {
    listeners_.add(listener);
}

void AbstractProxyServer::removeProxyListener(const std::shared_ptr<ProxyServerListener>& listener) {
    listeners_.remove(listener);
}

// clang-format off
void AbstractProxyServer::notifyTransactionConnect(const Evt& e) { notify<&L::proxyListenerTransactionConnect>(*this, S::before, e); }
void AbstractProxyServer::notifyTransactionComplete(const Evt& e) { notify<&L::proxyListenerTransactionComplete>(*this, S::complete, e); }
void AbstractProxyServer::notifyTransactionException(const Evt& e) { notify<&L::proxyListenerTransactionException>(*this, S::exception, e); }
void AbstractProxyServer::notifyTransactionCancelled(const Evt& e) { notify<&L::proxyListenerTransactionCancelled>(*this, S::exception, e); }
void AbstractProxyServer::notifyReceivedRequestAddress(const Evt& e) { notify<&L::proxyListenerReceivedRequestAddress>(*this, S::receivedRequestFirstLine, e); }
void AbstractProxyServer::notifyReceivedRequestURL(const Evt& e) { notify<&L::proxyListenerReceivedRequestURL>(*this, S::receivedRequestURL, e); }
void AbstractProxyServer::notifyReceivedRequestHeader(const Evt& e) { notify<&L::proxyListenerReceivedRequestHeader>(*this, S::receivedRequestHeader, e); }
void AbstractProxyServer::notifySentRequestHeader(const Evt& e) { notify<&L::proxyListenerSentRequestHeader>(*this, std::nullopt, e); }
void AbstractProxyServer::notifyReceivedRequest(const Evt& e) { notify<&L::proxyListenerReceivedRequest>(*this, S::receivedRequestBody, e); }
void AbstractProxyServer::notifyReceivingRequestBody(const Evt& e, const Data& d) { notify<&L::proxyListenerReceivingRequestBody>(*this, S::receivingRequestBody, e, d); }
void AbstractProxyServer::notifyReceivedResponseHeader(const Evt& e) { notify<&L::proxyListenerReceivedResponseHeader>(*this, S::receivedResponseHeader, e); }
void AbstractProxyServer::notifySentResponseHeader(const Evt& e) { notify<&L::proxyListenerSentResponseHeader>(*this, std::nullopt, e); }
void AbstractProxyServer::notifyReceivingResponseBody(const Evt& e, const Data& d) { notify<&L::proxyListenerReceivingResponseBody>(*this, S::receivingResponseBody, e, d); }
void AbstractProxyServer::notifyReceivedResponse(const Evt& e) { notify<&L::proxyListenerReceivedResponse>(*this, S::receivedResponseBody, e); }
void AbstractProxyServer::notifyResolvingRemote(const Evt& e) { notify<&L::proxyListenerResolvingRemote>(*this, S::resolving, e); }
void AbstractProxyServer::notifyConnectingToRemote(const Evt& e) { notify<&L::proxyListenerConnectingToRemote>(*this, S::connecting, e); }
void AbstractProxyServer::notifyConnectedToRemote(const Evt& e) { notify<&L::proxyListenerConnectedToRemote>(*this, S::connected, e); }
// clang-format on

} // namespace pemtrox
