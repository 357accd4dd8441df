#include "proxy/tls/OpenSSL.h"

#include <array>
#include <climits>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "platform/Log.h"
#include "proxy/tls/OpenSSLError.h"

namespace pemtrox::OpenSSL {

using namespace crypto;

namespace {

std::string_view untilNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

bool isUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra = c < 0x80             ? 0
                            : (c & 0xE0) == 0xC0 ? 1
                            : (c & 0xF0) == 0xE0 ? 2
                            : (c & 0xF8) == 0xF0 ? 3
                                                 : 4;
        if (extra == 4 || s.size() - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

std::optional<std::string> nameEntryText(const X509_NAME* name, int nid) {
    if (!name)
        return std::nullopt;
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return std::nullopt;
    X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
    if (!entry)
        return std::nullopt;
    unsigned char* buffer = nullptr;
    int length = ASN1_STRING_to_UTF8(&buffer, X509_NAME_ENTRY_get_data(entry));
    std::optional<std::string> text;
    if (length >= 0 && buffer) {
        std::string bytes(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length));
        if (isUTF8(bytes))
            text = std::move(bytes);
    }
    OPENSSL_free(buffer);
    return text;
}

bool setNameEntry(X509_NAME* name, int nid, std::string_view text) {
    text = untilNul(text);
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        fatalError("Name entry text too long");
    auto bytes = reinterpret_cast<const unsigned char*>(text.data());
    int length = static_cast<int>(text.size());
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return X509_NAME_add_entry_by_NID(name, nid, V_ASN1_UTF8STRING, bytes, length, -1, 0) == 1;
    // Replacing the value inside the entry would leave the name's cached encoding stale (a
    // copy of the name would still carry the old value): the entry is replaced at its place.
    X509_NAME_ENTRY_free(X509_NAME_delete_entry(name, index));
    return X509_NAME_add_entry_by_NID(name, nid, V_ASN1_UTF8STRING, bytes, length, index, 0) == 1;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& configuration) {
    ERR_clear_error();
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, configuration.c_str()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
        throw OpenSSLError::failedToAddExtension(std::to_string(nid) + ": " + configuration + " (error " +
                                                 lastErrorText() + ")");
}

std::optional<std::string> nameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !name || X509_NAME_print_ex(bio.get(), name, 0, 0) <= 0)
        return std::nullopt;
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    if (!data || length <= 0)
        return std::nullopt;
    std::string text(data, static_cast<std::size_t>(length));
    if (!isUTF8(text))
        return std::nullopt;
    return text;
}

std::string sha1Hex(std::string_view text) {
    text = untilNul(text);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1 ||
        length != 20)
        fatalError("Failed to create SHA1 hash");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        if (digest[i] >= 16)
            hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

std::string lastErrorText() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "no error reported by the library";
    std::array<char, 500> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

std::string decimalText(const ASN1_INTEGER* serial) {
    BignumPtr number(serial ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr);
    char* decimal = number ? BN_bn2dec(number.get()) : nullptr;
    std::string text = decimal ? decimal : "";
    OPENSSL_free(decimal);
    return text;
}

bool setRandomSerial(X509* certificate) {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        return false;
    bytes[0] &= 0x7f;
    bytes[0] |= 0x40; // always 16 bytes long, so never zero
    BignumPtr number(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate));
}

bool addSubjectAltName(X509* certificate, std::string_view host) {
    std::string address(host);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    address = address.substr(0, address.find('%'));
    unsigned char scratch[16];
    bool isAddress = inet_pton(AF_INET, address.c_str(), scratch) == 1 ||
                     inet_pton(AF_INET6, address.c_str(), scratch) == 1;

    GeneralNamesPtr names(GENERAL_NAMES_new());
    GENERAL_NAME* name = GENERAL_NAME_new();
    if (!names || !name) {
        GENERAL_NAME_free(name);
        return false;
    }
    sk_GENERAL_NAME_push(names.get(), name);
    if (isAddress) {
        ASN1_OCTET_STRING* value = a2i_IPADDRESS(address.c_str());
        if (!value)
            return false;
        GENERAL_NAME_set0_value(name, GEN_IPADD, value);
    } else {
        std::string dns(untilNul(host));
        if (!dns.empty() && dns.back() == '.')
            dns.pop_back();
        ASN1_IA5STRING* value = ASN1_IA5STRING_new();
        if (!value || ASN1_STRING_set(value, dns.data(), static_cast<int>(dns.size())) != 1) {
            ASN1_IA5STRING_free(value);
            return false;
        }
        GENERAL_NAME_set0_value(name, GEN_DNS, value);
    }
    return X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) == 1;
}

} // namespace pemtrox::OpenSSL
