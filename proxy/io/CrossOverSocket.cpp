#include "proxy/io/CrossOverSocket.h"

namespace pemtrox {

CrossOverSocket::CrossOverSocket(std::shared_ptr<PipeSocket> other) : other_(std::move(other)) {}

std::shared_ptr<CrossOverSocket> CrossOverSocket::make(std::shared_ptr<PipeSocket> other) {
    auto socket = makeSocket<CrossOverSocket>(other);
    std::weak_ptr<CrossOverSocket> weak = socket;
    other->setWillCloseBlock([weak](std::shared_ptr<Socket>, ErrorPtr error, CloseCompletion next) {
        auto crossOver = weak.lock();
        if (crossOver && crossOver->markClosed())
            crossOver->runCloseSequence(std::move(error), std::move(next));
        else
            next(std::move(error));
    });
    return socket;
}

} // namespace pemtrox
