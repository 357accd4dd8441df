#pragma once

// Runs one chunked body through a pipe and ChunkedInputStream and checks the outcome
// against a plain one-pass decoding of the same bytes. Shared by the libFuzzer target and
// the regular tests. The first input byte picks the write piece size and the read limit.

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/UnicodeScalars.h"
#include "proxy/io/ChunkedInputStream.h"
#include "proxy/io/PipeStream.h"

namespace pemtrox::fuzz {

struct Reference {
    Data body;             // the chunk data up to where decoding stopped
    bool complete = false; // the final blank line was reached
};

/// One-pass decoding: chunk-size lines, data, CRLF, trailer lines, blank line.
inline Reference referenceDecode(std::string_view in) {
    Reference ref;
    std::size_t pos = 0;
    auto line = [&]() -> std::optional<std::string_view> {
        auto end = in.find("\r\n", pos);
        if (end == std::string_view::npos || end + 2 - pos > MyInputStream::DefaultMarkerLimit)
            return std::nullopt;
        auto text = in.substr(pos, end + 2 - pos);
        pos = end + 2;
        return text;
    };
    for (;;) {
        auto sizeLine = line();
        if (!sizeLine)
            return ref;
        auto size = ChunkedInputStream::parseChunkLength(*sizeLine);
        if (!size)
            return ref;
        if (*size == 0)
            break;
        auto take = std::min<std::uint64_t>(*size, in.size() - pos);
        ref.body.insert(ref.body.end(), in.begin() + pos, in.begin() + pos + take);
        pos += take;
        if (take < *size || in.substr(pos, 2) != "\r\n")
            return ref;
        pos += 2;
    }
    for (;;) {
        auto trailer = line();
        if (!trailer)
            return ref;
        std::string_view t = *trailer;
        if (!isValidUTF8(t))
            return ref;
        bool blank = t.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (blank) {
            ref.complete = true;
            return ref;
        }
    }
}

inline std::shared_ptr<DispatchQueue> fuzzQueue() {
    static auto queue = DispatchQueue::make("chunked-fuzz");
    return queue;
}

/// Aborts on any broken promise: more bytes than the body holds, a body not equal to the
/// plain decoding, a normal end for a body that is not complete, or no end at all.
inline void checkChunkedInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return;
    std::size_t step = 1 + data[0] % 64;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    auto ref = referenceDecode(input);
    auto queue = fuzzQueue();

    struct State {
        Data delivered;
        int ends = 0;
        bool eof = false;
        std::promise<void> ended;
    };
    auto state = std::make_shared<State>();
    auto finished = state->ended.get_future();
    std::shared_ptr<PipeStream> pipe;
    std::shared_ptr<ChunkedInputStream> stream;
    queue->sync([&] {
        pipe = PipeStream::make(queue);
        stream = ChunkedInputStream::make(pipe);
        std::weak_ptr<ChunkedInputStream> weak = stream;
        stream->handler([state, weak, step](InputStreamEvent event, InputStreamReply reply) {
            if (state->ends > 0)
                std::abort(); // nothing after the end: the reply `done` removed the handler
            if (event.isData()) {
                state->delivered.insert(state->delivered.end(), event.data().begin(), event.data().end());
                reply(InputStreamHandlerResult::more);
                if (auto s = weak.lock())
                    s->read(step);
                return;
            }
            ++state->ends;
            state->eof = event.isEof();
            reply(InputStreamHandlerResult::done);
            state->ended.set_value();
        });
        stream->read(step);
        for (std::size_t at = 0; at < input.size(); at += step)
            pipe->write(Data(input.begin() + at, input.begin() + std::min(input.size(), at + step)), false,
                        nullptr);
        pipe->appendEOF();
    });
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        std::abort(); // the reader was left waiting
    queue->sync([&] {
        stream.reset();
        pipe.reset();
    });
    if (state->delivered.size() > ref.body.size() || state->delivered.size() > input.size())
        std::abort();
    if (!std::equal(state->delivered.begin(), state->delivered.end(), ref.body.begin()))
        std::abort();
    if (state->eof && (!ref.complete || state->delivered != ref.body))
        std::abort();
    if (!state->eof && ref.complete)
        std::abort();
}

} // namespace pemtrox::fuzz
