#include "proxy/engine/HttpInputStream.h"

#include <string_view>

#include "platform/Log.h"
#include "proxy/engine/HeadParser.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

namespace {

std::string_view view(const Data& data) {
    return std::string_view(reinterpret_cast<const char*>(data.data()), data.size());
}

} // namespace

std::shared_ptr<HttpInputStream> HttpInputStream::make(std::shared_ptr<MyInputStream> parent) {
    return Plumber::make<HttpInputStream>(std::move(parent));
}

void HttpInputStream::readHeader(HeaderCompletion completion) {
    std::weak_ptr<HttpInputStream> weakSelf = selfAs<HttpInputStream>();
    // The parser and its head are made with the first bytes: a kept-alive connection waits
    // here between requests, and an idle one should hold as little as it can.
    std::shared_ptr<HeadParser> parser;
    handler([weakSelf, parser, completion = std::move(completion)](InputStreamEvent event,
                                                                   InputStreamReply reply) mutable {
        using R = Result<std::shared_ptr<HttpFields>>;
        switch (event.kind()) {
        case InputStreamEvent::Kind::data: {
            if (!parser)
                parser = std::make_shared<HeadParser>(std::make_shared<HttpFields>());
            std::optional<std::size_t> used;
            try {
                used = parser->put(view(event.data()));
            } catch (...) {
                reply(InputStreamHandlerResult::done);
                completion(R::failure(currentError()));
                return;
            }
            auto self = weakSelf.lock();
            if (!self)
                fatalError("HttpInputStream gone");
            if (!used) {
                reply(InputStreamHandlerResult::more);
                self->read();
                return;
            }
            const Data& bytes = event.data();
            if (*used < bytes.size())
                self->unread(Data(bytes.begin() + static_cast<std::ptrdiff_t>(*used), bytes.end()));
            reply(InputStreamHandlerResult::done);
            completion(R::success(parser->head()));
            return;
        }
        case InputStreamEvent::Kind::error:
            reply(InputStreamHandlerResult::done);
            completion(R::failure(event.error()));
            return;
        case InputStreamEvent::Kind::eof:
            reply(InputStreamHandlerResult::done);
            completion(R::failure(InputStreamError::eof().clone()));
            return;
        }
    });
    read();
}

void HttpInputStream::readBodyHandler(std::function<void(ErrorPtr)> completion) {
    std::weak_ptr<HttpInputStream> weakSelf = selfAs<HttpInputStream>();
    handler([weakSelf, completion = std::move(completion)](InputStreamEvent event, InputStreamReply reply) {
        switch (event.kind()) {
        case InputStreamEvent::Kind::data: {
            auto self = weakSelf.lock();
            if (!self)
                fatalError("HttpInputStream gone");
            auto rest = view(event.data());
            while (rest.starts_with("\r\n"))
                rest.remove_prefix(2);
            if (rest.empty()) {
                reply(InputStreamHandlerResult::more);
                self->read();
                return;
            }
            const Data& bytes = event.data();
            self->unread(Data(bytes.end() - static_cast<std::ptrdiff_t>(rest.size()), bytes.end()));
            reply(InputStreamHandlerResult::done);
            completion(nullptr);
            return;
        }
        case InputStreamEvent::Kind::error:
            reply(InputStreamHandlerResult::done);
            completion(event.error());
            return;
        case InputStreamEvent::Kind::eof:
            reply(InputStreamHandlerResult::done);
            completion(nullptr);
            return;
        }
    });
    read();
}

} // namespace pemtrox
