#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "proxy/tls/OpenSSL.h"
#include "proxy/tls/OpenSSLError.h"

namespace pemtrox {
namespace {

using namespace crypto;

TEST(OpenSSLSupport, Sha1HexDropsLeadingZerosAndStopsAtNul) {
    EXPECT_EQ(OpenSSL::sha1Hex("abc"), "a9993e36476816aba3e25717850c26c9cd0d89d");
    // SHA-1 of nothing is da39a3ee5e6b4b0d3255bfef95601890afd80709: 0x0d, 0x09 lose their zero.
    EXPECT_EQ(OpenSSL::sha1Hex(""), "da39a3ee5e6b4bd3255bfef95601890afd879");
    EXPECT_EQ(OpenSSL::sha1Hex(std::string("abc\0def", 7)), OpenSSL::sha1Hex("abc"));
}

TEST(OpenSSLSupport, NameEntriesAreReadReplacedInPlaceAndAppended) {
    NamePtr name(X509_NAME_new());
    EXPECT_EQ(OpenSSL::nameText(name.get()), std::nullopt);
    EXPECT_EQ(OpenSSL::nameEntryText(name.get(), NID_commonName), std::nullopt);
    ASSERT_TRUE(OpenSSL::setNameEntry(name.get(), NID_countryName, "NZ"));
    ASSERT_TRUE(OpenSSL::setNameEntry(name.get(), NID_commonName, "first"));
    ASSERT_TRUE(X509_NAME_add_entry_by_NID(name.get(), NID_commonName, MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char*>("second"), -1, -1, 0));
    ASSERT_TRUE(OpenSSL::setNameEntry(name.get(), NID_organizationName, "Ørsted"));
    EXPECT_EQ(OpenSSL::nameEntryText(name.get(), NID_commonName), "first");
    EXPECT_EQ(OpenSSL::nameEntryText(name.get(), NID_organizationName), "Ørsted");
    ASSERT_TRUE(OpenSSL::setNameEntry(name.get(), NID_commonName, std::string("new\0tail", 8)));
    // A copy goes through the encoding, so a stale cached one would show the old value.
    NamePtr copy(X509_NAME_dup(name.get()));
    EXPECT_EQ(OpenSSL::nameText(copy.get()), "C=NZ, CN=new, CN=second, O=\\xC3\\x98rsted");
}

TEST(OpenSSLSupport, AddExtensionReportsTheNidAndTheLibraryError) {
    X509Ptr certificate(X509_new());
    try {
        OpenSSL::addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "nonsense:here");
        FAIL() << "no error";
    } catch (const OpenSSLError& e) {
        EXPECT_EQ(e.kind(), OpenSSLError::Kind::failedToAddExtension);
        EXPECT_EQ(
            e.description().rfind("Failed to add certificate extension: 87: nonsense:here (error error:", 0),
            0u)
            << e.description();
        EXPECT_EQ(e.errorTitle(), "OpenSSL Error");
    }
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(OpenSSLSupport, LastErrorTextNamesTheOldestErrorAndEmptiesTheQueue) {
    ERR_clear_error();
    ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);
    ERR_raise(ERR_LIB_PEM, PEM_R_NO_START_LINE);
    EXPECT_NE(OpenSSL::lastErrorText().find("already in hash table"), std::string::npos);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(OpenSSLSupport, SubjectAltNameIsOneNameWhateverTheHostHolds) {
    struct Case {
        const char* host;
        int type;
        std::string value;
    } cases[] = {
        {"example.com.", GEN_DNS, "example.com"},
        {"a.com,DNS:b.com@c", GEN_DNS, "a.com,DNS:b.com@c"},
        {"127.0.0.1", GEN_IPADD, std::string("\x7f\0\0\x01", 4)},
        {"[::1]", GEN_IPADD, std::string(15, '\0') + "\x01"},
        {"fe80::1%eth0", GEN_IPADD, std::string("\xfe\x80", 2) + std::string(13, '\0') + "\x01"},
        {"1.2.3.4.example", GEN_DNS, "1.2.3.4.example"},
    };
    for (const auto& c : cases) {
        X509Ptr certificate(X509_new());
        ASSERT_TRUE(OpenSSL::addSubjectAltName(certificate.get(), c.host));
        auto* names = static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr));
        ASSERT_EQ(sk_GENERAL_NAME_num(names), 1) << c.host;
        int type = 0;
        auto* value =
            static_cast<ASN1_STRING*>(GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names, 0), &type));
        EXPECT_EQ(type, c.type) << c.host;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                              static_cast<std::size_t>(ASN1_STRING_length(value))),
                  c.value)
            << c.host;
        GENERAL_NAMES_free(names);
    }
}

TEST(OpenSSLSupport, RandomSerialsArePositiveSixteenBytes) {
    X509Ptr certificate(X509_new());
    ASSERT_TRUE(OpenSSL::setRandomSerial(certificate.get()));
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate.get());
    EXPECT_EQ(ASN1_STRING_type(serial), V_ASN1_INTEGER); // not V_ASN1_NEG_INTEGER
    EXPECT_EQ(ASN1_STRING_length(serial), 16);
    EXPECT_GE(OpenSSL::decimalText(serial).size(), 37u);
}

} // namespace
} // namespace pemtrox
