#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "proxy/engine/ExchangePause.h"
#include "proxy/engine/ProxyEventStatus.h"
#include "proxy/io/Data.h"
#include "proxy/io/ISO8601.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

class Fields;
class HttpFields;
class InetAddress;
class ProxyConnection;
class ProxyServer;
class RemoteConnection;
struct MatchDefinition;

/// The record of one exchange: one HTTP request with its response, one CONNECT tunnel or
/// one relayed TCP stream. Its creator, the handler, the remote connection, the copiers
/// and every listener share the same record and may change it; it has no lock of its
/// own, since all of them run on the queue of the server that made it (`source()`).
class ProxyEvent : public PlumberTracked {
public:
    /// Attribute key of the exchange's notes (a list of texts).
    static constexpr const char* NotesAttribute = "com.qv58.pemtrox.NOTES";

    /// A fresh record of an exchange on `source`.
    static std::shared_ptr<ProxyEvent> make(std::shared_ptr<ProxyServer> source);
    /// The first record of a client connection: takes the client's addresses and ports.
    static std::shared_ptr<ProxyEvent> make(std::shared_ptr<ProxyServer> source,
                                            const ProxyConnection& client);
    /// The next record of the same client connection: takes the source, the client's
    /// addresses and ports and the default port of `previous`; nothing else.
    static std::shared_ptr<ProxyEvent> makeFollowing(const ProxyEvent& previous);

    /// Use make(); public only for the counting factory.
    explicit ProxyEvent(std::shared_ptr<ProxyServer> source);

    /// The server that created the exchange; fixed.
    const std::shared_ptr<ProxyServer>& source() const { return source_; }
    /// Lets a listener that falls behind hold this exchange's copying alone; locked on its
    /// own, as a listener lifts it from its own thread.
    const std::shared_ptr<ExchangePause>& pause() const { return pause_; }

    std::optional<Date> startTime;
    std::optional<Date> endTime;
    std::optional<Date> requestBeginTime;
    std::optional<Date> requestCompleteTime;
    std::optional<Date> responseBeginTime;
    /// Seconds.
    std::optional<double> dnsDuration;
    std::optional<double> connectDuration;
    std::optional<double> sslDuration;
    bool keptAlive = false;
    std::shared_ptr<Fields> requestHeader;
    /// requestHeader when it is an HTTP head (it always is, except for a listener's own).
    std::shared_ptr<HttpFields> httpRequestHeader() const;
    /// Request body bytes passed on.
    std::optional<std::int64_t> requestSize;
    std::optional<std::int64_t> requestHeaderSize;
    std::shared_ptr<Fields> responseHeader;
    std::optional<std::int64_t> responseHeaderSize;
    /// Response body bytes passed on.
    std::optional<std::int64_t> responseSize;
    std::optional<std::string> host;
    /// A host or address to connect to instead of `host`.
    std::optional<std::string> overrideHost;
    std::optional<std::string> originalHost;
    /// The port named explicitly by the request target or CONNECT line.
    std::optional<std::int64_t> port;

    const std::optional<std::string>& path() const { return path_; }
    /// Also recomputes file().
    void setPath(std::optional<std::string> path);
    /// path and query joined: "/p?q", "/p", "?q" or absent.
    const std::optional<std::string>& file() const { return file_; }
    /// Without the "?".
    const std::optional<std::string>& query() const { return query_; }
    /// Also recomputes file().
    void setQuery(std::optional<std::string> query);

    std::optional<std::string> method;
    std::optional<std::string> scheme;
    /// The error that ended the exchange.
    ErrorPtr exception;
    std::shared_ptr<const InetAddress> clientAddress;
    std::shared_ptr<const InetAddress> clientLocalAddress;
    std::optional<std::int64_t> clientPort;
    std::optional<std::int64_t> clientLocalPort;
    std::optional<std::int64_t> remotePort;
    std::optional<std::int64_t> remoteLocalPort;
    /// The HTTP version text of the request line.
    std::optional<std::string> protocolVersion;
    std::shared_ptr<const InetAddress> remoteAddress;
    /// The scheme's default port, used where `port` is absent.
    std::optional<std::int64_t> defaultPort;
    /// Working buffer of message forwarding and of the raw tunnel.
    std::optional<Data> receivingBuffer;
    /// Keyed "Owner.WORD"; values are texts, lists of texts (std::vector<std::string>),
    /// flags or whatever their owner stores.
    std::map<std::string, std::any> attributes;
    ProxyEventStatus status = ProxyEventStatus::before;
    bool requestBodyDecoded = false;
    bool responseBodyDecoded = false;
    bool wantResponseBodyDecoded = false;
    bool bufferResponseBody = false;
    bool bufferRequestBody = false;
    /// The exchange is a tunnel of opaque bytes.
    bool tunnel = false;
    bool webSocket = false;
    std::optional<std::string> cipherSuite;
    std::optional<std::string> sslProtocol;
    /// Facts about the connections used, e.g. "Connection" -> "#12".
    std::optional<std::map<std::string, std::string>> connectionAttributes;
    /// A remote connection supplied by a listener; used instead of connecting.
    std::shared_ptr<RemoteConnection> overrideRemoteConnection;

    /// "METHOD scheme://host:portfile", each part left out when absent.
    std::string description() const;
    std::optional<std::int64_t> portOrDefault() const { return port ? port : defaultPort; }
    /// Whether a location of the list matches the exchange's scheme, host (never the override
    /// host), port, path and query.
    bool matchesAny(const std::vector<MatchDefinition>& locations) const;
    void updateFile();
    /// Stores the value under the name, replacing an earlier one.
    void addConnectionAttribute(const std::string& name, const std::string& value);
    /// Appends the value to the list of texts under the name. A value of another type
    /// already there becomes the first element of a std::vector<std::any>.
    void addToListAttribute(const std::string& name, const std::string& value);
    /// The notes added so far, in order.
    std::vector<std::string> notes() const;

private:
    std::shared_ptr<ProxyServer> source_;
    std::shared_ptr<ExchangePause> pause_ = std::make_shared<ExchangePause>();
    std::optional<std::string> path_;
    std::optional<std::string> query_;
    std::optional<std::string> file_;
};

} // namespace pemtrox
