#include "proxy/engine/AbstractProxyServer.h"

#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

void AbstractProxyServer::addProxyListener(const std::shared_ptr<ProxyServerListener>& listener) {
    listeners_.add(listener);
}

void AbstractProxyServer::removeProxyListener(const std::shared_ptr<ProxyServerListener>& listener) {
    listeners_.remove(listener);
}

void AbstractProxyServer::proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerTransactionConnect(evt); });
}

void AbstractProxyServer::notifyTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::before;
    proxyListenerTransactionConnect(evt);
}

void AbstractProxyServer::proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerTransactionComplete(evt); });
}

void AbstractProxyServer::notifyTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::complete;
    proxyListenerTransactionComplete(evt);
}

void AbstractProxyServer::proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerTransactionException(evt); });
}

void AbstractProxyServer::notifyTransactionException(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::exception;
    proxyListenerTransactionException(evt);
}

void AbstractProxyServer::proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerTransactionCancelled(evt); });
}

void AbstractProxyServer::notifyTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::exception;
    proxyListenerTransactionCancelled(evt);
}

void AbstractProxyServer::proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEachUntilThrow(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequestAddress(evt); });
}

void AbstractProxyServer::notifyReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::receivedRequestFirstLine;
    proxyListenerReceivedRequestAddress(evt);
}

void AbstractProxyServer::proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEachUntilThrow(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequestURL(evt); });
}

void AbstractProxyServer::notifyReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::receivedRequestURL;
    proxyListenerReceivedRequestURL(evt);
}

void AbstractProxyServer::proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEachUntilThrow(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequestHeader(evt); });
}

void AbstractProxyServer::notifyReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::receivedRequestHeader;
    proxyListenerReceivedRequestHeader(evt);
}

void AbstractProxyServer::proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerSentRequestHeader(evt); });
}

void AbstractProxyServer::notifySentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    // The stage stays as it is.
    proxyListenerSentRequestHeader(evt);
}

void AbstractProxyServer::proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequest(evt); });
}

void AbstractProxyServer::notifyReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::receivedRequestBody;
    proxyListenerReceivedRequest(evt);
}

void AbstractProxyServer::proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt,
                                                            const Data& data) {
    listeners_.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivingRequestBody(evt, data); });
}

void AbstractProxyServer::notifyReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt,
                                                     const Data& data) {
    evt->status = ProxyEventStatus::receivingRequestBody;
    proxyListenerReceivingRequestBody(evt, data);
}

void AbstractProxyServer::proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedResponseHeader(evt); });
}

void AbstractProxyServer::notifyReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::receivedResponseHeader;
    proxyListenerReceivedResponseHeader(evt);
}

void AbstractProxyServer::proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerSentResponseHeader(evt); });
}

void AbstractProxyServer::notifySentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    // The stage stays as it is.
    proxyListenerSentResponseHeader(evt);
}

void AbstractProxyServer::proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                                             const Data& data) {
    listeners_.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivingResponseBody(evt, data); });
}

void AbstractProxyServer::notifyReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                                      const Data& data) {
    evt->status = ProxyEventStatus::receivingResponseBody;
    proxyListenerReceivingResponseBody(evt, data);
}

void AbstractProxyServer::proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerReceivedResponse(evt); });
}

void AbstractProxyServer::notifyReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::receivedResponseBody;
    proxyListenerReceivedResponse(evt);
}

void AbstractProxyServer::proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerResolvingRemote(evt); });
}

void AbstractProxyServer::notifyResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::resolving;
    proxyListenerResolvingRemote(evt);
}

void AbstractProxyServer::proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerConnectingToRemote(evt); });
}

void AbstractProxyServer::notifyConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::connecting;
    proxyListenerConnectingToRemote(evt);
}

void AbstractProxyServer::proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) {
    listeners_.forEach([&](ProxyServerListener& listener) { listener.proxyListenerConnectedToRemote(evt); });
}

void AbstractProxyServer::notifyConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) {
    evt->status = ProxyEventStatus::connected;
    proxyListenerConnectedToRemote(evt);
}

} // namespace pemtrox
