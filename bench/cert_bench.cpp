// Per-host certificates: the median time to mint a leaf for a new host (keys made ahead by
// the pool), to serve a cached one from memory, and to load one from the disk cache.
//   pemtrox_cert_bench [hosts]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "proxy/tls/KeyPool.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLContextFactory.h"

using namespace pemtrox;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <class F> double timeMs(F&& f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    int hosts = argc > 1 ? std::atoi(argv[1]) : 50;
    char pattern[] = "/tmp/pemtrox-cert-bench-XXXXXX";
    std::filesystem::path dir = mkdtemp(pattern);
    auto ca = SSLCAGenerator::make(dir / "ca");
    ca->loadOrBuild("BenchPhrase1");
    // Keys are made ahead between first visits, as new hosts arrive at a browsing pace; the
    // pool holds as many as there are hosts so none is made while timed.
    auto pool = std::make_shared<KeyPool>(static_cast<std::size_t>(hosts), 2048);
    while (pool->available() < static_cast<std::size_t>(hosts))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    auto factory = SSLContextFactory::make(dir / "certs", pool);
    factory->setCA(ca->certificate(), ca->key());
    std::vector<double> fresh, memory, disk, inline_;
    for (int i = 0; i < hosts; ++i)
        fresh.push_back(timeMs([&] { factory->identityForHost("host" + std::to_string(i) + ".bench"); }));
    for (int i = 0; i < hosts; ++i)
        memory.push_back(timeMs([&] { factory->identityForHost("host" + std::to_string(i) + ".bench"); }));
    factory->flushCache();
    auto second = SSLContextFactory::make(dir / "certs", pool);
    second->setCA(ca->certificate(), ca->key());
    for (int i = 0; i < hosts; ++i)
        disk.push_back(timeMs([&] { second->identityForHost("host" + std::to_string(i) + ".bench"); }));
    // For comparison: a new host whose key is made on the spot.
    auto empty = std::make_shared<KeyPool>(0, 2048);
    auto slow = SSLContextFactory::make(dir / "certs", empty);
    slow->setCA(ca->certificate(), ca->key());
    for (int i = 0; i < std::min(hosts, 10); ++i)
        inline_.push_back(timeMs([&] { slow->identityForHost("slow" + std::to_string(i) + ".bench"); }));

    std::printf("hosts: %d\n", hosts);
    std::printf("new host, key from the pool   median %.3f ms\n", median(fresh));
    std::printf("cached, from memory           median %.4f ms\n", median(memory));
    std::printf("cached, from disk             median %.3f ms\n", median(disk));
    std::printf("new host, key made on the spot median %.1f ms\n", median(inline_));
    std::filesystem::remove_all(dir);
}
