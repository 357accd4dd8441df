#include "proxy/io/SSLSocketWrapper.h"

#include "platform/Log.h"
#include "proxy/io/CustomOutputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/PipeSocket.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SSLCipherSuiteName.h"
#include "proxy/io/SSLProtocolName.h"
#include "proxy/io/SSLSocketWrapperError.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

namespace {

using Reply = InputStreamHandlerResult;
using Status = TlsDriver::Status;

/// Runs `start` with a completion. A completion run inside `start` gives its result here;
/// one run later goes to `later` instead.
template <class Result>
std::optional<Result> nowOrLater(const std::function<void(std::function<void(Result)>)>& start,
                                 std::function<void(Result)> later) {
    struct State {
        bool inCall = true;
        std::optional<Result> result;
    };
    auto state = std::make_shared<State>();
    start([state, later = std::move(later)](Result result) {
        if (state->inCall)
            state->result = std::move(result);
        else
            later(std::move(result));
    });
    state->inCall = false;
    return std::move(state->result);
}

} // namespace

std::shared_ptr<SSLSocketWrapper> SSLSocketWrapper::make(std::shared_ptr<Socket> socket,
                                                         std::shared_ptr<DispatchQueue> queue,
                                                         const TlsSettings& settings,
                                                         SocketConnectCallback callback) {
    auto wrapper = makeSocket<SSLSocketWrapper>(std::move(socket), std::move(queue));
    wrapper->connectCallback_ = std::move(callback);
    wrapper->setUp(settings);
    return wrapper;
}

std::shared_ptr<SSLSocketWrapper> SSLSocketWrapper::makeOverPipeSocket(std::shared_ptr<PipeSocket> socket,
                                                                       std::shared_ptr<DispatchQueue> queue,
                                                                       const TlsSettings& settings,
                                                                       SocketConnectCallback callback) {
    return make(std::move(socket), std::move(queue), settings, std::move(callback));
}

SSLSocketWrapper::SSLSocketWrapper(std::shared_ptr<Socket> socket, std::shared_ptr<DispatchQueue> queue)
    : AbstractSocketWrapper(std::move(socket)), queue_(std::move(queue)) {
    pipeIn_ = PipeStream::make(queue_);
    outputStream_ = CustomOutputStream::make();
}

SSLSocketWrapper::~SSLSocketWrapper() = default;

std::shared_ptr<MyInputStream> SSLSocketWrapper::inputStream() const {
    return pipeIn_;
}

std::shared_ptr<MyOutputStream> SSLSocketWrapper::outputStream() const {
    return outputStream_;
}

void SSLSocketWrapper::setUp(const TlsSettings& settings) {
    coupleClose();
    driver_ = TlsDriver::make(settings);
    // A socket closed before TLS was asked for never reaches closeImpl, and no ciphertext
    // will come: the handshake fails now instead of waiting for ever.
    if (socket()->isClosed()) {
        isSSLClosed_ = stopped_ = true;
        failConnect(makeError<SocketError>(SocketError::socketClosed()));
        pipeIn_->close();
        return;
    }
    auto self = selfAs(this);
    std::weak_ptr<SSLSocketWrapper> weakSelf = self;
    outputStream_->onWrite = [weakSelf](Data data, bool flush, OutputStreamWriteCompletion completion) {
        auto self = weakSelf.lock();
        if (!self) {
            // The wrapper goes only once its socket is closed; a late writer learns that.
            completion(OutputStreamWriteHandlerResult::error(
                makeError<OutputStreamError>(OutputStreamError::closed())));
            return;
        }
        if (self->socket()->isClosed()) {
            completion(
                OutputStreamWriteHandlerResult::error(makeError<SocketError>(SocketError::socketClosed())));
            return;
        }
        self->write(std::move(data), flush, std::move(completion));
    };
    if (driver_->setupFailed()) {
        stopped_ = true;
        failConnect(makeError<SSLSocketWrapperError>(
            driver_->setupStatus() == 0 ? SSLSocketWrapperError::cannotCreateSSLContext()
                                        : SSLSocketWrapperError::sslContextError(driver_->setupStatus())));
        return;
    }
    driver_->attach(std::weak_ptr<TlsTransport>(std::shared_ptr<TlsTransport>(self, this)), queue_);
    socket()->inputStream()->handler([weakSelf](InputStreamEvent event, InputStreamReply reply) {
        auto self = weakSelf.lock();
        reply(self && event.isData() ? Reply::more : Reply::done);
        if (self)
            self->received(std::move(event));
    });
    // A TLS client speaks first: waiting for the server's bytes would wait forever.
    if (settings.isServer)
        requestCiphertext();
    else
        drive();
}

void SSLSocketWrapper::failConnect(ErrorPtr error) {
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::failed(std::move(error)));
}

