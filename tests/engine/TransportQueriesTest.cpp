// What the engine asks of its connections' transports, and how it tells errors apart: each
// answer comes from the connection or the error itself, for every kind there is.

#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "platform/TlsEngine.h"
#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpReaderHeaderError.h"
#include "proxy/engine/HttpRemoteConnection.h"
#include "proxy/engine/PipeRemoteConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/SimpleSocketRemoteConnection.h"
#include "proxy/engine/SocketProxyConnection.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/SSLSocketWrapperError.h"
#include "proxy/io/SocketError.h"
#include "tests/support/proxy/NullProxyServer.h"
#include "tests/support/proxy/StubSocket.h"

using namespace pemtrox;
using test::StubSocket;

namespace {

// A plain connection whose sockets the test sets, as connecting (and TLS over it) would.
class SetRemote : public HttpRemoteConnection {
public:
    using HttpRemoteConnection::HttpRemoteConnection;
    void carry(std::shared_ptr<Socket> streams, std::shared_ptr<Socket> opened) {
        remote_ = std::move(streams);
        rawRemote_ = std::move(opened);
    }
};

} // namespace

TEST(TransportQueries, AClientConnectionAsksItsSocket) {
    auto socket = std::make_shared<StubSocket>();
    auto client = SocketProxyConnection::make(socket);
    EXPECT_EQ(client->plainSocket(), socket);
    EXPECT_FALSE(client->allowHalfClose());
    socket->halfCloses = true;
    EXPECT_TRUE(client->allowHalfClose());
    client->reset();
    EXPECT_EQ(socket->resets, 1);

    // Gone counts bytes the head reader holds as unread; ended does not look at them.
    EXPECT_FALSE(client->peerHasGone());
    client->inputStream()->unread(Data{'G'});
    socket->peerLeft = true;
    EXPECT_TRUE(client->peerHasGone());
    EXPECT_TRUE(client->peerHasEnded());
    using Q = std::pair<bool, bool>;
    EXPECT_EQ(socket->peerQuestions, (std::vector<Q>{{true, false}, {true, true}, {false, false}}));
    client->close();
}

