#include "tests/support/EagerTlsServer.h"

#include <gtest/gtest.h>

namespace pemtrox::test {

EagerTlsServer::EagerTlsServer(const std::string& keyPEM, const std::string& chainPEM)
    : context_(SSL_CTX_new(TLS_server_method())) {
    openssl::BioPtr keyBio(BIO_new_mem_buf(keyPEM.data(), static_cast<int>(keyPEM.size())));
    openssl::PKeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    openssl::BioPtr chainBio(BIO_new_mem_buf(chainPEM.data(), static_cast<int>(chainPEM.size())));
    openssl::X509Ptr leaf(PEM_read_bio_X509(chainBio.get(), nullptr, nullptr, nullptr));
    EXPECT_TRUE(context_ && key && leaf);
    EXPECT_EQ(SSL_CTX_use_certificate(context_.get(), leaf.get()), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(context_.get(), key.get()), 1);
    while (X509* next = PEM_read_bio_X509(chainBio.get(), nullptr, nullptr, nullptr))
        SSL_CTX_add0_chain_cert(context_.get(), next); // the context takes it
    ERR_clear_error();                                 // the end of the chain's text
    SSL_CTX_set_min_proto_version(context_.get(), TLS1_3_VERSION);
    ssl_.reset(SSL_new(context_.get()));
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_.get(), in_, out_);
    SSL_set_accept_state(ssl_.get());
}

bool EagerTlsServer::holdsWholeRecord(const Data& bytes) {
    return bytes.size() >= 5 && bytes.size() >= 5 + ((std::size_t(bytes[3]) << 8) | bytes[4]);
}

Data EagerTlsServer::answer(const Data& hello, const Data& data) {
    BIO_write(in_, hello.data(), static_cast<int>(hello.size()));
    std::uint8_t none[1];
    std::size_t count = 0;
    // No early data comes: this answers the hello and ends the server's flight, after which
    // the server may write before the client's Finished.
    if (SSL_read_early_data(ssl_.get(), none, sizeof none, &count) != SSL_READ_EARLY_DATA_FINISH)
        return {};
    std::size_t written = 0;
    if (!data.empty() && SSL_write_early_data(ssl_.get(), data.data(), data.size(), &written) != 1)
        return {};
    EXPECT_EQ(written, data.size());
    Data answer(static_cast<std::size_t>(BIO_pending(out_)));
    BIO_read(out_, answer.data(), static_cast<int>(answer.size()));
    return answer;
}

} // namespace pemtrox::test
