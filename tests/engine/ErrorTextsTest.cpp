#include <gtest/gtest.h>

#include "platform/TlsEngine.h"
#include "proxy/engine/ConnectTunnel.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/SSLSocketWrapperError.h"

using namespace pemtrox;

// Every error's text and report title, as users and stored recordings see them (the texts
// of a request the engine refuses are checked end to end, in
// ProxyEndToEnd.UnusableRequestsEndTheExchangeWithoutLeaks, a failed lookup's in InetAddress).
TEST(ErrorTexts, DescriptionsAndTitlesOfEveryCase) {
    struct Case {
        ErrorPtr error;
        const char* description;
        const char* title = nullptr; ///< unchecked when null; "" for no title
    } cases[] = {
        {ProxyHandlerError::illegalState("s").clone(), "Illegal state: s"},
        {ProxyHandlerError::sslClientError("Client error -9807").clone(),
         "SSL client error: Client error -9807"},
        // A client's TLS failure, from either TLS socket kind.
        {ConnectTunnel::clientSSLError(
             makeError<TlsError>(TlsError::Kind::protocol, "alert", TlsEngine::peerRejectedCertificate)),
         "SSL client error: Client rejected SSL CA certificate"},
        {ConnectTunnel::clientSSLError(makeError<SSLSocketWrapperError>(
             SSLSocketWrapperError::handshakeFailed(TlsEngine::closedAbort))),
         "SSL client error: Client connection closed via error"},
        {ConnectTunnel::clientSSLError(
             makeError<SSLSocketWrapperError>(SSLSocketWrapperError::sslContextClosed())),
         "SSL connection is closed"},
        {ProxyHandlerError::notHttpFields().clone(), "Expected HTTP headers"},
        {ProxyHandlerError::noScheme().clone(), "No scheme in request"},
        {ProxyHttpError::remoteServerClosedConnection("before sending response header").clone(),
         "Remote server closed the connection before sending response header"},
        {ProxyHttpError::clientClosedConnection().clone(), "Client closed connection"},
        {ProxyHttpError::nonHttpRequestHeader().clone(), "Non-HTTP request header", "HTTP Proxy Error"},
        {RemoteConnectionErrors::noHost().clone(), "Host name missing"},
        {RemoteConnectionErrors::missingRequiredInfo().clone(),
         "Missing required connection information to make remote connection"},
        {RemoteConnectionErrors::connectionClosedDuringHandshake().clone(),
         "Connection closed during handshake"},
        {RemoteConnectionErrors::invalidPort(70000).clone(), "Invalid port: 70000"},
        {SSLSocketWrapperError::sslContextError(-50).clone(), "SSL context error (-50)", "SSL Socket Error"},
        {SSLSocketWrapperError::handshakeFailed(-9807).clone(), "Handshake failed (-9807)",
         "SSL Socket Error"},
        {SSLSocketWrapperError::readError(-9800).clone(), "SSL read error (-9800)", "SSL Socket Error"},
        {SSLSocketWrapperError::writeError(-36).clone(), "SSL write error (-36)", "SSL Socket Error"},
        {SSLSocketWrapperError::cannotCreateSSLContext().clone(), "Cannot create SSL context",
         "SSL Socket Error"},
        {SSLSocketWrapperError::sslContextClosed().clone(), "SSL connection is closed", "SSL Socket Error"},
        {InputStreamError::invalidChunkLength().clone(), "Failed to read chunk length", "Input Error"},
        {InputStreamError::invalidEndOfChunk().clone(), "Invalid end of chunk"},
        {InputStreamError::invalidTrailer().clone(), "Invalid chunk trailer"},
        {InputStreamError::readMarkerNotSupported().clone(), "Read to marker not supported"},
        {InputStreamError::eof().clone(), "EOF", "Input Error"},
        {OutputStreamError::closed().clone(), "The output stream is closed", ""},
    };
    for (auto& c : cases) {
        EXPECT_EQ(c.error->description(), c.description);
        if (c.title) {
            EXPECT_EQ(c.error->errorTitle().value_or(""), c.title) << c.description;
        }
    }
}
