#pragma once

#include <optional>

#include "platform/Fifo.h"
#include "proxy/io/FilterInputStream.h"

namespace pemtrox {

/// A filter that lets its reader give bytes back (unread) to be read again before the
/// parent's. Requests that the pushed bytes cannot answer alone go to the parent, and the
/// pushed bytes are put in front of the parent's answer. A marker split between the pushed
/// bytes and the parent's is found at the split; bytes past it are pushed back again.
class PushbackInputStream : public FilterInputStream {
public:
    static std::shared_ptr<PushbackInputStream> make(std::shared_ptr<MyInputStream> parent);
    explicit PushbackInputStream(std::shared_ptr<MyInputStream> parent)
        : FilterInputStream(std::move(parent)) {}

    bool hasPushedData() const { return buf_ && !buf_->empty(); }
    /// Gives bytes back: they are read before the bytes given back earlier.
    void unread(const Data& bytes);
    /// Takes the first `count` pushed bytes (count must not exceed what is pushed).
    Data take(std::size_t count);

protected:
    void readAny(std::optional<std::uint64_t> maxLength) override;
    void readLength(std::uint64_t length) override;
    void readMarker(const Data& marker, std::uint64_t maxLength) override;
    void filter(InputStreamEvent event, InputStreamReply parentReply) override;

private:
    /// One request passed on to the parent: the pushed bytes that go in front of its
    /// answer, and for a marker request the marker to look for across the join.
    struct Prepend {
        std::optional<Data> prefix;
        Data marker;
    };

    /// Answers a request that needs the parent once the parent has announced its end
    /// unasked: the pushed bytes stand in for the end, then the end itself. False while no
    /// end is held.
    bool answerHeldEnd();

    std::optional<Data> buf_;
    Fifo<Prepend> prependNextReadBuf_; // empty until the first read: no block per idle stream
    /// An end (eof or error) the parent announced while nobody read through it and bytes
    /// were pushed back: those bytes came first, so the end waits behind them.
    std::optional<InputStreamEvent> heldEnd_;
};

} // namespace pemtrox
