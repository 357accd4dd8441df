#include "tests/support/CertificateMaker.h"

#include <atomic>
#include <stdexcept>

#include <openssl/pem.h>

namespace pemtrox::test {

using namespace openssl;

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("test certificate: " + what + ": " + takeErrorText("failed"));
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& configuration) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, configuration.c_str()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
        fail(std::string(OBJ_nid2sn(nid)) + "=" + configuration);
}

/// Built by hand: the configuration text cannot carry a NUL inside a DNS name.
void addAltNames(X509* certificate, const std::vector<std::string>& entries) {
    GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
    for (const auto& entry : entries) {
        GENERAL_NAME* name = nullptr;
        if (entry.rfind("DNS:", 0) == 0) {
            ASN1_IA5STRING* text = ASN1_IA5STRING_new();
            if (!text || ASN1_STRING_set(text, entry.data() + 4, static_cast<int>(entry.size() - 4)) != 1)
                fail("DNS name");
            name = GENERAL_NAME_new();
            GENERAL_NAME_set0_value(name, GEN_DNS, text);
        } else if (entry.rfind("IP:", 0) == 0) {
            ASN1_OCTET_STRING* address = a2i_IPADDRESS(entry.c_str() + 3);
            if (!address)
                fail(entry);
            name = GENERAL_NAME_new();
            GENERAL_NAME_set0_value(name, GEN_IPADD, address);
        } else {
            throw std::runtime_error("test certificate: unknown name kind " + entry);
        }
        sk_GENERAL_NAME_push(names.get(), name);
    }
    if (X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) != 1)
        fail("subjectAltName");
}

} // namespace

PKeyPtr CertificateMaker::ecKey() {
    PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        fail("EC key");
    return key;
}

PKeyPtr CertificateMaker::rsaKey(unsigned bits) {
    PKeyPtr key(EVP_RSA_gen(bits));
    if (!key)
        fail("RSA key");
    return key;
}

X509Ptr CertificateMaker::make(const CertificateSpec& spec, EVP_PKEY* key, X509* issuer,
                               EVP_PKEY* issuerKey) {
    static std::atomic<long> serial{1000};
    X509Ptr certificate(X509_new());
    X509* cert = certificate.get();
    NamePtr subject(X509_NAME_new());
    if (!cert || !subject || X509_set_version(cert, 2) != 1 ||
        ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(cert), spec.notBeforeDays * 86400L) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert), spec.notAfterDays * 86400L) ||
        X509_NAME_add_entry_by_NID(subject.get(), NID_commonName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(spec.commonName.data()),
                                   static_cast<int>(spec.commonName.size()), -1, 0) != 1 ||
        X509_set_subject_name(cert, subject.get()) != 1 ||
        X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject.get()) != 1 ||
        X509_set_pubkey(cert, key) != 1)
        fail("fields of " + spec.commonName);
    X509* signer = issuer ? issuer : cert;
    addExtension(cert, signer, NID_basic_constraints, spec.authority ? "critical,CA:TRUE" : "CA:FALSE");
    if (spec.authority)
        addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(cert, signer, NID_subject_key_identifier, "hash");
    if (issuer)
        addExtension(cert, signer, NID_authority_key_identifier, "keyid");
    if (!spec.altNames.empty())
        addAltNames(cert, spec.altNames);
    for (const auto& [nid, configuration] : spec.extensions)
        addExtension(cert, signer, nid, configuration);
    if (X509_sign(cert, issuerKey ? issuerKey : key, spec.digest()) <= 0)
        fail("signature of " + spec.commonName);
    return certificate;
}

void CertificateMaker::writeKey(const std::filesystem::path& file, EVP_PKEY* key) {
    BioPtr bio(BIO_new_file(file.c_str(), "w"));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail(file.string());
}

void CertificateMaker::writeChain(const std::filesystem::path& file,
                                  std::initializer_list<X509*> certificates) {
    BioPtr bio(BIO_new_file(file.c_str(), "w"));
    if (!bio)
        fail(file.string());
    for (X509* certificate : certificates)
        if (PEM_write_bio_X509(bio.get(), certificate) != 1)
            fail(file.string());
}

} // namespace pemtrox::test
