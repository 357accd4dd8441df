#include "proxy/tls/SSLCAGenerator.h"

#include <fstream>
#include <sstream>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

#include "platform/Container.h"
#include "platform/Graphemes.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "proxy/tls/CertificateNames.h"
#include "proxy/tls/OpenSSL.h"
#include "proxy/tls/SSLCertificateGeneratorError.h"

namespace pemtrox {

using namespace crypto;

namespace {

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    return name;
}

crypto::X509Ptr readCertificateFile(const std::filesystem::path& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return certificate;
}

} // namespace

std::shared_ptr<SSLCAGenerator> SSLCAGenerator::make() {
    auto directory = Container::directory();
    if (!directory)
        fatalError("Couldn't get container URL");
    return make(*directory);
}

std::shared_ptr<SSLCAGenerator> SSLCAGenerator::make(std::filesystem::path baseURL) {
    return std::make_shared<SSLCAGenerator>(std::move(baseURL));
}

SSLCAGenerator::SSLCAGenerator(std::filesystem::path baseURL) : baseURL_(std::move(baseURL)) {}

std::string SSLCAGenerator::dateText(std::time_t now) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&now, &local);
    char year[8];
    std::snprintf(year, sizeof year, "%02d", local.tm_year % 100);
    return std::to_string(local.tm_mday) + " " + months[local.tm_mon] + " " + year;
}

std::string SSLCAGenerator::commonName(std::time_t now, std::string_view deviceName) {
    std::string name = "Pemtrox Proxy CA (" + dateText(now) + ", " + std::string(deviceName) + ")";
    return name.size() >= 65 ? firstGraphemes(name, 64) : name;
}

void SSLCAGenerator::generate() {
    ERR_clear_error();
    auto fail = [] {
        throw SSLCertificateGeneratorError::failedToCreateCertificate(OpenSSL::lastErrorText());
    };
    X509Ptr certificate(X509_new());
    if (!certificate)
        throw SSLCertificateGeneratorError::failedToCreateCertificate();
    X509* cert = certificate.get();
    if (X509_set_version(cert, 2) != 1 || !OpenSSL::setRandomSerial(cert) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert), -DayInSeconds) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert), 363 * DayInSeconds))
        fail();
    PKeyPtr key = makeRSAKey(2048);
    if (!key)
        throw SSLCertificateGeneratorError::failedToCreateKeys(OpenSSL::lastErrorText());
    if (X509_set_pubkey(cert, key.get()) != 1)
        fail();

    std::string device = deviceName_.empty() ? hostName() : deviceName_;
    std::string cn = commonName(std::time(nullptr), device);
    X509_NAME* subject = X509_get_subject_name(cert);
    auto add = [&](const char* field, int type, const std::string& value) {
        if (X509_NAME_add_entry_by_txt(subject, field, type,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) != 1)
            fail();
    };
    // A cut name that the library still refuses (it counts code points, not characters)
    // fails here rather than leaving the CA without a name.
    add("CN", MBSTRING_UTF8, cn);
    add("OU", MBSTRING_ASC, certificateNames::helpAddress);
    add("O", MBSTRING_ASC, certificateNames::caOrganization);
    add("L", MBSTRING_ASC, certificateNames::city);
    add("ST", MBSTRING_ASC, certificateNames::city);
    add("C", MBSTRING_ASC, certificateNames::countryCode);
    if (X509_set_issuer_name(cert, subject) != 1)
        fail();
    OpenSSL::addExtension(cert, cert, NID_subject_key_identifier, "hash");
    OpenSSL::addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    OpenSSL::addExtension(cert, cert, NID_key_usage, "critical,keyCertSign");
    if (X509_sign(cert, key.get(), EVP_sha256()) <= 0)
        fail();
    certificate_ = std::move(certificate);
    key_ = std::move(key);
    chain_.clear();
}

void SSLCAGenerator::save(std::string_view passPhrase) {
    createPrivateDirectory(baseURL_);
    writePEM(caFile(), passPhrase, PEMContents::keyAndCertificates);
    if (betweenWrites_)
        betweenWrites_();
    writePEM(caCertificateFile(), passPhrase, PEMContents::certificatesOnly);
}

SSLCAGenerator::LoadOutcome SSLCAGenerator::loadOrBuild(std::string_view passPhrase) {
    LoadOutcome outcome;
    auto rebuild = [&](const std::string& reason) {
        if (!reason.empty())
            logWarning("Failed to load CA, rebuilding: ",
                       SSLCertificateGeneratorError::failedToReadFile(caFile(), reason));
        generate();
        save(passPhrase);
        outcome.built = true;
        return std::move(outcome);
    };
    try {
        // A CA directory without the CA (a first start among others) gets one without a word.
        if (!readPEM(caFile(), passPhrase))
            return rebuild({});
    } catch (const Error& e) {
        logWarning("Failed to load CA, rebuilding: ", e);
        return rebuild({});
    }
    if (!std::filesystem::exists(caCertificateFile()))
        return rebuild({});
    X509Ptr published = readCertificateFile(caCertificateFile());
    if (!published || X509_cmp(published.get(), certificate()) != 0)
        return rebuild("ca-cert.pem does not hold the certificate of ca.pem");
    if (X509_check_private_key(certificate(), key()) != 1) {
        ERR_clear_error();
        return rebuild("The private key of ca.pem does not match its certificate");
    }
    if (X509_cmp_current_time(X509_get0_notAfter(certificate())) <= 0) {
        outcome.expired = share(certificate());
        return rebuild("The CA certificate has expired");
    }
    return outcome;
}

} // namespace pemtrox
