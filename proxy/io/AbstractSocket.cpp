#include "proxy/io/AbstractSocket.h"

#include <atomic>
#include <limits>

#include "platform/Log.h"

namespace pemtrox {

namespace {
// Sockets are made on several queues; the atomic keeps every index distinct.
std::atomic<std::int64_t> nextGlobalIndex{0};
} // namespace

std::int64_t takeNextGlobalIndex() {
    auto index = nextGlobalIndex.fetch_add(1);
    if (index == std::numeric_limits<std::int64_t>::max())
        fatalError("nextGlobalIndex overflowed");
    return index;
}

AbstractSocket::AbstractSocket() : globalIndex_(takeNextGlobalIndex()) {}

AbstractSocket::~AbstractSocket() {
    if (!closed_)
        fatalError(typeName() + " deinited without being closed");
}

bool AbstractSocket::markClosed() {
    if (closed_)
        return false;
    closed_ = true;
    return true;
}

void AbstractSocket::close(ErrorPtr error, CloseCompletion completion) {
    if (!markClosed()) {
        if (completion)
            completion(std::move(error));
        return;
    }
    runCloseSequence(std::move(error), std::move(completion));
}

void AbstractSocket::runCloseSequence(ErrorPtr error, CloseCompletion completion) {
    auto self = selfAs(this);
    auto afterOutput = [self, completion](ErrorPtr error) {
        if (auto block = self->didCloseBlock())
            block(self->selfSocket(), std::move(error),
                  [self, completion](ErrorPtr error) { self->finalCloseStep(std::move(error), completion); });
        else
            self->finalCloseStep(std::move(error), completion);
    };
    auto afterWillClose = [self, afterOutput](ErrorPtr error) {
        self->closeImpl(std::move(error), [self, afterOutput](ErrorPtr error) {
            auto output = self->outputStream();
            if (!output) {
                afterOutput(std::move(error));
                return;
            }
            output->close(error, [afterOutput, error](ErrorPtr) { afterOutput(error); });
        });
    };
    if (auto block = willCloseBlock())
        block(selfSocket(), std::move(error), afterWillClose);
    else
        afterWillClose(std::move(error));
}

void AbstractSocket::closeImpl(ErrorPtr error, CloseCompletion completion) {
    auto input = inputStream();
    if (!input) {
        completion(std::move(error));
        return;
    }
    input->close(std::move(error), std::move(completion));
}

void AbstractSocket::finalCloseStep(ErrorPtr error, CloseCompletion completion) {
    if (completion)
        completion(std::move(error));
}

void AbstractSocket::inputStreamDidClose(const MyInputStream& stream, ErrorPtr error,
                                         CloseCompletion completion) {
    if (&stream != inputStream().get())
        fatalError("Socket received didClose from input stream that wasn't its own");
    auto output = outputStream();
    if (output && output->isClosed())
        close(std::move(error), std::move(completion));
    else if (completion)
        completion(std::move(error));
}

void AbstractSocket::outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                                          CloseCompletion completion) {
    if (&stream != outputStream().get())
        fatalError("Socket received didClose from output stream that wasn't its own");
    auto input = inputStream();
    if (input && input->isClosed())
        close(std::move(error), std::move(completion));
    else if (completion)
        completion(std::move(error));
}

} // namespace pemtrox
