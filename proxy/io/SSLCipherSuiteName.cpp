#include "proxy/io/SSLCipherSuiteName.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>

#include "platform/TlsEngine.h"

namespace pemtrox {

namespace {

struct Row {
    std::uint16_t value;
    std::string_view name;
};

constexpr std::array<std::string_view, 30> ssl30Names = {"SSL_NULL_WITH_NULL_NULL",
                                                         "SSL_RSA_WITH_NULL_MD5",
                                                         "SSL_RSA_WITH_NULL_SHA",
                                                         "SSL_RSA_EXPORT_WITH_RC4_40_MD5",
                                                         "SSL_RSA_WITH_RC4_128_MD5",
                                                         "SSL_RSA_WITH_RC4_128_SHA",
                                                         "SSL_RSA_EXPORT_WITH_RC2_CBC_40_MD5",
                                                         "SSL_RSA_WITH_IDEA_CBC_SHA",
                                                         "SSL_RSA_EXPORT_WITH_DES40_CBC_SHA",
                                                         "SSL_RSA_WITH_DES_CBC_SHA",
                                                         "SSL_RSA_WITH_3DES_EDE_CBC_SHA",
                                                         "SSL_DH_DSS_EXPORT_WITH_DES40_CBC_SHA",
                                                         "SSL_DH_DSS_WITH_DES_CBC_SHA",
                                                         "SSL_DH_DSS_WITH_3DES_EDE_CBC_SHA",
                                                         "SSL_DH_RSA_EXPORT_WITH_DES40_CBC_SHA",
                                                         "SSL_DH_RSA_WITH_DES_CBC_SHA",
                                                         "SSL_DH_RSA_WITH_3DES_EDE_CBC_SHA",
                                                         "SSL_DHE_DSS_EXPORT_WITH_DES40_CBC_SHA",
                                                         "SSL_DHE_DSS_WITH_DES_CBC_SHA",
                                                         "SSL_DHE_DSS_WITH_3DES_EDE_CBC_SHA",
                                                         "SSL_DHE_RSA_EXPORT_WITH_DES40_CBC_SHA",
                                                         "SSL_DHE_RSA_WITH_DES_CBC_SHA",
                                                         "SSL_DHE_RSA_WITH_3DES_EDE_CBC_SHA",
                                                         "SSL_DH_anon_EXPORT_WITH_RC4_40_MD5",
                                                         "SSL_DH_anon_WITH_RC4_128_MD5",
                                                         "SSL_DH_anon_EXPORT_WITH_DES40_CBC_SHA",
                                                         "SSL_DH_anon_WITH_DES_CBC_SHA",
                                                         "SSL_DH_anon_WITH_3DES_EDE_CBC_SHA",
                                                         "SSL_FORTEZZA_DMS_WITH_NULL_SHA",
                                                         "SSL_FORTEZZA_DMS_WITH_FORTEZZA_CBC_SHA"};

constexpr std::array<std::string_view, 4> ssl2Names = {
    "SSL_RSA_WITH_RC2_CBC_MD5", "SSL_RSA_WITH_IDEA_CBC_MD5", "SSL_RSA_WITH_DES_CBC_MD5",
    "SSL_RSA_WITH_3DES_EDE_CBC_MD5"};

// In value order, for binary search; the names are the IANA registry's.
constexpr Row tlsNames[] = {{0x0000, "TLS_NULL_WITH_NULL_NULL"},
                            {0x0001, "TLS_RSA_WITH_NULL_MD5"},
                            {0x0002, "TLS_RSA_WITH_NULL_SHA"},
                            {0x0004, "TLS_RSA_WITH_RC4_128_MD5"},
                            {0x0005, "TLS_RSA_WITH_RC4_128_SHA"},
                            {0x000A, "TLS_RSA_WITH_3DES_EDE_CBC_SHA"},
                            {0x000D, "TLS_DH_DSS_WITH_3DES_EDE_CBC_SHA"},
                            {0x0010, "TLS_DH_RSA_WITH_3DES_EDE_CBC_SHA"},
                            {0x0013, "TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA"},
                            {0x0016, "TLS_DHE_RSA_WITH_3DES_EDE_CBC_SHA"},
                            {0x0018, "TLS_DH_anon_WITH_RC4_128_MD5"},
                            {0x001B, "TLS_DH_anon_WITH_3DES_EDE_CBC_SHA"},
                            {0x002C, "TLS_PSK_WITH_NULL_SHA"},
                            {0x002D, "TLS_DHE_PSK_WITH_NULL_SHA"},
                            {0x002E, "TLS_RSA_PSK_WITH_NULL_SHA"},
                            {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
                            {0x0030, "TLS_DH_DSS_WITH_AES_128_CBC_SHA"},
                            {0x0031, "TLS_DH_RSA_WITH_AES_128_CBC_SHA"},
                            {0x0032, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA"},
                            {0x0033, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA"},
                            {0x0034, "TLS_DH_anon_WITH_AES_128_CBC_SHA"},
                            {0x0035, "TLS_RSA_WITH_AES_256_CBC_SHA"},
                            {0x0036, "TLS_DH_DSS_WITH_AES_256_CBC_SHA"},
                            {0x0037, "TLS_DH_RSA_WITH_AES_256_CBC_SHA"},
                            {0x0038, "TLS_DHE_DSS_WITH_AES_256_CBC_SHA"},
                            {0x0039, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA"},
                            {0x003A, "TLS_DH_anon_WITH_AES_256_CBC_SHA"},
                            {0x003B, "TLS_RSA_WITH_NULL_SHA256"},
                            {0x003C, "TLS_RSA_WITH_AES_128_CBC_SHA256"},
                            {0x003D, "TLS_RSA_WITH_AES_256_CBC_SHA256"},
                            {0x003E, "TLS_DH_DSS_WITH_AES_128_CBC_SHA256"},
                            {0x003F, "TLS_DH_RSA_WITH_AES_128_CBC_SHA256"},
                            {0x0040, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA256"},
                            {0x0067, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA256"},
                            {0x0068, "TLS_DH_DSS_WITH_AES_256_CBC_SHA256"},
                            {0x0069, "TLS_DH_RSA_WITH_AES_256_CBC_SHA256"},
                            {0x006A, "TLS_DHE_DSS_WITH_AES_256_CBC_SHA256"},
                            {0x006B, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA256"},
                            {0x006C, "TLS_DH_anon_WITH_AES_128_CBC_SHA256"},
                            {0x006D, "TLS_DH_anon_WITH_AES_256_CBC_SHA256"},
                            {0x008A, "TLS_PSK_WITH_RC4_128_SHA"},
                            {0x008B, "TLS_PSK_WITH_3DES_EDE_CBC_SHA"},
                            {0x008C, "TLS_PSK_WITH_AES_128_CBC_SHA"},
                            {0x008D, "TLS_PSK_WITH_AES_256_CBC_SHA"},
                            {0x008E, "TLS_DHE_PSK_WITH_RC4_128_SHA"},
                            {0x008F, "TLS_DHE_PSK_WITH_3DES_EDE_CBC_SHA"},
                            {0x0090, "TLS_DHE_PSK_WITH_AES_128_CBC_SHA"},
                            {0x0091, "TLS_DHE_PSK_WITH_AES_256_CBC_SHA"},
                            {0x0092, "TLS_RSA_PSK_WITH_RC4_128_SHA"},
                            {0x0093, "TLS_RSA_PSK_WITH_3DES_EDE_CBC_SHA"},
                            {0x0094, "TLS_RSA_PSK_WITH_AES_128_CBC_SHA"},
                            {0x0095, "TLS_RSA_PSK_WITH_AES_256_CBC_SHA"},
                            {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
                            {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
                            {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
                            {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
                            {0x00A0, "TLS_DH_RSA_WITH_AES_128_GCM_SHA256"},
                            {0x00A1, "TLS_DH_RSA_WITH_AES_256_GCM_SHA384"},
                            {0x00A2, "TLS_DHE_DSS_WITH_AES_128_GCM_SHA256"},
                            {0x00A3, "TLS_DHE_DSS_WITH_AES_256_GCM_SHA384"},
                            {0x00A4, "TLS_DH_DSS_WITH_AES_128_GCM_SHA256"},
                            {0x00A5, "TLS_DH_DSS_WITH_AES_256_GCM_SHA384"},
                            {0x00A6, "TLS_DH_anon_WITH_AES_128_GCM_SHA256"},
                            {0x00A7, "TLS_DH_anon_WITH_AES_256_GCM_SHA384"},
                            {0x00A8, "TLS_PSK_WITH_AES_128_GCM_SHA256"},
                            {0x00A9, "TLS_PSK_WITH_AES_256_GCM_SHA384"},
                            {0x00AA, "TLS_DHE_PSK_WITH_AES_128_GCM_SHA256"},
                            {0x00AB, "TLS_DHE_PSK_WITH_AES_256_GCM_SHA384"},
                            {0x00AC, "TLS_RSA_PSK_WITH_AES_128_GCM_SHA256"},
                            {0x00AD, "TLS_RSA_PSK_WITH_AES_256_GCM_SHA384"},
                            {0x00AE, "TLS_PSK_WITH_AES_128_CBC_SHA256"},
                            {0x00AF, "TLS_PSK_WITH_AES_256_CBC_SHA384"},
                            {0x00B0, "TLS_PSK_WITH_NULL_SHA256"},
                            {0x00B1, "TLS_PSK_WITH_NULL_SHA384"},
                            {0x00B2, "TLS_DHE_PSK_WITH_AES_128_CBC_SHA256"},
                            {0x00B3, "TLS_DHE_PSK_WITH_AES_256_CBC_SHA384"},
                            {0x00B4, "TLS_DHE_PSK_WITH_NULL_SHA256"},
                            {0x00B5, "TLS_DHE_PSK_WITH_NULL_SHA384"},
                            {0x00B6, "TLS_RSA_PSK_WITH_AES_128_CBC_SHA256"},
                            {0x00B7, "TLS_RSA_PSK_WITH_AES_256_CBC_SHA384"},
                            {0x00B8, "TLS_RSA_PSK_WITH_NULL_SHA256"},
                            {0x00B9, "TLS_RSA_PSK_WITH_NULL_SHA384"},
                            {0x00FF, "TLS_EMPTY_RENEGOTIATION_INFO_SCSV"},
                            {0xC001, "TLS_ECDH_ECDSA_WITH_NULL_SHA"},
                            {0xC002, "TLS_ECDH_ECDSA_WITH_RC4_128_SHA"},
                            {0xC003, "TLS_ECDH_ECDSA_WITH_3DES_EDE_CBC_SHA"},
                            {0xC004, "TLS_ECDH_ECDSA_WITH_AES_128_CBC_SHA"},
                            {0xC005, "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA"},
                            {0xC006, "TLS_ECDHE_ECDSA_WITH_NULL_SHA"},
                            {0xC007, "TLS_ECDHE_ECDSA_WITH_RC4_128_SHA"},
                            {0xC008, "TLS_ECDHE_ECDSA_WITH_3DES_EDE_CBC_SHA"},
                            {0xC009, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA"},
                            {0xC00A, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA"},
                            {0xC00B, "TLS_ECDH_RSA_WITH_NULL_SHA"},
                            {0xC00C, "TLS_ECDH_RSA_WITH_RC4_128_SHA"},
                            {0xC00D, "TLS_ECDH_RSA_WITH_3DES_EDE_CBC_SHA"},
                            {0xC00E, "TLS_ECDH_RSA_WITH_AES_128_CBC_SHA"},
                            {0xC00F, "TLS_ECDH_RSA_WITH_AES_256_CBC_SHA"},
                            {0xC010, "TLS_ECDHE_RSA_WITH_NULL_SHA"},
                            {0xC011, "TLS_ECDHE_RSA_WITH_RC4_128_SHA"},
                            {0xC012, "TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA"},
                            {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
                            {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
                            {0xC015, "TLS_ECDH_anon_WITH_NULL_SHA"},
                            {0xC016, "TLS_ECDH_anon_WITH_RC4_128_SHA"},
                            {0xC017, "TLS_ECDH_anon_WITH_3DES_EDE_CBC_SHA"},
                            {0xC018, "TLS_ECDH_anon_WITH_AES_128_CBC_SHA"},
                            {0xC019, "TLS_ECDH_anon_WITH_AES_256_CBC_SHA"},
                            {0xC023, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256"},
                            {0xC024, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384"},
                            {0xC025, "TLS_ECDH_ECDSA_WITH_AES_128_CBC_SHA256"},
                            {0xC026, "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA384"},
                            {0xC027, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"},
                            {0xC028, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384"},
                            {0xC029, "TLS_ECDH_RSA_WITH_AES_128_CBC_SHA256"},
                            {0xC02A, "TLS_ECDH_RSA_WITH_AES_256_CBC_SHA384"},
                            {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
                            {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
                            {0xC02D, "TLS_ECDH_ECDSA_WITH_AES_128_GCM_SHA256"},
                            {0xC02E, "TLS_ECDH_ECDSA_WITH_AES_256_GCM_SHA384"},
                            {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
                            {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
                            {0xC031, "TLS_ECDH_RSA_WITH_AES_128_GCM_SHA256"},
                            {0xC032, "TLS_ECDH_RSA_WITH_AES_256_GCM_SHA384"}};

constexpr Row tls13Names[] = {
    {0x1301, "TLS_AES_128_GCM_SHA256"},       {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"}, {0x1304, "TLS_AES_128_CCM_SHA256"},
    {0x1305, "TLS_AES_128_CCM_8_SHA256"},
};

template <std::size_t N> const std::string_view* lookup(const Row (&rows)[N], std::uint16_t value) {
    auto it = std::lower_bound(std::begin(rows), std::end(rows), value,
                               [](const Row& row, std::uint16_t v) { return row.value < v; });
    return it != std::end(rows) && it->value == value ? &it->name : nullptr;
}

} // namespace

std::string SSLCipherSuiteName(int protocol, std::uint16_t cipherSuite) {
    switch (protocol) {
    case 1:
    case 2:
    case 3:
    case 6:
        if (cipherSuite < ssl30Names.size())
            return std::string(ssl30Names[cipherSuite]);
        if (cipherSuite >= 0xFF80 && cipherSuite <= 0xFF83)
            return std::string(ssl2Names[cipherSuite - 0xFF80]);
        if (cipherSuite == 0xFFFF)
            return "SSL_NO_SUCH_CIPHERSUITE";
        return "Unknown SSL cipher suite #" + std::to_string(cipherSuite);
    case 4:
    case 5:
    case 7:
    case 8:
        if (auto* name = lookup(tlsNames, cipherSuite))
            return std::string(*name);
        return "Unknown TLS cipher suite " + std::to_string(cipherSuite);
    case 10:
        // TLS 1.3 has suites of its own; naming them keeps modern connections readable.
        if (auto* name = lookup(tls13Names, cipherSuite))
            return std::string(*name);
        break;
    default:
        break;
    }
    return "Unknown protocol " + std::to_string(protocol) + " cipher suite #" + std::to_string(cipherSuite);
}

std::optional<std::string> negotiatedCipherName(const TlsEngine* engine) {
    int protocol = 0;
    std::uint16_t cipher = 0;
    if (!engine || engine->negotiatedProtocolVersion(protocol) != TlsEngine::noErr ||
        engine->negotiatedCipher(cipher) != TlsEngine::noErr)
        return std::nullopt;
    return SSLCipherSuiteName(protocol, cipher);
}

} // namespace pemtrox
