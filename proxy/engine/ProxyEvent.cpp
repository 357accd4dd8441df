#include "proxy/engine/ProxyEvent.h"

#include "proxy/engine/HttpFields.h"

#include <vector>

#include "Model/Tools/MatchesAny.h"
#include "proxy/engine/ProxyConnection.h"

namespace pemtrox {

ProxyEvent::ProxyEvent(std::shared_ptr<ProxyServer> source) : source_(std::move(source)) {}

std::shared_ptr<ProxyEvent> ProxyEvent::make(std::shared_ptr<ProxyServer> source) {
    return Plumber::make<ProxyEvent>(std::move(source));
}

std::shared_ptr<ProxyEvent> ProxyEvent::make(std::shared_ptr<ProxyServer> source,
                                             const ProxyConnection& client) {
    auto evt = make(std::move(source));
    evt->clientAddress = client.address();
    evt->clientPort = client.port();
    evt->clientLocalAddress = client.localAddress();
    evt->clientLocalPort = client.localPort();
    return evt;
}

std::shared_ptr<ProxyEvent> ProxyEvent::makeFollowing(const ProxyEvent& previous) {
    auto evt = make(previous.source_);
    evt->clientAddress = previous.clientAddress;
    evt->clientPort = previous.clientPort;
    evt->clientLocalAddress = previous.clientLocalAddress;
    evt->clientLocalPort = previous.clientLocalPort;
    evt->defaultPort = previous.defaultPort;
    return evt;
}

void ProxyEvent::setPath(std::optional<std::string> path) {
    path_ = std::move(path);
    updateFile();
}

void ProxyEvent::setQuery(std::optional<std::string> query) {
    query_ = std::move(query);
    updateFile();
}

void ProxyEvent::updateFile() {
    if (path_ && query_)
        file_ = *path_ + "?" + *query_;
    else if (path_)
        file_ = *path_;
    else if (query_)
        file_ = "?" + *query_;
    else
        file_.reset();
}

bool ProxyEvent::matchesAny(const std::vector<MatchDefinition>& locations) const {
    return pemtrox::matchesAny(locations, scheme, host, port, path_, query_);
}

std::string ProxyEvent::description() const {
    std::string text;
    if (method)
        text += *method + " ";
    if (scheme)
        text += *scheme + "://";
    if (host)
        text += *host;
    if (port)
        text += ":" + std::to_string(*port);
    if (file_)
        text += *file_;
    return text;
}

void ProxyEvent::addConnectionAttribute(const std::string& name, const std::string& value) {
    if (!connectionAttributes)
        connectionAttributes.emplace();
    (*connectionAttributes)[name] = value;
}

void ProxyEvent::addToListAttribute(const std::string& name, const std::string& value) {
    auto it = attributes.find(name);
    if (it == attributes.end()) {
        attributes.emplace(name, std::vector<std::string>{value});
    } else if (auto* list = std::any_cast<std::vector<std::string>>(&it->second)) {
        list->push_back(value);
    } else {
        it->second = std::vector<std::any>{std::move(it->second), std::any(value)};
    }
}

std::vector<std::string> ProxyEvent::notes() const {
    auto it = attributes.find(NotesAttribute);
    if (it == attributes.end())
        return {};
    if (auto* list = std::any_cast<std::vector<std::string>>(&it->second))
        return *list;
    return {};
}

std::shared_ptr<HttpFields> ProxyEvent::httpRequestHeader() const {
    return std::dynamic_pointer_cast<HttpFields>(requestHeader);
}

} // namespace pemtrox
