#include "proxy/io/PipeSocket.h"

namespace pemtrox {

PipeSocket::PipeSocket(std::shared_ptr<DispatchQueue> queue)
    : queue_(queue), inputPipe_(PipeStream::make(queue)), outputPipe_(PipeStream::make(queue)) {}

std::shared_ptr<PipeSocket> PipeSocket::make(std::shared_ptr<DispatchQueue> queue) {
    return makeSocket<PipeSocket>(std::move(queue));
}

} // namespace pemtrox
