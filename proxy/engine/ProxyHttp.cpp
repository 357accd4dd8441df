#include "proxy/engine/ProxyHttp.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Log.h"
#include "proxy/engine/ConnectableRemoteConnection.h"
#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/RemoteConnection.h"
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

bool firstValueIs(const Fields& head, std::string_view name, std::string_view expected) {
    auto value = head.value(name);
    return value && equalsIgnoringCase(*value, expected);
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

// MARK: framing rules

ProxyHttp::Framing ProxyHttp::requestFraming(HttpFields& head) {
    Framing framing;
    std::optional<std::string> coding;
    int codings = 0;
    for (auto& field : head.fields)
        if (equalsIgnoringCase(field.name, "Transfer-Encoding")) {
            coding = coding ? *coding + ", " + field.value : field.value;
            ++codings;
        }
    if (coding) {
        if (codings != 1 || !equalsIgnoringCase(*coding, "chunked"))
            throw ProxyHttpError::unsupportedTransferEncoding(*coding);
        framing.chunked = true;
    }
    framing.length = declaredLength(head);
    if (framing.chunked) {
        // Chunked framing wins; a length beside it could make the server frame otherwise.
        removeFields(head, "Content-Length");
        framing.length.reset();
    }
    return framing;
}

std::optional<std::int64_t> ProxyHttp::declaredLength(const HttpFields& head) {
    std::optional<std::int64_t> length;
    for (auto& field : head.fields) {
        if (!equalsIgnoringCase(field.name, "Content-Length"))
            continue;
        auto value = parseDecimal(trimWhitespace(field.value));
        if (!value || *value < 0 || field.value.starts_with('+') || (length && *length != *value))
            throw ProxyHttpError::invalidContentLength(field.value);
        length = value;
    }
    return length;
}

float ProxyHttp::versionNumber(const std::string& protocolVersion) {
    if (!protocolVersion.starts_with("HTTP/"))
        return -1;
    auto text = protocolVersion.substr(5, protocolVersion.find(' ', 5) - 5);
    if (text.empty())
        return -1;
    char* end = nullptr;
    float value = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size())
        return -1;
    return value;
}

bool ProxyHttp::responseHasBody(std::int64_t status, const std::optional<std::string>& method) {
    if (status == 204 || status == 205 || status == 304 || (status >= 100 && status <= 199))
        return false;
    return !(method && equalsIgnoringCase(*method, "HEAD"));
}

// MARK: request

void ProxyHttp::start(std::shared_ptr<HttpFields> request, Completion completion) {
    completion_ = std::move(completion);
    request_ = std::move(request);
    mustClose_ = false;
    if (!transparent_) {
        if (firstValueIs(*request_, "Proxy-Connection", "close"))
            mustClose_ = true;
        removeFields(*request_, "Proxy-Connection");
    }
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
        requestFraming_ = requestFraming(*request_);
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
    } else if (dynamic_cast<ConnectableRemoteConnection*>(remote_.get())) {
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
    std::weak_ptr<ProxyHttp> weak = shared_from_this();
    requestSource_->handler([weak](InputStreamEvent event, Reply reply) {
        if (auto self = weak.lock())
            self->onRequestBodyEvent(std::move(event), std::move(reply));
        else
            reply(InputStreamHandlerResult::done);
    });
    requestSource_->read();
}

