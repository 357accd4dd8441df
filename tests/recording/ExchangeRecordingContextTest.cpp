#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/recording/ExchangeRecording.h"
#include "proxy/recording/RecordingListener.h"
#include "tests/recording/StoreSupport.h"

namespace pemtrox {
namespace {

using Evt = std::shared_ptr<ProxyEvent>;
using Step = std::function<void(RecordingListener&, const Evt&)>;

std::shared_ptr<HttpFields> head(const std::string& firstLine) {
    auto fields = std::make_shared<HttpFields>();
    for (auto line : {firstLine + "\r\n", std::string("\r\n")})
        fields->addLine(line);
    return fields;
}

// An exchange's context is made when it is selected and stays in its record, on its queue,
// until the exchange ends: cancelled at any stage, completed, failed or stopped, it is gone
// once that turn of its queue is over, even while the writer still holds the exchange's steps;
// the writer's record of the exchange goes once those are done. Exchanges run on four queues
// at once, so that the thread sanitizer sees whether anything of a context leaves its queue.
TEST(ExchangeRecordingContextTest, MadeAtSelectionAndGoneAtTheEndOfEachStage) {
    test::Store store;
    auto listener = RecordingListener::make(store.root, {}, true);
    const std::vector<Step> steps = {
        [](auto& l, auto& e) { l.proxyListenerReceivedRequestAddress(e); },
        [](auto& l, auto& e) {
            e->requestHeader = head("POST / HTTP/1.1"), l.proxyListenerReceivedRequestHeader(e);
        },
        [](auto& l, auto& e) { l.proxyListenerReceivingRequestBody(e, toData("abc")); },
        [](auto& l, auto& e) { l.proxyListenerReceivedRequest(e); },
        [](auto& l, auto& e) {
            e->responseHeader = head("HTTP/1.1 200 OK"), l.proxyListenerReceivedResponseHeader(e);
        },
        [](auto& l, auto& e) { l.proxyListenerReceivingResponseBody(e, toData("def")); },
    };
    const std::pair<Step, bool> ends[] = {
        {[](auto& l, auto& e) { l.proxyListenerTransactionCancelled(e); }, false},
        {[](auto& l, auto& e) { l.proxyListenerTransactionComplete(e); }, true},
        {[](auto& l, auto& e) { l.proxyListenerTransactionException(e); }, true},
        {[](auto& l, auto& e) { l.stopRecording(e); }, true},
    };
    const std::size_t count = steps.size() * std::size(ends);
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    for (int q = 0; q < 4; ++q)
        queues.push_back(DispatchQueue::make("serving"));
    std::vector<Evt> events(count);
    std::vector<std::weak_ptr<ExchangeRecordingContext>> contexts(count);
    std::vector<std::weak_ptr<ExchangeRecording>> records(count);
    std::size_t kept = 0;
    {
        test::StalledWriter stall(*listener);
        for (std::size_t i = 0; i < count; ++i) {
            auto stage = 1 + i / std::size(ends);
            const auto& [end, keeps] = ends[i % std::size(ends)];
            kept += keeps;
            queues[i % queues.size()]->async([&, i, stage, end = end] {
                auto evt = events[i] = ProxyEvent::make(nullptr);
                evt->host = "example.com";
                steps[0](*listener, evt);
                auto context = RecordingListener::recordingOf(*evt);
                ASSERT_TRUE(context) << "made at selection";
                contexts[i] = context;
                records[i] = context->recording();
                for (std::size_t s = 1; s < stage; ++s)
                    steps[s](*listener, evt);
                end(*listener, evt);
                EXPECT_FALSE(evt->attributes.contains(RecordingListener::keyAttribute)) << i;
            });
        }
        for (auto& queue : queues) {
            queue->sync([] {});
            queue->sync([] {});
        }
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(contexts[i].expired()) << "exchange " << i;
            EXPECT_FALSE(records[i].expired()) << "held by the writer's steps: " << i;
        }
    }
    listener->waitForWrites();
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_TRUE(records[i].expired()) << "exchange " << i;
    EXPECT_EQ(store.exchanges().size(), kept);
}

} // namespace
} // namespace pemtrox
