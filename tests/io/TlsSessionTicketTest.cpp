// The server side's TLS 1.3 session ticket: one per connection, sent with the first answer
// rather than on its own after the handshake, and good for resuming.

#include <deque>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "platform/Identity.h"
#include "platform/TlsEngine.h"
#include "tests/support/TestCertificates.h"

namespace pemtrox {
namespace {

using test::TestCertificates;

/// Our server engine and a bare OpenSSL client that keeps the sessions it is given, joined
/// in memory.
struct TicketLink {
    std::deque<std::uint8_t> toServer;
    std::unique_ptr<TlsEngine> server = TlsEngine::make(TlsEngine::Side::server);
    SSL* client;
    BIO* clientIn = BIO_new(BIO_s_mem());  // what the server sent, for the client to read
    BIO* clientOut = BIO_new(BIO_s_mem()); // what the client sent

    TicketLink(SSL_CTX* context, SSL_SESSION* resume) : client(SSL_new(context)) {
        const auto& pki = TestCertificates::shared();
        EXPECT_EQ(server->setCertificate(Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM)), TlsEngine::noErr);
        server->setIOFuncs(
            [this](std::uint8_t* destination, std::size_t& length) {
                moveClientOutput();
                std::size_t count = std::min(length, toServer.size());
                std::copy_n(toServer.begin(), count, destination);
                toServer.erase(toServer.begin(), toServer.begin() + static_cast<std::ptrdiff_t>(count));
                bool all = count == length;
                length = count;
                return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
            },
            [this](const std::uint8_t* source, std::size_t& length) {
                BIO_write(clientIn, source, static_cast<int>(length));
                return TlsEngine::noErr;
            });
        SSL_set_bio(client, clientIn, clientOut);
        SSL_set_connect_state(client);
        SSL_set_tlsext_host_name(client, "localhost");
        if (resume)
            SSL_set_session(client, resume);
    }
    ~TicketLink() {
        SSL_shutdown(client); // a session left without the close alert is no longer resumable
        SSL_free(client);
    }
    void moveClientOutput() {
        char buffer[4096];
        int n;
        while ((n = BIO_read(clientOut, buffer, sizeof buffer)) > 0)
            toServer.insert(toServer.end(), buffer, buffer + n);
    }
    bool handshake() {
        TlsEngine::Status server = TlsEngine::wouldBlock;
        int client = 0;
        for (int i = 0; i < 10 && (client != 1 || server != TlsEngine::noErr); ++i) {
            if (client != 1)
                client = SSL_do_handshake(this->client);
            moveClientOutput();
            if (server == TlsEngine::wouldBlock)
                server = this->server->handshake();
        }
        return client == 1 && server == TlsEngine::noErr;
    }
    /// The server writes; the client reads it (and whatever came before it).
    std::string answer(const std::string& text) {
        std::size_t processed = 0;
        EXPECT_EQ(server->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), processed),
                  TlsEngine::noErr);
        char buffer[256];
        int n = SSL_read(client, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }
};

TEST(TlsSessionTicket, OneComesWithTheServersFirstWriteAndResumesTheNextConnection) {
    static int tickets;
    tickets = 0;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context, TestCertificates::shared().rootFile.c_str(), nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT);
    SSL_CTX_sess_set_new_cb(context, [](SSL*, SSL_SESSION*) {
        ++tickets;
        return 0; // not kept by the callback
    });
    SSL_SESSION* session = nullptr;
    {
        TicketLink link(context, nullptr);
        ASSERT_TRUE(link.handshake());
        EXPECT_EQ(SSL_version(link.client), TLS1_3_VERSION);
        // The handshake left nothing behind for the client: no ticket of its own.
        EXPECT_EQ(BIO_ctrl_pending(link.clientIn), 0u);
        EXPECT_EQ(tickets, 0);
        EXPECT_EQ(link.answer("first"), "first");
        EXPECT_EQ(tickets, 1);
        EXPECT_EQ(link.answer("second"), "second");
        EXPECT_EQ(tickets, 1);
        session = SSL_get1_session(link.client);
    }
    ASSERT_TRUE(session && SSL_SESSION_is_resumable(session));
    TicketLink again(context, session);
    ASSERT_TRUE(again.handshake());
    EXPECT_EQ(SSL_session_reused(again.client), 1);
    EXPECT_EQ(again.answer("resumed"), "resumed");
    SSL_SESSION_free(session);
    SSL_CTX_free(context);
}

} // namespace
} // namespace pemtrox