void ProxyHttp::onRequestBodyEvent(InputStreamEvent event, Reply reply) {
    if (event.isError()) {
        reply(InputStreamHandlerResult::done);
        fail(event.error());
        return;
    }
    if (event.isEof()) {
        reply(InputStreamHandlerResult::done);
        evt_->requestSize = requestCount_;
        evt_->requestCompleteTime = std::chrono::system_clock::now();
        server_->notifyReceivedRequest(evt_);
        requestComplete();
        return;
    }
    auto piece = event.takeData();
    requestCount_ += static_cast<std::int64_t>(piece.size());
    evt_->requestSize = requestCount_;
    if (bufferRequest_)
        appendBuffered(*evt_, piece);
    server_->notifyReceivingRequestBody(evt_, piece);
    auto self = shared_from_this();
    requestSink_->write(std::move(piece), false,
                        [self, reply = std::move(reply)](OutputStreamWriteHandlerResult result) {
                            if (result.isError()) {
                                reply(InputStreamHandlerResult::done);
                                self->fail(result.error());
                                return;
                            }
                            // `wait` also means the bytes were taken: go on.
                            reply(InputStreamHandlerResult::more);
                            if (!self->done_)
                                self->requestSource_->read();
                        });
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
    if (retried_ || !evt_->keptAlive || requestSource_ || !continues_.empty())
        return false;
    if (dynamic_cast<const FieldsError*>(error.get()) ||
        !dynamic_cast<ConnectableRemoteConnection*>(remote_.get()))
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
        // Interim: passed to the client as it came; the final head follows.
        continues_.push_back(head);
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
    for (auto& interim : continues_) {
        head->rawSize += interim->rawSize;
        head->fields.push_back({"X-Pemtrox-Received-Continue", interim->firstLine().value_or("")});
    }
    evt_->responseHeader = head;
    evt_->responseHeaderSize = head->rawSize;
    evt_->responseBeginTime = head->receiveTime;
    processResponse(std::move(head));
}

