#include "platform/TlsDriver.h"

#include <algorithm>
#include <cstring>

#include "platform/DispatchQueue.h"
#include "platform/HandshakeWorkers.h"

namespace pemtrox {

/// One handshake step away from the queue: the ciphertext received before it, what the
/// engine sent during it, and its outcome. The worker owns it, and the engine, from the run
/// until the queue takes them back.
struct TlsDriver::Step {
    std::vector<std::uint8_t> input;
    std::size_t taken = 0;
    bool inputEnded = false;
    std::vector<std::uint8_t> output;
    TlsEngine::Status status = TlsEngine::wouldBlock;
    ErrorPtr error;
};

std::shared_ptr<TlsDriver> TlsDriver::make(const TlsSettings& settings) {
    auto driver = std::make_shared<TlsDriver>(
        TlsEngine::make(settings.isServer ? TlsEngine::Side::server : TlsEngine::Side::client));
    if (!driver->engine_) {
        driver->setupError_ = makeError<TlsError>(TlsError::Kind::configuration, "Cannot create SSL context");
        return driver;
    }
    TlsEngine::Status status = TlsEngine::noErr;
    if (settings.certificates)
        status = driver->engine_->setCertificate(settings.certificates);
    // The peer name gives SNI and the name the server's certificate must carry.
    if (status == TlsEngine::noErr && !settings.isServer && settings.peerName)
        status = driver->engine_->setPeerName(*settings.peerName);
    if (status != TlsEngine::noErr) {
        driver->setupStatus_ = status;
        driver->setupError_ = makeError<TlsError>(
            TlsError::Kind::configuration, "SSL context error (" + std::to_string(status) + ")", status);
    }
    return driver;
}

TlsDriver::TlsDriver(std::unique_ptr<TlsEngine> engine)
    : engine_(std::move(engine)), workers_(HandshakeWorkers::shared()) {
    if (!engine_)
        return;
    // Set once: the callbacks follow step_, so a step away reads and writes its own bytes.
    engine_->setIOFuncs(
        [this](std::uint8_t* destination, std::size_t& length) { return receive(destination, length); },
        [this](const std::uint8_t* source, std::size_t& length) { return sendOut(source, length); });
}

// A driver freed on a worker (its queue gone) must not give its block to that thread's spares.
TlsDriver::~TlsDriver() = default;

void TlsDriver::attach(std::weak_ptr<TlsTransport> transport, std::weak_ptr<DispatchQueue> queue) {
    sink_ = transport.lock().get();
    transport_ = std::move(transport);
    queue_ = std::move(queue);
}

void TlsDriver::detach() {
    sink_ = nullptr;
    transport_.reset();
    input_.release();
}

TlsEngine::Status TlsDriver::receive(std::uint8_t* destination, std::size_t& length) {
    std::size_t n = 0;
    bool ended = false;
    if (step_) {
        n = std::min(length, step_->input.size() - step_->taken);
        std::memcpy(destination, step_->input.data() + step_->taken, n);
        step_->taken += n;
        ended = step_->inputEnded;
    } else {
        n = std::min(length, input_.size());
        if (n > 0) {
            std::memcpy(destination, input_.data(), n);
            input_.consume(n);
            if (input_.size() == 0)
                input_.release();
        }
        ended = inputEnded_;
    }
    bool all = n == length;
    length = n;
    if (n == 0 && ended)
        return TlsEngine::ioErr;
    return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
}

TlsEngine::Status TlsDriver::sendOut(const std::uint8_t* source, std::size_t length) {
    if (step_) {
        step_->output.insert(step_->output.end(), source, source + length);
        return TlsEngine::noErr;
    }
    if (!sink_)
        return TlsEngine::ioErr;
    sink_->send(source, length);
    return TlsEngine::noErr;
}

TlsDriver::Status TlsDriver::translate(TlsEngine::Status status, ErrorPtr& error) {
    engineStatus_ = status;
    switch (status) {
    case TlsEngine::noErr:
        return Status::ok;
    case TlsEngine::wouldBlock:
        return Status::wouldBlock;
    case TlsEngine::closedGraceful:
    case TlsEngine::closedAbort:
    case TlsEngine::closedNoNotify:
    case TlsEngine::ioErr: // the peer ended its stream
        return Status::closed;
    default:
        error = engine_->lastError();
        return Status::failed;
    }
}

TlsDriver::Status TlsDriver::handshake(ErrorPtr& error) {
    if (away_)
        return Status::wouldBlock;
    if (setupError_) {
        error = setupError_;
        return Status::failed;
    }
    if (returned_) {
        auto [status, stepError] = std::move(*returned_);
        returned_.reset();
        // Ciphertext (or the end) that arrived while the step was away is the next step's work.
        if (status != TlsEngine::wouldBlock || (input_.size() == 0 && !inputEnded_)) {
            auto outcome = translate(status, error);
            if (outcome == Status::failed)
                error = std::move(stepError);
            return outcome;
        }
    }
    // The costly step of either side answers the peer's first flight (key exchange and
    // signature on the server side, the chain check and key exchange on the client side):
    // the steps with the peer's bytes go to the workers until one answered. The rest (a
    // client's hello, a server's check of the client's last message) is cheaper than the
    // round trip.
    if (!answered_ && input_.size() > 0 && workers_ && sink_ && !queue_.expired()) {
        sendStepAway();
        return Status::wouldBlock;
    }
    return translate(engine_->handshake(), error);
}

void TlsDriver::sendStepAway() {
    auto step = std::make_shared<Step>();
    step->input.assign(input_.data(), input_.data() + input_.size());
    input_.release();
    step->inputEnded = inputEnded_;
    step_ = step.get();
    away_ = true;
    // The step comes back through the queue (the hand-over back to it). One whose queue is
    // gone lets the step, and the driver with it, go on the worker.
    workers_->run([step, driver = shared_from_this(), queue = queue_]() mutable {
        step->status = driver->engine_->handshake();
        step->error = driver->engine_->lastError();
        if (auto q = queue.lock())
            q->async([step = std::move(step), driver = std::move(driver)] { driver->stepReturned(*step); });
    });
}

void TlsDriver::stepReturned(Step& step) {
    away_ = false;
    step_ = nullptr;
    // A transport that closed or went meanwhile hears nothing more.
    auto transport = transport_.lock();
    if (!transport || !sink_)
        return;
    // Bytes the step left come before those that arrived meanwhile.
    if (step.taken < step.input.size()) {
        InBuffer merged;
        merged.append(step.input.data() + step.taken, step.input.size() - step.taken);
        if (input_.size() > 0)
            merged.append(input_.data(), input_.size());
        input_.release();
        input_ = std::move(merged);
    }
    if (step.taken > 0 && !step.output.empty())
        answered_ = true;
    returned_.emplace(step.status, std::move(step.error));
    if (!step.output.empty())
        transport->send(step.output.data(), step.output.size());
    transport->handshakeStepReturned();
}

TlsDriver::Status TlsDriver::read(std::uint8_t* destination, std::size_t length, std::size_t& count,
                                  ErrorPtr& error) {
    count = 0;
    if (!engine_ || away_)
        return engine_ ? Status::wouldBlock : Status::closed;
    return translate(engine_->read(destination, length, count), error);
}

TlsDriver::Status TlsDriver::write(const std::uint8_t* source, std::size_t length, std::size_t& processed,
                                   ErrorPtr& error) {
    processed = 0;
    if (!engine_ || away_)
        return Status::closed;
    return translate(engine_->write(source, length, processed), error);
}

void TlsDriver::close() {
    if (engine_ && !away_)
        engine_->close();
}

} // namespace pemtrox