TEST(TransportQueries, ARemoteConnectionHalfClosesOnlyOverPlainTcpThatCan) {
    auto server = std::make_shared<test::NullProxyServer>();
    auto plain = std::make_shared<StubSocket>(), tls = std::make_shared<StubSocket>();
    plain->halfCloses = tls->halfCloses = true;
    auto rigid = std::make_shared<StubSocket>();
    struct Case {
        const char* name;
        std::shared_ptr<Socket> streams, opened;
        bool halfCloses;
    } cases[] = {
        {"no socket", nullptr, nullptr, false},       {"opened, not yet connected", nullptr, plain, false},
        {"plain TCP that can", plain, plain, true},   {"plain TCP that cannot", rigid, rigid, false},
        {"TLS over TCP that can", tls, plain, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto remote = Plumber::make<SetRemote>(server);
        remote->carry(c.streams, c.opened);
        EXPECT_EQ(remote->allowHalfClose(), c.halfCloses);
        EXPECT_EQ(remote->sockets(), (std::vector<std::shared_ptr<Socket>>{c.streams, c.opened}));
        EXPECT_TRUE(remote->canReconnect());
        EXPECT_FALSE(remote->runsTls());
        remote->carry(nullptr, nullptr);
    }

    // A reset reaches both sockets under TLS; the responders' connection over an open socket
    // answers as a plain one, and cannot open another.
    auto remote = Plumber::make<SetRemote>(server);
    remote->carry(tls, plain);
    remote->reset();
    EXPECT_EQ(tls->resets, 1);
    EXPECT_EQ(plain->resets, 1);
    remote->carry(nullptr, nullptr);
    auto simple = SimpleSocketRemoteConnection::make(plain);
    EXPECT_FALSE(simple->allowHalfClose());
    simple->connect(ProxyEvent::make(nullptr), [](RemoteConnectionState) {});
    EXPECT_TRUE(simple->allowHalfClose());
    EXPECT_FALSE(simple->canReconnect());
    simple->close();
    EXPECT_TRUE(plain->isClosed());
}

TEST(TransportQueries, AnInProcessConnectionHasNoTransportAndNoHandshake) {
    auto pipe = PipeRemoteConnection::make(nullptr, nullptr);
    EXPECT_TRUE(pipe->sockets().empty());
    EXPECT_FALSE(pipe->allowHalfClose());
    EXPECT_FALSE(pipe->canReconnect());
    EXPECT_FALSE(pipe->runsTls());
    EXPECT_EQ(pipe->tlsSocket(), nullptr);
    int outcomes = 0;
    pipe->whenHandshakeEnds([&](RemoteConnectionState state) { outcomes += state.isConnected() ? 1 : 100; });
    EXPECT_EQ(outcomes, 1);
}

// Every family is told apart by its value alone: an error matches its own family and case,
// never another family's case of the same number.
TEST(TransportQueries, ErrorsAreClassifiedByTheValueTheyCarry) {
    using A = AsyncSocketError;
    std::vector<ErrorPtr> errors{
        makeError<SocketError>(SocketError::socketClosed()),
        makeError<InputStreamError>(InputStreamError::invalidEndOfChunk()),
        makeError<OutputStreamError>(OutputStreamError::closed()),
        makeError<FieldsError>(FieldsError::unexpectedFieldContinuation()),
        makeError<HttpReaderHeaderError>(HttpReaderHeaderError::notValidHeader()),
        makeError<A>(A::socket(A::badConfig)),
        makeError<A>(A::posix(1)),
        makeError<TlsError>(TlsError::Kind::protocol, "alert", TlsEngine::peerRejectedCertificate),
        makeError<GenericError>("foreign"),
    };
    const std::vector<const ErrorDomain*> domains{&SocketError::domain,
                                                  &InputStreamError::domain,
                                                  &OutputStreamError::domain,
                                                  &FieldsError::domain,
                                                  &HttpReaderHeaderError::domain,
                                                  &A::socketErrors,
                                                  &A::posixErrors,
                                                  &tlsStatusErrors,
                                                  nullptr};
    for (std::size_t e = 0; e < errors.size(); ++e)
        for (std::size_t d = 0; d + 1 < domains.size(); ++d) {
            SCOPED_TRACE(errors[e]->description() + " against " + domains[d]->name);
            EXPECT_EQ(isError(errors[e], *domains[d]), e == d);
            EXPECT_EQ(isError(errors[e], *domains[d], errors[e]->errorCase()), e == d);
        }
    EXPECT_EQ(errors.back()->errorDomain(), nullptr);
    EXPECT_FALSE(isError(nullptr, SocketError::domain));
    // Both TLS sockets' failures carry the engine's status the same way.
    EXPECT_EQ(tlsStatusOf(errors[7]), TlsEngine::peerRejectedCertificate);
    EXPECT_EQ(tlsStatusOf(makeError<SSLSocketWrapperError>(SSLSocketWrapperError::handshakeFailed(-9806))),
              -9806);
    EXPECT_FALSE(tlsStatusOf(makeError<SSLSocketWrapperError>(SSLSocketWrapperError::sslContextClosed())));
    EXPECT_FALSE(tlsStatusOf(errors[0]));

    EXPECT_TRUE(SocketError::is(errors[0], SocketError::Kind::socketClosed));
    EXPECT_FALSE(SocketError::is(errors[0], SocketError::Kind::timeout));
    EXPECT_TRUE(InputStreamError::is(errors[1], InputStreamError::Kind::invalidEndOfChunk));
    EXPECT_FALSE(InputStreamError::is(errors[1], InputStreamError::Kind::eof));
    EXPECT_TRUE(OutputStreamError::is(errors[2], OutputStreamError::Kind::closed));
    EXPECT_FALSE(OutputStreamError::is(errors[0], OutputStreamError::Kind::closed));
    EXPECT_TRUE(FieldsError::is(errors[3]));
    EXPECT_FALSE(FieldsError::is(errors[4]));
    EXPECT_TRUE(HttpReaderHeaderError::is(errors[4]));
    EXPECT_FALSE(HttpReaderHeaderError::is(errors[3]));
}
