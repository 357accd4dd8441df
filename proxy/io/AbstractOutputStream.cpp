#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

void AbstractOutputStream::close(ErrorPtr error, CloseCompletion completion) {
    if (isClosed()) {
        if (completion)
            completion(std::move(error));
        return;
    }
    closed_ = true;
    closeImpl(std::move(error), std::move(completion));
}

void AbstractOutputStream::closeImpl(ErrorPtr error, CloseCompletion completion) {
    if (completion)
        completion(std::move(error));
}

} // namespace pemtrox
