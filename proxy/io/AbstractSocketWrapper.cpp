#include "proxy/io/AbstractSocketWrapper.h"

#include "platform/Log.h"

namespace pemtrox {

AbstractSocketWrapper::AbstractSocketWrapper(std::shared_ptr<Socket> socket) : socket_(std::move(socket)) {}

AbstractSocketWrapper::~AbstractSocketWrapper() {
    if (!socket_->isClosed())
        fatalError(typeName() + " deinited without being closed");
}

void AbstractSocketWrapper::close(ErrorPtr error, CloseCompletion completion) {
    socket_->close(std::move(error), std::move(completion));
}

void AbstractSocketWrapper::closeImpl(ErrorPtr error, CloseCompletion completion) {
    completion(std::move(error));
}

void AbstractSocketWrapper::coupleClose() {
    std::weak_ptr<AbstractSocketWrapper> weakSelf = selfAs(this);
    bool coupled =
        socket_->addWillCloseBlock([weakSelf](std::shared_ptr<Socket>, ErrorPtr error, CloseCompletion next) {
            if (auto self = weakSelf.lock())
                self->closeImpl(std::move(error), std::move(next));
            else
                next(std::move(error));
        });
    if (!coupled)
        fatalError("A socket wrapper needs a socket derived from AbstractBaseSocket");
}

} // namespace pemtrox
