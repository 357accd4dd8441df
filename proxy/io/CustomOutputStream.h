#pragma once

#include <functional>

#include "proxy/io/AbstractOutputStream.h"

namespace pemtrox {

/// An output stream driven by callbacks. `onWrite` must be set before the first write.
class CustomOutputStream : public AbstractOutputStream {
public:
    using WriteHandler = std::function<void(Data data, bool flush, OutputStreamWriteCompletion completion)>;
    using CloseHandler = std::function<void(ErrorPtr error, CloseCompletion completion)>;
    using FlushHandler = std::function<void()>;

    static std::shared_ptr<CustomOutputStream> make();

    WriteHandler onWrite;
    CloseHandler onClose;
    FlushHandler onFlush;

    void write(Data data, bool flush, OutputStreamWriteCompletion completion) override;
    void flush() override {
        if (onFlush)
            onFlush();
    }

protected:
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;
};

} // namespace pemtrox
