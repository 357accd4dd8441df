#include "proxy/io/SocketInputStream.h"

namespace pemtrox {

std::shared_ptr<SocketInputStream> SocketInputStream::make(double timeout) {
    return Plumber::make<SocketInputStream>(timeout);
}

std::shared_ptr<SocketStreamProtocol> SocketInputStream::openSocket() const {
    return isClosed() ? nullptr : socket_.lock();
}

void SocketInputStream::readAny(std::optional<std::uint64_t> maxLength) {
    if (auto socket = openSocket())
        socket->read(maxLength, timeout_);
    else
        deliver(InputStreamEvent::eof());
}

void SocketInputStream::readLength(std::uint64_t length) {
    if (auto socket = openSocket())
        socket->readTo(length, timeout_);
    else
        deliver(InputStreamEvent::eof());
}

void SocketInputStream::readMarker(const Data& marker, std::uint64_t maxLength) {
    if (auto socket = openSocket())
        socket->readTo(marker, maxLength, timeout_);
    else
        deliver(InputStreamEvent::eof());
}

void SocketInputStream::socketDidRead(Data data) {
    deliver(InputStreamEvent::data(std::move(data)));
}

void SocketInputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto event = error ? InputStreamEvent::error(error) : InputStreamEvent::eof();
    auto self = selfAs<SocketInputStream>();
    deliver(std::move(event), [self, error, completion = std::move(completion)](InputStreamHandlerResult) {
        if (auto socket = self->socket_.lock())
            socket->inputStreamDidClose(*self, error, completion);
        else if (completion)
            completion(error);
    });
}

} // namespace pemtrox
