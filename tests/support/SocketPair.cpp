#include "tests/support/SocketPair.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace pemtrox::test {

void SocketEvents::add(std::string line) {
    if (queue_) {
        EXPECT_TRUE(queue_->isCurrent()) << line;
    }
    locked([&] { lines_.push_back(std::move(line)); });
}

SocketPair::SocketPair() {
    listener->setDelegate(listenerEvents);
    listener->acceptOn("127.0.0.1", 0);
    client->setDelegate(clientEvents);
    client->connect("127.0.0.1", *listener->localPort(), {}, 5.0);
    EXPECT_TRUE(waitFor([&] { return clientEvents->has("connect") && listenerEvents->has("accept"); }));
    server = listenerEvents->firstAccepted();
    if (server)
        server->setDelegate(serverEvents);
}

SocketPair::~SocketPair() {
    queue->sync([&] {
        for (auto* socket : {&client, &server, &listener}) {
            if (*socket)
                (*socket)->disconnect();
            socket->reset();
        }
        listenerEvents->dropAccepted();
    });
    EXPECT_TRUE(waitFor([&] { return queue.use_count() == 1; }));
    queue->stop();
}

} // namespace pemtrox::test
