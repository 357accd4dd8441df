#include <atomic>

#include <gtest/gtest.h>

#include "proxy/io/InetAddress.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

TEST(InetAddress, SplitsTheInterfaceOffAtTheFirstPercent) {
    struct Case {
        std::string text, address;
        std::optional<std::string> interface;
    };
    for (const auto& c : std::vector<Case>{{"fe80::1%en0", "fe80::1", "en0"},
                                           {"10.0.0.1", "10.0.0.1", std::nullopt},
                                           {"fe80::1%", "fe80::1", ""},
                                           {"fe80::1%a%b", "fe80::1", "a%b"},
                                           {"", "", std::nullopt}}) {
        InetAddress a("h", c.text);
        EXPECT_EQ(a.host(), "h");
        EXPECT_EQ(a.address(), c.address) << c.text;
        EXPECT_EQ(a.interface(), c.interface) << c.text;
    }
}

TEST(InetAddress, TextAndEqualityIgnoreTheInterface) {
    EXPECT_EQ(InetAddress("h", "192.0.2.1").description(), "h/192.0.2.1");
    EXPECT_EQ(InetAddress("h", "fe80::1%en0").description(), "h/fe80::1");
    EXPECT_EQ(InetAddress("h", "fe80::1%en0"), InetAddress("h", "fe80::1%en1"));
    EXPECT_FALSE(InetAddress("h", "192.0.2.1") == InetAddress("g", "192.0.2.1"));
    EXPECT_FALSE(InetAddress("h", "192.0.2.1") == InetAddress("h", "192.0.2.2"));
}
TEST(InetAddress, GetByNameAnswersOnceOnTheAskingQueue) {
    auto queue = DispatchQueue::make("lookup");
    struct Case {
        std::string name;
        std::string expected; // address text, or the error's description
    };
    const std::vector<Case> cases{{"localhost", "loopback"},
                                  {"127.0.0.1", "127.0.0.1"},
                                  {"no-such-host.invalid", "Name lookup failed: no-such-host.invalid"}};
    std::atomic<int> answers{0};
    std::vector<std::string> got(cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        InetAddress::getByName(cases[i].name, queue, [&, i](Result<InetAddress> r) {
            EXPECT_TRUE(queue->isCurrent());
            if (r.isSuccess()) {
                EXPECT_EQ(r.value().host(), cases[i].name);
                got[i] = r.value().address();
            } else {
                EXPECT_EQ(r.error()->errorTitle(), "Name Lookup Error");
                got[i] = r.error()->description();
            }
            ++answers;
        });
    ASSERT_TRUE(
        test::waitFor([&] { return answers == static_cast<int>(cases.size()); }, std::chrono::seconds(20)));
    queue->sync([] {});
    EXPECT_EQ(answers, static_cast<int>(cases.size()));
    EXPECT_TRUE(got[0] == "127.0.0.1" || got[0] == "::1") << got[0];
    EXPECT_EQ(got[1], cases[1].expected);
    EXPECT_EQ(got[2], cases[2].expected);
}
