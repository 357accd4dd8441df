// Upstream servers (the openssl tool) presenting chains with one defect each, against our
// client side: only a sound chain that names the server in its subjectAltName is accepted.

#include <map>

#include <gtest/gtest.h>

#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/TlsDriver.h"
#include "tests/support/CertificateMaker.h"
#include "tests/support/SocketPair.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using namespace pemtrox::openssl;
using test::CertificateMaker;
using test::CertificateSpec;

namespace {

constexpr const char* host = "www.pemtrox.test";

enum class Issuer { intermediate, itself, untrustedRoot, notAuthority, constrained, expiredIntermediate };

CertificateSpec leaf(std::vector<std::string> altNames, std::string commonName = host) {
    CertificateSpec spec;
    spec.commonName = std::move(commonName);
    spec.altNames = std::move(altNames);
    return spec;
}

template <class Change> CertificateSpec leaf(Change change) {
    auto spec = leaf({std::string("DNS:") + host});
    change(spec);
    return spec;
}

CertificateSpec authority(std::string name) {
    CertificateSpec spec;
    spec.commonName = std::move(name);
    spec.authority = true;
    return spec;
}

/// The keys and issuers that every case shares, made once: a trusted root with intermediates
/// below it (a sound one, one without CA:TRUE, one constrained to another domain, an expired
/// one), and a root nobody trusts.
struct Pki {
    test::TempDir dir;
    PKeyPtr rootKey = CertificateMaker::ecKey(), issuerKey = CertificateMaker::ecKey(),
            leafKey = CertificateMaker::ecKey(), weakKey = CertificateMaker::rsaKey(1024);
    X509Ptr root = CertificateMaker::make(authority("Upstream Test Root"), rootKey.get());
    X509Ptr untrustedRoot = CertificateMaker::make(authority("Upstream Rogue Root"), issuerKey.get());
    std::map<Issuer, X509Ptr> intermediates;

    Pki() {
        auto below = [&](CertificateSpec spec) {
            return CertificateMaker::make(spec, issuerKey.get(), root.get(), rootKey.get());
        };
        intermediates[Issuer::intermediate] = below(authority("Upstream Test Intermediate"));
        auto notAuthority = authority("Upstream Leaf Posing As CA");
        notAuthority.authority = false;
        intermediates[Issuer::notAuthority] = below(notAuthority);
        auto constrained = authority("Upstream Constrained Intermediate");
        constrained.extensions = {{NID_name_constraints, "critical,permitted;DNS:.allowed.test"}};
        intermediates[Issuer::constrained] = below(constrained);
        auto expired = authority("Upstream Expired Intermediate");
        expired.notBeforeDays = -60, expired.notAfterDays = -1;
        intermediates[Issuer::expiredIntermediate] = below(expired);
        CertificateMaker::writeChain(rootFile(), {root.get()});
        std::filesystem::create_directory(dir.path() / "empty");
    }
    std::filesystem::path rootFile() const { return dir.path() / "root.pem"; }
};

/// Our client's handshake with the server at the port: "secure", or the reason it failed.
std::string handshake(const std::shared_ptr<DispatchQueue>& queue, int port, const std::string& peerName) {
    auto events = std::make_shared<test::SocketEvents>(queue.get());
    auto socket = AsyncTcpSocket::make(queue);
    socket->setDelegate(events);
    socket->connect("127.0.0.1", static_cast<std::uint16_t>(port), {}, 5.0);
    TlsSettings settings;
    settings.peerName = peerName;
    socket->startTLS(TlsDriver::make(settings));
    bool ended = test::waitFor([&] { return events->has("secure") || events->has("disconnect"); });
    queue->sync([&] { socket->disconnect(); });
    if (!ended)
        return "no outcome";
    return events->has("secure") ? "secure" : describe(events->disconnectError());
}

} // namespace

