#include "platform/TlsEngine.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include <arpa/inet.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/Identity.h"
#include "platform/Log.h"
#include "platform/OpenSslHandles.h"

namespace pemtrox {

using namespace openssl;

struct TlsEngine::Impl {
    SslPtr ssl;
    /// Set while OpenSSL runs; the callbacks must not call back into the engine.
    bool inCall = false;
    bool established = false;
    bool closed = false;
    /// Set once OpenSSL reported a fatal error; the connection cannot go on.
    bool failed = false;
    Status failedStatus = noErr;
    /// A failing status a callback returned during the current call.
    Status ioStatus = noErr;
    /// The server side's session ticket, issued with its first write.
    bool ticketOwed = false;
};

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

/// The client-side context, shared by every client connection because loading the trust
/// store is costly. It is made again when SSL_CERT_FILE or SSL_CERT_DIR changed.
SslCtxPtr clientContext() {
    static std::mutex mutex;
    static SslCtxPtr context;
    static std::string madeFor;
    std::string key =
        environment(X509_get_default_cert_file_env()) + '\n' + environment(X509_get_default_cert_dir_env());
    std::lock_guard lock(mutex);
    if (!context || key != madeFor) {
        SslCtxPtr fresh(SSL_CTX_new(TLS_client_method()));
        if (!fresh)
            return nullptr;
        SSL_CTX_set_verify(fresh.get(), SSL_VERIFY_PEER, nullptr);
        // Servers' keys of less than 112 bits' strength (RSA-1024) and SHA-1 signatures are
        // refused whatever level the library was built with.
        SSL_CTX_set_security_level(fresh.get(), 2);
        if (SSL_CTX_set_default_verify_paths(fresh.get()) != 1)
            return nullptr;
        // Handshakes on several workers verify against these roots at once. OpenSSL fills a
        // certificate's cached extensions at its first use, while a handshake on another
        // worker may be reading them; filled here, they are only read.
        STACK_OF(X509_OBJECT)* roots = X509_STORE_get0_objects(SSL_CTX_get_cert_store(fresh.get()));
        for (int i = 0; i < sk_X509_OBJECT_num(roots); ++i)
            if (X509* root = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(roots, i)))
                X509_check_purpose(root, -1, 0);
        context = std::move(fresh);
        madeFor = key;
    }
    SSL_CTX_up_ref(context.get());
    return SslCtxPtr(context.get());
}

/// The server-side context, shared by every server connection, each of which is given its
/// identity: making a context is costly.
SslCtxPtr serverContext() {
    static SslCtxPtr context = [] {
        SslCtxPtr made(SSL_CTX_new(TLS_server_method()));
        // Streams hand ciphertext on in whole records; a retried write may come from another buffer.
        if (made)
            SSL_CTX_set_mode(made.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // A TLS 1.3 handshake ends without session tickets: each connection issues one with
        // its first write instead (see write), which a client needs to resume once.
        if (made)
            SSL_CTX_set_num_tickets(made.get(), 0);
        return made;
    }();
    if (!context)
        return nullptr;
    SSL_CTX_up_ref(context.get());
    return SslCtxPtr(context.get());
}

std::string bareAddress(std::string_view name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    if (auto percent = name.find('%'); percent != std::string_view::npos)
        name = name.substr(0, percent);
    return std::string(name);
}

/// Whether an OpenSSL error reason is a fatal alert the peer sent about our certificate.
bool isCertificateAlert(int reason) {
    switch (reason - SSL_AD_REASON_OFFSET) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_BAD_CERTIFICATE_STATUS_RESPONSE:
        return true;
    default:
        return false;
    }
}

/// Marks an engine call; a call made from inside the engine's own callbacks is a
/// programming error that OpenSSL would not survive.
class CallGuard {
public:
    explicit CallGuard(bool& flag) : flag_(flag) {
        if (flag_)
            fatalError("TlsEngine called from inside its own callback");
        flag_ = true;
    }
    ~CallGuard() { flag_ = false; }

private:
    bool& flag_;
};

} // namespace

/// The BIO through which OpenSSL reaches the engine's read and write callbacks.
struct TlsEngineBio {
    static TlsEngine& engine(BIO* bio) { return *static_cast<TlsEngine*>(BIO_get_data(bio)); }

