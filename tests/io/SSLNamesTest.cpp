#include <gtest/gtest.h>

#include "proxy/io/SSLCipherSuiteName.h"
#include "proxy/io/SSLProtocolName.h"

namespace pemtrox {
namespace {

TEST(SSLProtocolNameTest, EveryKnownValueAndTheFallback) {
    const std::pair<int, const char*> cases[] = {
        {1, "SSLv2"},     {2, "SSLv3"},     {3, "SSLv3 only"}, {4, "TLSv1"},    {5, "TLSv1 only"},
        {6, "SSL"},       {7, "TLSv1.1"},   {8, "TLSv1.2"},    {9, "DTLSv1"},   {10, "TLSv1.3"},
        {11, "DTLSv1.2"}, {999, "TLSvmax"}, {0, "Unknown"},    {12, "Unknown"}, {-1, "Unknown"},
    };
    for (auto [value, text] : cases)
        EXPECT_EQ(SSLProtocolName(value), text) << value;
}

TEST(SSLCipherSuiteNameTest, TablesByProtocolFamily) {
    struct Case {
        int protocol;
        std::uint16_t suite;
        const char* text;
    };
    const Case cases[] = {
        // The SSL family, all four protocol values.
        {1, 0, "SSL_NULL_WITH_NULL_NULL"},
        {2, 4, "SSL_RSA_WITH_RC4_128_MD5"},
        {3, 29, "SSL_FORTEZZA_DMS_WITH_FORTEZZA_CBC_SHA"},
        {6, 10, "SSL_RSA_WITH_3DES_EDE_CBC_SHA"},
        {2, 30, "Unknown SSL cipher suite #30"},
        {2, 100, "Unknown SSL cipher suite #100"},
        {2, 0xFF80, "SSL_RSA_WITH_RC2_CBC_MD5"},
        {2, 0xFF83, "SSL_RSA_WITH_3DES_EDE_CBC_MD5"},
        {2, 0xFF84, "Unknown SSL cipher suite #65412"},
        {2, 0xFFFF, "SSL_NO_SUCH_CIPHERSUITE"},
        // The TLS family: the telling rows, each end of every range, and the gaps.
        {4, 0x0000, "TLS_NULL_WITH_NULL_NULL"},
        {5, 0x0002, "TLS_RSA_WITH_NULL_SHA"},
        {8, 0x0003, "Unknown TLS cipher suite 3"},
        {8, 0x0006, "Unknown TLS cipher suite 6"},
        {8, 0x0009, "Unknown TLS cipher suite 9"},
        {8, 0x001B, "TLS_DH_anon_WITH_3DES_EDE_CBC_SHA"},
        {8, 0x002C, "TLS_PSK_WITH_NULL_SHA"},
        {7, 0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
        {8, 0x003B, "TLS_RSA_WITH_NULL_SHA256"},
        {8, 0x0040, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA256"},
        {8, 0x0041, "Unknown TLS cipher suite 65"},
        {8, 0x0067, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA256"},
        {8, 0x006D, "TLS_DH_anon_WITH_AES_256_CBC_SHA256"},
        {8, 0x008A, "TLS_PSK_WITH_RC4_128_SHA"},
        {8, 0x0095, "TLS_RSA_PSK_WITH_AES_256_CBC_SHA"},
        {8, 0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
        {8, 0x00A8, "TLS_PSK_WITH_AES_128_GCM_SHA256"},
        {8, 0x00B9, "TLS_RSA_PSK_WITH_NULL_SHA384"},
        {8, 0x00FE, "Unknown TLS cipher suite 254"},
        {8, 0x00FF, "TLS_EMPTY_RENEGOTIATION_INFO_SCSV"},
        {8, 0xC001, "TLS_ECDH_ECDSA_WITH_NULL_SHA"},
        {8, 0xC019, "TLS_ECDH_anon_WITH_AES_256_CBC_SHA"},
        {8, 0xC01A, "Unknown TLS cipher suite 49178"},
        {8, 0xC023, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256"},
        {8, 0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
        {8, 0xC032, "TLS_ECDH_RSA_WITH_AES_256_GCM_SHA384"},
        {8, 0xC033, "Unknown TLS cipher suite 49203"},
        {8, 0x1301, "Unknown TLS cipher suite 4865"},
        // TLS 1.3 names its own suites; everything else there stays unknown.
        {10, 0x1301, "TLS_AES_128_GCM_SHA256"},
        {10, 0x1302, "TLS_AES_256_GCM_SHA384"},
        {10, 0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
        {10, 0x1304, "TLS_AES_128_CCM_SHA256"},
        {10, 0x1305, "TLS_AES_128_CCM_8_SHA256"},
        {10, 0x1306, "Unknown protocol 10 cipher suite #4870"},
        {10, 0xC02F, "Unknown protocol 10 cipher suite #49199"},
        // Other protocols.
        {0, 0xC02F, "Unknown protocol 0 cipher suite #49199"},
        {9, 1, "Unknown protocol 9 cipher suite #1"},
        {11, 0x1301, "Unknown protocol 11 cipher suite #4865"},
        {999, 0, "Unknown protocol 999 cipher suite #0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SSLCipherSuiteName(c.protocol, c.suite), c.text) << c.protocol << " " << c.suite;
}

} // namespace
} // namespace pemtrox
