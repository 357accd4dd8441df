#include "proxy/io/SSLSocketWrapper.h"

#include <cstring>

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
#include "proxy/io/SynchronousBuffer.h"

namespace pemtrox {

namespace {

bool isClosedStatus(TlsEngine::Status status) {
    return status == TlsEngine::closedGraceful || status == TlsEngine::closedAbort ||
           status == TlsEngine::closedNoNotify;
}

using Reply = InputStreamHandlerResult;
using Done = std::function<void(Reply)>;

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
    syncBuffer_ = SynchronousBuffer::make(this->socket()->inputStream());
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
    // A socket closed before TLS was asked for never reaches closeImpl, and no ciphertext
    // will come: the handshake fails now instead of waiting for ever.
    if (socket()->isClosed()) {
        isSSLClosed_ = true;
        failConnect(makeError<SocketError>(SocketError::socketClosed()));
        pipeIn_->close();
        return;
    }
    std::weak_ptr<SSLSocketWrapper> weakSelf = selfAs<SSLSocketWrapper>();
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

    sslContext_ = TlsEngine::make(settings.isServer ? TlsEngine::Side::server : TlsEngine::Side::client);
    if (!sslContext_) {
        failConnect(makeError<SSLSocketWrapperError>(SSLSocketWrapperError::cannotCreateSSLContext()));
        return;
    }
    TlsEngine::Status status = sslContext_->setIOFuncs(
        [this](std::uint8_t* destination, std::size_t& length) { return sslRead(destination, length); },
        [this](const std::uint8_t* source, std::size_t& length) { return sslWrite(source, length); });
    if (status == TlsEngine::noErr && settings.certificates)
        status = sslContext_->setCertificate(settings.certificates);
    // The peer name gives SNI and the name the server's certificate must carry.
    if (status == TlsEngine::noErr && !settings.isServer && settings.peerName)
        status = sslContext_->setPeerName(*settings.peerName);
    if (status != TlsEngine::noErr) {
        failConnect(makeError<SSLSocketWrapperError>(SSLSocketWrapperError::sslContextError(status)));
        return;
    }

    syncBuffer_->ready = [weakSelf](InputStreamReply reply) {
        if (auto self = weakSelf.lock())
            self->ready(std::move(reply));
        else
            reply(Reply::done);
    };
    syncBuffer_->fill();
    // A TLS client speaks first: waiting for the server's bytes would wait forever.
    if (!settings.isServer)
        ready([](Reply) {});
}

void SSLSocketWrapper::failConnect(ErrorPtr error) {
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::failed(std::move(error)));
}

void SSLSocketWrapper::ready(InputStreamReply reply) {
    if (socket()->isClosed() || !sslContext_) {
        reply(Reply::done);
        return;
    }
    parkedReplies_.push_back(std::move(reply));
    drive();
}

void SSLSocketWrapper::drive() {
    // One engine call at a time: events that arrive while the pump waits for the pipe, or
    // while a write or close is inside the engine (an in-memory peer answers at once), wait.
    if (pumpWaiting_ || engineBusy_ > 0)
        return;
    auto self = selfAs<SSLSocketWrapper>();
    while (!parkedReplies_.empty()) {
        auto replies = std::exchange(parkedReplies_, {});
        if (socket()->isClosed()) {
            for (auto& r : replies)
                r(Reply::done);
            continue;
        }
        // Steps may finish at once or after the plaintext pipe took their bytes.
        pumpWaiting_ = true;
        auto now = nowOrLater<Reply>(
            [this](Done done) {
                if (handshakeComplete_)
                    readPump(std::move(done));
                else
                    handshake(std::move(done));
            },
            [self, replies](Reply result) {
                for (auto& r : replies)
                    r(result);
                self->pumpWaiting_ = false;
                self->answerParked(result);
            });
        if (!now)
            return; // the pump goes on when the pipe takes its bytes
        for (auto& r : replies)
            r(*now);
        pumpWaiting_ = false;
        if (*now == Reply::done) {
            answerParked(Reply::done);
            return;
        }
    }
}

void SSLSocketWrapper::answerParked(Reply result) {
    if (parkedReplies_.empty())
        return;
    if (result == Reply::done) {
        for (auto& r : std::exchange(parkedReplies_, {}))
            r(Reply::done);
        return;
    }
    // Events that came while the pump waited brought ciphertext it has not seen yet.
    drive();
}