    static int write(BIO* bio, const char* data, int length) {
        BIO_clear_retry_flags(bio);
        TlsEngine& e = engine(bio);
        std::size_t count = static_cast<std::size_t>(length);
        TlsEngine::Status status = e.write_(reinterpret_cast<const std::uint8_t*>(data), count);
        if (status == TlsEngine::noErr && count > 0)
            return static_cast<int>(count);
        if (status == TlsEngine::noErr || status == TlsEngine::wouldBlock) {
            BIO_set_retry_write(bio);
            return -1;
        }
        e.impl_->ioStatus = status;
        return -1;
    }

    static int read(BIO* bio, char* data, int length) {
        BIO_clear_retry_flags(bio);
        TlsEngine& e = engine(bio);
        std::size_t count = static_cast<std::size_t>(length);
        TlsEngine::Status status = e.read_(reinterpret_cast<std::uint8_t*>(data), count);
        if (count > 0 && (status == TlsEngine::noErr || status == TlsEngine::wouldBlock))
            return static_cast<int>(count);
        if (status == TlsEngine::noErr || status == TlsEngine::wouldBlock) {
            BIO_set_retry_read(bio);
            return -1;
        }
        e.impl_->ioStatus = status;
        return -1;
    }

    static long control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

    static int create(BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
    }

    static const BIO_METHOD* method() {
        static BIO_METHOD* method = [] {
            BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pemtrox-callbacks");
            if (m) {
                BIO_meth_set_write(m, &TlsEngineBio::write);
                BIO_meth_set_read(m, &TlsEngineBio::read);
                BIO_meth_set_ctrl(m, &TlsEngineBio::control);
                BIO_meth_set_create(m, &TlsEngineBio::create);
            }
            return m;
        }();
        return method;
    }
};

std::unique_ptr<TlsEngine> TlsEngine::make(Side side) {
    if (!TlsEngineBio::method())
        return nullptr;
    return std::unique_ptr<TlsEngine>(new TlsEngine(side));
}

TlsEngine::TlsEngine(Side side) : side_(side), impl_(std::make_unique<Impl>()) {}

TlsEngine::~TlsEngine() = default;

TlsEngine::Status TlsEngine::setIOFuncs(ReadFunc read, WriteFunc write) {
    if (!read || !write)
        return paramErr;
    read_ = std::move(read);
    write_ = std::move(write);
    return noErr;
}

TlsEngine::Status TlsEngine::setCertificate(std::shared_ptr<const Identity> identity) {
    if (!identity || impl_->ssl)
        return paramErr;
    identity_ = std::move(identity);
    return noErr;
}

TlsEngine::Status TlsEngine::setPeerName(std::string_view name) {
    if (impl_->ssl || name.empty() || name.find('\0') != std::string_view::npos)
        return paramErr;
    peerName_ = std::string(name);
    return noErr;
}

bool TlsEngine::isIPLiteral(std::string_view name) {
    std::string bare = bareAddress(name);
    unsigned char address[16];
    return inet_pton(AF_INET, bare.c_str(), address) == 1 || inet_pton(AF_INET6, bare.c_str(), address) == 1;
}

