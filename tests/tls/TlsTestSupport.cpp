#include "tests/tls/TlsTestSupport.h"

#include <openssl/pem.h>

#include "tests/support/TestSupport.h"

namespace pemtrox::test {

crypto::PKeyPtr FixedKeys::takeKey() {
    static crypto::PKeyPtr key = SSLCertificateGenerator::makeRSAKey(2048);
    return crypto::share(key.get());
}

void AgedCA::expire() {
    X509_gmtime_adj(X509_getm_notAfter(certificate_.get()), -60);
    X509_sign(certificate_.get(), key_.get(), EVP_sha256());
}

SSLCAGenerator& sharedCA() {
    static std::shared_ptr<SSLCAGenerator> ca = [] {
        auto generator = SSLCAGenerator::make(std::filesystem::temp_directory_path() / "unused");
        generator->generate();
        return generator;
    }();
    return *ca;
}

crypto::X509Ptr readCertificate(const std::filesystem::path& path) {
    crypto::BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return crypto::X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::filesystem::path writeCertificate(X509* certificate, const std::filesystem::path& path) {
    crypto::BioPtr bio(BIO_new_file(path.c_str(), "w"));
    PEM_write_bio_X509(bio.get(), certificate);
    return path;
}

std::vector<int> extensionNids(X509* certificate) {
    std::vector<int> nids;
    for (int i = 0; i < X509_get_ext_count(certificate); ++i)
        nids.push_back(OBJ_obj2nid(X509_EXTENSION_get_object(X509_get_ext(certificate, i))));
    return nids;
}

std::string openssl(const std::string& arguments, int* status) {
    return runCommand("openssl " + arguments + " 2>&1", status);
}

} // namespace pemtrox::test