void SSLSocketWrapper::handshake(InputStreamReply done) {
    if (pendingWrite_)
        fatalError("SSLSocketWrapper.handshake: pendingWriteCompletion handler already exists");
    TlsEngine::Status status = sslContext_->handshake();
    if (status == TlsEngine::wouldBlock) {
        done(Reply::more);
        return;
    }
    if (status != TlsEngine::noErr) {
        ErrorPtr failure;
        auto engineError = sslContext_->lastError();
        auto* tlsError = dynamic_cast<const TlsError*>(engineError.get());
        if (eof_)
            failure = makeError<InputStreamError>(InputStreamError::eof());
        else if (error_)
            failure = error_;
        else if (tlsError && tlsError->kind() == TlsError::Kind::certificateVerifyFailed)
            failure = engineError; // "certificate verify failed: …"
        else
            failure = makeError<SSLSocketWrapperError>(SSLSocketWrapperError::handshakeFailed(status));
        failConnect(std::move(failure));
        done(Reply::done);
        return;
    }
    handshakeComplete_ = true;
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::connected(selfAs<Socket>()));
    readPump(std::move(done));
}

void SSLSocketWrapper::readPump(InputStreamReply done) {
    auto self = selfAs<SSLSocketWrapper>();
    for (;;) {
        if (socket()->isClosed() || isSSLClosed_) {
            done(Reply::done);
            return;
        }
        std::size_t count = 0;
        TlsEngine::Status status = sslContext_->read(buffer_.data(), buffer_.size(), count);
        if (isClosedStatus(status)) {
            isSSLClosed_ = true;
            eof_ = true;
        }

        // What to do once the pipe answered: true to read again.
        auto next = [this, status, done](const OutputStreamWriteHandlerResult& result) {
            if (result.isError()) {
                if (!pipeIn_->isClosed())
                    pipeIn_->appendError(result.error());
                done(Reply::done);
                return false;
            }
            if (status == TlsEngine::wouldBlock || (result.isWait() && status == TlsEngine::noErr)) {
                done(Reply::more);
                return false;
            }
            if (status == TlsEngine::noErr)
                return true; // more plaintext may wait in the engine
            if (!pipeIn_->isClosed()) {
                if (eof_)
                    pipeIn_->appendEOF();
                else
                    pipeIn_->appendError(
                        error_ ? error_
                               : makeError<SSLSocketWrapperError>(SSLSocketWrapperError::readError(status)));
            }
            done(Reply::done);
            return false;
        };

        if (count == 0) {
            if (next(OutputStreamWriteHandlerResult::ready()))
                continue;
            return;
        }
        auto answer = nowOrLater<OutputStreamWriteHandlerResult>(
            [&](OutputStreamWriteCompletion completion) {
                pipeIn_->write(Data(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count)),
                               false, std::move(completion));
            },
            [self, next, done](OutputStreamWriteHandlerResult result) {
                if (next(result))
                    self->readPump(done);
            });
        if (!answer)
            return; // held back until the reader drains the pipe
        if (!next(*answer))
            return;
    }
}

TlsEngine::Status SSLSocketWrapper::sslRead(std::uint8_t* destination, std::size_t& length) {
    auto taken = syncBuffer_->read(length);
    if (!taken.isSuccess()) {
        error_ = taken.error();
        length = 0;
        return TlsEngine::ioErr;
    }
    const std::optional<Data>& data = taken.value();
    if (!data) {
        eof_ = true;
        length = 0;
        return TlsEngine::ioErr;
    }
    if (data->empty()) {
        length = 0;
        return TlsEngine::wouldBlock;
    }
    if (data->size() > length)
        fatalError("readLength > length.pointee");
    std::memcpy(destination, data->data(), data->size());
    bool all = data->size() == length;
    length = data->size();
    return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
}

