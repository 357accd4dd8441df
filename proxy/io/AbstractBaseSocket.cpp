#include "proxy/io/AbstractBaseSocket.h"

namespace pemtrox {

void AbstractBaseSocket::setWillCloseBlock(SocketCloseBlock block) {
    if (!block || !willCloseBlock_) {
        willCloseBlock_ = std::move(block);
        return;
    }
    willCloseBlock_ = [newer = std::move(block), older = std::move(willCloseBlock_)](
                          std::shared_ptr<Socket> socket, ErrorPtr error, CloseCompletion next) {
        newer(socket, std::move(error), [socket, older, next = std::move(next)](ErrorPtr error) {
            older(socket, std::move(error), next);
        });
    };
}

} // namespace pemtrox
