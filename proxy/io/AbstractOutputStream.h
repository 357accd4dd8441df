#pragma once

#include <memory>

#include "proxy/io/AbstractLoggable.h"
#include "proxy/io/MyOutputStream.h"

namespace pemtrox {

/// Base of the output streams (all but the pipe): the closed flag and the close sequence.
class AbstractOutputStream : public AbstractLoggable,
                             public MyOutputStream,
                             public std::enable_shared_from_this<AbstractOutputStream> {
public:
    ~AbstractOutputStream() override = default;

    bool isClosed() const override { return closed_; }
    /// If already closed: completion(error) at once. Else marks closed and runs closeImpl,
    /// so the close work runs once however often close is called.
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override;
    void flush() override {}

protected:
    AbstractOutputStream() = default;
    /// The subclass's close work; default: completion(error) at once. The completion is
    /// never null.
    virtual void closeImpl(ErrorPtr error, CloseCompletion completion);
    void setClosed(bool closed) { closed_ = closed; }

    template <class T> std::shared_ptr<T> selfAs() { return std::static_pointer_cast<T>(shared_from_this()); }

private:
    bool closed_ = false;
};

} // namespace pemtrox