TlsEngine::Status SSLSocketWrapper::sslWrite(const std::uint8_t* source, std::size_t length) {
    rawWriteCalled_ = true;
    // Only the ciphertext of the plaintext write being issued answers that write; records
    // the engine sends on its own (handshake, close alert) answer nobody.
    std::shared_ptr<PendingWrite> pending = pendingWrite_ && pendingWrite_->issuing ? pendingWrite_ : nullptr;
    if (pending)
        ++pending->outstanding;
    socket()->outputStream()->write(
        Data(source, source + length), false,
        [self = selfAs<SSLSocketWrapper>(), pending](OutputStreamWriteHandlerResult result) {
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
    return TlsEngine::noErr;
}

void SSLSocketWrapper::write(Data data, bool, OutputStreamWriteCompletion completion) {
    if (pendingWrite_)
        fatalError("SSLSocketWrapper.write: pendingWriteCompletion handler already exists");
    if (isSSLClosed_ || !sslContext_) {
        completion(OutputStreamWriteHandlerResult::error(
            makeError<SSLSocketWrapperError>(SSLSocketWrapperError::sslContextClosed())));
        return;
    }
    auto self = selfAs<SSLSocketWrapper>();
    // Events parked while the engine encrypted are run once this write is done with it.
    struct DriveLater {
        SSLSocketWrapper& wrapper;
        ~DriveLater() { wrapper.drive(); }
    } driveLater{*this};
    auto pending = std::make_shared<PendingWrite>();
    pending->completion = std::move(completion);
    pendingWrite_ = pending;
    rawWriteCalled_ = false;

    std::size_t processed = 0;
    ++engineBusy_;
    TlsEngine::Status status = sslContext_->write(data.data(), data.size(), processed);
    --engineBusy_;
    pending->issuing = false;
    if (isClosedStatus(status))
        isSSLClosed_ = true;
    if (status != TlsEngine::noErr) {
        pendingWrite_.reset();
        if (auto c = std::exchange(pending->completion, nullptr))
            c(OutputStreamWriteHandlerResult::error(
                makeError<SSLSocketWrapperError>(SSLSocketWrapperError::writeError(status))));
        return;
    }
    if (processed < data.size())
        fatalError("Should never write less data than sent");
    if (!rawWriteCalled_) {
        LOG_WARNING("SSLSocketWrapper.write: rawWrite wasn't called");
        pendingWrite_.reset();
        if (auto c = std::exchange(pending->completion, nullptr))
            c(OutputStreamWriteHandlerResult::ready());
        return;
    }
    if (pending->outstanding == 0)
        finishWrite(pending);
}

void SSLSocketWrapper::finishWrite(const std::shared_ptr<PendingWrite>& pending) {
    if (pendingWrite_ == pending)
        pendingWrite_.reset();
    if (auto completion = std::exchange(pending->completion, nullptr))
        completion(pending->error ? OutputStreamWriteHandlerResult::error(pending->error) : pending->last);
}

void SSLSocketWrapper::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto self = selfAs<SSLSocketWrapper>();
    if (!isSSLClosed_ && sslContext_) {
        ++engineBusy_;
        sslContext_->close(); // the close alert leaves before the wrapped socket closes its streams
        --engineBusy_;
    }
    drive();
    isSSLClosed_ = true;
    // A socket that closes during the handshake must still tell whoever waits to connect.
    failConnect(error ? error : makeError<SocketError>(SocketError::socketClosed()));
    // The pump stops at a closed socket, so the plaintext reader is told here.
    if (!pipeIn_->isClosed())
        pipeIn_->close(error);
    completion(std::move(error));
}

std::optional<std::string> SSLSocketWrapper::negotiatedCipher() const {
    if (!sslContext_)
        return std::nullopt;
    int protocol = 0;
    std::uint16_t cipher = 0;
    if (sslContext_->negotiatedProtocolVersion(protocol) != TlsEngine::noErr ||
        sslContext_->negotiatedCipher(cipher) != TlsEngine::noErr)
        return std::nullopt;
    return SSLCipherSuiteName(protocol, cipher);
}

std::optional<std::string> SSLSocketWrapper::negotiatedProtocol() const {
    if (!sslContext_)
        return std::nullopt;
    int protocol = 0;
    if (sslContext_->negotiatedProtocolVersion(protocol) != TlsEngine::noErr)
        return std::nullopt;
    return SSLProtocolName(protocol);
}

void SSLSocketWrapper::withSSLContext(const std::function<void(TlsEngine&)>& body) const {
    if (!sslContext_)
        fatalError("SSLSocketWrapper.withSSLContext: no SSL context");
    body(*sslContext_);
}

} // namespace pemtrox
