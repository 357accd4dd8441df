#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "proxy/io/MyInputStream.h"
#include "proxy/io/MyOutputStream.h"

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
            if (self->holdReplies)
                self->heldReplies.push_back(std::move(reply));
            else
                reply(self->answer);
        };
    }
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
    bool ended() const {
        return !trace.empty() && (trace.back() == "eof" || trace.back().rfind("error:", 0) == 0);
    }
};

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

} // namespace pemtrox::test