void SSLSocketWrapper::received(InputStreamEvent event) {
    reading_ = false;
    switch (event.kind()) {
    case InputStreamEvent::Kind::data: {
        const Data& bytes = event.data();
        driver_->input().append(bytes.data(), bytes.size());
        break;
    }
    case InputStreamEvent::Kind::error:
        error_ = event.error();
        inputEnded_ = true;
        driver_->endInput();
        break;
    case InputStreamEvent::Kind::eof:
        eof_ = true;
        inputEnded_ = true;
        driver_->endInput();
        break;
    }
    drive();
}

void SSLSocketWrapper::requestCiphertext() {
    if (reading_ || inputEnded_ || stopped_ || socket()->isClosed())
        return;
    // Ciphertext arriving while a step is away is the next step's work; a peer that floods
    // meanwhile is held back once a record's worth waits.
    if (driver_->stepAway() && driver_->input().size() >= TlsDriver::heldWhileAway)
        return;
    reading_ = true;
    // While a step is away, no more than the room left below a record's worth: one read of
    // the stream below may bring much more than that.
    if (driver_->stepAway())
        socket()->inputStream()->read(TlsDriver::heldWhileAway - driver_->input().size());
    else
        socket()->inputStream()->read();
}

void SSLSocketWrapper::drive() {
    if (driving_ || engineBusy_ > 0) {
        driveAgain_ = true;
        return;
    }
    auto self = selfAs(this);
    driving_ = true;
    do {
        driveAgain_ = false;
        if (stopped_ || pipeWaiting_ || socket()->isClosed())
            break;
        if (!handshakeComplete_ && !handshake())
            continue;
        readPump();
    } while (driveAgain_);
    driving_ = false;
}

bool SSLSocketWrapper::handshake() {
    if (pendingWrite_)
        fatalError("SSLSocketWrapper.handshake: pendingWriteCompletion handler already exists");
    ErrorPtr engineError;
    Status status = driver_->handshake(engineError);
    if (status == Status::wouldBlock) {
        requestCiphertext();
        return false;
    }
    if (status != Status::ok) {
        stopped_ = true;
        ErrorPtr failure;
        if (eof_)
            failure = makeError<InputStreamError>(InputStreamError::eof());
        else if (error_)
            failure = error_;
        else if (driver_->engineStatus() == TlsEngine::certificateChainInvalid && engineError)
            failure = engineError; // "certificate verify failed: …" says more than the status
        else
            failure = makeError<SSLSocketWrapperError>(
                SSLSocketWrapperError::handshakeFailed(driver_->engineStatus()));
        failConnect(std::move(failure));
        if (auto early = std::exchange(earlyWrite_, std::nullopt))
            early->completion(OutputStreamWriteHandlerResult::error(
                makeError<SSLSocketWrapperError>(SSLSocketWrapperError::sslContextClosed())));
        return false;
    }
    handshakeComplete_ = true;
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::connected(selfSocket()));
    if (auto early = std::exchange(earlyWrite_, std::nullopt))
        write(std::move(early->data), false, std::move(early->completion));
    return !stopped_ && !socket()->isClosed();
}

void SSLSocketWrapper::readPump() {
    auto self = selfAs(this);
    while (!stopped_ && !pipeWaiting_) {
        if (socket()->isClosed() || isSSLClosed_) {
            stopped_ = true;
            return;
        }
        std::size_t count = 0;
        ErrorPtr ignored;
        Status status = driver_->read(buffer_.data(), buffer_.size(), count, ignored);
        if (TlsDriver::isClosedStatus(driver_->engineStatus())) {
            isSSLClosed_ = true;
            eof_ = true;
        }
        if (count == 0) {
            if (!afterPipe(OutputStreamWriteHandlerResult::ready(), status))
                return;
            continue;
        }
        pipeWaiting_ = true;
        auto answer = nowOrLater<OutputStreamWriteHandlerResult>(
            [&](OutputStreamWriteCompletion completion) {
                pipeIn_->write(Data(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count)),
                               false, std::move(completion));
            },
            [self, status](OutputStreamWriteHandlerResult result) {
                // The reader drained the pipe: the pump goes on from here.
                self->pipeWaiting_ = false;
                if (self->afterPipe(result, status))
                    self->drive();
            });
        if (!answer)
            return;
        pipeWaiting_ = false;
        if (!afterPipe(*answer, status))
            return;
    }
}

bool SSLSocketWrapper::afterPipe(const OutputStreamWriteHandlerResult& result, Status status) {
    if (result.isError()) {
        stopped_ = true;
        if (!pipeIn_->isClosed())
            pipeIn_->appendError(result.error());
        return false;
    }
    if (status == Status::ok)
        return true; // more plaintext may wait in the engine
    if (status == Status::wouldBlock) {
        requestCiphertext();
        return false;
    }
    stopped_ = true;
    if (!pipeIn_->isClosed()) {
        if (eof_)
            pipeIn_->appendEOF();
        else
            pipeIn_->appendError(error_ ? error_
                                        : makeError<SSLSocketWrapperError>(
                                              SSLSocketWrapperError::readError(driver_->engineStatus())));
    }
    return false;
}

