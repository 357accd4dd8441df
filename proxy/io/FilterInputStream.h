#pragma once

#include <memory>

#include "proxy/io/AbstractInputStream.h"

namespace pemtrox {

/// An input stream over another one, its parent, that passes the parent's events on,
/// changed or bounded. The filter installs a hook of its own as the parent's handler when
/// its own handler is installed; the hook holds the filter weakly, and events that arrive
/// after the filter is gone are answered `done`.
///
/// Closing a filter closes its parent; the end reaches the filter's handler from the
/// parent, through the hook. A filter that ends with an error of its own tells its handler
/// with an error event and answers every later read with the same error.
class FilterInputStream : public AbstractInputStream {
public:
    static std::shared_ptr<FilterInputStream> make(std::shared_ptr<MyInputStream> parent);
    explicit FilterInputStream(std::shared_ptr<MyInputStream> parent) : parent_(std::move(parent)) {}

    /// The parent's flag.
    bool isClosed() const override { return parent_->isClosed(); }
    /// Installs the handler, then the hook on the parent. On a closed parent the hook is
    /// told the end by the parent, and passes it on.
    void handler(InputStreamHandler handler) override;
    void removeHandler() override;

    const std::shared_ptr<MyInputStream>& parent() const { return parent_; }

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    void readLength(std::uint64_t length) override;
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    void closeImpl(ErrorPtr error, CloseCompletion completion) override;

    /// Handles one event of the parent; `parentReply` is the parent's reply callback and must
    /// be called exactly once. Default: pass the event on with the ordinary reply.
    virtual void filter(InputStreamEvent event, InputStreamReply parentReply);

    /// Ends this stream with its own error: the parent gets `done` (when it is waiting for a
    /// reply) and is closed with the error, then the handler gets the error event.
    void fail(ErrorPtr error, InputStreamReply parentReply = nullptr);
    /// True (and the error delivered again) once the stream has failed.
    bool answerFailure();
    const ErrorPtr& failure() const { return failure_; }

private:
    std::shared_ptr<MyInputStream> parent_;
    ErrorPtr failure_;
};

} // namespace pemtrox
