#pragma once

#include <string_view>

namespace pemtrox {

/// The stage an exchange has reached. Equality is by case; the ordering compares the
/// stage numbers only, so the three final stages are unordered among themselves while
/// being unequal.
enum class ProxyEventStatus {
    before,
    receivedRequestFirstLine,
    receivedRequestURL,
    receivedRequestHeader,
    resolving,
    connecting,
    connected,
    receivingRequestBody,
    receivedRequestBody,
    receivedResponseHeader,
    receivingResponseBody,
    receivedResponseBody,
    complete,
    exception,
    blocked,
};

/// The stage number used for ordering (1...12, and 99 for the final stages).
constexpr int orderNumber(ProxyEventStatus status) {
    int index = static_cast<int>(status);
    return index >= static_cast<int>(ProxyEventStatus::complete) ? 99 : index + 1;
}

/// The upper-case text name, e.g. "RECEIVED_REQUEST_URL"; recordings store it.
std::string_view name(ProxyEventStatus status);

// User-declared operators take precedence over the built-in enum comparisons.
constexpr bool operator<(ProxyEventStatus a, ProxyEventStatus b) {
    return orderNumber(a) < orderNumber(b);
}
constexpr bool operator>(ProxyEventStatus a, ProxyEventStatus b) {
    return orderNumber(a) > orderNumber(b);
}
constexpr bool operator<=(ProxyEventStatus a, ProxyEventStatus b) {
    return orderNumber(a) <= orderNumber(b);
}
constexpr bool operator>=(ProxyEventStatus a, ProxyEventStatus b) {
    return orderNumber(a) >= orderNumber(b);
}

} // namespace pemtrox
