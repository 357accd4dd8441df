#include "proxy/engine/ProxyHttpResponsePlan.h"

#include <algorithm>

#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpFraming.h"
#include "proxy/engine/HttpText.h"

namespace pemtrox {

ProxyHttpResponsePlan ProxyHttpResponsePlan::make(const Input& in, const Fields& response) {
    ProxyHttpResponsePlan plan;
    auto length = HttpFraming::declaredLength(response);
    plan.lengthDeclared = length.has_value();

    plan.mustClose = response.valueIs("Connection", "close");
    if (!in.transparent && in.requestVersion < 1.1f)
        plan.mustClose = true; // an HTTP/1.0 client of the explicit proxy is never kept
    else if ((in.requestVersion < 1.1f || in.responseVersion < 1.1f) &&
             !response.valueIs("Connection", "keep-alive"))
        plan.mustClose = true;
    bool modern = in.responseVersion >= 1.1f && in.responseVersion < 2.0f;
    bool chunked = response.valueIs("Transfer-Encoding", "chunked");
    bool hasBody = HttpFraming::responseHasBody(in.status, in.method);
    // With another coding the body ends with the connection whatever length stands beside
    // it: framed by that length, the rest of the body would pass for the next response.
    bool framedByEnd = !chunked && hasBody && response.value("Transfer-Encoding");

    if (!hasBody) {
        plan.body = Body::none;
    } else if (chunked) {
        plan.body = Body::chunked;
    } else if (length && !framedByEnd) {
        plan.body = Body::length;
        plan.length = *length;
    } else {
        plan.body = Body::untilClose;
        plan.mustClose = true;
    }

    auto encoding = response.value("Content-Encoding");
    plan.wantDecoded =
        in.wantDecoded || (encoding && !in.transparent && in.requestVersion <= 1.0f && hasBody);
    if (encoding && plan.wantDecoded && hasBody) {
        if (equalsIgnoringCase(*encoding, "gzip") || equalsIgnoringCase(*encoding, "x-gzip"))
            plan.decoding = Decoding::gzip;
        else if (equalsIgnoringCase(*encoding, "compress") || equalsIgnoringCase(*encoding, "x-compress"))
            plan.decoding = Decoding::compress;
    }
    bool decoded = plan.decoding != Decoding::none;

    if (chunked)
        plan.dropped = {"Transfer-Encoding", "Content-Length"}; // chunked framing wins over a length
    if (framedByEnd)
        plan.dropped.push_back("Content-Length");
    if (decoded) {
        plan.dropped.push_back("Content-Encoding");
        if (length)
            plan.dropped.push_back("Content-Length");
        if (!modern)
            plan.mustClose = true;
    }
    // An HTTP/1.0 client knows no chunks: it would take their framing for body bytes.
    plan.chunkedOutput = hasBody && modern && in.requestVersion >= 1.1f && (chunked || decoded);
    if (hasBody && (chunked || decoded) && !plan.chunkedOutput)
        plan.mustClose = true; // no length and no chunks left: the end of the connection ends the body
    // A body-less response keeps its chunked head, but no chunk (not even the last) may follow.
    if (plan.chunkedOutput || (chunked && !hasBody))
        plan.added.push_back({"Transfer-Encoding", "Chunked"});
    if (in.requestMustClose)
        plan.mustClose = true;
    plan.dropped.push_back("Connection");
    plan.dropped.push_back("Proxy-Connection");
    plan.added.push_back(
        {in.transparent ? "Connection" : "Proxy-Connection", plan.mustClose ? "Close" : "Keep-alive"});
    return plan;
}

std::shared_ptr<HttpFields> ProxyHttpResponsePlan::clientHead(const HttpFields& response) const {
    auto out = std::static_pointer_cast<HttpFields>(response.copy());
    std::erase_if(out->fields, [&](const Field& f) {
        return std::any_of(dropped.begin(), dropped.end(),
                           [&](const std::string& name) { return equalsIgnoringCase(f.name, name); });
    });
    out->fields.insert(out->fields.end(), added.begin(), added.end());
    return out;
}

} // namespace pemtrox
