#include "proxy/recording/RecordingListener.h"

#include <any>
#include <cerrno>
#include <csignal>
#include <sys/stat.h>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/Fields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/recording/ExchangeRecording.h"
#include "proxy/recording/RecordingError.h"
#include "proxy/recording/RecordingMetadata.h"

namespace pemtrox {

namespace {

// Replacing metadata.json costs a file creation and a rename, far more than a 4 KiB piece:
// while a body streams, it is replaced at most this often (the step into the body, every
// other step and the last one are always written).
constexpr auto bodyMetadataInterval = std::chrono::milliseconds(100);

} // namespace

std::shared_ptr<RecordingListener> RecordingListener::make(std::filesystem::path baseURL,
                                                           const RecordingSettings& settings,
                                                           bool allowExisting) {
    struct stat info {};
    if (::stat(baseURL.c_str(), &info) != 0) {
        if (errno != ENOENT || ::mkdir(baseURL.c_str(), 0700) != 0)
            systemError("mkdir(" + baseURL.string() + ")", errno)->raise();
    } else if (!allowExisting || !S_ISDIR(info.st_mode)) {
        RecordingError::recordingAlreadyExistsAtURL().raise();
    }
    // A file size limit must fail the write that crosses it (EFBIG), not end the process.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGXFSZ, SIG_IGN);
    auto listener = std::make_shared<RecordingListener>(std::move(baseURL), settings);
    listener->store_.setOwner(listener);
    return listener;
}

RecordingListener::RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings)
    : policy_(settings), store_(std::move(baseURL)) {}

std::size_t RecordingListener::finishWrites(std::chrono::steady_clock::duration bound) {
    auto dropped = store_.finish(std::chrono::steady_clock::now() + bound);
    if (dropped > 0)
        LOG_WARNING("Recording stopped with {} steps not written within {} ms: dropped", dropped,
                    std::chrono::duration_cast<std::chrono::milliseconds>(bound).count());
    return dropped;
}

std::shared_ptr<ExchangeRecordingContext> RecordingListener::heldContext(const ProxyEvent& evt) {
    auto it = evt.attributes.find(keyAttribute);
    if (it == evt.attributes.end())
        return nullptr;
    auto* context = std::any_cast<std::shared_ptr<Context>>(&it->second);
    return context ? *context : nullptr;
}

std::shared_ptr<ExchangeRecordingContext> RecordingListener::recordingOf(const ProxyEvent& evt) {
    auto context = heldContext(evt);
    return context && context->active() ? context : nullptr;
}

std::shared_ptr<ExchangeRecordingContext> RecordingListener::contextOf(ProxyEvent& evt) {
    auto context = heldContext(evt);
    if (context && context->active())
        return context;
    // One that the stuck writer let go on stays until its end: a cancel still removes its directory.
    if (!context || !context->recording()->abandoned)
        forget(evt);
    return nullptr;
}

void RecordingListener::forget(ProxyEvent& evt) {
    evt.attributes.erase(keyAttribute);
}

void RecordingListener::startRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (evt->attributes.contains(keyAttribute) || !policy_.selects(*evt))
        return;
    evt->attributes[keyAttribute] = std::make_shared<Context>(store_.begin(evt->pause()));
}

void RecordingListener::cancelRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto context = heldContext(*evt); context && (context->active() || context->recording()->abandoned)) {
        context->recording()->cancelled = true;
        context->end();
        store_.submit(context->recording(), Kind::cancel);
    }
    forget(*evt);
}

void RecordingListener::stopRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto context = contextOf(*evt)) {
        flushMetadata(*evt, *context);
        context->end();
        store_.submit(context->recording(), Kind::stop);
        forget(*evt);
    }
}

void RecordingListener::endStep(const std::shared_ptr<ProxyEvent>& evt) {
    auto context = contextOf(*evt);
    if (!context) {
        forget(*evt);
        return;
    }
    writeMetadata(*evt, *context);
    // The lane closes the files and gives the texts back to the writer's buffers.
    context->end();
    store_.submit(context->recording(), Kind::release);
    forget(*evt);
}

void RecordingListener::writeMetadata(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto context = contextOf(*evt))
        deferMetadata(evt, context);
}

