#pragma once

#include <string>

#include "platform/OpenSslHandles.h"
#include "proxy/io/Data.h"

namespace pemtrox::test {

/// A TLS 1.3 server in memory (OpenSSL on the test's thread) that sends application data
/// right behind its handshake flight, before the client's Finished (0.5-RTT data): the
/// client then gets its last handshake bytes and records to read after them in one go.
class EagerTlsServer {
public:
    EagerTlsServer(const std::string& keyPEM, const std::string& chainPEM);

    /// Whether the bytes begin with one whole TLS record (the client's hello).
    static bool holdsWholeRecord(const Data& bytes);
    /// Takes the client's hello and gives the server's flight with `data` behind it in
    /// application records; empty when the hello was refused.
    Data answer(const Data& hello, const Data& data);

private:
    openssl::SslCtxPtr context_;
    openssl::SslPtr ssl_;
    BIO* in_ = nullptr;  ///< owned by ssl_
    BIO* out_ = nullptr; ///< owned by ssl_
};

} // namespace pemtrox::test
