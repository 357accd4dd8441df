// A proxy with a recording listener, for tests that need a separate process to kill or to
// run under resource limits: records into the root given as the argument, prints its port
// on a line of its own and serves until it is killed. Warnings go to standard error.
// With --slow-writer, the writer's lanes are held back unevenly, as by a slow disk, so that
// a kill finds them behind.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/HttpProxyServer.h"
#include "proxy/recording/RecordingListener.h"

int main(int argc, char** argv) {
    using namespace pemtrox;
    bool slowWriter = argc == 3 && std::string(argv[2]) == "--slow-writer";
    if (argc != 2 && !slowWriter) {
        std::fprintf(stderr, "usage: %s recording-root [--slow-writer]\n", argv[0]);
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
    if (slowWriter) {
        auto lanes = listener->writerQueues();
        for (unsigned i = 0;; ++i) {
            // One lane at a time is held for 2 to 18 ms, the others meanwhile for less.
            lanes[(i * 7) % lanes.size()]->async(
                [i] { std::this_thread::sleep_for(std::chrono::milliseconds(2 + 4 * (i % 5))); });
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    for (;;)
        ::pause();
}
