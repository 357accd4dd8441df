#pragma once

#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

/// Discards what is written; every write completes `ready` at once, closed or not.
class NullOutputStream : public AbstractOutputStream {
public:
    static std::shared_ptr<NullOutputStream> make();

    void write(Data, bool, OutputStreamWriteCompletion completion) override {
        if (completion)
            completion(OutputStreamWriteHandlerResult::ready());
    }
};

} // namespace pemtrox
