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

TEST(InetAddress, GetByNameAnswersOnceWithTheErrorForms) {
    struct Case {
        std::string name;
        std::string servers;  // the resolver's servers ("" for the system's)
        std::string expected; // address text ("loopback" for either), or the error's description
        bool atOnce;          // answered inside the call
    };
    const std::vector<Case> cases{
        {"localhost", "", "loopback", false},
        {"127.0.0.1", "", "127.0.0.1", false},
        {"no-such-host.invalid", "", "Name lookup failed: no-such-host.invalid", false},
        {"bad name", "", "Name lookup failed: bad name (#-2 Name or service not known)", true},
        {"example.test", "no-such-server", "Name lookup failed: example.test (#0 Could not set client)",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostResolver::configure({c.servers});
        auto queue = DispatchQueue::make("lookup"); // its resolver starts with these servers
        std::atomic<int> answers{0};
        std::string got;
        bool duringCall = false;
        queue->sync([&] {
            duringCall = true;
            InetAddress::getByName(c.name, queue, [&](Result<InetAddress> r) {
                EXPECT_TRUE(queue->isCurrent());
                EXPECT_EQ(duringCall, c.atOnce);
                if (r.isSuccess()) {
                    EXPECT_EQ(r.value().host(), c.name);
                    got = r.value().address();
                } else {
                    EXPECT_EQ(r.error()->errorTitle(), "Name Lookup Error");
                    got = r.error()->description();
                }
                ++answers;
            });
            duringCall = false;
        });
        ASSERT_TRUE(test::waitFor([&] { return answers == 1; }, std::chrono::seconds(20)));
        queue->sync([] {});
        EXPECT_EQ(answers, 1);
        if (c.expected == "loopback")
            EXPECT_TRUE(got == "127.0.0.1" || got == "::1") << got;
        else
            EXPECT_EQ(got, c.expected);
    }
    HostResolver::configure({});
}
