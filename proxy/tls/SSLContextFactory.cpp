#include "proxy/tls/SSLContextFactory.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "platform/Container.h"
#include "platform/DispatchQueue.h"
#include "platform/Identity.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "proxy/tls/CertificateNames.h"
#include "proxy/tls/KeyPool.h"
#include "proxy/tls/KeyStore.h"
#include "proxy/tls/OpenSSL.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLCertificateGeneratorError.h"
#include "proxy/tls/SSLContextFactoryError.h"

namespace pemtrox {

using namespace crypto;

namespace {

/// A cached leaf still serves when it has not expired and, for a mirrored one, when it
/// carries the upstream's validity (the upstream may have been renewed under the same
/// subject and serial).
bool stillGood(const KeyStore& store, X509* upstream) {
    X509* leaf = store.identity ? store.identity->leaf() : nullptr;
    if (!leaf || X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0)
        return false;
    return !upstream || (ASN1_TIME_compare(X509_get0_notBefore(leaf), X509_get0_notBefore(upstream)) == 0 &&
                         ASN1_TIME_compare(X509_get0_notAfter(leaf), X509_get0_notAfter(upstream)) == 0);
}

void addSubjectAltName(X509* leaf, const std::string& host) {
    ERR_clear_error();
    if (!OpenSSL::addSubjectAltName(leaf, host))
        throw SSLContextFactoryError::failedToAddExtensionToCertificate(NID_subject_alt_name);
}

/// Cache files being written, queued ones included. Trivially destructible, so it is still
/// there for the exit wait whatever the order of destruction at exit.
std::atomic<int> pendingWrites{0};

/// Runs at exit: the program may exit with cache files still queued, and each must be
/// written whole. Bounded, so that a write stuck on a full disk does not hold the exit for
/// ever.
void waitForPendingWrites() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pendingWrites.load() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

/// Registers the exit wait once, with the C++ runtime and after the crypto library has
/// registered its own exit handler, so that the wait runs first. Waiting inside the
/// library's handler is too late: once its teardown has begun it refuses to set anything
/// more up, and a writer that had not yet built its first PKCS#12 then fails every file.
/// Nor does the program tear the library down at exit, so a wait hung on its teardown
/// would never run there. Statics made before this are destroyed after the wait.
void registerExitWait() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        // Any option but none makes the library register its handler before it returns.
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
        if (std::atexit(waitForPendingWrites) != 0)
            LOG_WARNING("Cache files queued at exit may not be written");
    });
}

/// One cache write's leaf, counted from the moment it is queued until the leaf is freed.
struct PendingWrite {
    explicit PendingWrite(std::shared_ptr<SSLV3CertificateGenerator> made) : generator(std::move(made)) {
        ++pendingWrites;
    }
    ~PendingWrite() {
        generator.reset();
        --pendingWrites;
    }
    PendingWrite(const PendingWrite&) = delete;
    PendingWrite& operator=(const PendingWrite&) = delete;
    std::shared_ptr<SSLV3CertificateGenerator> generator;
};

} // namespace

std::shared_ptr<SSLContextFactory> SSLContextFactory::make() {
    return make(makeCacheURL());
}

std::shared_ptr<SSLContextFactory> SSLContextFactory::make(std::filesystem::path cacheURL,
                                                           std::shared_ptr<KeySource> keys) {
    return std::make_shared<SSLContextFactory>(std::move(cacheURL),
                                               keys ? std::move(keys) : KeyPool::shared());
}

SSLContextFactory::SSLContextFactory(std::filesystem::path cacheURL, std::shared_ptr<KeySource> keys)
    : cacheURL_(std::move(cacheURL)), keys_(std::move(keys)), writer_(DispatchQueue::make("CertCache")) {
    registerExitWait();
    try {
        createPrivateDirectory(cacheURL_);
    } catch (const Error& e) {
        fatalError("Failed to create the certificate cache: " + e.description());
    }
}

SSLContextFactory::~SSLContextFactory() {
    flushCache();
}

void SSLContextFactory::flushCache() {
    writer_->sync([] {});
}

std::filesystem::path SSLContextFactory::makeCacheURL() {
    auto caches = Container::cachesDirectory();
    if (!caches)
        fatalError("Couldn't get caches directory");
    return *caches / "certs";
}

std::string SSLContextFactory::keystorePasswordFor(X509* ca) {
    auto subject = OpenSSL::nameText(X509_get_subject_name(ca));
    auto issuer = OpenSSL::nameText(X509_get_issuer_name(ca));
    std::string serial = OpenSSL::decimalText(X509_get0_serialNumber(ca));
    if (!subject || !issuer || serial.empty())
        fatalError("The CA has no subject, issuer or serial number");
    return OpenSSL::sha1Hex(std::to_string(GeneratedSSLCertsSerial) + *subject + *issuer + serial);
}

