// The error page side of ProxyHttp.
#include "proxy/engine/ErrorPage.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHttp.h"
#include "proxy/io/HttpOutputStream.h"

namespace pemtrox {

std::string ProxyHttp::loadErrorTemplate() {
    return ErrorPage::loadTemplate();
}

void ProxyHttp::writeErrorResponse(const std::shared_ptr<InternalProxyServer>& server,
                                   const std::shared_ptr<ProxyEvent>& evt, bool serviceUnavailable,
                                   const std::string& title, const std::string& message, bool closing,
                                   bool plainHeader, const std::shared_ptr<ProxyConnection>& client,
                                   OutputStreamWriteCompletion completion) {
    auto body = toData(ErrorPage::render(loadErrorTemplate(), title, message));
    auto head = std::make_shared<HttpFields>();
    head->setResponseFirstLine(!closing, serviceUnavailable ? 503 : 403,
                               serviceUnavailable ? "Service Unavailable" : "Forbidden");
    head->fields.push_back({"Server", "Pemtrox"});
    head->fields.push_back({"Cache-Control", "must-revalidate,no-cache,no-store"});
    head->fields.push_back({"Content-Type", "text/html; charset=UTF-8"});
    head->fields.push_back({"Content-Length", std::to_string(body.size())});
    head->fields.push_back(
        {plainHeader ? "Connection" : "Proxy-Connection", closing ? "Close" : "Keep-alive"});
    evt->responseHeader = head;
    evt->responseSize = static_cast<std::int64_t>(body.size());
    server->notifyReceivedResponseHeader(evt);
    server->notifyReceivingResponseBody(evt, body);
    server->notifyReceivedResponse(evt);

    std::shared_ptr<MyOutputStream> out = client->outputStream();
    out->write(toData(head->headerText()), true,
               [out, body = std::move(body),
                completion = std::move(completion)](OutputStreamWriteHandlerResult result) mutable {
                   if (result.isError()) {
                       completion(std::move(result));
                       return;
                   }
                   // `wait` means the head was taken: the body follows.
                   out->write(std::move(body), true, [completion](OutputStreamWriteHandlerResult last) {
                       completion(last.isError() ? last : OutputStreamWriteHandlerResult::ready());
                   });
               });
}

} // namespace pemtrox
