// A proxy with a recording listener, for tests that need a separate process to kill or to
// run under resource limits: records into the root given as the argument, prints its port
// on a line of its own and serves until it is killed. Warnings go to standard error.
#include <cstdio>
#include <unistd.h>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/HttpProxyServer.h"
#include "proxy/recording/RecordingListener.h"

int main(int argc, char** argv) {
    using namespace pemtrox;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s recording-root\n", argv[0]);
        return 2;
    }
    Log::addLogger(std::make_shared<ConsoleLogger>(logLevelErrorWarning));
    auto listener = RecordingListener::make(argv[1], RecordingSettings{}, true);
    auto queue = DispatchQueue::make("probe");
    std::shared_ptr<HttpProxyServer> server;
    queue->sync([&] {
        server = HttpProxyServer::make(queue);
        server->addProxyListener(listener);
        server->bind(0, "127.0.0.1");
    });
    std::printf("%d\n", server->localPort().value_or(0));
    std::fflush(stdout);
    for (;;)
        ::pause();
}
