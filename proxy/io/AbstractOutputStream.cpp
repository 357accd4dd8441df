#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

void AbstractOutputStream::close(ErrorPtr error, CloseCompletion completion) {
    if (isClosed()) {
        if (completion)
            completion(std::move(error));
        return;
    }
    closed_ = true;
    // The caller's completion gets the caller's error, whatever the close work ran into.
    // closeImpl always gets a completion it can call.
    CloseCompletion done = [error, completion = std::move(completion)](ErrorPtr) {
        if (completion)
            completion(error);
    };
    closeImpl(std::move(error), std::move(done));
}

void AbstractOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    if (completion)
        completion(std::move(error));
}

} // namespace pemtrox