void SSLContextFactory::setCA(X509* certificate, EVP_PKEY* key) {
    auto ca = std::make_shared<CA>();
    ca->certificate = share(certificate);
    ca->key = share(key);
    ca->keystorePassword = keystorePasswordFor(certificate);
    ca->serial = OpenSSL::decimalText(X509_get0_serialNumber(certificate));
    ca->issuerText = OpenSSL::nameText(X509_get_issuer_name(certificate)).value_or("");
    std::lock_guard lock(caMutex_);
    ca_ = std::move(ca);
}

std::shared_ptr<const SSLContextFactory::CA> SSLContextFactory::ca() {
    std::lock_guard lock(caMutex_);
    if (!ca_)
        fatalError("SSLContextFactory asked for an identity before it has a CA");
    return ca_;
}

std::string SSLContextFactory::keystorePassword() {
    return ca()->keystorePassword;
}

std::shared_ptr<const Identity>
SSLContextFactory::identityForCertificate(std::span<const std::uint8_t> der,
                                          const std::optional<std::string>& host) {
    auto current = ca();
    // A server seen before: its identity, while the cache still serves that one unexpired.
    if (auto seen = mirrors_.find(der, host); seen && seen->ca == current) {
        auto store = seen->store.lock();
        if (store && keyStoreCache_.object(seen->key) == store &&
            X509_cmp_current_time(X509_get0_notAfter(store->identity->leaf())) > 0)
            return store->identity;
    }
    const unsigned char* bytes = der.data();
    X509Ptr upstream(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!upstream || !X509_get_subject_name(upstream.get()))
        throw SSLContextFactoryError::certificateIsNotAnX509Certificate();
    const X509_NAME* subject = X509_get_subject_name(upstream.get());
    auto commonName = OpenSSL::nameEntryText(subject, NID_commonName);
    NamePtr renamed;
    std::optional<std::string> newCommonName;
    if (host && (!commonName || *commonName != *host)) {
        renamed.reset(X509_NAME_dup(subject));
        if (!renamed || !OpenSSL::setNameEntry(renamed.get(), NID_commonName, *host))
            throw SSLCertificateGeneratorError::failedToCreateCertificate(OpenSSL::lastErrorText());
        subject = renamed.get();
        newCommonName = host;
    }
    auto found = find(subject, X509_get0_notBefore(upstream.get()), X509_get0_notAfter(upstream.get()),
                      upstream.get(), newCommonName);
    mirrors_.remember(der, host, {current, found.key, found.store});
    return found.store->identity;
}

std::shared_ptr<const Identity> SSLContextFactory::identityForHost(const std::string& host) {
    std::time_t now = std::time(nullptr);
    TimePtr notBefore(ASN1_TIME_set(nullptr, now - 3600));
    TimePtr notAfter(ASN1_TIME_set(nullptr, now + 31536000));
    NamePtr name(X509_NAME_new());
    ERR_clear_error();
    if (!notBefore || !notAfter || !name || !OpenSSL::setNameEntry(name.get(), NID_commonName, host) ||
        !OpenSSL::setNameEntry(name.get(), NID_countryName, certificateNames::countryCode) ||
        !OpenSSL::setNameEntry(name.get(), NID_organizationName, certificateNames::leafOrganization) ||
        !OpenSSL::setNameEntry(name.get(), NID_organizationalUnitName, certificateNames::leafUnit))
        throw SSLCertificateGeneratorError::failedToCreateCertificate(OpenSSL::lastErrorText());
    return keyStore(name.get(), notBefore.get(), notAfter.get(), nullptr, host);
}

std::string SSLContextFactory::cacheKey(const X509_NAME* subject, X509* upstream) {
    auto text = OpenSSL::nameText(subject);
    if (!text)
        throw SSLContextFactoryError::certificateHasNoSubject();
    auto current = ca();
    std::string serial = upstream ? OpenSSL::decimalText(X509_get0_serialNumber(upstream)) : "";
    return OpenSSL::sha1Hex(*text + "-" + serial + "-" + current->serial + "-" + current->issuerText) +
           ".p12";
}

std::shared_ptr<KeyStore> SSLContextFactory::loadKeyStore(const std::string& key) {
    auto url = cacheURL_ / (key + ".p12");
    std::error_code ec;
    if (!std::filesystem::exists(url, ec))
        return nullptr;
    auto store = std::make_shared<KeyStore>();
    try {
        if (store->load(url, keystorePassword()))
            return store;
    } catch (const Error&) {
    }
    return nullptr;
}

std::shared_ptr<const Identity> SSLContextFactory::keyStore(const X509_NAME* subject,
                                                            const ASN1_TIME* notBefore,
                                                            const ASN1_TIME* notAfter, X509* upstream,
                                                            const std::optional<std::string>& newCommonName) {
    return find(subject, notBefore, notAfter, upstream, newCommonName).store->identity;
}

