#include "proxy/tls/SSLTestProxyListener.h"

#include "platform/LogEntryPoints.h"
#include "platform/TlsEngine.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ReservedHosts.h"
#include "proxy/engine/SimpleSocketRemoteConnection.h"
#include "proxy/io/CrossOverSocket.h"
#include "proxy/io/PipeSocket.h"
#include "proxy/io/SSLSocketWrapper.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLProxyServer.h"

namespace pemtrox {

namespace {

Data testResponse() {
    HttpFields head;
    head.setResponseFirstLine(std::nullopt, 200, "OK");
    head.fields.push_back({"Content-Type", "text/plain"});
    head.fields.push_back({"Connection", "Close"});
    std::string text = head.headerText() + "Hello world";
    return Data(text.begin(), text.end());
}

} // namespace

std::shared_ptr<SSLSocketWrapper> SSLTestProxyListener::saveMe() const {
    std::lock_guard lock(mutex_);
    return saveMe_.lock();
}

void SSLTestProxyListener::proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    if (!evt->host || *evt->host != SSLTestHost)
        return;
    auto server = server_.lock();
    if (!server)
        return;
    TlsSettings settings;
    settings.isServer = true;
    try {
        settings.certificates = server->contextFactory()->identityForHost(std::string(SSLTestHost));
    } catch (const Error& e) {
        // The engine then contacts the name like any other.
        logError("Failed to create the TLS test identity: ", e);
        return;
    }
    auto pipe = PipeSocket::make(server->queue());
    std::weak_ptr<PipeSocket> weakPipe = pipe;
    auto wrapper = SSLSocketWrapper::makeOverPipeSocket(
        pipe, server->queue(), settings, [weakPipe](SocketConnectionState state) {
            if (state.isConnected())
                return;
            logError("Failed to connect test SSLSocket: ", state.error());
            if (auto pipe = weakPipe.lock(); pipe && !pipe->isClosed())
                pipe->close(state.error());
        });
    // The wrapper lives until its pipe closes, which every path of the exchange comes to;
    // nothing else keeps it, so the exchange leaves nothing behind.
    auto owner = std::make_shared<std::shared_ptr<SSLSocketWrapper>>(wrapper);
    pipe->setDidCloseBlock([owner](std::shared_ptr<Socket>, ErrorPtr error, CloseCompletion next) {
        owner->reset();
        next(std::move(error));
    });
    std::weak_ptr<SSLSocketWrapper> weakWrapper = wrapper;
    auto response = std::make_shared<Data>(testResponse());
    auto closePipe = [weakPipe](ErrorPtr error) {
        if (auto pipe = weakPipe.lock(); pipe && !pipe->isClosed())
            pipe->close(std::move(error));
    };
    wrapper->inputStream()->handler(
        [weakWrapper, response, closePipe](InputStreamEvent event, InputStreamReply reply) {
            auto wrapper = weakWrapper.lock();
            if (event.isData() && wrapper) {
                wrapper->outputStream()->write(*response, false,
                                               [reply, closePipe](OutputStreamWriteHandlerResult result) {
                                                   reply(InputStreamHandlerResult::done);
                                                   closePipe(result.isError() ? result.error() : nullptr);
                                               });
                return;
            }
            if (event.isError())
                logError("Received unexpected input error: ", event.error());
            reply(InputStreamHandlerResult::done);
            closePipe(nullptr);
        });
    wrapper->inputStream()->read();
    {
        std::lock_guard lock(mutex_);
        saveMe_ = wrapper;
    }
    evt->overrideRemoteConnection = SimpleSocketRemoteConnection::make(CrossOverSocket::make(pipe));
}

} // namespace pemtrox