TlsEngine::Status TlsEngine::ensureConnection() {
    if (impl_->ssl)
        return noErr;
    auto configurationFailure = [this](Status status, std::string text) {
        lastError_ = makeError<TlsError>(TlsError::Kind::configuration, std::move(text), status);
        impl_->failed = true;
        impl_->failedStatus = status;
        return status;
    };
    if (!read_ || !write_)
        return configurationFailure(badConfiguration, "The TLS engine has no I/O callbacks");

    ERR_clear_error();
    SslCtxPtr context;
    if (side_ == Side::server) {
        if (!identity_)
            return configurationFailure(badConfiguration, "The server side of TLS has no certificate");
        context = serverContext();
        if (!context)
            return configurationFailure(internalError, "Cannot create the server TLS context: " +
                                                           takeErrorText("unknown error"));
    } else {
        context = clientContext();
        if (!context)
            return configurationFailure(internalError, "Cannot create the client TLS context: " +
                                                           takeErrorText("unknown error"));
    }

    SslPtr ssl(SSL_new(context.get()));
    BIO* bio = ssl ? BIO_new(TlsEngineBio::method()) : nullptr;
    if (!bio)
        return configurationFailure(internalError,
                                    "Cannot create a TLS connection: " + takeErrorText("out of memory"));
    BIO_set_data(bio, this);
    SSL_set_bio(ssl.get(), bio, bio);
    // Ask the callbacks for whole chunks rather than record headers, and allow a retried
    // write from another buffer.
    SSL_set_read_ahead(ssl.get(), 1);
    SSL_set_mode(ssl.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    if (side_ == Side::server) {
        // Sessions are resumed only under the certificate they began with.
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        bool ok = SSL_use_certificate(ssl.get(), identity_->leaf()) == 1 &&
                  SSL_use_PrivateKey(ssl.get(), identity_->key()) == 1 &&
                  X509_digest(identity_->leaf(), EVP_sha1(), digest, &digestLength) == 1 &&
                  SSL_set_session_id_context(ssl.get(), digest, digestLength) == 1;
        for (X509* c : identity_->chain())
            ok = ok && SSL_add1_chain_cert(ssl.get(), c) == 1;
        if (!ok)
            return configurationFailure(badConfiguration,
                                        "Cannot use the identity: " + takeErrorText("rejected"));
        SSL_set_accept_state(ssl.get());
    } else {
        SSL_set_connect_state(ssl.get());
        if (peerName_) {
            bool ok;
            if (isIPLiteral(*peerName_)) {
                // No SNI for addresses (RFC 6066); the certificate must name the address.
                ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()),
                                                   bareAddress(*peerName_).c_str()) == 1;
            } else {
                // Names come from the subjectAltName alone: a certificate whose only name is
                // its common name names no server (the library would fall back to it).
                SSL_set_hostflags(ssl.get(),
                                  X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
                ok = SSL_set_tlsext_host_name(ssl.get(), peerName_->c_str()) == 1 &&
                     SSL_set1_host(ssl.get(), peerName_->c_str()) == 1;
            }
            if (!ok)
                return configurationFailure(paramErr, "Invalid TLS peer name \"" + *peerName_ + "\"");
        }
    }
    impl_->ssl = std::move(ssl);
    return noErr;
}

TlsEngine::Status TlsEngine::failure(int result, bool inHandshake) {
    SSL* ssl = impl_->ssl.get();
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return wouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return closedGraceful;
    default:
        break;
    }

    Status status;
    if (impl_->ioStatus != noErr) {
        // The callback's own failure; its owner knows the cause.
        status = impl_->ioStatus;
        lastError_ = nullptr;
        ERR_clear_error();
    } else if (inHandshake && side_ == Side::client && SSL_get_verify_result(ssl) != X509_V_OK) {
        status = certificateChainInvalid;
        lastError_ = makeError<TlsError>(TlsError::Kind::certificateVerifyFailed,
                                         std::string("certificate verify failed: ") +
                                             X509_verify_cert_error_string(SSL_get_verify_result(ssl)),
                                         status);
        ERR_clear_error();
    } else {
        unsigned long code = ERR_peek_error();
        int reason = ERR_GET_REASON(code);
        // Alerts received from the peer show up as reasons past SSL_AD_REASON_OFFSET.
        if (isCertificateAlert(reason))
            status = peerRejectedCertificate;
        else if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256)
            status = fatalAlert;
        else
            status = protocolError;
        lastError_ = makeError<TlsError>(TlsError::Kind::protocol,
                                         "TLS " + std::string(inHandshake ? "handshake" : "connection") +
                                             " failed: " + takeErrorText("connection aborted"),
                                         status);
    }
    impl_->failed = true;
    impl_->failedStatus = status;
    return status;
}

TlsEngine::Status TlsEngine::handshake() {
    CallGuard guard(impl_->inCall);
    if (Status status = ensureConnection(); status != noErr)
        return status;
    if (impl_->failed)
        return impl_->failedStatus;
    if (impl_->closed)
        return closedGraceful;
    if (impl_->established)
        return noErr;
    ERR_clear_error();
    impl_->ioStatus = noErr;
    int result = SSL_do_handshake(impl_->ssl.get());
    if (result == 1) {
        impl_->established = true;
        impl_->ticketOwed = side_ == Side::server;
        return noErr;
    }
    return failure(result, true);
}