TEST(UpstreamCertificates, EveryDefectIsRefusedWithItsReasonAndOnlyAltNamesNameTheServer) {
    struct Case {
        const char* name;
        CertificateSpec leaf;
        Issuer issuer = Issuer::intermediate;
        bool weakKey = false;
        const char* peerName = host;
        const char* refusal = nullptr; ///< the verifier's reason; none: accepted
    } cases[] = {
        {.name = "sound leaf", .leaf = leaf({std::string("DNS:") + host})},
        {.name = "wildcard one label deep", .leaf = leaf({"DNS:*.pemtrox.test"})},
        {.name = "address in the alt names",
         .leaf = leaf({"IP:127.0.0.1"}, "127.0.0.1"),
         .peerName = "127.0.0.1"},
        {.name = "host only in the common name", .leaf = leaf({}), .refusal = "hostname mismatch"},
        {.name = "host in the common name, another in the alt names",
         .leaf = leaf({"DNS:other.pemtrox.test"}),
         .refusal = "hostname mismatch"},
        {.name = "address only in the common name",
         .leaf = leaf({}, "127.0.0.1"),
         .peerName = "127.0.0.1",
         .refusal = "IP address mismatch"},
        {.name = "wrong host",
         .leaf = leaf({"DNS:other.pemtrox.test"}, "other.pemtrox.test"),
         .refusal = "hostname mismatch"},
        {.name = "wildcard too deep",
         .leaf = leaf({"DNS:*.pemtrox.test"}),
         .peerName = "a.www.pemtrox.test",
         .refusal = "hostname mismatch"},
        {.name = "wildcard over a top-level domain",
         .leaf = leaf({"DNS:*.test"}),
         .peerName = "pemtrox.test",
         .refusal = "hostname mismatch"},
        {.name = "partial wildcard", .leaf = leaf({"DNS:w*.pemtrox.test"}), .refusal = "hostname mismatch"},
        {.name = "NUL inside the alt name",
         .leaf = leaf({std::string("DNS:www.pemtrox.test\0.evil.test", 31)}),
         .refusal = "hostname mismatch"},
        {.name = "NUL inside the common name, no alt names",
         .leaf = leaf({}, std::string("www.pemtrox.test\0.evil.test", 27)),
         .refusal = "hostname mismatch"},
        {.name = "expired",
         .leaf = leaf([](auto& s) { s.notBeforeDays = -30, s.notAfterDays = -1; }),
         .refusal = "certificate has expired"},
        {.name = "not yet valid",
         .leaf = leaf([](auto& s) { s.notBeforeDays = 1, s.notAfterDays = 30; }),
         .refusal = "certificate is not yet valid"},
        {.name = "self-signed",
         .leaf = leaf({std::string("DNS:") + host}),
         .issuer = Issuer::itself,
         .refusal = "self-signed certificate"},
        {.name = "unknown CA",
         .leaf = leaf({std::string("DNS:") + host}),
         .issuer = Issuer::untrustedRoot,
         .refusal = "unable to get local issuer certificate"},
        {.name = "intermediate with CA:FALSE",
         .leaf = leaf({std::string("DNS:") + host}),
         .issuer = Issuer::notAuthority,
         .refusal = "invalid CA certificate"},
        {.name = "client authentication only",
         .leaf = leaf([](auto& s) {
             s.extensions = {{NID_ext_key_usage, "clientAuth"}};
         }),
         .refusal = "unsuitable certificate purpose"},
        {.name = "outside the intermediate's name constraints",
         .leaf = leaf({std::string("DNS:") + host}),
         .issuer = Issuer::constrained,
         .refusal = "permitted subtree violation"},
        {.name = "RSA-1024 key",
         .leaf = leaf({std::string("DNS:") + host}),
         .weakKey = true,
         .refusal = "EE certificate key too weak"},
        {.name = "SHA-1 signature",
         .leaf = leaf([](auto& s) { s.digest = EVP_sha1; }),
         .refusal = "CA signature digest algorithm too weak"},
        {.name = "expired intermediate",
         .leaf = leaf({std::string("DNS:") + host}),
         .issuer = Issuer::expiredIntermediate,
         .refusal = "certificate has expired"},
    };
    Pki pki;
    test::TrustTestRoot trust(pki.rootFile(), pki.dir.path() / "empty");
    auto queue = DispatchQueue::make("upstream-certificates");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EVP_PKEY* key = c.weakKey ? pki.weakKey.get() : pki.leafKey.get();
        X509Ptr certificate;
        std::string chainOption;
        if (c.issuer == Issuer::itself) {
            certificate = CertificateMaker::make(c.leaf, key);
        } else if (c.issuer == Issuer::untrustedRoot) {
            certificate = CertificateMaker::make(c.leaf, key, pki.untrustedRoot.get(), pki.issuerKey.get());
        } else {
            X509* issuer = pki.intermediates.at(c.issuer).get();
            certificate = CertificateMaker::make(c.leaf, key, issuer, pki.issuerKey.get());
            CertificateMaker::writeChain(pki.dir.path() / "issuer.pem", {issuer});
            chainOption = " -cert_chain '" + (pki.dir.path() / "issuer.pem").string() + "'";
        }
        CertificateMaker::writeKey(pki.dir.path() / "leaf.key", key);
        CertificateMaker::writeChain(pki.dir.path() / "leaf.pem", {certificate.get()});
        // The server must be able to present what it is given, however weak.
        test::ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www "
                                  "-cipher DEFAULT:@SECLEVEL=0 -key '" +
                                  (pki.dir.path() / "leaf.key").string() + "' -cert '" +
                                  (pki.dir.path() / "leaf.pem").string() + "'" + chainOption);
        int port = test::acceptedPort(server.waitForLine("ACCEPT"));
        ASSERT_GT(port, 0) << server.output();
        EXPECT_EQ(handshake(queue, port, c.peerName),
                  c.refusal ? std::string("certificate verify failed: ") + c.refusal : "secure");
    }
    EXPECT_TRUE(test::waitFor([&] { return queue.use_count() == 1; }));
    queue->stop();
}
