#include "proxy/engine/ProxyHttp.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Log.h"
#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpFraming.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/ProxyHttpResponsePlan.h"
#include "proxy/engine/RemoteConnection.h"
#include "proxy/engine/StreamCopier.h"
#include "proxy/io/ChunkedInputStream.h"
#include "proxy/io/ChunkedOutputStream.h"
#include "proxy/io/CounterInputStream.h"
#include "proxy/io/FiniteInputStream.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/NoCloseOutputStream.h"
#include "proxy/io/SafeGZIPInputStream.h"
#include "proxy/io/SocketError.h"
#include "proxy/io/UncompressInputStream.h"

namespace pemtrox {

namespace {

using Reply = std::function<void(InputStreamHandlerResult)>;

void removeFields(Fields& head, std::string_view name) {
    std::erase_if(head.fields, [&](const Field& f) { return equalsIgnoringCase(f.name, name); });
}

/// The peer ended the connection in an orderly way: the socket layer reports the end of a
/// server's stream as an error of its own.
bool isOrderlyClose(const ErrorPtr& error) {
    return InputStreamError::is(error, InputStreamError::Kind::eof) ||
           SocketError::is(error, SocketError::Kind::connectionClosedByPeer) ||
           SocketError::is(error, SocketError::Kind::socketClosed);
}

const Data& emptyBuffer() {
    static const Data empty;
    return empty;
}

std::int64_t clampedBuffer(std::optional<std::int64_t> length) {
    return std::min<std::int64_t>(length.value_or(ProxyHttp::MaxBuffer), ProxyHttp::MaxBuffer);
}

// Keeps a copy of a body for a listener that asked for it, up to MaxBuffer.
void appendBuffered(ProxyEvent& evt, const Data& piece) {
    if (!evt.receivingBuffer)
        return;
    auto room = static_cast<std::size_t>(ProxyHttp::MaxBuffer) -
                std::min(evt.receivingBuffer->size(), static_cast<std::size_t>(ProxyHttp::MaxBuffer));
    evt.receivingBuffer->insert(evt.receivingBuffer->end(), piece.begin(),
                                piece.begin() + static_cast<std::ptrdiff_t>(std::min(room, piece.size())));
}

} // namespace

std::shared_ptr<ProxyHttp> ProxyHttp::make(std::shared_ptr<InternalProxyServer> server,
                                           std::shared_ptr<ProxyEvent> evt,
                                           std::shared_ptr<ProxyConnection> client,
                                           std::shared_ptr<RemoteConnection> remote, bool transparent) {
    return Plumber::make<ProxyHttp>(std::move(server), std::move(evt), std::move(client), std::move(remote),
                                    transparent);
}

ProxyHttp::ProxyHttp(std::shared_ptr<InternalProxyServer> server, std::shared_ptr<ProxyEvent> evt,
                     std::shared_ptr<ProxyConnection> client, std::shared_ptr<RemoteConnection> remote,
                     bool transparent)
    : server_(std::move(server)), client_(std::move(client)), remote_(std::move(remote)),
      transparent_(transparent), evt_(std::move(evt)) {}

ProxyHttp::~ProxyHttp() = default;

// MARK: request

void ProxyHttp::start(std::shared_ptr<HttpFields> request, Completion completion) {
    completion_ = std::move(completion);
    request_ = std::move(request);
    mustClose_ = false;
    if (!transparent_) {
        if (request_->valueIs("Proxy-Connection", "close"))
            mustClose_ = true;
        removeFields(*request_, "Proxy-Connection");
    }
    // The client's own "Connection: close" (RFC 9112 9.6) ends the connection after this
    // exchange just as its "Proxy-Connection: close" does.
    for (auto& field : request_->fields)
        if (equalsIgnoringCase(field.name, "Connection") && hasToken(field.value, "close"))
            mustClose_ = true;
    startMustClose_ = mustClose_;
    auto version = evt_->protocolVersion;
    if (!version) {
        try {
            version = request_->parsedRequest().protocolVersion;
        } catch (const Error&) {
            version = "HTTP/1.1";
        }
    }
    // An empty path ("http://h" or "http://h?q") still needs "/" in origin form.
    auto file = evt_->file().value_or("");
    if (file.empty() || file.front() == '?')
        file.insert(file.begin(), '/');
    request_->setRequestFirstLine(evt_->method.value_or("GET"), std::nullopt, evt_->host.value_or(""),
                                  std::nullopt, file, version, false);
    sendRequest();
}

void ProxyHttp::sendRequest() {
    try {
        requestFraming_ = HttpFraming::requestFraming(*request_);
    } catch (...) {
        fail(currentError());
        return;
    }
    auto length = requestFraming_.length;
    bufferRequest_ = evt_->bufferRequestBody;
    if (bufferRequest_ && length && *length > MaxBuffer) {
        LOG_WARNING("Requested to buffer request body but it is too large ({}) for {}", *length,
                    evt_->description());
        bufferRequest_ = false;
    }
    auto clientIn = client_->inputStream();
    if (requestFraming_.chunked)
        requestSource_ = ChunkedInputStream::make(clientIn);
    else if (length && *length > 0)
        requestSource_ = FiniteInputStream::make(clientIn, static_cast<std::uint64_t>(*length));
    evt_->requestBeginTime = std::chrono::system_clock::now();
    sendRequestHead();
}

void ProxyHttp::sendRequestHead() {
    auto self = shared_from_this();
    auto write = [self] {
        self->remote_->remoteOut()->write(toData(self->request_->headerText()), false,
                                          [self](OutputStreamWriteHandlerResult result) {
                                              if (result.isError()) {
                                                  self->fail(result.error());
                                                  return;
                                              }
                                              self->server_->notifySentRequestHeader(self->evt_);
                                              self->sendRequestBody();
                                          });
    };
    if (remote_->isOpen()) {
        write();
    } else if (remote_->canReconnect()) {
        evt_->keptAlive = false;
        remote_->connect(evt_, [self, write](RemoteConnectionState state) {
            if (!state.isConnected())
                self->fail(state.error());
            else
                write();
        });
    } else {
        fail(makeError<ProxyHttpError>(
            ProxyHttpError::remoteServerClosedConnection("before receiving request header")));
    }
}

void ProxyHttp::sendRequestBody() {
    if (!requestSource_) {
        evt_->requestSize = 0;
        evt_->receivingBuffer.reset();
        evt_->requestCompleteTime = std::chrono::system_clock::now();
        server_->notifyReceivedRequest(evt_);
        requestComplete();
        return;
    }
    auto remoteOut = remote_->remoteOut();
    if (requestFraming_.chunked) {
        requestSink_ = ChunkedOutputStream::make(NoCloseOutputStream::make(remoteOut));
        requestSinkNeedsClose_ = true;
    } else {
        requestSink_ = remoteOut;
    }
    if (bufferRequest_) {
        evt_->receivingBuffer = Data();
        evt_->receivingBuffer->reserve(static_cast<std::size_t>(clampedBuffer(requestFraming_.length)));
    } else {
        evt_->receivingBuffer.reset();
    }
    server_->notifyReceivingRequestBody(evt_, emptyBuffer());
    copyBody(Direction::request);
}

void ProxyHttp::requestBodyEnded() {
    evt_->requestSize = requestCount_;
    evt_->requestCompleteTime = std::chrono::system_clock::now();
    server_->notifyReceivedRequest(evt_);
    requestComplete();
}

// MARK: body copy

// One piece in flight: the next is read only once the write of the last was taken. The
// pieces leave with the socket's turn; the steps after each body flush.
void ProxyHttp::copyBody(Direction direction) {
    bool request = direction == Direction::request;
    auto& copier = request ? requestCopier_ : responseCopier_;
    copier = StreamCopier::make(request ? requestSource_ : responseSource_,
                                request ? requestSink_ : responseSink_);
    copier->setPausedBy(evt_);
    copier->setFlushing(false);
    // A body delimited by the end of the connection ends there; any other body cut short
    // fails the exchange, and the caller ends the connection.
    bool endsWithConnection = !request && responseSource_ == responseCounter_;
    copier->setEndsCleanly(
        [endsWithConnection](const ErrorPtr& error) { return endsWithConnection && isOrderlyClose(error); });
    std::weak_ptr<ProxyHttp> weak = shared_from_this();
    copier->setBeforeWrite([weak, direction](const Data& piece) {
        if (auto self = weak.lock())
            self->onBodyPiece(direction, piece);
    });
    copier->start([weak, direction](StreamCopierStatus status) {
        auto self = weak.lock();
        if (!self || status != StreamCopierStatus::finished || self->done_)
            return;
        const auto& copier = direction == Direction::request ? self->requestCopier_ : self->responseCopier_;
        if (auto error = copier->error())
            self->fail(error);
        else if (direction == Direction::request)
            self->requestBodyEnded();
        else
            self->endOfResponseBody();
    });
}

void ProxyHttp::onBodyPiece(Direction direction, const Data& piece) {
    bool request = direction == Direction::request;
    if (request) {
        requestCount_ += static_cast<std::int64_t>(piece.size());
        evt_->requestSize = requestCount_;
    } else {
        evt_->responseSize = responseCounter_->counter();
    }
    if (request ? bufferRequest_ : bufferResponse_)
        appendBuffered(*evt_, piece);
    if (request)
        server_->notifyReceivingRequestBody(evt_, piece);
    else
        server_->notifyReceivingResponseBody(evt_, piece);
}

void ProxyHttp::requestComplete() {
    if (requestSinkNeedsClose_)
        requestSink_->close();
    remote_->remoteOut()->flush();
    watchClient();
    if (auto gate = std::exchange(responseGate_, nullptr)) {
        auto self = shared_from_this();
        gate([self] { self->readResponseHeader(); });
    } else {
        readResponseHeader();
    }
}

// Nothing reads the client from here to the end of the response, so without a watch a
// client that goes away would be noticed only when the server answers, which a hanging
// server never does. A handler with no read pending hears only of the stream's end.
void ProxyHttp::watchClient() {
    auto clientIn = client_->inputStream();
    std::weak_ptr<ProxyHttp> weak = shared_from_this();
    std::weak_ptr<HttpInputStream> weakIn = clientIn;
    clientIn->handler([weak, weakIn](InputStreamEvent event, Reply reply) {
        if (event.isData())
            if (auto in = weakIn.lock())
                in->unread(event.data()); // not ours: the next reader gets it
        reply(InputStreamHandlerResult::done);
        auto self = weak.lock();
        if (!self || self->done_ || event.isData())
            return;
        self->fail(makeError<ProxyHttpError>(ProxyHttpError::clientClosedConnection()));
    });
}

// MARK: response

bool ProxyHttp::mayRetry(const ErrorPtr& error) const {
    if (retried_ || !evt_->keptAlive || requestSource_ || interimCount_ > 0)
        return false;
    if (FieldsError::is(error) || !remote_->canReconnect())
        return false;
    const auto& method = evt_->method.value_or("");
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE";
}

void ProxyHttp::readResponseHeader() {
    auto self = shared_from_this();
    remote_->remoteIn()->readHeader([self](Result<std::shared_ptr<HttpFields>> result) {
        if (self->done_)
            return;
        if (result.isSuccess()) {
            self->onResponseHead(result.value());
            return;
        }
        auto error = result.error();
        if (self->mayRetry(error)) {
            // The server closed the kept-alive connection while it idled: send the request
            // once more over a new connection.
            LOG_DEBUG("Kept-alive connection went stale, sending again: {}", describe(error));
            self->retried_ = true;
            self->remote_->close();
            self->sendRequestHead();
            return;
        }
        if (isOrderlyClose(error))
            error = makeError<ProxyHttpError>(
                ProxyHttpError::remoteServerClosedConnection("before sending response header"));
        self->fail(error);
    });
}

void ProxyHttp::onResponseHead(std::shared_ptr<HttpFields> head) {
    std::int64_t status;
    try {
        status = head->parsedResponse().status;
    } catch (...) {
        fail(currentError());
        return;
    }
    // Every 1xx but 101 is interim (100 Continue, 102 Processing, 103 Early Hints): taking
    // one for the final response would leave the real one in the server's stream, where it
    // would answer the client's next request.
    if (status >= 100 && status <= 199 && status != 101) {
        // Interim: passed to the client as it came; the final head follows. Only their
        // count, size and the first status line are kept.
        if (++interimCount_ > maxInterimResponses) {
            fail(makeError<ProxyHttpError>(ProxyHttpError::tooManyInterimResponses(maxInterimResponses)));
            return;
        }
        interimSize_ += head->rawSize;
        if (!interimLine_)
            interimLine_ = head->firstLine().value_or("");
        auto self = shared_from_this();
        client_->outputStream()->write(toData(head->headerText()), true,
                                       [self](OutputStreamWriteHandlerResult r) {
                                           if (r.isError())
                                               self->fail(r.error());
                                           else
                                               self->readResponseHeader();
                                       });
        return;
    }
    if (interimLine_) {
        head->rawSize += interimSize_;
        head->fields.push_back({"X-Pemtrox-Received-Continue", *interimLine_});
    }
    evt_->responseHeader = head;
    evt_->responseHeaderSize = head->rawSize;
    evt_->responseBeginTime = head->receiveTime;
    processResponse(std::move(head));
}

void ProxyHttp::processResponse(std::shared_ptr<HttpFields> response) {
    using Plan = ProxyHttpResponsePlan;
    try {
        Plan::Input in;
        in.requestVersion = HttpFraming::versionNumber(request_->parsedRequest().protocolVersion);
        const auto& parsed = response->parsedResponse();
        in.responseVersion = HttpFraming::versionNumber(parsed.protocolVersion);
        in.status = parsed.status;
        in.method = evt_->method;
        in.transparent = transparent_;
        in.requestMustClose = startMustClose_;
        in.wantDecoded = evt_->wantResponseBodyDecoded;
        plan_ = Plan::make(in, *response);
    } catch (...) {
        fail(currentError());
        return;
    }
    server_->notifyReceivedResponseHeader(evt_);
    mustClose_ = plan_.mustClose;
    evt_->wantResponseBodyDecoded = plan_.wantDecoded;

    responseCounter_ = CounterInputStream::make(remote_->remoteIn());
    switch (plan_.body) {
    case Plan::Body::none:
        break;
    case Plan::Body::chunked:
        responseSource_ = ChunkedInputStream::make(responseCounter_);
        break;
    case Plan::Body::length:
        responseSource_ = FiniteInputStream::make(responseCounter_, static_cast<std::uint64_t>(plan_.length));
        break;
    case Plan::Body::untilClose:
        responseSource_ = responseCounter_;
        break;
    }
    if (plan_.decoding == Plan::Decoding::gzip)
        responseSource_ = SafeGZIPInputStream::make(responseSource_);
    else if (plan_.decoding == Plan::Decoding::compress)
        responseSource_ = UncompressInputStream::make(responseSource_);
    if (plan_.decoding != Plan::Decoding::none)
        evt_->responseBodyDecoded = true;

    bufferResponse_ = responseSource_ && evt_->bufferResponseBody;
    if (bufferResponse_ && plan_.body == Plan::Body::length && plan_.length > MaxBuffer) {
        LOG_WARNING("Requested to buffer response body but it is too large ({}) for {}", plan_.length,
                    evt_->description());
        bufferResponse_ = false;
    }

    auto clientOut = client_->outputStream();
    if (plan_.chunkedOutput) {
        responseSink_ = ChunkedOutputStream::make(NoCloseOutputStream::make(clientOut));
        responseSinkNeedsClose_ = true;
    } else {
        responseSink_ = clientOut;
    }
    // The head leaves at once, not with the first piece of the body, which may be long in
    // coming; a piece already at hand still joins it, as the socket sends the writes of one
    // queue turn together.
    responseStarted_ = true;
    auto self = shared_from_this();
    clientOut->write(toData(plan_.clientHead(*response)->headerText()), true,
                     [self](OutputStreamWriteHandlerResult result) {
                         if (result.isError()) {
                             self->fail(result.error());
                             return;
                         }
                         self->server_->notifySentResponseHeader(self->evt_);
                         self->sendResponseBody();
                     });
}

void ProxyHttp::sendResponseBody() {
    if (!responseSource_) {
        evt_->receivingBuffer.reset();
        evt_->responseSize = 0;
        finishExchange();
        return;
    }
    if (bufferResponse_)
        evt_->receivingBuffer = Data();
    else
        evt_->receivingBuffer.reset();
    server_->notifyReceivingResponseBody(evt_, emptyBuffer());
    copyBody(Direction::response);
}

void ProxyHttp::endOfResponseBody() {
    evt_->responseSize = responseCounter_->counter();
    if (!bufferResponse_)
        evt_->receivingBuffer.reset();
    finishExchange();
}

void ProxyHttp::finishExchange() {
    if (done_)
        return;
    done_ = true;
    evt_->endTime = std::chrono::system_clock::now();
    server_->notifyReceivedResponse(evt_);
    if (responseSinkNeedsClose_)
        responseSink_->close();
    server_->notifyTransactionComplete(evt_);
    if (auto completion = std::exchange(completion_, nullptr))
        completion(mustClose_, nullptr);
}

void ProxyHttp::fail(ErrorPtr error) {
    if (done_)
        return;

    done_ = true;
    if (auto completion = std::exchange(completion_, nullptr))
        completion(true, std::move(error));
}

} // namespace pemtrox
