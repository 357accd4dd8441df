#pragma once

#include <cstdint>
#include <memory>

#include "proxy/io/AbstractLoggable.h"
#include "proxy/io/MyInputStream.h"

namespace pemtrox {

struct DeliveryReply;

/// Common base of the input streams: the handler with its version counter, the ordinary
/// reply, and the close sequence. Subclasses implement the read requests.
class AbstractInputStream : public AbstractLoggable,
                            public MyInputStream,
                            public std::enable_shared_from_this<AbstractInputStream> {
public:
    /// The system's read unit: the largest delivery of a read without a limit.
    static constexpr std::uint64_t MaxRead = 4096;

    ~AbstractInputStream() override = default;

    bool isClosed() const override { return closed_; }
    /// If already closed: completion(error). Else marks closed and runs closeImpl.
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override;
    /// Stores the handler; on a closed stream the new handler is told the end at once.
    void handler(InputStreamHandler handler) override;
    void removeHandler() override;

    bool hasHandler() const { return handler_ != nullptr; }
    std::int64_t handlerVersion() const { return handlerVersion_; }

protected:
    AbstractInputStream() = default;

    /// The subclass's own close work; default: deliverEnd. Called from close() with a
    /// completion that is never null.
    virtual void closeImpl(ErrorPtr error, CloseCompletion completion);
    /// Tells the handler that the stream ended (error event, or eof when error is null),
    /// then calls the completion with the error; with no handler, the completion at once.
    virtual void deliverEnd(ErrorPtr error, CloseCompletion completion);

    /// Delivers one event to the installed handler with the ordinary reply: a `done` reply
    /// removes the handler unless it changed meanwhile; then `after` gets the result. With
    /// no handler, `after` gets `done` at once (data is lost).
    void deliver(InputStreamEvent event, InputStreamReply after = nullptr);

    /// Marks the stream closed without running the close sequence.
    void setClosed() { closed_ = true; }
    /// Installs the handler without telling it of an end (for streams that learn of the
    /// end from elsewhere).
    void setHandler(InputStreamHandler handler);

    template <class T> std::shared_ptr<T> selfAs() { return std::static_pointer_cast<T>(shared_from_this()); }
    template <class T> std::weak_ptr<T> weakSelfAs() { return selfAs<T>(); }

private:
    friend struct DeliveryReply;

    bool closed_ = false;
    std::int64_t handlerVersion_ = 0;
    // Shared so that a handler that replaces itself while it runs stays alive until it returns.
    std::shared_ptr<const InputStreamHandler> handler_;
};

} // namespace pemtrox