void ProxyHttp::processResponse(std::shared_ptr<HttpFields> response) {
    float requestVersion, responseVersion;
    std::int64_t status;
    std::optional<std::int64_t> length;
    try {
        requestVersion = versionNumber(request_->parsedRequest().protocolVersion);
        const auto& parsed = response->parsedResponse();
        responseVersion = versionNumber(parsed.protocolVersion);
        status = parsed.status;
        length = declaredLength(*response);
    } catch (...) {
        fail(currentError());
        return;
    }
    server_->notifyReceivedResponseHeader(evt_);

    if (firstValueIs(*response, "Connection", "close"))
        mustClose_ = true;
    if (!transparent_ && requestVersion < 1.1f)
        mustClose_ = true; // an HTTP/1.0 client of the explicit proxy is never kept
    else if ((requestVersion < 1.1f || responseVersion < 1.1f) &&
             !firstValueIs(*response, "Connection", "keep-alive"))
        mustClose_ = true;
    bool modern = responseVersion >= 1.1f && responseVersion < 2.0f;
    bool chunked = firstValueIs(*response, "Transfer-Encoding", "chunked");
    bool hasBody = responseHasBody(status, evt_->method);
    // With another coding the body ends with the connection whatever length stands beside
    // it: framed by that length, the rest of the body would pass for the next response.
    bool framedByEnd = !chunked && hasBody && response->value("Transfer-Encoding");

    responseCounter_ = CounterInputStream::make(remote_->remoteIn());
    if (!hasBody) {
        length = 0;
    } else if (chunked) {
        responseSource_ = ChunkedInputStream::make(responseCounter_);
    } else if (length && !framedByEnd) {
        responseSource_ = FiniteInputStream::make(responseCounter_, static_cast<std::uint64_t>(*length));
    } else {
        responseSource_ = responseCounter_; // delimited by the end of the connection
        mustClose_ = true;
    }

    auto encoding = response->value("Content-Encoding");
    if (encoding && !transparent_ && requestVersion <= 1.0f && hasBody)
        evt_->wantResponseBodyDecoded = true;
    bool decoded = false;
    if (encoding && evt_->wantResponseBodyDecoded && responseSource_) {
        if (equalsIgnoringCase(*encoding, "gzip") || equalsIgnoringCase(*encoding, "x-gzip")) {
            responseSource_ = SafeGZIPInputStream::make(responseSource_);
            decoded = true;
        } else if (equalsIgnoringCase(*encoding, "compress") || equalsIgnoringCase(*encoding, "x-compress")) {
            responseSource_ = UncompressInputStream::make(responseSource_);
            decoded = true;
        }
        evt_->responseBodyDecoded = decoded;
    }

    bufferResponse_ = hasBody && evt_->bufferResponseBody;
    if (bufferResponse_ && length && *length > MaxBuffer) {
        LOG_WARNING("Requested to buffer response body but it is too large ({}) for {}", *length,
                    evt_->description());
        bufferResponse_ = false;
    }

    auto out = std::static_pointer_cast<HttpFields>(response->copy());
    if (chunked) {
        removeFields(*out, "Transfer-Encoding");
        removeFields(*out, "Content-Length"); // chunked framing wins over a length beside it
    }
    if (framedByEnd)
        removeFields(*out, "Content-Length");
    if (decoded) {
        removeFields(*out, "Content-Encoding");
        if (length)
            removeFields(*out, "Content-Length");
        if (!modern)
            mustClose_ = true;
    }
    // An HTTP/1.0 client knows no chunks: it would take their framing for body bytes.
    bool chunkedOutput = hasBody && modern && requestVersion >= 1.1f && (chunked || decoded);
    if (hasBody && (chunked || decoded) && !chunkedOutput)
        mustClose_ = true; // no length and no chunks left: the end of the connection ends the body
    // A body-less response keeps its chunked head, but no chunk (not even the last) may follow.
    if (chunkedOutput || (chunked && !hasBody))
        out->fields.push_back({"Transfer-Encoding", "Chunked"});
    if (startMustClose_)
        mustClose_ = true;
    removeFields(*out, "Connection");
    removeFields(*out, "Proxy-Connection");
    out->fields.push_back(
        {transparent_ ? "Connection" : "Proxy-Connection", mustClose_ ? "Close" : "Keep-alive"});

    auto clientOut = client_->outputStream();
    if (chunkedOutput) {
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
    clientOut->write(toData(out->headerText()), true, [self](OutputStreamWriteHandlerResult result) {
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
    if (bufferResponse_) {
        evt_->receivingBuffer = Data();
    } else {
        evt_->receivingBuffer.reset();
    }
    server_->notifyReceivingResponseBody(evt_, emptyBuffer());
    std::weak_ptr<ProxyHttp> weak = shared_from_this();
    responseSource_->handler([weak](InputStreamEvent event, Reply reply) {
        if (auto self = weak.lock())
            self->onResponseBodyEvent(std::move(event), std::move(reply));
        else
            reply(InputStreamHandlerResult::done);
    });
    responseSource_->read();
}

void ProxyHttp::onResponseBodyEvent(InputStreamEvent event, Reply reply) {
    if (event.isError() && responseSource_ == responseCounter_ && isOrderlyClose(event.error()))
        event = InputStreamEvent::eof(); // a body delimited by the end of the connection ends here
    if (event.isError()) {
        // A body cut short: no clean end goes to the client; the caller ends the connection.
        reply(InputStreamHandlerResult::done);
        fail(event.error());
        return;
    }
    auto self = shared_from_this();
    if (event.isEof()) {
        reply(InputStreamHandlerResult::done);
        endOfResponseBody();
        return;
    }
    auto piece = event.takeData();
    evt_->responseSize = responseCounter_->counter();
    if (bufferResponse_)
        appendBuffered(*evt_, piece);
    server_->notifyReceivingResponseBody(evt_, piece);
    responseSink_->write(std::move(piece), false,
                         [self, reply = std::move(reply)](OutputStreamWriteHandlerResult result) {
                             if (result.isError()) {
                                 reply(InputStreamHandlerResult::done);
                                 self->fail(result.error());
                                 return;
                             }
                             reply(InputStreamHandlerResult::more);
                             if (!self->done_)
                                 self->responseSource_->read();
                         });
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
