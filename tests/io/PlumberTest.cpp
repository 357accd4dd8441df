#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/io/AbstractLoggable.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

namespace {
class PlumbedThing : public AbstractLoggable {};
class PlumbedSubThing : public PlumbedThing {};
class NeverCounted : public AbstractLoggable {};
class ThreadedThing : public AbstractLoggable {};
} // namespace

TEST(Plumber, CountsUnderTheMostDerivedTypeAndLogsEachStep) {
    auto capture = test::CapturingLogger::install();
    const std::string key = "VornellPacketTunnel.PlumbedThing";
    const std::string subKey = "VornellPacketTunnel.PlumbedSubThing";
    {
        auto a = Plumber::make<PlumbedThing>();
        EXPECT_TRUE(capture->contains("INIT " + key + " (1)"));
        auto b = Plumber::make<PlumbedThing>();
        EXPECT_TRUE(capture->contains("INIT " + key + " (2)"));
        auto sub = Plumber::make<PlumbedSubThing>();
        EXPECT_EQ(Plumber::count(key), 2);
        EXPECT_EQ(Plumber::count(subKey), 1);
        b.reset();
        EXPECT_TRUE(capture->contains("DEINIT " + key + " (1)"));
    }
    capture->uninstall();
    EXPECT_EQ(Plumber::count(key), 0);
    // Rows stay with a zero count.
    auto report = Plumber::report();
    EXPECT_NE(report.find(key + " = 0\n"), std::string::npos);
    EXPECT_NE(report.find(subKey + " = 0\n"), std::string::npos);
}

TEST(Plumber, ReportRowsAndLogLines) {
    auto keep = Plumber::make<PlumbedThing>();
    auto capture = test::CapturingLogger::install();
    auto report = Plumber::report();
    capture->uninstall();
    auto lines = capture->lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), std::string(39, '*'));
    EXPECT_EQ(lines[1], "PLUMBER REPORT");
    EXPECT_EQ(lines.back(), std::string(39, '*'));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "REPORT VornellPacketTunnel.PlumbedThing = 1"), lines.end());
    // Every row is "key = count\n"; nothing else.
    std::size_t rows = 0, pos = 0;
    while (pos < report.size()) {
        auto end = report.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        EXPECT_NE(report.substr(pos, end - pos).find(" = "), std::string::npos);
        pos = end + 1;
        ++rows;
    }
    EXPECT_EQ(rows + 3, lines.size());
}

TEST(Plumber, ConcurrentObjectsOnEightThreadsEndAtZero) {
    const std::string key = "VornellPacketTunnel.ThreadedThing";
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            std::vector<std::shared_ptr<ThreadedThing>> live;
            for (int i = 0; i < 10000; ++i) {
                live.push_back(Plumber::make<ThreadedThing>());
                if (i % 3 == 0)
                    live.erase(live.begin());
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(Plumber::count(key), 0);
}

TEST(PlumberDeathTest, DestructionWithoutConstructionReportIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Made without its factory: the counter was never told of it.
    EXPECT_DEATH({ auto x = std::make_shared<NeverCounted>(); },
                 "trackDeinit called without corresponding trackInit: VornellPacketTunnel\\.");
}
