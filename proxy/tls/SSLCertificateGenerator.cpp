#include "proxy/tls/SSLCertificateGenerator.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proxy/tls/OpenSSL.h"
#include "proxy/tls/SSLCertificateGeneratorError.h"

namespace pemtrox {

using namespace crypto;

namespace {

int passPhraseCallback(char* buffer, int size, int, void* userData) {
    auto* phrase = static_cast<std::string_view*>(userData);
    int count = static_cast<int>(std::min<std::size_t>(phrase->size(), static_cast<std::size_t>(size)));
    std::memcpy(buffer, phrase->data(), static_cast<std::size_t>(count));
    return count;
}

std::string memoryContents(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return data && length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

std::vector<X509*> SSLCertificateGenerator::chain() const {
    std::vector<X509*> certificates;
    for (const auto& c : chain_)
        certificates.push_back(c.get());
    return certificates;
}

bool SSLCertificateGenerator::readPEM(const std::filesystem::path& url, std::string_view passPhrase) {
    ERR_clear_error();
    BioPtr bio(BIO_new_file(url.c_str(), "r"));
    if (!bio) {
        ERR_clear_error();
        return false;
    }
    PKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, passPhraseCallback, &passPhrase));
    if (!key)
        throw SSLCertificateGeneratorError::failedToReadFile(url, "Read private key PEM failed: " +
                                                                      OpenSSL::lastErrorText());
    X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate)
        throw SSLCertificateGeneratorError::failedToReadFile(url, "Read certificate PEM failed: " +
                                                                      OpenSSL::lastErrorText());
    std::vector<X509Ptr> chain;
    while (X509Ptr next{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)})
        chain.push_back(std::move(next));
    ERR_clear_error(); // the end of the file reads as an error
    key_ = std::move(key);
    certificate_ = std::move(certificate);
    chain_ = std::move(chain);
    return true;
}

void SSLCertificateGenerator::writePEM(const std::filesystem::path& url, std::string_view passPhrase,
                                       PEMContents contents) const {
    if (!key_)
        throw SSLCertificateGeneratorError::noKey();
    ERR_clear_error();
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        throw SSLCertificateGeneratorError::failedToWriteFile(url,
                                                              "Could not open private key file for writing");
    if (contents != PEMContents::certificatesOnly) {
        auto phrase = reinterpret_cast<const unsigned char*>(passPhrase.data());
        if (PEM_write_bio_PrivateKey(bio.get(), key_.get(), EVP_aes_256_cbc(), phrase,
                                     static_cast<int>(passPhrase.size()), nullptr, nullptr) != 1)
            throw SSLCertificateGeneratorError::failedToWriteFile(url, "Write private key PEM failed: " +
                                                                           OpenSSL::lastErrorText());
    }
    if (contents != PEMContents::keyOnly) {
        bool written = certificate_ && PEM_write_bio_X509(bio.get(), certificate_.get()) == 1;
        for (const auto& c : chain_)
            written = written && PEM_write_bio_X509(bio.get(), c.get()) == 1;
        if (!written)
            throw SSLCertificateGeneratorError::failedToWriteFile(url, "Write certificate PEM failed: " +
                                                                           OpenSSL::lastErrorText());
    }
    try {
        writeFileAtomically(url, memoryContents(bio.get()), true);
    } catch (const Error& e) {
        throw SSLCertificateGeneratorError::failedToWriteFile(
            url, "Could not open private key file for writing: " + e.description());
    }
}

std::string SSLCertificateGenerator::pkcs12(std::string_view passPhrase) const {
    ERR_clear_error();
    CertificateStackPtr stack(sk_X509_new_null());
    for (const auto& c : chain_)
        if (!stack || !sk_X509_push(stack.get(), c.get()))
            throw SSLCertificateGeneratorError::failedToCreatePKCS12(OpenSSL::lastErrorText());
    std::string phrase(passPhrase);
    PKCS12Ptr container(PKCS12_create(phrase.c_str(), "Pemtrox", key_.get(), certificate_.get(), stack.get(),
                                      0, 0, 0, 2048, 0));
    if (!container)
        throw SSLCertificateGeneratorError::failedToCreatePKCS12(OpenSSL::lastErrorText());
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(container.get(), &der);
    if (length <= 0 || !der)
        throw SSLCertificateGeneratorError::failedToCreatePKCS12(OpenSSL::lastErrorText());
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

void SSLCertificateGenerator::writePKCS12(const std::filesystem::path& url,
                                          std::string_view passPhrase) const {
    // A lost cache file is minted again, so it is not worth a flush to disk.
    writeFileAtomically(url, pkcs12(passPhrase), false);
}

PKeyPtr SSLCertificateGenerator::makeRSAKey(unsigned int bits) {
    return PKeyPtr(EVP_RSA_gen(bits));
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, bool sync) {
    std::string temporary = path.string() + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        systemError("mkstemp(" + temporary + ")", errno)->raise();
    auto fail = [&](const char* what) {
        int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        systemError(std::string(what) + "(" + temporary + ")", error)->raise();
    };
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("write");
        done += static_cast<std::size_t>(n);
    }
    if (sync && ::fsync(fd) != 0)
        fail("fsync");
    if (::close(fd) != 0) {
        fd = -1;
        int error = errno;
        ::unlink(temporary.c_str());
        systemError("close(" + temporary + ")", error)->raise();
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        systemError("rename(" + path.string() + ")", error)->raise();
    }
}

void createPrivateDirectory(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return;
    if (path.has_parent_path() && path.parent_path() != path)
        createPrivateDirectory(path.parent_path());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        systemError("mkdir(" + path.string() + ")", errno)->raise();
}

} // namespace pemtrox