SSLContextFactory::Found SSLContextFactory::find(const X509_NAME* subject, const ASN1_TIME* notBefore,
                                                 const ASN1_TIME* notAfter, X509* upstream,
                                                 const std::optional<std::string>& newCommonName) {
    auto current = ca();
    std::string key = cacheKey(subject, upstream);
    if (auto store = keyStoreCache_.object(key); store && stillGood(*store, upstream))
        return {std::move(key), std::move(store)};
    if (auto store = loadKeyStore(key); store && stillGood(*store, upstream)) {
        keyStoreCache_.setObject(key, store);
        return {std::move(key), std::move(store)};
    }
    auto store = mint(*current, key, subject, notBefore, notAfter, upstream, newCommonName);
    return {std::move(key), std::move(store)};
}

std::shared_ptr<KeyStore> SSLContextFactory::mint(const CA& ca, const std::string& key,
                                                  const X509_NAME* subject, const ASN1_TIME* notBefore,
                                                  const ASN1_TIME* notAfter, X509* upstream,
                                                  const std::optional<std::string>& newCommonName) {
    bool v3 =
        upstream ? X509_get_version(upstream) == 2 : DefaultCertificateVersion == SSLCertificateVersion::v3;
    auto generator =
        std::make_shared<SSLV3CertificateGenerator>(ca.certificate.get(), notBefore, notAfter, subject);
    if (keys_)
        generator->setKey(keys_->takeKey());
    if (v3)
        generator->generate(ca.key.get(),
                            [&](X509* leaf) { addLeafExtensions(leaf, upstream, newCommonName); });
    else
        generator->SSLV1CertificateGenerator::generate(ca.key.get());
    auto store = std::make_shared<KeyStore>(
        Identity::make(generator->key(), generator->certificate(), generator->chain()));
    keyStoreCache_.setObject(key, store);
    auto write = std::make_shared<PendingWrite>(std::move(generator));
    writer_->async([write, url = cacheURL_ / (key + ".p12"), password = ca.keystorePassword] {
        try {
            write->generator->writePKCS12(url, password);
        } catch (const Error& e) {
            // The leaf serves from memory; without its file it is minted again next time.
            logWarning("Failed to write certificate cache file: ", e);
        }
    });
    return store;
}

void SSLContextFactory::addLeafExtensions(X509* leaf, X509* upstream,
                                          const std::optional<std::string>& newCommonName) {
    auto current = ca();
    if (upstream)
        copyExtension(upstream, leaf, newCommonName);
    if (newCommonName && X509_get_ext_by_NID(leaf, NID_subject_alt_name, -1) < 0)
        addSubjectAltName(leaf, *newCommonName);
    OpenSSL::addExtension(leaf, current->certificate.get(), NID_authority_key_identifier,
                          "issuer:always,keyid:always");
    OpenSSL::addExtension(leaf, current->certificate.get(), NID_subject_key_identifier, "hash");
}

void copyExtension(X509* upstream, X509* leaf, const std::optional<std::string>& newCommonName) {
    for (int i = 0; i < X509_get_ext_count(upstream); ++i) {
        X509_EXTENSION* extension = X509_get_ext(upstream, i);
        if (!extension)
            continue;
        int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension));
        switch (nid) {
        case NID_subject_key_identifier:
        case NID_certificate_policies:
        case NID_authority_key_identifier:
        case NID_crl_distribution_points:
        case NID_info_access:
        case NID_tlsfeature:
            continue;
        case NID_subject_alt_name:
            if (newCommonName) {
                addSubjectAltName(leaf, *newCommonName);
                continue;
            }
            break;
        default:
            break;
        }
        if (X509_add_ext(leaf, extension, -1) != 1) {
            ERR_clear_error();
            throw SSLContextFactoryError::failedToAddExtensionToCertificate(nid);
        }
    }
}

std::size_t SSLContextFactory::removeCachedLeaves(X509* ca) {
    flushCache();
    std::string password = keystorePasswordFor(ca);
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(cacheURL_, ec)) {
        std::string name = entry.path().filename();
        if (!name.ends_with(".p12.p12"))
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto data = reinterpret_cast<const unsigned char*>(bytes.data());
        PKCS12Ptr container(d2i_PKCS12(nullptr, &data, static_cast<long>(bytes.size())));
        if (container && PKCS12_verify_mac(container.get(), password.c_str(), -1) == 1 &&
            std::filesystem::remove(entry.path(), ec))
            ++removed;
        ERR_clear_error();
    }
    return removed;
}

void installCA(SSLCAGenerator& ca, SSLContextFactory& factory, std::string_view passPhrase) {
    auto outcome = ca.loadOrBuild(passPhrase);
    factory.setCA(ca.certificate(), ca.key());
    if (outcome.expired)
        factory.removeCachedLeaves(outcome.expired.get());
}

} // namespace pemtrox
