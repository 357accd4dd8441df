#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include "platform/Identity.h"
#include "proxy/tls/KeyStore.h"
#include "proxy/tls/KeyStoreCache.h"
#include "proxy/tls/OpenSSL.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLContextFactoryError.h"
#include "tests/support/TestSupport.h"
#include "tests/tls/TlsTestSupport.h"

namespace pemtrox {
namespace {

using namespace crypto;
namespace fs = std::filesystem;

/// Upstream certificates made once with the openssl tool: a v3 one with every kind of
/// extension a server sends, a v1 one, and both as DER.
struct Upstreams {
    test::TempDir dir;
    std::vector<std::uint8_t> v3, v1;

    static const Upstreams& shared() {
        static Upstreams u;
        return u;
    }
    Upstreams() {
        std::ofstream(dir.path() / "up.ext") << "basicConstraints=critical,CA:FALSE\n"
                                                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                                                "certificatePolicies=2.5.29.32.0\n"
                                                "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                                "tlsfeature=status_request\n"
                                                "extendedKeyUsage=serverAuth\n"
                                                "crlDistributionPoints=URI:http://crl.example/x.crl\n"
                                                "authorityInfoAccess=OCSP;URI:http://ocsp.example\n";
        std::string d = dir.path();
        test::runCommand(
            "cd " + d +
            " && (openssl req -new -newkey rsa:2048 -nodes -keyout up.key -subj '/CN=localhost/O=Upstream' "
            "-out up.csr && openssl x509 -req -in up.csr -signkey up.key -days 10 -extfile up.ext -out "
            "v3.pem && openssl x509 -req -in up.csr -signkey up.key -days 10 -out v1.pem) 2>&1");
        v3 = der(test::readCertificate(dir.path() / "v3.pem").get());
        v1 = der(test::readCertificate(dir.path() / "v1.pem").get());
    }
    static std::vector<std::uint8_t> der(X509* certificate) {
        unsigned char* bytes = nullptr;
        int length = i2d_X509(certificate, &bytes);
        std::vector<std::uint8_t> out(bytes, bytes + std::max(length, 0));
        OPENSSL_free(bytes);
        return out;
    }
    static X509Ptr parse(const std::vector<std::uint8_t>& der) {
        const unsigned char* p = der.data();
        return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    }
};

class SSLContextFactoryTest : public testing::Test {
protected:
    void SetUp() override {
        caFile = test::writeCertificate(test::sharedCA().certificate(), dir.path() / "ca-cert.pem");
        factory = make();
    }
    std::shared_ptr<SSLContextFactory> make() {
        auto f = SSLContextFactory::make(dir.path() / "certs", std::make_shared<test::FixedKeys>());
        f->setCA(test::sharedCA().certificate(), test::sharedCA().key());
        return f;
    }
    fs::path write(X509* leaf, const std::string& name) {
        return test::writeCertificate(leaf, dir.path() / name);
    }
    std::string verify(X509* leaf) {
        return test::openssl("verify -CAfile " + caFile.string() + " " + write(leaf, "leaf.pem").string());
    }
    std::vector<fs::path> cacheFiles() {
        factory->flushCache();
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(dir.path() / "certs"))
            files.push_back(e.path());
        return files;
    }
    std::string serial(const std::shared_ptr<const Identity>& id) {
        return OpenSSL::decimalText(X509_get0_serialNumber(id->leaf()));
    }