void SSLSocketWrapper::send(const std::uint8_t* source, std::size_t length) {
    rawWriteCalled_ = true;
    // Only the ciphertext of the plaintext write being issued answers that write; records
    // the engine sends on its own (handshake, close alert) answer nobody.
    std::shared_ptr<PendingWrite> pending = pendingWrite_ && pendingWrite_->issuing ? pendingWrite_ : nullptr;
    if (pending)
        ++pending->outstanding;
    socket()->outputStream()->write(Data(source, source + length), false,
                                    [self = selfAs(this), pending](OutputStreamWriteHandlerResult result) {
                                        if (!pending)
                                            return;
                                        --pending->outstanding;
                                        if (result.isError() && !pending->error)
                                            pending->error = result.error();
                                        pending->last = std::move(result);
                                        if (pending->issuing || pending->outstanding > 0)
                                            return;
                                        self->finishWrite(pending);
                                    });
}

void SSLSocketWrapper::handshakeStepReturned() {
    drive();
}

void SSLSocketWrapper::write(Data data, bool, OutputStreamWriteCompletion completion) {
    if (pendingWrite_ || earlyWrite_)
        fatalError("SSLSocketWrapper.write: pendingWriteCompletion handler already exists");
    if (isSSLClosed_ || (stopped_ && !handshakeComplete_) || driver_->setupFailed()) {
        completion(OutputStreamWriteHandlerResult::error(
            makeError<SSLSocketWrapperError>(SSLSocketWrapperError::sslContextClosed())));
        return;
    }
    if (!handshakeComplete_) {
        earlyWrite_ = EarlyWrite{std::move(data), std::move(completion)};
        return;
    }
    auto self = selfAs(this);
    auto pending = std::make_shared<PendingWrite>();
    pending->completion = std::move(completion);
    pendingWrite_ = pending;
    rawWriteCalled_ = false;

    std::size_t processed = 0;
    ErrorPtr ignored;
    ++engineBusy_;
    Status status = driver_->write(data.data(), data.size(), processed, ignored);
    --engineBusy_;
    pending->issuing = false;
    if (TlsDriver::isClosedStatus(driver_->engineStatus()))
        isSSLClosed_ = true;
    if (status != Status::ok) {
        pendingWrite_.reset();
        if (auto c = std::exchange(pending->completion, nullptr))
            c(OutputStreamWriteHandlerResult::error(makeError<SSLSocketWrapperError>(
                SSLSocketWrapperError::writeError(driver_->engineStatus()))));
    } else if (processed < data.size()) {
        fatalError("Should never write less data than sent");
    } else if (!rawWriteCalled_) {
        LOG_WARNING("SSLSocketWrapper.write: rawWrite wasn't called");
        pendingWrite_.reset();
        if (auto c = std::exchange(pending->completion, nullptr))
            c(OutputStreamWriteHandlerResult::ready());
    } else if (pending->outstanding == 0) {
        finishWrite(pending);
    }
    // Ciphertext that arrived while the engine encrypted is decrypted now.
    if (driveAgain_)
        drive();
}

void SSLSocketWrapper::finishWrite(const std::shared_ptr<PendingWrite>& pending) {
    if (pendingWrite_ == pending)
        pendingWrite_.reset();
    if (auto completion = std::exchange(pending->completion, nullptr))
        completion(pending->error ? OutputStreamWriteHandlerResult::error(pending->error) : pending->last);
}

void SSLSocketWrapper::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto self = selfAs(this);
    if (!isSSLClosed_ && driver_) {
        ++engineBusy_;
        driver_->close(); // the close alert leaves before the wrapped socket closes its streams
        --engineBusy_;
    }
    isSSLClosed_ = stopped_ = true;
    if (driver_)
        driver_->detach(); // a handshake step away comes back to nothing
    // A socket that closes during the handshake must still tell whoever waits to connect.
    failConnect(error ? error : makeError<SocketError>(SocketError::socketClosed()));
    if (auto early = std::exchange(earlyWrite_, std::nullopt))
        early->completion(
            OutputStreamWriteHandlerResult::error(makeError<SocketError>(SocketError::socketClosed())));
    // The pump stops at a closed socket, so the plaintext reader is told here.
    if (!pipeIn_->isClosed())
        pipeIn_->close(error);
    completion(std::move(error));
}

std::optional<std::string> SSLSocketWrapper::negotiatedCipher() const {
    return negotiatedCipherName(driver_ ? driver_->engine() : nullptr);
}

std::optional<std::string> SSLSocketWrapper::negotiatedProtocol() const {
    return negotiatedProtocolName(driver_ ? driver_->engine() : nullptr);
}

void SSLSocketWrapper::withSSLContext(const std::function<void(TlsEngine&)>& body) const {
    TlsEngine* engine = driver_ ? driver_->engine() : nullptr;
    if (!engine)
        fatalError("SSLSocketWrapper.withSSLContext: no SSL context");
    body(*engine);
}

} // namespace pemtrox
