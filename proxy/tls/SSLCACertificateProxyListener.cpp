#include "proxy/tls/SSLCACertificateProxyListener.h"

#include <fstream>
#include <iterator>

#include "platform/LogEntryPoints.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/PipeRemoteConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/NullOutputStream.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLProxyServer.h"

namespace pemtrox {

namespace {

std::optional<std::string> readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

} // namespace

void SSLCACertificateProxyListener::proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) {
    bool matches = evt->host ? *evt->host == CACertificateHost
                             : evt->path() && *evt->path() == "/" + std::string(CACertificateHost);
    if (!matches)
        return;
    auto server = server_.lock();
    if (!server)
        return;
    auto file = server->ca()->caCertificateFile();
    HttpFields head;
    std::string body;
    if (auto bytes = readWhole(file)) {
        logMessage("Sending SSL CA certificate response");
        body = std::move(*bytes);
        head.setResponseFirstLine(std::nullopt, 200, "OK");
        head.fields.push_back({"Content-Type", "application/x-x509-ca-cert"});
        head.fields.push_back({"Content-Disposition", "filename=" + file.filename().string()});
    } else {
        logMessage("Sending 404 response");
        body = "The SSL CA certificate was not found";
        head.setResponseFirstLine(std::nullopt, 404, "Not Found");
        head.fields.push_back({"Content-Type", "text/plain"});
    }
    head.fields.push_back({"Content-Length", std::to_string(body.size())});
    head.fields.push_back({"Connection", "Close"});
    std::string response = head.headerText() + body;
    if (!evt->host) {
        evt->scheme = "http";
        evt->host = "127.0.0.1";
        evt->port = 80;
    }
    evt->overrideRemoteConnection = PipeRemoteConnection::make(
        HttpInputStream::make(ByteArrayInputStream::make(Data(response.begin(), response.end()))),
        HttpOutputStream::make(NullOutputStream::make()));
}

} // namespace pemtrox
