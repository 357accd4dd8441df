#include "proxy/engine/ProxyServerListenerMultiplexer.h"

namespace pemtrox {

void ProxyServerListenerMultiplexer::proxyListenerTransactionConnect(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerTransactionConnect(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerTransactionComplete(
    const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerTransactionComplete(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerTransactionException(
    const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerTransactionException(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerTransactionBlocked(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerTransactionBlocked(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerTransactionCancelled(
    const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerTransactionCancelled(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivedRequestAddress(
    const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEachUntilThrow(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequestAddress(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEachUntilThrow(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequestURL(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivedRequestHeader(
    const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEachUntilThrow(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequestHeader(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerSentRequestHeader(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerReceivedRequest(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt,
                                                                       const Data& data) {
    listeners.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivingRequestBody(evt, data); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivedResponseHeader(
    const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivedResponseHeader(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerSentResponseHeader(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivingResponseBody(
    const std::shared_ptr<ProxyEvent>& evt, const Data& data) {
    listeners.forEach(
        [&](ProxyServerListener& listener) { listener.proxyListenerReceivingResponseBody(evt, data); });
}

void ProxyServerListenerMultiplexer::proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerReceivedResponse(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerResolvingRemote(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerResolvingRemote(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerConnectingToRemote(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerConnectingToRemote(evt); });
}

void ProxyServerListenerMultiplexer::proxyListenerConnectedToRemote(const std::shared_ptr<ProxyEvent>& evt) {
    listeners.forEach([&](ProxyServerListener& listener) { listener.proxyListenerConnectedToRemote(evt); });
}

} // namespace pemtrox