void RecordingListener::writeMetadata(ProxyEvent& evt, Context& context) {
    auto metadata = recordingMetadata(evt, &context.buildMetadata(), store_.buffer(1024));
    store_.submit(context.recording(), Kind::metadata, std::move(metadata),
                  ++context.recording()->metadataNumber);
}

void RecordingListener::deferMetadata(const std::shared_ptr<ProxyEvent>& evt,
                                      const std::shared_ptr<Context>& context) {
    // Several steps of an exchange often follow each other in one turn of its queue (the
    // address, the URL, the request read whole), and a writer behind them would write the
    // last one's metadata only: it is built once, when the turn has ended. A caller on no
    // queue has no turn to wait for.
    auto* queue = DispatchQueue::current();
    if (!queue) {
        writeMetadata(*evt, *context);
        return;
    }
    if (!context->deferMetadata())
        return;
    // The listener stays until then, so that a listener let go meanwhile still writes the step.
    queue->async([self = shared_from_this(), evt, context] { self->flushMetadata(*evt, *context); });
}

void RecordingListener::flushMetadata(ProxyEvent& evt, Context& context) {
    // A step that ended the exchange meanwhile has built what waited, or dropped it.
    if (context.metadataWaits() && context.active())
        writeMetadata(evt, context);
}

void RecordingListener::writeRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto context = contextOf(*evt); context && evt->requestHeader) {
        flushMetadata(*evt, *context);
        if (auto head = context->changedHead(*evt->requestHeader, true))
            submitHead(*context, true, *head);
    }
}

void RecordingListener::writeResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto context = contextOf(*evt); context && evt->responseHeader) {
        flushMetadata(*evt, *context);
        if (auto head = context->changedHead(*evt->responseHeader, false))
            submitHead(*context, false, *head);
    }
}

void RecordingListener::submitHead(Context& context, bool request, const std::string& head) {
    auto& recording = *context.recording();
    auto& number = request ? recording.requestHeadNumber : recording.responseHeadNumber;
    auto text = store_.buffer(head.size());
    text.assign(head);
    store_.submit(context.recording(), request ? Kind::requestHead : Kind::responseHead, std::move(text),
                  ++number);
}

void RecordingListener::proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    startRecording(evt);
    writeMetadata(evt);
}

void RecordingListener::headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request) {
    auto context = contextOf(*evt);
    if (!context)
        return;
    // A head handed over already (as received, then as sent on unchanged) writes nothing:
    // the step changes metadata.json alone.
    const auto& fields = request ? evt->requestHeader : evt->responseHeader;
    auto head = fields ? context->changedHead(*fields, request) : std::nullopt;
    if (!head) {
        deferMetadata(evt, context);
        return;
    }
    writeMetadata(*evt, *context);
    submitHead(*context, request, *head);
}

void RecordingListener::proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, true);
}

void RecordingListener::proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, true);
}

void RecordingListener::proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, false);
}

void RecordingListener::proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, false);
}

void RecordingListener::bodyStep(const std::shared_ptr<ProxyEvent>& evt, const Data& data, bool request) {
    auto context = contextOf(*evt);
    if (!context)
        return;
    auto now = std::chrono::steady_clock::now();
    bool metadataDue = context->bodyMetadataDue(now, bodyMetadataInterval);
    if (metadataDue) {
        writeMetadata(*evt, *context);
        context->bodyMetadataWritten(now);
    }
    auto cap = policy_.bodyCap(*evt, request);
    if (!cap)
        return;
    if (!metadataDue)
        flushMetadata(*evt, *context);
    // Only what fits below the cap is copied for the writer.
    auto fits = context->bodyBytes(request, data.size(), *cap);
    if (!fits)
        return;
    auto piece = store_.buffer(*fits);
    piece.assign(reinterpret_cast<const char*>(data.data()), *fits);
    store_.submit(context->recording(), request ? Kind::requestBody : Kind::responseBody, std::move(piece), 0,
                  *cap);
}

void RecordingListener::proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt,
                                                          const Data& data) {
    bodyStep(evt, data, true);
}

void RecordingListener::proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                                           const Data& data) {
    bodyStep(evt, data, false);
}

} // namespace pemtrox
