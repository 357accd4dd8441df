#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "proxy/io/Data.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

class TlsEngine;

/// A socket that carries TLS.
class SSLSocket : public virtual Socket {
public:
    /// The cipher-suite name, absent until the handshake produced a protocol and a suite.
    virtual std::optional<std::string> negotiatedCipher() const = 0;
    /// The protocol name, absent until a protocol version is known.
    virtual std::optional<std::string> negotiatedProtocol() const = 0;
    /// The peer's certificate chain as it presented it (DER, leaf first); absent until the
    /// peer presented one.
    virtual std::optional<std::vector<Data>> trust() const = 0;
    /// Runs the body with the socket's TLS engine; a socket without one is a programming
    /// error (fatal).
    virtual void withSSLContext(const std::function<void(TlsEngine&)>& body) const = 0;
    /// The certificates of trust(), in its order; absent when trust() is.
    virtual std::optional<std::vector<Data>> peerCertificates() const = 0;
};

} // namespace pemtrox
