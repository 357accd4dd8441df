#pragma once

#include <memory>

#include "proxy/io/SocketConnectionState.h"

namespace pemtrox {

class DispatchQueue;
class SSLSocket;
struct TlsSettings;

/// Starts TLS on `socket` with the settings: the socket's own TLS where it runs one
/// (Socket::startTLS), else an SSLSocketWrapper over its streams on `queue`, the socket's
/// queue. Either way the callback follows SSLSocketWrapper's contract (once; before this
/// returns when set-up fails), and the TLS socket is returned for its owner to close.
std::shared_ptr<SSLSocket> secureSocket(const std::shared_ptr<Socket>& socket,
                                        std::shared_ptr<DispatchQueue> queue, const TlsSettings& settings,
                                        SocketConnectCallback callback);

} // namespace pemtrox
