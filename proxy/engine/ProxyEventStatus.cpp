#include "proxy/engine/ProxyEventStatus.h"

namespace pemtrox {

std::string_view name(ProxyEventStatus status) {
    switch (status) {
    case ProxyEventStatus::before:
        return "BEFORE";
    case ProxyEventStatus::receivedRequestFirstLine:
        return "RECEIVED_REQUEST_FIRST_LINE";
    case ProxyEventStatus::receivedRequestURL:
        return "RECEIVED_REQUEST_URL";
    case ProxyEventStatus::receivedRequestHeader:
        return "RECEIVED_REQUEST_HEADER";
    case ProxyEventStatus::resolving:
        return "RESOLVING";
    case ProxyEventStatus::connecting:
        return "CONNECTING";
    case ProxyEventStatus::connected:
        return "CONNECTED";
    case ProxyEventStatus::receivingRequestBody:
        return "RECEIVING_REQUEST_BODY";
    case ProxyEventStatus::receivedRequestBody:
        return "RECEIVED_REQUEST_BODY";
    case ProxyEventStatus::receivedResponseHeader:
        return "RECEIVED_RESPONSE_HEADER";
    case ProxyEventStatus::receivingResponseBody:
        return "RECEIVING_RESPONSE_BODY";
    case ProxyEventStatus::receivedResponseBody:
        return "RECEIVED_RESPONSE_BODY";
    case ProxyEventStatus::complete:
        return "COMPLETE";
    case ProxyEventStatus::exception:
        return "EXCEPTION";
    case ProxyEventStatus::blocked:
        return "BLOCKED";
    }
    return "";
}

} // namespace pemtrox
