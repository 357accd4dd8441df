#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

void AbstractOutputStream::close(ErrorPtr error, CloseCompletion completion) {
    if (isClosed())
        return completeClose(completion, std::move(error));
    closed_ = true;
    // A stream closes once; the close work may deliver any end, the caller hears its own.
    auto done = answeringWith(error, std::move(completion));
    closeImpl(std::move(error), std::move(done));
}

void AbstractOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    completeClose(completion, std::move(error));
}

} // namespace pemtrox
