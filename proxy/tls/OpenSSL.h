#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "proxy/tls/CryptoHandles.h"

namespace pemtrox::OpenSSL {

/// The text of the first entry of `nid` in the name, as UTF-8; none when there is no such
/// entry or its value does not convert.
std::optional<std::string> nameEntryText(const X509_NAME* name, int nid);

/// Sets the first entry of `nid` to the text as a UTF8String, in place (keeping its
/// position), or appends a new entry last. The text counts up to its first NUL. False when
/// the library refuses the value; its error is then on the thread's queue.
[[nodiscard]] bool setNameEntry(X509_NAME* name, int nid, std::string_view text);

/// Builds the extension from its configuration text in the context of the certificate and
/// its issuer and appends it. Throws OpenSSLError::failedToAddExtension.
void addExtension(X509* certificate, X509* issuer, int nid, const std::string& configuration);

/// The name in the library's compatibility form ("C=NZ, O=..., CN=..."); none for a name
/// without entries. Cache keys and pass phrases are made from it, so it is exactly what the
/// library prints.
std::optional<std::string> nameText(const X509_NAME* name);

/// SHA-1 of the text (up to its first NUL) as lower-case hexadecimal, each byte WITHOUT a
/// leading zero ("abc" gives 39 characters): stored cache file names and the key-store
/// pass phrase are made this way.
std::string sha1Hex(std::string_view text);

/// The oldest error on this thread's queue (at most 500 bytes), the rest of the queue
/// dropped. Callers clear the queue before the operation whose failure they report.
std::string lastErrorText();

/// A serial number in decimal, or "" when it cannot be converted.
std::string decimalText(const ASN1_INTEGER* serial);

/// Sets the certificate's serial to 16 random bytes, positive and never zero. False when
/// the library fails.
[[nodiscard]] bool setRandomSerial(X509* certificate);

/// Appends a subjectAltName naming the host: "IP" for an address literal (brackets and zone
/// dropped), else "DNS" without a trailing dot. The host is one name whatever it holds.
/// False when the library fails.
[[nodiscard]] bool addSubjectAltName(X509* certificate, std::string_view host);

} // namespace pemtrox::OpenSSL
