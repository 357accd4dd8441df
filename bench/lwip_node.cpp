// LWIP mode alone on a TUN device in a client network namespace, until SIGINT or SIGTERM:
// the benchmark's tunnel path. Usage: pemtrox_lwip_node NETNS CA_DIR
// The namespace must exist; the device "pxtun0" is made in it, addressed and given the
// default routes; the relayed connections leave from this program's own namespace.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "PacketTunnel/LWIPMode.h"
#include "PacketTunnel/TunPacketFlow.h"
#include "platform/Log.h"

int main(int argc, char** argv) {
    using namespace pemtrox;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s NETNS CA_DIR\n", argv[0]);
        return 2;
    }
    std::string netns = argv[1];
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::shared_ptr<TunPacketFlow> flow;
    std::thread([&] { // the device is made in the namespace, by a thread that goes there
        int fd = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
            return;
        flow = TunPacketFlow::make("pxtun0");
        close(fd);
    })
        .join();
    if (!flow) {
        std::fprintf(stderr, "cannot make the device in %s\n", netns.c_str());
        return 1;
    }
    std::string ns = "ip -n " + netns + " ";
    std::string setup = ns + "link set lo up && " + ns + "link set pxtun0 up && " + ns +
                        "addr add 198.18.72.254/24 dev pxtun0 && " + ns +
                        "addr add fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64 dev pxtun0 nodad && " + ns +
                        "route add default dev pxtun0 && " + ns + "-6 route add default dev pxtun0";
    if (std::system(setup.c_str()) != 0)
        return 1;
    LWIPMode::Configuration configuration;
    configuration.caDirectory = argv[2];
    auto mode = LWIPMode::start(configuration, flow);
    mode->startReading();
    std::printf("ready\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&signals, &signal);
    mode->stop();
    flow->close();
    return 0;
}
