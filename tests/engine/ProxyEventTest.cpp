#include <gtest/gtest.h>

#include <vector>

#include "Model/Tools/MatchDefinition.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {
namespace {

using S = ProxyEventStatus;

TEST(ProxyEventTest, FileFollowsPathAndQuery) {
    auto evt = ProxyEvent::make(nullptr);
    EXPECT_FALSE(evt->file());
    evt->setPath("/x");
    EXPECT_EQ(evt->file(), "/x");
    evt->setQuery("q");
    EXPECT_EQ(evt->file(), "/x?q");
    evt->setPath(std::nullopt);
    EXPECT_EQ(evt->file(), "?q");
    evt->setQuery(std::nullopt);
    EXPECT_FALSE(evt->file());
    evt->setQuery("");
    EXPECT_EQ(evt->file(), "?");
}

TEST(ProxyEventTest, Description) {
    struct Case {
        std::optional<std::string> method, scheme, host;
        std::optional<std::int64_t> port;
        std::optional<std::string> path;
        std::string expected;
    };
    std::vector<Case> cases = {
        {{}, {}, {}, {}, {}, ""},
        {"CONNECT", {}, "example.com", 443, {}, "CONNECT example.com:443"},
        {"GET", "http", "h", 8080, "/a", "GET http://h:8080/a"},
        {"GET", "http", "h", {}, "/a", "GET http://h/a"},
        {{}, {}, {}, {}, "/only", "/only"},
    };
    for (auto& c : cases) {
        auto evt = ProxyEvent::make(nullptr);
        evt->method = c.method;
        evt->scheme = c.scheme;
        evt->host = c.host;
        evt->port = c.port;
        evt->setPath(c.path);
        EXPECT_EQ(evt->description(), c.expected);
    }
}

TEST(ProxyEventTest, ListAndConnectionAttributes) {
    auto evt = ProxyEvent::make(nullptr);
    evt->addToListAttribute(ProxyEvent::NotesAttribute, "one");
    evt->addToListAttribute(ProxyEvent::NotesAttribute, "two");
    evt->addToListAttribute(ProxyEvent::NotesAttribute, "three");
    EXPECT_EQ(evt->notes(), (std::vector<std::string>{"one", "two", "three"}));

    evt->attributes["Other.FLAG"] = true;
    evt->addToListAttribute("Other.FLAG", "x");
    auto* mixed = std::any_cast<std::vector<std::any>>(&evt->attributes["Other.FLAG"]);
    ASSERT_TRUE(mixed);
    ASSERT_EQ(mixed->size(), 2u);
    EXPECT_EQ(std::any_cast<bool>((*mixed)[0]), true);
    EXPECT_EQ(std::any_cast<std::string>((*mixed)[1]), "x");

    EXPECT_FALSE(evt->connectionAttributes);
    evt->addConnectionAttribute("Connection", "#1");
    evt->addConnectionAttribute("Connection", "#2");
    EXPECT_EQ(evt->connectionAttributes->at("Connection"), "#2");
}

class PortsOnlyConnection : public ProxyConnection {
public:
    std::shared_ptr<const InetAddress> address() const override { return nullptr; }
    std::optional<std::int64_t> port() const override { return 50000; }
    std::shared_ptr<const InetAddress> localAddress() const override { return nullptr; }
    std::optional<std::int64_t> localPort() const override { return 8888; }
    std::shared_ptr<HttpInputStream> inputStream() const override { return nullptr; }
    std::shared_ptr<HttpOutputStream> outputStream() const override { return nullptr; }
    void close() override {}
};

TEST(ProxyEventTest, FollowingRecordKeepsClientAndDefaultPortOnly) {
    PortsOnlyConnection client;
    auto first = ProxyEvent::make(nullptr, client);
    EXPECT_EQ(first->clientPort, 50000);
    EXPECT_EQ(first->clientLocalPort, 8888);
    EXPECT_FALSE(first->startTime);
    first->defaultPort = 80;
    first->status = S::complete;
    first->method = "GET";
    first->requestSize = 10;
    first->attributes["A.B"] = std::string("c");

    auto next = ProxyEvent::makeFollowing(*first);
    EXPECT_EQ(next->clientPort, 50000);
    EXPECT_EQ(next->clientLocalPort, 8888);
    EXPECT_EQ(next->defaultPort, 80);
    EXPECT_EQ(next->status, S::before);
    EXPECT_FALSE(next->method);
    EXPECT_FALSE(next->requestSize);
    EXPECT_FALSE(next->requestHeader);
    EXPECT_TRUE(next->attributes.empty());
}

TEST(ProxyEventTest, MatchesTheHostNotTheOverrideHost) {
    auto location = [](const char* host) {
        return MatchDefinition::decodeList(
            nlohmann::json::array({{{"enabled", true}, {"type", "Exact"}, {"hostname", host}}}));
    };
    auto evt = ProxyEvent::make(nullptr);
    evt->scheme = "https";
    evt->host = "api.example.com";
    evt->overrideHost = "10.0.0.1";
    EXPECT_TRUE(evt->matchesAny(location("api.example.com")));
    EXPECT_FALSE(evt->matchesAny(location("10.0.0.1")));
}

} // namespace
} // namespace pemtrox
