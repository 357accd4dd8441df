#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "proxy/engine/HttpFraming.h"
#include "proxy/engine/ProxyHttpResponsePlan.h"
#include "proxy/io/Data.h"
#include "proxy/io/OutputStreamWriteHandlerResult.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

class HttpFields;
class InputStreamEvent;
class InternalProxyServer;
class MyInputStream;
class MyOutputStream;
class ProxyConnection;
class ProxyEvent;
class RemoteConnection;
class StreamCopier;
enum class InputStreamHandlerResult;

/// Carries one HTTP/1.x exchange from the client connection to the remote connection and
/// back: rewrites and frames the request, reads the response head (passing interim 1xx
/// heads through), decides whether the client connection may stay open, re-frames and
/// optionally decodes the response body, and reports each step to the listeners.
///
/// Strictly sequential: the response head is read only after the whole request went out;
/// one body piece is in flight at a time. Runs on the server's queue. The caller keeps the
/// object until the completion runs.
class ProxyHttp : public PlumberTracked, public std::enable_shared_from_this<ProxyHttp> {
public:
    static constexpr std::int64_t MaxBuffer = 20971520;
    /// Interim (1xx) responses passed on for one request before the exchange fails.
    static constexpr int maxInterimResponses = 100;
    /// Called exactly once: (mustClose, absent) after the response was passed on, or
    /// (true, error) on any failure.
    using Completion = std::function<void(bool mustClose, ErrorPtr error)>;
    /// Runs its argument once the response may be read (see setResponseGate).
    using Gate = std::function<void(std::function<void()>)>;

    static std::shared_ptr<ProxyHttp> make(std::shared_ptr<InternalProxyServer> server,
                                           std::shared_ptr<ProxyEvent> evt,
                                           std::shared_ptr<ProxyConnection> client,
                                           std::shared_ptr<RemoteConnection> remote, bool transparent);
    ProxyHttp(std::shared_ptr<InternalProxyServer> server, std::shared_ptr<ProxyEvent> evt,
              std::shared_ptr<ProxyConnection> client, std::shared_ptr<RemoteConnection> remote,
              bool transparent);
    ~ProxyHttp() override;

    void start(std::shared_ptr<HttpFields> request, Completion completion);

    /// Holds back reading the response head until the gate lets it through: the tunnel
    /// handler uses it while a read of the server's first bytes is still outstanding.
    void setResponseGate(Gate gate) { responseGate_ = std::move(gate); }
    /// Whether bytes of the final response went to the client: after that an error can
    /// only end the connection, never add an error page.
    bool responseStarted() const { return responseStarted_; }

    /// The error page template (see ErrorPage): read anew for every page, never fails.
    static std::string loadErrorTemplate();
    /// Renders one error page (503 "Service Unavailable" or 403 "Forbidden"), records it as
    /// the exchange's response, tells the listeners, then writes head and body to the
    /// client. The completion runs once with the last write's result (`wait` counts as
    /// taken and is passed on as `ready`).
    static void writeErrorResponse(const std::shared_ptr<InternalProxyServer>& server,
                                   const std::shared_ptr<ProxyEvent>& evt, bool serviceUnavailable,
                                   const std::string& title, const std::string& message, bool closing,
                                   bool plainHeader, const std::shared_ptr<ProxyConnection>& client,
                                   OutputStreamWriteCompletion completion);

private:
    void sendRequest();
    void sendRequestHead();
    void sendRequestBody();
    void requestBodyEnded();
    void requestComplete();
    enum class Direction { request, response };
    /// Copies the body of one direction from its source to its sink.
    void copyBody(Direction direction);
    /// Counts, keeps and reports one piece of a body before it is written.
    void onBodyPiece(Direction direction, const Data& piece);
    /// Ends the exchange when the client connection ends while the response is awaited.
    void watchClient();
    void readResponseHeader();
    void onResponseHead(std::shared_ptr<HttpFields> head);
    void processResponse(std::shared_ptr<HttpFields> response);
    void sendResponseBody();
    void endOfResponseBody();
    void finishExchange();
    void fail(ErrorPtr error);
    /// Whether a failed response read may be answered by sending the request again over a
    /// new connection: the kept-alive connection had gone stale.
    bool mayRetry(const ErrorPtr& error) const;

    std::shared_ptr<InternalProxyServer> server_;
    std::shared_ptr<ProxyConnection> client_;
    std::shared_ptr<RemoteConnection> remote_;
    bool transparent_;
    std::shared_ptr<ProxyEvent> evt_;

    Completion completion_;
    Gate responseGate_;
    std::shared_ptr<HttpFields> request_;
    bool mustClose_ = false;
    bool startMustClose_ = false;
    bool responseStarted_ = false;
    bool retried_ = false;
    bool done_ = false;

    HttpFraming::Framing requestFraming_;
    bool bufferRequest_ = false;
    bool bufferResponse_ = false;
    std::int64_t requestCount_ = 0;
    std::shared_ptr<MyInputStream> requestSource_;
    std::shared_ptr<MyOutputStream> requestSink_;
    std::shared_ptr<StreamCopier> requestCopier_;
    bool requestSinkNeedsClose_ = false;

    int interimCount_ = 0;
    std::int64_t interimSize_ = 0;
    std::optional<std::string> interimLine_;
    ProxyHttpResponsePlan plan_;
    std::shared_ptr<class CounterInputStream> responseCounter_;
    std::shared_ptr<MyInputStream> responseSource_;
    std::shared_ptr<MyOutputStream> responseSink_;
    std::shared_ptr<StreamCopier> responseCopier_;
    bool responseSinkNeedsClose_ = false;
};

} // namespace pemtrox
