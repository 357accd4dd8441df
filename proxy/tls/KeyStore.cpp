#include "proxy/tls/KeyStore.h"

#include <fstream>
#include <iterator>

#include <openssl/err.h>

#include "platform/Identity.h"
#include "proxy/tls/CryptoHandles.h"
#include "proxy/tls/SSLCertificateGeneratorError.h"

namespace pemtrox {

using namespace crypto;

bool KeyStore::load(const std::filesystem::path& url, std::string_view passPhrase) {
    std::ifstream in(url, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || bytes.empty())
        return false;
    ERR_clear_error();
    auto fail = [&] {
        ERR_clear_error();
        throw SSLCertificateGeneratorError::failedToReadFile(url, "Read pkcs12 file failed");
    };
    auto data = reinterpret_cast<const unsigned char*>(bytes.data());
    PKCS12Ptr container(d2i_PKCS12(nullptr, &data, static_cast<long>(bytes.size())));
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* others = nullptr;
    std::string phrase(passPhrase);
    if (!container || PKCS12_parse(container.get(), phrase.c_str(), &key, &certificate, &others) != 1)
        fail();
    PKeyPtr ownedKey(key);
    X509Ptr ownedCertificate(certificate);
    std::vector<X509Ptr> ownedChain;
    std::vector<X509*> chain;
    for (int i = 0; others && i < sk_X509_num(others); ++i) {
        ownedChain.emplace_back(sk_X509_value(others, i));
        chain.push_back(ownedChain.back().get());
    }
    sk_X509_free(others);
    if (!key || !certificate)
        return false;
    try {
        identity = Identity::make(key, certificate, chain);
    } catch (const Error&) {
        fail();
    }
    return true;
}

const std::vector<x509_st*>& KeyStore::chain() const {
    static const std::vector<x509_st*> none;
    return identity ? identity->chain() : none;
}

} // namespace pemtrox