    test::TempDir dir;
    fs::path caFile;
    std::shared_ptr<SSLContextFactory> factory;
};

TEST_F(SSLContextFactoryTest, HostLeafNamesTheHostInItsAltNameAndVerifiesUnderTheCA) {
    std::time_t now = std::time(nullptr);
    auto id = factory->identityForHost("example.test");
    X509* leaf = id->leaf();
    EXPECT_EQ(X509_get_version(leaf), 2);
    EXPECT_EQ(OpenSSL::nameText(X509_get_subject_name(leaf)),
              "CN=example.test, C=NZ, O=QV58 Limited, OU=Pemtrox");
    EXPECT_EQ(X509_cmp_time(X509_get0_notBefore(leaf), &(now -= 3590)), -1);
    EXPECT_EQ(X509_cmp_time(X509_get0_notBefore(leaf), &(now -= 20)), 1);
    EXPECT_EQ(test::extensionNids(leaf), (std::vector<int>{NID_subject_alt_name, NID_authority_key_identifier,
                                                           NID_subject_key_identifier}));
    EXPECT_EQ(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(leaf),
                                    X509_get0_subject_key_id(test::sharedCA().certificate())),
              0);
    ASSERT_EQ(id->chain().size(), 1u);
    EXPECT_EQ(X509_cmp(id->chain()[0], test::sharedCA().certificate()), 0);
    EXPECT_NE(verify(leaf).find(": OK"), std::string::npos);
    EXPECT_NE(test::openssl("x509 -noout -ext subjectAltName -in " + write(leaf, "l.pem").string())
                  .find("DNS:example.test"),
              std::string::npos);
    auto address = factory->identityForHost("127.0.0.1");
    EXPECT_NE(test::openssl("x509 -noout -ext subjectAltName -in " + write(address->leaf(), "a.pem").string())
                  .find("IP Address:127.0.0.1"),
              std::string::npos);
}

TEST_F(SSLContextFactoryTest, MirroredLeafKeepsTheUpstreamsSubjectValidityAndExtensionsButNotStapling) {
    auto upstream = Upstreams::parse(Upstreams::shared().v3);
    std::vector<int> expected;
    for (int nid : test::extensionNids(upstream.get()))
        if (nid != NID_subject_key_identifier && nid != NID_certificate_policies &&
            nid != NID_crl_distribution_points && nid != NID_info_access && nid != NID_tlsfeature &&
            nid != NID_authority_key_identifier)
            expected.push_back(nid);
    expected.insert(expected.end(), {NID_authority_key_identifier, NID_subject_key_identifier});
    ASSERT_EQ(expected.size(), 6u);

    auto id = factory->identityForCertificate(Upstreams::shared().v3, std::nullopt);
    X509* leaf = id->leaf();
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(leaf), X509_get_subject_name(upstream.get())), 0);
    EXPECT_EQ(ASN1_TIME_compare(X509_get0_notAfter(leaf), X509_get0_notAfter(upstream.get())), 0);
    EXPECT_EQ(test::extensionNids(leaf), expected);
    EXPECT_NE(verify(leaf).find(": OK"), std::string::npos);
    std::string san = test::openssl("x509 -noout -ext subjectAltName -in " + write(leaf, "l.pem").string());
    EXPECT_NE(san.find("DNS:localhost, IP Address:127.0.0.1"), std::string::npos) << san;

    // Another host takes the common name and the alt name, in the alt name's place.
    auto renamed = factory->identityForCertificate(Upstreams::shared().v3, "other.test");
    EXPECT_EQ(OpenSSL::nameEntryText(X509_get_subject_name(renamed->leaf()), NID_commonName), "other.test");
    EXPECT_EQ(test::extensionNids(renamed->leaf()), expected);
    san = test::openssl("x509 -noout -ext subjectAltName -in " + write(renamed->leaf(), "r.pem").string());
    EXPECT_NE(san.find("DNS:other.test"), std::string::npos);
    EXPECT_EQ(san.find("localhost"), std::string::npos);

    auto v1 = factory->identityForCertificate(Upstreams::shared().v1, std::nullopt);
    EXPECT_EQ(X509_get_version(v1->leaf()), 0);
    EXPECT_EQ(X509_get_ext_count(v1->leaf()), 0);
}