template <class Call>
TlsEngine::Status TlsEngine::transfer(std::size_t length, std::size_t& processed, bool readsAfterClose,
                                      Call call) {
    CallGuard guard(impl_->inCall);
    processed = 0;
    if (Status status = ensureConnection(); status != noErr)
        return status;
    if (impl_->failed)
        return impl_->failedStatus;
    // After our close alert the peer may still finish what it was sending.
    if (impl_->closed && !(readsAfterClose && impl_->established))
        return closedGraceful;
    if (length == 0)
        return noErr;
    ERR_clear_error();
    impl_->ioStatus = noErr;
    bool inHandshake = !impl_->established;
    int result = call(impl_->ssl.get());
    if (inHandshake && SSL_is_init_finished(impl_->ssl.get())) {
        impl_->established = true;
        impl_->ticketOwed = side_ == Side::server;
    }
    if (result == 1)
        return noErr;
    processed = 0;
    return failure(result, inHandshake);
}

TlsEngine::Status TlsEngine::read(std::uint8_t* data, std::size_t length, std::size_t& processed) {
    return transfer(length, processed, true,
                    [&](SSL* ssl) { return SSL_read_ex(ssl, data, length, &processed); });
}

TlsEngine::Status TlsEngine::write(const std::uint8_t* data, std::size_t length, std::size_t& processed) {
    return transfer(length, processed, false, [&](SSL* ssl) {
        // The ticket's record goes out in the same send as the first answer, instead of
        // costing a send (and a wake-up of the client) of its own right after the handshake.
        // Only TLS 1.3 issues it here: an older handshake carries its ticket itself.
        if (std::exchange(impl_->ticketOwed, false) && SSL_version(ssl) == TLS1_3_VERSION)
            SSL_new_session_ticket(ssl);
        return SSL_write_ex(ssl, data, length, &processed);
    });
}

TlsEngine::Status TlsEngine::close() {
    CallGuard guard(impl_->inCall);
    if (impl_->closed)
        return noErr;
    impl_->closed = true;
    // Nothing to announce before the connection exists, and OpenSSL forbids a shutdown
    // after a fatal error.
    if (!impl_->ssl || !impl_->established || impl_->failed)
        return noErr;
    ERR_clear_error();
    impl_->ioStatus = noErr;
    int result = SSL_shutdown(impl_->ssl.get());
    if (result >= 0)
        return noErr;
    Status status = failure(result, false);
    return status == wouldBlock ? noErr : status;
}

TlsEngine::Status TlsEngine::negotiatedProtocolVersion(int& protocol) const {
    protocol = protocolUnknown;
    if (!impl_->ssl || !impl_->established)
        return badState;
    switch (SSL_version(impl_->ssl.get())) {
    case SSL3_VERSION:
        protocol = protocolSSL3;
        break;
    case TLS1_VERSION:
        protocol = protocolTLS1;
        break;
    case TLS1_1_VERSION:
        protocol = protocolTLS11;
        break;
    case TLS1_2_VERSION:
        protocol = protocolTLS12;
        break;
    case TLS1_3_VERSION:
        protocol = protocolTLS13;
        break;
    case DTLS1_VERSION:
        protocol = protocolDTLS1;
        break;
    case DTLS1_2_VERSION:
        protocol = protocolDTLS12;
        break;
    default:
        break;
    }
    return noErr;
}

TlsEngine::Status TlsEngine::negotiatedCipher(std::uint16_t& cipherSuite) const {
    cipherSuite = 0;
    if (!impl_->ssl || !impl_->established)
        return badState;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(impl_->ssl.get());
    if (!cipher)
        return badState;
    cipherSuite = SSL_CIPHER_get_protocol_id(cipher);
    return noErr;
}

std::vector<std::vector<std::uint8_t>> TlsEngine::peerCertificates() const {
    std::vector<std::vector<std::uint8_t>> result;
    if (!impl_->ssl || !impl_->established)
        return result;
    auto append = [&result](X509* certificate) {
        int size = i2d_X509(certificate, nullptr);
        if (size <= 0)
            return;
        std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
        unsigned char* out = der.data();
        i2d_X509(certificate, &out);
        result.push_back(std::move(der));
    };
    X509* leaf = SSL_get0_peer_certificate(impl_->ssl.get());
    if (leaf)
        append(leaf);
    // The client side's chain starts with the leaf, the server side's does not.
    if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(impl_->ssl.get()))
        for (int i = 0; i < sk_X509_num(chain); ++i)
            if (X509* certificate = sk_X509_value(chain, i); !leaf || X509_cmp(certificate, leaf) != 0)
                append(certificate);
    return result;
}

} // namespace pemtrox
