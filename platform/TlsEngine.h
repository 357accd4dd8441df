#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/TlsError.h"

namespace pemtrox {

class Identity;

/// How one end of a TLS connection is set up (the stream settings that the sockets hand
/// to their TLS engine).
struct TlsSettings {
    /// The server side when true, else the client side.
    bool isServer = false;
    /// What the server side presents; required there, unused on the client side.
    std::shared_ptr<const Identity> certificates;
    /// Client side: the server's name, sent for SNI (not for an IP literal) and checked
    /// against its certificate.
    std::optional<std::string> peerName;
};

/// One TLS connection over OpenSSL, driven synchronously: the owner gives it a read and a
/// write callback for ciphertext and calls handshake(), read(), write() and close(), each of
/// which calls those callbacks from inside the call and returns a status. Statuses use the
/// values the socket layer acts on (0, would-block, the three "closed" values, -36).
/// Belongs to one queue; not thread-safe.
class TlsEngine {
public:
    using Status = std::int32_t;
    static constexpr Status noErr = 0;
    /// The read callback's answer when its input failed or ended.
    static constexpr Status ioErr = -36;
    static constexpr Status paramErr = -50;
    /// A getter asked before the handshake produced the value.
    static constexpr Status badState = -909;
    static constexpr Status protocolError = -9800;
    static constexpr Status fatalAlert = -9802;
    /// More ciphertext must arrive before the call can make progress.
    static constexpr Status wouldBlock = -9803;
    static constexpr Status closedGraceful = -9805;
    static constexpr Status closedAbort = -9806;
    /// The server's certificate chain or host name did not verify.
    static constexpr Status certificateChainInvalid = -9807;
    static constexpr Status internalError = -9810;
    static constexpr Status closedNoNotify = -9816;
    /// The peer's fatal alert about our certificate (unknown CA, bad, expired, revoked, …):
    /// the client of an intercepted connection does not trust the certificate we made.
    static constexpr Status peerRejectedCertificate = -9831;
    static constexpr Status badConfiguration = -9848;

    /// Protocol version values as the name tables know them.
    static constexpr int protocolUnknown = 0;
    static constexpr int protocolSSL3 = 2;
    static constexpr int protocolTLS1 = 4;
    static constexpr int protocolTLS11 = 7;
    static constexpr int protocolTLS12 = 8;
    static constexpr int protocolDTLS1 = 9;
    static constexpr int protocolTLS13 = 10;
    static constexpr int protocolDTLS12 = 11;

    /// Gives ciphertext to the engine: copy at most `length` bytes to `destination` and set
    /// `length` to the count; return noErr when `length` bytes were given, wouldBlock when
    /// fewer (0 included), or another status (ioErr) when the input failed or ended.
    using ReadFunc = std::function<Status(std::uint8_t* destination, std::size_t& length)>;
    /// Takes ciphertext from the engine: `length` bytes at `source`; set `length` to the count
    /// taken and return noErr, or wouldBlock to be asked again later, or another status.
    using WriteFunc = std::function<Status(const std::uint8_t* source, std::size_t& length)>;

    enum class Side { client, server };

    /// A new engine for one connection; null only when OpenSSL cannot make one.
    static std::unique_ptr<TlsEngine> make(Side side);
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    Side side() const { return side_; }

    Status setIOFuncs(ReadFunc read, WriteFunc write);
    /// Server side: the identity to present. Must come before the first handshake step.
    Status setCertificate(std::shared_ptr<const Identity> identity);
    /// Client side: the name for SNI and verification. Must come before the first
    /// handshake step.
    Status setPeerName(std::string_view name);

    /// One handshake step: noErr once established, wouldBlock while it waits for the peer.
    Status handshake();
    /// Up to `length` plaintext bytes into `data`; `processed` gets the count. noErr with a
    /// count, wouldBlock (count 0) when no whole record waits, a closed status at the end.
    Status read(std::uint8_t* data, std::size_t length, std::size_t& processed);
    /// Encrypts all `length` bytes; their records go out through the write callback before
    /// this returns. `processed` gets `length` on success.
    Status write(const std::uint8_t* data, std::size_t length, std::size_t& processed);
    /// Sends the close alert (once the connection is established); later writes answer
    /// closedGraceful, while reads still take what the peer sends until its own alert.
    Status close();

    Status negotiatedProtocolVersion(int& protocol) const;
    Status negotiatedCipher(std::uint16_t& cipherSuite) const;
    /// The peer's certificates as DER, leaf first; empty before the handshake.
    std::vector<std::vector<std::uint8_t>> peerCertificates() const;

    /// The error behind the last failing status (for example "certificate verify failed:
    /// hostname mismatch"), or null when the last call did not fail in the engine itself.
    ErrorPtr lastError() const { return lastError_; }

    /// Whether the text is an IPv4 or IPv6 literal (optionally in brackets, with a scope);
    /// such names get no SNI and are checked against the certificate's IP addresses.
    static bool isIPLiteral(std::string_view name);

private:
    struct Impl;
    explicit TlsEngine(Side side);
    Status ensureConnection();
    Status failure(int result, bool inHandshake);
    /// The part read and write share: the state checks, then `call` (OpenSSL's read or write).
    template <class Call>
    Status transfer(std::size_t length, std::size_t& processed, bool readsAfterClose, Call call);
    Side side_;
    ReadFunc read_;
    WriteFunc write_;
    std::shared_ptr<const Identity> identity_;
    std::optional<std::string> peerName_;
    ErrorPtr lastError_;
    std::unique_ptr<Impl> impl_;
    friend struct TlsEngineBio;
};

} // namespace pemtrox
