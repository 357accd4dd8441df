#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/io/CustomOutputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/MyOutputStream.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/Plumber.h"
#include "proxy/io/PushbackInputStream.h"

namespace pemtrox::test {

/// Records the events a stream delivers as a readable trace ("data:ab", "eof",
/// "error:EOF") and answers each with `answer` (or holds the reply when `holdReplies`).
struct EventLog : std::enable_shared_from_this<EventLog> {
    std::vector<std::string> trace;
    Data bytes;
    std::vector<ErrorPtr> errors;
    InputStreamHandlerResult answer = InputStreamHandlerResult::more;
    bool holdReplies = false;
    std::vector<InputStreamReply> heldReplies;
    /// Runs after each event is recorded, before the reply.
    std::function<void(const InputStreamEvent&)> onEvent;
    /// Runs after the reply (not when replies are held), with the event's kind.
    std::function<void(InputStreamEvent::Kind)> afterReply;

    static std::shared_ptr<EventLog> make() { return std::make_shared<EventLog>(); }

    InputStreamHandler handler() {
        return [self = shared_from_this()](InputStreamEvent event, InputStreamReply reply) {
            switch (event.kind()) {
            case InputStreamEvent::Kind::data:
                self->trace.push_back("data:" + std::string(event.data().begin(), event.data().end()));
                self->bytes.insert(self->bytes.end(), event.data().begin(), event.data().end());
                break;
            case InputStreamEvent::Kind::error:
                self->trace.push_back("error:" + event.error()->description());
                self->errors.push_back(event.error());
                break;
            case InputStreamEvent::Kind::eof:
                self->trace.push_back("eof");
                break;
            }
            if (self->onEvent)
                self->onEvent(event);
            if (self->holdReplies) {
                self->heldReplies.push_back(std::move(reply));
                return;
            }
            reply(self->answer);
            if (self->afterReply)
                self->afterReply(event.kind());
        };
    }
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
    bool ended() const {
        return !trace.empty() && (trace.back() == "eof" || trace.back().rfind("error:", 0) == 0);
    }
};

/// Installs an EventLog on the stream and reads until the first end: each data event
/// asks for the next delivery with the same limit.
inline std::shared_ptr<EventLog> drain(const std::shared_ptr<MyInputStream>& stream,
                                       std::optional<std::uint64_t> limit = std::nullopt) {
    auto log = EventLog::make();
    std::weak_ptr<MyInputStream> weak = stream;
    log->afterReply = [weak, limit](InputStreamEvent::Kind kind) {
        if (auto s = weak.lock(); s && kind == InputStreamEvent::Kind::data)
            s->read(limit);
    };
    stream->handler(log->handler());
    stream->read(limit);
    return log;
}

/// The live count of every stream and buffer type, for checks that nothing leaked.
inline std::int64_t liveStreamObjects() {
    std::int64_t total = 0;
    for (const char* name :
         {"ByteArrayInputStream", "PipeStream", "FilterInputStream", "ChunkedInputStream",
          "FiniteInputStream", "CounterInputStream", "PushbackInputStream", "SafeGZIPInputStream",
          "UncompressInputStream", "FilterOutputStream", "HttpOutputStream", "ChunkedOutputStream",
          "NoCloseOutputStream", "DataOutputStream", "NullOutputStream", "CustomOutputStream",
          "SynchronousOutputBuffer", "SynchronousBuffer"})
        total += Plumber::count(std::string(plumberModuleName) + "." + name);
    return total;
}

/// Runs a one-line script of steps on a stream, words split by "|": "read", "read:N" (at most
/// N), "len:N" (exactly N), "line" or "line:N" (up to CRLF, at most N), "close" or "close:ERROR", and for
/// pipes "write:TEXT", "eof" and "fail" (an "Invalid chunk trailer" error), for push-back streams
/// "unread:TEXT". In TEXT, "~" stands for CRLF.
inline void runScript(MyInputStream& stream, const std::string& script) {
    auto text = [](std::string t) {
        for (std::size_t at; (at = t.find('~')) != std::string::npos;)
            t.replace(at, 1, "\r\n");
        return toData(t);
    };
    std::size_t start = 0;
    while (start <= script.size()) {
        std::size_t end = std::min(script.find('|', start), script.size());
        std::string word = script.substr(start, end - start), arg;
        start = end + 1;
        if (auto colon = word.find(':'); colon != std::string::npos)
            arg = word.substr(colon + 1), word.resize(colon);
        auto* pipe = dynamic_cast<PipeStream*>(&stream);
        if (word == "read")
            arg.empty() ? stream.read() : stream.read(std::stoull(arg));
        else if (word == "len")
            stream.readTo(std::stoull(arg));
        else if (word == "line")
            stream.readTo(toData("\r\n"), arg.empty() ? MyInputStream::DefaultMarkerLimit : std::stoull(arg));
        else if (word == "close")
            stream.close(arg.empty() ? nullptr : makeError<GenericError>(arg));
        else if (word == "unread")
            dynamic_cast<PushbackInputStream&>(stream).unread(text(arg));
        else if (pipe && word == "write")
            pipe->write(text(arg), false, nullptr);
        else if (pipe && word == "eof")
            pipe->appendEOF();
        else if (pipe && word == "fail")
            pipe->appendError(InputStreamError::invalidTrailer().clone());
        else
            ADD_FAILURE() << "unknown step " << word;
    }
}

/// The trace joined with "|", CRLF shown as "~", for comparing with a one-line expectation.
inline std::string joined(const std::vector<std::string>& trace) {
    std::string all;
    for (const auto& entry : trace)
        all += (all.empty() ? "" : "|") + entry;
    for (std::size_t at; (at = all.find("\r\n")) != std::string::npos;)
        all.replace(at, 2, "~");
    return all;
}

/// Records write completions.
struct WriteLog {
    std::vector<std::string> results;
    OutputStreamWriteCompletion completion() {
        return [this](OutputStreamWriteHandlerResult r) {
            results.push_back(r.isReady()  ? "ready"
                              : r.isWait() ? "wait"
                                           : "error:" + r.error()->description());
        };
    }
};

/// An output stream that records each write ("bytes|flush"), its bytes and each close
/// ("close:ERROR"), counts flushes, and answers writes with `answer` (ready unless set) or
/// holds their completions.
struct RecordingTarget {
    std::shared_ptr<CustomOutputStream> stream = CustomOutputStream::make();
    std::vector<std::string> log;
    Data received;
    bool hold = false;
    std::vector<OutputStreamWriteCompletion> held;
    std::function<OutputStreamWriteHandlerResult(int writeIndex)> answer;
    int writes = 0, flushes = 0;

    RecordingTarget() {
        stream->onWrite = [this](Data data, bool flush, OutputStreamWriteCompletion completion) {
            log.push_back(toString(data) + (flush ? "|flush" : ""));
            received.insert(received.end(), data.begin(), data.end());
            auto index = writes++;
            if (hold)
                held.push_back(std::move(completion));
            else if (completion)
                completion(answer ? answer(index) : OutputStreamWriteHandlerResult::ready());
        };
        stream->onClose = [this](ErrorPtr error, CloseCompletion completion) {
            log.push_back("close:" + describe(error));
            completion(error);
        };
        stream->onFlush = [this] { ++flushes; };
    }
};

} // namespace pemtrox::test
