#pragma once

#include "proxy/io/FilterOutputStream.h"

namespace pemtrox {

/// A filter whose close only completes: the target stays open for others (a body written
/// into a connection that lives on).
class NoCloseOutputStream : public FilterOutputStream {
public:
    static std::shared_ptr<NoCloseOutputStream> make(std::shared_ptr<MyOutputStream> target);
    explicit NoCloseOutputStream(std::shared_ptr<MyOutputStream> target)
        : FilterOutputStream(std::move(target)) {}

    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override {
        if (completion)
            completion(std::move(error));
    }
};

} // namespace pemtrox