TEST_F(SSLContextFactoryTest, UnusableUpstreamsFailAndMintNothing) {
    auto expectError = [&](std::vector<std::uint8_t> der, std::optional<std::string> host,
                           SSLContextFactoryError::Kind kind) {
        try {
            factory->identityForCertificate(der, host);
            ADD_FAILURE() << "minted";
        } catch (const SSLContextFactoryError& e) {
            EXPECT_EQ(e.kind(), kind);
        }
    };
    expectError({1, 2, 3}, std::nullopt, SSLContextFactoryError::Kind::certificateIsNotAnX509Certificate);
    X509Ptr nameless(X509_new());
    X509_set_pubkey(nameless.get(), test::sharedCA().key());
    X509_gmtime_adj(X509_getm_notBefore(nameless.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(nameless.get()), 86400);
    X509_sign(nameless.get(), test::sharedCA().key(), EVP_sha256());
    expectError(Upstreams::der(nameless.get()), std::nullopt,
                SSLContextFactoryError::Kind::certificateHasNoSubject);
    EXPECT_TRUE(cacheFiles().empty());
    auto named = factory->identityForCertificate(Upstreams::der(nameless.get()), "named.test");
    EXPECT_EQ(OpenSSL::nameText(X509_get_subject_name(named->leaf())), "CN=named.test");
}

TEST_F(SSLContextFactoryTest, SerialsOfTheCAAndAHundredLeavesDiffer) {
    std::set<std::string> serials{
        OpenSSL::decimalText(X509_get0_serialNumber(test::sharedCA().certificate()))};
    for (int i = 0; i < 100; ++i) {
        auto id = factory->identityForHost("h" + std::to_string(i) + ".test");
        EXPECT_EQ(ASN1_STRING_type(X509_get0_serialNumber(id->leaf())), V_ASN1_INTEGER);
        serials.insert(serial(id));
    }
    EXPECT_EQ(serials.size(), 101u);
}

TEST_F(SSLContextFactoryTest, CachedLeavesServeFromMemoryAndDiskUntilDamagedExpiredOrRenewed) {
    auto first = factory->identityForHost("cached.test");
    EXPECT_EQ(factory->identityForHost("cached.test"), first);
    ASSERT_EQ(cacheFiles().size(), 1u);
    fs::path file = cacheFiles()[0];
    EXPECT_TRUE(file.string().ends_with(".p12.p12"));
    int status = 1;
    test::openssl("pkcs12 -info -noout -in " + file.string() + " -passin pass:" + factory->keystorePassword(),
                  &status);
    EXPECT_EQ(status, 0);

    auto fromDisk = make()->identityForHost("cached.test");
    EXPECT_NE(fromDisk, first);
    EXPECT_EQ(serial(fromDisk), serial(first));

    std::ofstream(file, std::ios::trunc) << "damaged";
    auto remade = make()->identityForHost("cached.test");
    EXPECT_NE(serial(remade), serial(first));
    EXPECT_EQ(serial(make()->identityForHost("cached.test")), serial(remade)); // the file was replaced

    // An expired leaf in the file is minted again.
    TimePtr past(ASN1_TIME_set(nullptr, std::time(nullptr) - 7200)),
        gone(ASN1_TIME_set(nullptr, std::time(nullptr) - 60));
    SSLV3CertificateGenerator old(test::sharedCA().certificate(), past.get(), gone.get(),
                                  X509_get_subject_name(first->leaf()));
    old.generate(test::sharedCA().key());
    old.writePKCS12(file, factory->keystorePassword());
    auto fresh = make()->identityForHost("cached.test");
    EXPECT_EQ(X509_cmp_current_time(X509_get0_notAfter(fresh->leaf())), 1);

    // An upstream renewed under the same subject and serial gets a new leaf with its validity.
    auto upstream = Upstreams::parse(Upstreams::shared().v3);
    auto mirrored = factory->identityForCertificate(Upstreams::shared().v3, std::nullopt);
    X509_gmtime_adj(X509_getm_notAfter(upstream.get()), 40 * 86400);
    X509_sign(upstream.get(), test::sharedCA().key(), EVP_sha256()); // encodes it anew
    auto renewed = factory->identityForCertificate(Upstreams::der(upstream.get()), std::nullopt);
    EXPECT_NE(serial(renewed), serial(mirrored));
    EXPECT_EQ(ASN1_TIME_compare(X509_get0_notAfter(renewed->leaf()), X509_get0_notAfter(upstream.get())), 0);
}

// A server seen before is looked up by its certificate's bytes: that lookup must still answer
// for the host asked, the CA signing now and a leaf that has not expired.
TEST_F(SSLContextFactoryTest, ARepeatedUpstreamIsServedItsIdentityOnlyWhileThatStillHolds) {
    const auto& v3 = Upstreams::shared().v3;
    auto first = factory->identityForCertificate(v3, std::nullopt);
    EXPECT_EQ(factory->identityForCertificate(v3, std::nullopt), first);
    auto renamed = factory->identityForCertificate(v3, "other.test");
    EXPECT_NE(renamed, first);
    EXPECT_EQ(factory->identityForCertificate(v3, "other.test"), renamed);
    EXPECT_EQ(factory->identityForCertificate(v3, std::nullopt), first);

    test::AgedCA other(dir.path() / "other");
    other.generate();
    factory->setCA(other.certificate(), other.key());
    auto underOther = factory->identityForCertificate(v3, std::nullopt);
    EXPECT_EQ(X509_check_issued(other.certificate(), underOther->leaf()), X509_V_OK);
    factory->setCA(test::sharedCA().certificate(), test::sharedCA().key());
    EXPECT_EQ(X509_check_issued(test::sharedCA().certificate(),
                                factory->identityForCertificate(v3, std::nullopt)->leaf()),
              X509_V_OK);

    // A leaf mirrors its upstream's validity: an expired upstream's leaf is never served again.
    auto expired = Upstreams::parse(v3);
    X509_gmtime_adj(X509_getm_notBefore(expired.get()), -2 * 86400);
    X509_gmtime_adj(X509_getm_notAfter(expired.get()), -86400);
    X509_sign(expired.get(), test::sharedCA().key(), EVP_sha256());
    auto der = Upstreams::der(expired.get());
    auto once = factory->identityForCertificate(der, std::nullopt);
    EXPECT_NE(serial(factory->identityForCertificate(der, std::nullopt)), serial(once));
}

TEST_F(SSLContextFactoryTest, ANewCAMintsUnderNewNamesAndAnExpiredOneTakesItsLeavesAlong) {
    test::AgedCA ca(dir.path() / "ca");
    installCA(ca, *factory, test::passPhrase);
    factory->identityForHost("a.test");
    auto before = cacheFiles();
    ASSERT_EQ(before.size(), 1u);
    test::AgedCA other(dir.path() / "other");
    other.generate();
    factory->setCA(other.certificate(), other.key());
    factory->identityForHost("a.test");
    factory->setCA(ca.certificate(), ca.key());
    ASSERT_EQ(cacheFiles().size(), 2u);

    ca.expire();
    ca.save(test::passPhrase);
    installCA(ca, *factory, test::passPhrase);
    auto after = cacheFiles();
    ASSERT_EQ(after.size(), 1u); // the other CA's leaf stays
    EXPECT_NE(after[0], before[0]);
}

TEST_F(SSLContextFactoryTest, ConcurrentMintsOfOneHostLeaveOneWholeFile) {
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<const Identity>> ids(4);
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back([&, i] { ids[i] = make()->identityForHost("race.test"); });
    for (auto& t : threads)
        t.join();
    for (auto& id : ids)
        EXPECT_NE(id, nullptr);
    EXPECT_EQ(cacheFiles().size(), 1u);
    EXPECT_NE(make()->loadKeyStore(factory->cacheKey(X509_get_subject_name(ids[0]->leaf()), nullptr)),
              nullptr);
}

/// Where the exiting child writes, which the test reads: the child is another process.
constexpr const char* exitingDirVariable = "PEMTROX_TEST_EXITING_DIR";

// The program may exit with cache files still queued: each is written whole, and before the
// crypto library begins its own exit handler (from then on it refuses to set up what a
// process's first PKCS#12 needs, and would fail every file still queued).
TEST_F(SSLContextFactoryTest, ExitingWithCacheFilesQueuedWritesThemWhole) {
    // The child starts afresh: a bare fork would inherit any lock another thread held at that
    // moment (a queue's thread starting, a key being made) and could hang for ever.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!std::getenv(exitingDirVariable))
        setenv(exitingDirVariable, dir.path().c_str(), 1);
    const fs::path shared = std::getenv(exitingDirVariable);
    auto ca = SSLCAGenerator::make(shared / "ca");
    ca->loadOrBuild(test::passPhrase); // built here, loaded by the child
    EXPECT_EXIT(
        {
            fs::remove_all(dir.path()); // the child's own, never destroyed
            auto f = SSLContextFactory::make(shared / "certs", std::make_shared<test::FixedKeys>());
            f->setCA(ca->certificate(), ca->key());
            for (int i = 0; i < 10; ++i)
                f->identityForHost("exit" + std::to_string(i) + ".test");
            OPENSSL_atexit([] {
                std::size_t whole = 0;
                for (const auto& e :
                     fs::directory_iterator(fs::path(std::getenv(exitingDirVariable)) / "certs"))
                    whole += e.path().extension() == ".p12";
                std::_Exit(whole == 10 ? 0 : 3);
            });
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    unsetenv(exitingDirVariable);
    GTEST_FLAG_SET(death_test_style, style);
    factory->setCA(ca->certificate(), ca->key());
    auto files = cacheFiles();
    EXPECT_EQ(files.size(), 10u);
    for (const auto& file : files)
        EXPECT_NE(factory->loadKeyStore(file.stem()), nullptr) << file;
}

TEST_F(SSLContextFactoryTest, PythonAcceptsTheLeavesByAltNameAlone) {
    auto check = [&](const std::shared_ptr<const Identity>& id, const std::string& host) {
        write(id->leaf(), "py-leaf.pem");
        std::ofstream(dir.path() / "py-leaf.pem", std::ios::app) << std::ifstream(caFile).rdbuf();
        BioPtr keyOut(BIO_new_file((dir.path() / "py-key.pem").c_str(), "w"));
        PEM_write_bio_PrivateKey(keyOut.get(), id->key(), nullptr, nullptr, 0, nullptr, nullptr);
        keyOut.reset();
        std::string script = R"(
import ssl, sys
d = sys.argv[1]
server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
server.load_cert_chain(d + "/py-leaf.pem", d + "/py-key.pem")
client = ssl.create_default_context(cafile=d + "/ca-cert.pem")
client.hostname_checks_common_name = False
a, b, c, e = ssl.MemoryBIO(), ssl.MemoryBIO(), ssl.MemoryBIO(), ssl.MemoryBIO()
s = server.wrap_bio(a, b, server_side=True)
k = client.wrap_bio(c, e, server_hostname=sys.argv[2])
for _ in range(10):
    for side, out, into in ((k, e, a), (s, b, c)):
        try: side.do_handshake()
        except ssl.SSLWantReadError: pass
        into.write(out.read())
print("verified", k.getpeercert()["subjectAltName"])
)";
        std::ofstream(dir.path() / "check.py") << script;
        return test::runCommand("python3 " + (dir.path() / "check.py").string() + " " + dir.path().string() +
                                " " + host + " 2>&1");
    };
    EXPECT_NE(check(factory->identityForHost("py.test"), "py.test").find("verified"), std::string::npos);
    EXPECT_NE(check(factory->identityForCertificate(Upstreams::shared().v3, std::nullopt), "localhost")
                  .find("verified"),
              std::string::npos);
    EXPECT_EQ(check(factory->identityForHost("py.test"), "wrong.test").find("verified"), std::string::npos);
}

TEST(KeyStoreCache, DropsTheLeastRecentlyUsed) {
    KeyStoreCache cache(2);
    auto a = std::make_shared<KeyStore>(), b = std::make_shared<KeyStore>(), c = std::make_shared<KeyStore>();
    cache.setObject("a", a);
    cache.setObject("b", b);
    EXPECT_EQ(cache.object("a"), a);
    cache.setObject("c", c);
    EXPECT_EQ(cache.object("b"), nullptr);
    EXPECT_EQ(cache.object("a"), a);
    EXPECT_EQ(cache.count(), 2u);
}

} // namespace
} // namespace pemtrox
